#pragma once
// The console: Ctrl+C and whether stderr is a terminal (POSIX / Win32).
bool stderr_is_terminal();
