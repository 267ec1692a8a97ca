#include <windows.h>

#include "discovery/discovery.h"

namespace {

// Sent, not posted: the caller waits for the step, and the step's closure
// lives on the caller's stack until then.
class WindowExecutor : public TableExecutor {
 public:
  explicit WindowExecutor(HWND owner) : owner_(owner) {}
  int run(const std::function<void()>& step) override {
    if (GetWindowThreadProcessId(owner_, nullptr) == GetCurrentThreadId()) {
      step();
      return 1;
    }
    // 0 when the window is gone: the step did not run.
    return SendMessageA(owner_, table_step_message(), 0, reinterpret_cast<LPARAM>(&step)) == 1;
  }

 private:
  HWND owner_;
};

}  // namespace

unsigned table_step_message() {
  static const UINT message = RegisterWindowMessageA("Daveridur.TableStep");
  return message;
}

intptr_t run_table_step_message(uintptr_t, intptr_t lparam) {
  const auto* step = reinterpret_cast<const std::function<void()>*>(lparam);
  if (!step) return 0;
  (*step)();
  return 1;
}

TableExecutor* open_window_executor(void* hwnd) { return new WindowExecutor(static_cast<HWND>(hwnd)); }
