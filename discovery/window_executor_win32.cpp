#include <windows.h>

#include <map>

#include "discovery/discovery.h"

namespace {

// How long the owner's own run of steps (the Discover command's refresh
// pass) may go without answering messages sent to its windows.
constexpr DWORD ANSWER_EVERY_MS = 5;

// One queue per window, shared by every executor on it; a window's queue
// lives as long as the process.
std::mutex queues_mutex;
std::map<HWND, std::shared_ptr<StepQueue>> queues;

std::shared_ptr<StepQueue> queue_of(HWND window, bool make) {
  std::lock_guard<std::mutex> lock(queues_mutex);
  auto it = queues.find(window);
  if (it != queues.end()) return it->second;
  if (!make) return nullptr;
  return queues[window] = std::make_shared<StepQueue>();
}

// The step waits in the window's queue; the message, sent and waited for,
// only wakes the window. A message another process sends runs nothing but
// what this process queued.
class WindowExecutor : public TableExecutor {
 public:
  explicit WindowExecutor(HWND owner) : owner_(owner), queue_(queue_of(owner, true)) {}
  int run(const std::function<void()>& step) override {
    if (GetWindowThreadProcessId(owner_, nullptr) == GetCurrentThreadId()) {
      answer_sent_messages();
      step();
      return 1;
    }
    // SendMessage returns at once when the window is gone: the step is
    // then still queued and is taken back.
    return queue_->run(step, [this] { SendMessageA(owner_, table_step_message(), 0, 0); });
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
  std::shared_ptr<StepQueue> queue_;
  DWORD last_answer_ = 0;
};

}  // namespace

unsigned table_step_message() {
  static const UINT message = RegisterWindowMessageA("Daveridur.TableStep");
  return message;
}

intptr_t run_queued_table_steps(void* hwnd) {
  if (std::shared_ptr<StepQueue> queue = queue_of(static_cast<HWND>(hwnd), false)) queue->run_queued();
  return 1;
}

TableExecutor* open_window_executor(void* hwnd) { return new WindowExecutor(static_cast<HWND>(hwnd)); }
