// Where the console's interrupts go. A signal handler has no way to its run
// but a place of the process's: the run under way (an upgrade) is routed
// here while it goes, and its inbox stays alive until the next run or the
// process's end, so a handler on another thread (Windows) never touches a
// freed one.
#include <atomic>
#include <memory>

#include "cli/cli.h"
#include "cli/console.h"
#include "upgrade/run/run.h"

namespace {

std::atomic<RunInbox*> routed{nullptr};
std::shared_ptr<RunInbox> routed_owner;  // touched by the main thread alone

}  // namespace

void route_interrupts(const std::shared_ptr<RunInbox>& inbox) {
  if (inbox) routed_owner = inbox;
  routed = inbox.get();
  // An interrupt that came before the run was routed is the run's now.
  if (inbox && interrupted) inbox->post_interrupt(RunCommandKind::shutdown);
}

InterruptTaken interrupt_console(bool first_kind) {
  RunInbox* inbox = routed.load();
  if (!inbox) {
    interrupted = true;
    return InterruptTaken::no_run;
  }
  if (first_kind && inbox->interrupt_first()) return InterruptTaken::stop_starting;
  interrupted = true;
  inbox->post_interrupt(RunCommandKind::shutdown);
  return InterruptTaken::shutdown;
}
