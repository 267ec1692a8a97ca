#pragma once
// The console: how a run is told to stop (Ctrl+C and the like), whether
// stderr is a terminal, and the end of the run (POSIX / Win32).
bool stderr_is_terminal();
// The run's output is written: a stop asked by the system (the console
// closed, logoff, shutdown) may let the process go now.
void run_finished();
