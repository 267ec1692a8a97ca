// The batch's progress on the main window's taskbar button, through the
// shell's ITaskbarList3. Updates come from the batch's threads; they are
// kept here and applied on the window's thread, which owns the interface.
// Where the shell has no such interface (older Windows, Wine), the calls
// change nothing.
#include <windows.h>
#include <shobjidl.h>

#include <mutex>

#include "upgrade/upgrade_commands.h"
#include "upgrade/upgrade.h"

namespace {

std::mutex state_mutex;
BatchProgress shown_progress;
int open_questions = 0;

HWND main_window = nullptr;
ITaskbarList3* taskbar = nullptr;
bool taskbar_tried = false;

UINT taskbar_message() {
  static const UINT message = RegisterWindowMessageA("Daveridur.TaskbarProgress");
  return message;
}

ITaskbarList3* taskbar_list() {
  if (taskbar_tried) return taskbar;
  taskbar_tried = true;
  // The window's thread: an apartment of its own for the shell's object.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ITaskbarList3* list = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              reinterpret_cast<void**>(&list))))
    return nullptr;
  if (FAILED(list->HrInit())) {
    list->Release();
    return nullptr;
  }
  taskbar = list;
  return taskbar;
}

TBPFLAG flag_of(TaskbarState state) {
  switch (state) {
    case TaskbarState::normal: return TBPF_NORMAL;
    case TaskbarState::error: return TBPF_ERROR;
    case TaskbarState::paused: return TBPF_PAUSED;
    default: return TBPF_NOPROGRESS;
  }
}

int apply_progress(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  BatchProgress progress;
  int questions;
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    progress = shown_progress;
    questions = open_questions;
  }
  ITaskbarList3* list = taskbar_list();
  if (!list) return 0;
  TaskbarState state = taskbar_state(progress, questions);
  // The value first: a state set before it would show the old value.
  if (state != TaskbarState::none)
    list->SetProgressValue(main_window, static_cast<ULONGLONG>(progress.settled),
                           static_cast<ULONGLONG>(progress.total));
  list->SetProgressState(main_window, flag_of(state));
  return 0;
}

// Posted, not sent: a session's thread asking a question must not wait for
// the window's thread.
void post_update() {
  if (main_window) PostMessageA(main_window, taskbar_message(), 0, 0);
}

}  // namespace

void start_taskbar_progress(WindowHandle window) {
  main_window = reinterpret_cast<HWND>(window);
  register_handlers(window, {{taskbar_message(), apply_progress, 0, 0}});
}

void show_taskbar_progress(const BatchProgress& progress) {
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    // Card lines come in on several threads: an older count arriving late
    // must not take the bar back.
    if (progress.total && progress.total == shown_progress.total &&
        progress.settled < shown_progress.settled)
      return;
    shown_progress = progress;
  }
  post_update();
}

void taskbar_question(bool open) {
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    open_questions += open ? 1 : -1;
    if (open_questions < 0) open_questions = 0;
  }
  post_update();
}
