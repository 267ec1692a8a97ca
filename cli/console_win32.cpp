#include <windows.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "cli/console.h"
#include "upgrade/run/run.h"

namespace {

// The system ends the process as soon as the handler of a close, logoff or
// shutdown event returns, and at the latest after about five seconds: the
// handler holds it until the run has written its report, a little less.
const DWORD SYSTEM_END_WAIT_MS = 4500;

HANDLE finished = nullptr;

// Runs on a thread the system starts; TRUE keeps the process alive so that
// the transfers end with their report lines and the report is written.
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      // The first during a run lets the transfers finish.
      if (interrupt_console(true) == InterruptTaken::stop_starting) {
        std::fputs(STOP_STARTING_NOTE, stderr);
        std::fflush(stderr);
      }
      return TRUE;
    case CTRL_BREAK_EVENT:
      interrupt_console(false);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      interrupt_console(false);
      if (finished) WaitForSingleObject(finished, SYSTEM_END_WAIT_MS);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void catch_interrupt() {
  finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

void run_finished() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (finished) SetEvent(finished);
}

bool console_is_interactive() { return _isatty(_fileno(stdin)) && stderr_is_terminal(); }

bool console_ask(const std::string& question, std::string* answer) {
  std::fputs(question.c_str(), stderr);
  std::fflush(stderr);
  char line[256];
  if (!std::fgets(line, sizeof line, stdin)) {
    std::clearerr(stdin);
    return false;
  }
  *answer = line;
  while (!answer->empty() && (answer->back() == '\n' || answer->back() == '\r')) answer->pop_back();
  return true;
}
