#include <signal.h>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/console.h"

namespace {

void on_interrupt(int) { interrupted = true; }

}  // namespace

void catch_interrupt() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }
