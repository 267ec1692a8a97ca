#include <signal.h>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/console.h"
#include "upgrade/run.h"

namespace {

// sendto, all a wake does, may be called from a signal handler.
void on_interrupt(int) {
  interrupted = true;
  if (RunIo* io = interrupt_wake.load()) io->wake();
}

}  // namespace

// A scheduled run is stopped with SIGTERM, a lost terminal sends SIGHUP:
// both end the run as Ctrl+C does, with every card's line and the report. A
// reader of the output that went away (SIGPIPE) must not cut a transfer:
// the writes fail instead, and the run ends with status 1.
void catch_interrupt() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

void run_finished() {}
