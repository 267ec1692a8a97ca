#pragma once
// A run as the window shows it: every card's wave and where it stands, each
// wave's counts, the transfers running with their percentages, what the
// run waits for. Kept on the window's thread from the run's events.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "upgrade/record/results.h"
#include "upgrade/run/run.h"

// One wave's cards as they stand.
struct RunWindowWave {
  int planned = 0;
  int sending = 0;
  int settled = 0;  // in, whatever the outcome (the failed ones among them)
  int failed = 0;
  int not_started = 0;
};

struct RunWindowState {
  std::vector<RunWindowWave> waves;  // [0]: wave 1
  std::map<uint32_t, int> sending;   // card -> percent sent
  int wave_under_way = 0;            // 0: none yet
  RunWait wait = RunWait::nothing;
  int wait_wave = 0;
  RunSchedule schedule;              // the run's, for its waits' words
  bool paused = false;
  // A wave held by the policy: the counts of the one that settled ("Wave 1
  // settled: 1 applied, 0 failed"), the next ("wave 2 (5 cards)") and when
  // it starts by its delay ("2026-12-10 03:30", empty with a gate); gate:
  // Resume opens it.
  std::string settled_words, next_wave, next_at;
  bool gate = false;
  bool stopping = false;             // Stop said yes: the buttons are done
  std::string ended;                 // set when the run is over: why
  // After the report: what the run still waits for ("the recheck of 3
  // applied cards at 2026-12-10 14:32"); empty: nothing.
  std::string after_report;
  uint64_t started_ms = 0;           // the window's clock at the start
  uint64_t ended_ms = 0;             // and at the report; 0: not yet
  bool changed = true;               // drawn again at the next tick
};

class RunTally {
 public:
  // The cards as the run planned them (their waves); a card is in once its
  // verdict is (its line, or its check after " OK.").
  void plan(const std::vector<RunCard>& cards, bool waves);
  void started(uint32_t ip);
  void percent(uint32_t ip, int percent);
  void line(const CardResult& card);
  // A card's line settled, its check said, or the rollout settled it.
  void settled(const CardResult& card);
  // Cards not started yet, nor given a line.
  int not_started() const;

  RunWindowState state;

 private:
  enum class Stage { planned, sending, in };
  struct Card {
    int wave = 1;
    Stage stage = Stage::planned;
    bool counted = false;  // settled, failed or not started
  };
  RunWindowWave& wave_of(const Card& card);
  void count_in(Card& card, Verdict verdict);

  std::map<uint32_t, Card> cards_;
  bool waves_ = false;
};

enum class TaskbarState { none, normal, error, paused };
// What the button shows; questions is how many questions are open meanwhile.
TaskbarState taskbar_state(const BatchProgress& progress, int questions);
