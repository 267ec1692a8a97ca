#pragma once
// What the upgrade command tells beside its report lines: why an image is
// refused, the progress of a run (the live line on a terminal, a line now
// and then off one) and the dry run's plan.
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "settings/schedule.h"
#include "upgrade/run/run.h"

// The command line's words for an image refused (refusal: the window's
// text): the file named, with the system's reason when it cannot be read,
// "cannot read the image fw.bin: No such file or directory".
std::string image_error_text(const std::string& path, const char* refusal);

// What a run is doing and waiting for, as its events tell it.
struct RunProgress {
  using Clock = std::chrono::steady_clock;
  size_t cards = 0;  // in the run
  size_t done = 0;   // whose line came
  int waves = 0;     // planned (0: no waves)
  int wave = 0;      // begun
  RunWait wait = RunWait::nothing;
  RunSchedule schedule;
  std::string next_wave;  // "wave 2 starts at 2026-12-10 03:30" while a delay holds it
  // The transfers under way: bytes sent of each; the image's size.
  std::map<uint32_t, uint32_t> sending;
  uint32_t image_size = 0;
  // Cards sent whole whose check is out, since when; with --verify they
  // wait (checks_deferred) until every transfer ended.
  std::map<uint32_t, Clock::time_point> checking;
  bool checks_deferred = false;
  // Bytes sent in all, sampled for the rate of the last seconds.
  std::vector<std::pair<Clock::time_point, uint64_t>> samples;
};

void progress_sample(RunProgress& p, uint64_t bytes_sent, RunProgress::Clock::time_point now);
// "wave 3/7: sending 4 cards, 1.2 of 4.0 MB at 450.3 KB/s; 12/40 cards done",
// "wave 3/7: checking 2 cards, 1:20 of 5:00; 14/40 cards done",
// "waiting for the window 22:00-05:00; 14/40 cards done"; no time left it
// cannot know. Empty when the run waits for nothing.
std::string progress_text(const RunProgress& p, RunProgress::Clock::time_point now);

// The dry run's plan: each card's wave or the line it would get on
// stdout (with json: one object per card, then {"plan": {...}}), the plan,
// the budget and the schedule on stderr. The exit status.
int print_dry_run(std::vector<RunCard> cards, const RunOptions& options, bool versionless,
                  bool json);
