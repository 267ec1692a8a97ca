#pragma once
// What the run's own files share and no one else sees: a session place and
// the small helpers of the run.
#include <cstddef>
#include <cstring>

#include "upgrade/run/run.h"
#include "upgrade/session/session.h"

namespace run_detail {

class SilentView : public SessionView {
 public:
  void stage(SessionStage, const char*) override {}
  void set_progress_range(uint32_t) override {}
  void sent(uint32_t, uint32_t) override {}
  void close(int) override {}
};

inline int second_of_day(const LocalTime& t) { return t.hour * 3600 + t.minute * 60 + t.second; }
inline long long wall_clock(const LocalTime& t) {
  return wall_seconds(t.year, t.month, t.day, second_of_day(t));
}

// The local time `add` seconds after t, by the calendar.
LocalTime plus_seconds(const LocalTime& t, int64_t add);

// The record's fields are fixed arrays; a text that fills one has no NUL.
template <size_t N, size_t M>
void copy_text(char (&dest)[N], const char (&src)[M]) {
  size_t n = 0;
  while (n < M && n + 1 < N && src[n]) ++n;
  std::memcpy(dest, src, n);
  dest[n] = '\0';
}

}  // namespace run_detail

struct UpgradeRun::Slot {
  UploadSession session;
  run_detail::SilentView silent;
  SessionView* view = &silent;
  size_t card = 0;
  bool busy = false;
  Socket socket = 0;      // the port's socket of its transfer, while open
  int64_t due_ms = 0;     // the session's next tick or step
};
