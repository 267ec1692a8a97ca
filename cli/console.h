#pragma once
// The console: how a run is told to stop (Ctrl+C and the like), whether
// stderr is a terminal, and the end of the run (POSIX / Win32).
bool stderr_is_terminal();
// A person can be asked: stdin and stderr are a terminal.
bool console_is_interactive();
// Asks on stderr and reads a line from stdin; false at its end or on an
// interrupt.
bool console_ask(const std::string& question, std::string* answer);
// The run's output is written: a stop asked by the system (the console
// closed, logoff, shutdown) may let the process go now.
void run_finished();

#include <memory>
#include <string>

struct RunInbox;
// The run under way takes the console's interrupts (nullptr: none does);
// an interrupt that came before it is posted to it at once.
void route_interrupts(const std::shared_ptr<RunInbox>& inbox);
// From a signal handler or the console's thread. first_kind: a Ctrl+C,
// whose first during a run only stops the starts; anything else ends the
// run as a shutdown. Without a run, interrupted is set.
enum class InterruptTaken { no_run, stop_starting, shutdown };
InterruptTaken interrupt_console(bool first_kind);
