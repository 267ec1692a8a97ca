#include "discovery/discovery.h"

struct StepQueue::Pending {
  const std::function<void()>* step;
  enum { queued, running, ended } state = queued;
};

int StepQueue::run(const std::function<void()>& step, const std::function<void()>& wake) {
  Pending mine{&step};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(&mine);
  }
  wake();
  std::unique_lock<std::mutex> lock(mutex_);
  if (mine.state == Pending::queued) {
    // Not reached: the entry lives on this stack, so it must not stay.
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
      if (*it == &mine) {
        queue_.erase(it);
        break;
      }
    return 0;
  }
  // Begun by another wake-up (the owner's own pass, or a message that was
  // not ours) and possibly still running on the owner's thread.
  ended_.wait(lock, [&] { return mine.state == Pending::ended; });
  return 1;
}

void StepQueue::run_queued() {
  for (;;) {
    Pending* next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return;
      next = queue_.front();
      queue_.pop_front();
      next->state = Pending::running;
    }
    (*next->step)();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      next->state = Pending::ended;  // the waiter may return and free it from here on
      ended_.notify_all();
    }
  }
}
