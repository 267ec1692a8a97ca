#pragma once
// Manual- and auto-reset events with timed waits, the same code in both
// builds (std::mutex and std::condition_variable).
#include <condition_variable>
#include <cstdint>
#include <mutex>

class Event {
 public:
  explicit Event(bool manual_reset, bool signalled = false)
      : manual_reset_(manual_reset), signalled_(signalled) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();
  // Looks at the state without waiting; an auto-reset event stays signalled.
  bool is_set() const;
  // true when signalled within ms milliseconds; takes the signal of an
  // auto-reset event.
  bool wait(uint32_t ms);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const bool manual_reset_;
  bool signalled_;
};

// true when every event was signalled within ms milliseconds in all.
bool wait_all(Event* const* events, int count, uint32_t ms);
