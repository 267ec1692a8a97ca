#include "platform/event.h"

#include <chrono>

void Event::set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  changed_.notify_all();
}

void Event::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool Event::is_set() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalled_;
}

bool Event::wait(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; }))
    return false;
  if (!manual_reset_) signalled_ = false;
  return true;
}

bool wait_all(Event* const* events, int count, uint32_t ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (int i = 0; i < count; ++i) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!events[i]->wait(left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0)) return false;
  }
  return true;
}
