#include <windows.h>

#include "discovery/discovery.h"

namespace {

// How long the owner's own run of steps (the Discover command's refresh
// pass) may go without answering messages sent to its windows.
constexpr DWORD ANSWER_EVERY_MS = 5;

// Sent, not posted: the caller waits for the step, and the step's closure
// lives on the caller's stack until then.
class WindowExecutor : public TableExecutor {
 public:
  explicit WindowExecutor(HWND owner) : owner_(owner) {}
  int run(const std::function<void()>& step) override {
    if (GetWindowThreadProcessId(owner_, nullptr) == GetCurrentThreadId()) {
      answer_sent_messages();
      step();
      return 1;
    }
    // 0 when the window is gone: the step did not run.
    return SendMessageA(owner_, table_step_message(), 0, reinterpret_cast<LPARAM>(&step)) == 1;
  }

 private:
  // Between two steps, and only messages sent from other threads: the
  // receive threads' merges and the system's own questions to the window.
  // Input and painting wait for the message loop as before.
  void answer_sent_messages() {
    DWORD now = GetTickCount();
    if (now - last_answer_ < ANSWER_EVERY_MS) return;
    last_answer_ = now;
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }

  HWND owner_;
  DWORD last_answer_ = 0;
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
