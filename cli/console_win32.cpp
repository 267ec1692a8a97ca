#include <windows.h>
#include <io.h>

#include <cstdio>

#include "cli/cli.h"
#include "cli/console.h"

namespace {

// Runs on a thread the system starts; TRUE keeps the process alive so that
// the transfers end with their report lines and the report is written.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  interrupted = true;
  return TRUE;
}

}  // namespace

void catch_interrupt() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }
