// The run's progress on the main window's taskbar button, through the
// shell's ITaskbarList3, held by the runs' holder and used on the window's
// thread alone (the run's events reach it posted there). Where the shell
// has no such interface (older Windows, Wine), the calls change nothing.
#include <windows.h>
#include <shobjidl.h>

#include "upgrade/win32/upgrade_commands.h"
#include "upgrade/run/run.h"
#include "upgrade/run/run_tally.h"

struct TaskbarButton {
  HWND window = nullptr;
  ITaskbarList3* list = nullptr;
  bool tried = false;
  BatchProgress progress;
  int questions = 0;
  ~TaskbarButton() {
    if (list) list->Release();
  }
};

void TaskbarButtonGone::operator()(TaskbarButton* button) const { delete button; }

namespace {

ITaskbarList3* taskbar_list(TaskbarButton& b) {
  if (b.tried) return b.list;
  b.tried = true;
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
  b.list = list;
  return list;
}

TBPFLAG flag_of(TaskbarState state) {
  switch (state) {
    case TaskbarState::normal: return TBPF_NORMAL;
    case TaskbarState::error: return TBPF_ERROR;
    case TaskbarState::paused: return TBPF_PAUSED;
    default: return TBPF_NOPROGRESS;
  }
}

void apply(TaskbarButton& b) {
  ITaskbarList3* list = taskbar_list(b);
  if (!list || !b.window) return;
  const TaskbarState state = taskbar_state(b.progress, b.questions);
  // The value first: a state set before it would show the old value.
  if (state != TaskbarState::none)
    list->SetProgressValue(b.window, static_cast<ULONGLONG>(b.progress.settled),
                           static_cast<ULONGLONG>(b.progress.total));
  list->SetProgressState(b.window, flag_of(state));
}

}  // namespace

void start_taskbar_progress(UpgradeRunHolder* holder, WindowHandle window) {
  holder->taskbar.reset(new TaskbarButton);
  holder->taskbar->window = reinterpret_cast<HWND>(window);
}

void show_taskbar_progress(TaskbarButton* button, const BatchProgress& progress) {
  if (!button) return;
  button->progress = progress;
  apply(*button);
}

void taskbar_question(TaskbarButton* button, bool open) {
  if (!button) return;
  button->questions += open ? 1 : -1;
  if (button->questions < 0) button->questions = 0;
  apply(*button);
}
