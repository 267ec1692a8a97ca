#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "cli/console.h"
#include "upgrade/run/run.h"

namespace {

// sendto, all a wake does, may be called from a signal handler (and write).
void on_interrupt(int signal) {
  if (interrupt_console(signal == SIGINT) == InterruptTaken::stop_starting) {
    const ssize_t written = write(STDERR_FILENO, STOP_STARTING_NOTE, sizeof STOP_STARTING_NOTE - 1);
    (void)written;
  }
}

}  // namespace

// A scheduled run is stopped with SIGTERM, a lost terminal sends SIGHUP:
// both end the run at once, as a second Ctrl+C does, with every card's
// line and the report (a first Ctrl+C lets the transfers finish). A
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

bool console_is_interactive() { return isatty(STDIN_FILENO) == 1 && stderr_is_terminal(); }

// A Ctrl+C meanwhile interrupts the read (the handler does not restart it):
// no answer, which refuses.
bool console_ask(const std::string& question, std::string* answer) {
  std::fputs(question.c_str(), stderr);
  std::fflush(stderr);
  char line[256];
  if (!std::fgets(line, sizeof line, stdin)) {
    std::clearerr(stdin);
    std::fputs("\n", stderr);
    return false;
  }
  *answer = line;
  while (!answer->empty() && (answer->back() == '\n' || answer->back() == '\r')) answer->pop_back();
  return true;
}

void run_finished() {}
