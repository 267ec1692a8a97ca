#pragma once
// The Upgrade command in the product, the checks after " OK." and the
// taskbar button's progress. Windows build only.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "toolkit/handlers.h"
#include "toolkit/services.h"

struct DeviceTable;
class TableExecutor;
class Event;
struct Report;
struct CardResult;
struct Journal;
struct BatchProgress;

// The window's run while one goes (upgrade/upgrade_window_win32.cpp),
// owned by the main window.
struct WindowRun;
struct TaskbarButton;
struct TaskbarButtonGone {
  void operator()(TaskbarButton* button) const;
};
struct UpgradeRunHolder {
  UpgradeRunHolder();
  ~UpgradeRunHolder();
  std::unique_ptr<WindowRun> run;
  // Runs whose report has closed while their checks go on: each goes at
  // its end.
  std::vector<std::unique_ptr<WindowRun>> finishing;
  // The taskbar button's progress (start_taskbar_progress).
  std::unique_ptr<TaskbarButton, TaskbarButtonGone> taskbar;
  // The cards that failed in the last run whose report was shown.
  int last_failures = 0;
};

// What the module needs, given once by the main window before any runs.
struct UpgradeServices {
  WindowServices window;
  DeviceTable* table = nullptr;
  // Hands steps from a batch's threads to the table's thread.
  TableExecutor* executor = nullptr;
  // Set while a batch runs (the refresh pass holds off).
  Event* modal_step = nullptr;
  std::function<void(uint32_t ip)> query_card;  // one direct query
  UpgradeRunHolder* runs = nullptr;
  std::function<void()> quit;  // the program's quit, after the question
};
void register_upgrade_services(const UpgradeServices& services);
// A stored setting that did not read back, told once in an information box
// naming it (settings.h); watch_setting_problems looks every second too.
void show_setting_problems();
const UpgradeServices& upgrade_services();

int upgrade_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
// The message loop's: keys of the progress windows (Enter, Esc) become their
// commands. True when msg was theirs.
bool upgrade_dialog_message(void* msg);
// Quit while a run goes: no run (quit as ever), the operator stays, or the
// run is being stopped and the program quits once its report has closed
// (through UpgradeServices::quit).
enum class RunQuit { no_run, stay, after_report };
RunQuit ask_quit_during_run();
// The cards that failed in the last run whose report was shown (0 before
// any): the main window's status line.
int last_run_failures();
// The device list menu's "Rollout...": the dialog that keeps how Upgrade
// runs the ticked cards (at once, or in waves).
void rollout_command();

// Looks once a second for stored settings that did not read back.
void watch_setting_problems(WindowHandle main_window);
// Logoff and shutdown while a batch runs: the system is asked to wait, and
// a session that ends anyway aborts the transfers with their lines. The
// run's events reach the window through the handler set up here too.
void guard_session_end(WindowHandle main_window);

// The run's progress on the main window's taskbar button (the window's
// thread); paused while a question is open. Nothing where the shell lacks it.
void start_taskbar_progress(UpgradeRunHolder* holder, WindowHandle main_window);
void show_taskbar_progress(TaskbarButton* button, const BatchProgress& progress);
void taskbar_question(TaskbarButton* button, bool open);
