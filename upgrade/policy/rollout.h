#pragma once
// A rollout: the eligible cards of a batch (batch order) split into waves,
// fixed when the run starts. A wave begins only when every card of the
// waves before it has settled: its check after the upgrade said applied or
// not verified, or it failed. Failures are counted against a budget for
// the whole run; once they exceed it the run halts: nothing more starts,
// the cards already sending finish and are checked (their failures still
// count), and every card not started is reported not started.
//
// The state belongs to the run's loop: every decision is a plain call on
// its thread, made as the outcomes come in.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "protocol/text.h"
#include "upgrade/policy/policy.h"
#include "upgrade/record/results.h"

// ---- The plan

// One entry of a wave list: a number of cards, or a percentage (1-100) of
// the eligible cards, rounded down and at least 1.
struct WaveStep {
  bool percent = false;
  uint32_t value = 0;
};
inline constexpr uint32_t WAVE_CARDS_MAX = 1000000;
// "1,5,20%" (blanks around entries allowed). False with *why naming the
// entry refused, e.g. `wave "0": a wave holds at least 1 card`.
bool read_wave_list(const std::string& text, std::vector<WaveStep>* steps, std::string* why);
// The sizes of the waves for that many eligible cards: the last entry
// repeats until every card is planned; the last wave takes what is left.
// No steps: one wave of every card. No cards: no waves.
std::vector<size_t> wave_sizes(const std::vector<WaveStep>& steps, size_t eligible);

// The failures a run allows: --max-failures when given (max_failures >= 0),
// else 0 with waves, else no budget at all.
inline constexpr int NO_FAILURE_BUDGET = -1;
int failure_budget(bool waves, int max_failures);

struct PlannedCard {
  uint32_t ip = 0;  // network byte order
  int wave = 0;     // from 1
};
struct RolloutPlan {
  std::vector<WaveStep> steps;  // empty: one wave
  int budget = NO_FAILURE_BUDGET;  // the failures allowed (a share worked out for the cards)
  std::vector<PlannedCard> cards;  // the eligible cards, batch order
  int waves = 0;
  // The policy beyond the waves; its failures budget as given (a count, or
  // a share of the cards planned).
  RolloutPolicy policy;
  // The cards without an answer allowed (-1: they never halt), a share of
  // the cards planned and of those that did not answer before the run.
  int unreachable_budget = -1;
  int unreachable_base = 0;
};
RolloutPlan make_rollout_plan(const std::vector<WaveStep>& steps, int budget,
                              const std::vector<uint32_t>& eligible);
// The budgets, the gate and the delay of a policy on a plan: unanswered is
// how many cards the run has that did not answer before it.
void apply_policy(RolloutPlan* plan, const RolloutPolicy& policy, int unanswered);
// The card's wave, 0 when it is not in the plan.
int planned_wave(const RolloutPlan& plan, uint32_t ip);

// ---- The run

enum class StartDecision {
  start,  // the card is marked started: send it now
  wait,   // its wave has not begun yet: ask again after the next settling
  never,  // the run halted: the card is marked not started, report it so
          // (also for a card not in the plan, which is not marked)
};

// A gate before a wave: when the wave before settled, and who opened (or
// refused) it, when.
struct WaveGateRecord {
  int wave = 0;  // the wave it lets go
  LocalTime asked{};
  bool answered = false;
  bool opened = false;
  std::string who;  // "alice at the terminal", "the window's Resume (bob)"
  LocalTime at{};
};

struct RolloutStatus {
  int cards = 0;      // planned
  int waves = 0;      // planned
  int waves_run = 0;  // begun
  int started = 0;
  int settled = 0;
  int failures = 0;  // the true count, those after the halt included
  int budget = NO_FAILURE_BUDGET;
  int not_started = 0;
  bool halted = false;
  int halted_in_wave = 0;   // the wave whose failure halted the run
  std::string halt_reason;  // "2 cards failed, more than the 1 allowed"; empty unless halted
  std::vector<uint32_t> failed;  // the cards that failed, in the order they did
  int unreachable = 0;        // cards that gave no answer before their transfer
  int unreachable_budget = -1;
  bool halted_unreachable = false;  // the unreachable budget halted it
  // The wave that waits for the one before to be let go (its delay, its
  // gate); 0: none.
  int held_wave = 0;
  // Every gate a person was asked to open, in order.
  std::vector<WaveGateRecord> gates;
};

class Rollout {
 public:
  explicit Rollout(RolloutPlan plan);
  Rollout(const Rollout&) = delete;
  Rollout& operator=(const Rollout&) = delete;

  const RolloutPlan& plan() const { return plan_; }

  // Before each start, in batch order: start (the card is marked started),
  // never, or wait while its wave has not begun. A card asked again after
  // its decision was given gets it again; a card not in the plan gets never
  // and is not counted.
  StartDecision begin(uint32_t ip);
  // A started card's verdict as it changes (its line, then its check): a
  // verdict still pending or checking waits; any other settles the card, as
  // a failure when it counts against the budget.
  void judged(uint32_t ip, Verdict verdict);
  // Every planned card not started yet is marked not started (the run is
  // over, or stopped from outside); their addresses in plan order.
  std::vector<uint32_t> end_unstarted();
  // A planned card that will not be sent after all (the operator stopped
  // it before its turn): settled with that verdict.
  void abandon(uint32_t ip, Verdict verdict);
  // True when every started card has settled.
  bool all_settled() const;
  // The wave held by the policy (delay or gate) once the one before it
  // settled, 0: none; whether a person must open it.
  int held_wave() const { return status_.held_wave; }
  bool held_by_gate() const;
  // The held wave begins (its delay is over and its gate opened).
  void open_wave();
  // A gate asked, then answered (refused: the run stops starting).
  void gate_asked(int wave, const LocalTime& at);
  void gate_answered(bool opened, const std::string& who, const LocalTime& at);
  // The wave the next start belongs to (from 1).
  int wave_under_way() const { return status_.waves_run; }

  RolloutStatus status() const;
  // Called once per card as it settles (or is marked not started), after
  // the state has changed.
  std::function<void(uint32_t ip, Verdict verdict)> settled;

 private:
  enum class State { planned, sending, checking, done, failed, not_started };
  struct Card {
    uint32_t ip;
    int wave;
    State state;
  };
  Card* find(uint32_t ip);
  // The next waves begin when the earlier ones settled.
  void advance();
  // Halts the run when a budget is spent.
  void weigh();
  void count_unreachable();
  // The card's final state; true when it changed.
  bool settle(Card* card, State state);

  RolloutPlan plan_;
  std::vector<Card> cards_;
  std::map<uint32_t, size_t> index_;  // by address, into cards_
  std::vector<int> unsettled_;  // per wave (index wave - 1): cards not settled
  RolloutStatus status_;
  bool over_ = false;  // end_unstarted was called: no wave begins any more
  int unplanned_unreachable_ = 0;  // cards without an answer the plan left out
  int last_wave_ = 0;              // the wave of the card that settled last
};

// ---- Texts

// Why a rollout of an image without a version is refused (the command-line
// tool without --force, the window's waves).
inline constexpr const char* VERSIONLESS_ROLLOUT_TEXT =
    "the image has no version: a rollout in waves or with a failure budget could not tell which "
    "cards took it";

// The confirmation's last line: "In waves: 1, then 25 % at a time; stops
// after the first failure."
std::string rollout_plan_line(const std::vector<WaveStep>& steps, int budget);
// "stops after the first failure", "stops after 3 failures", "never stops
// for failures".
std::string budget_words(int budget);
// The Result column of a card waiting for its wave: "waiting, wave 3".
std::string waiting_column_text(int wave);
// The dry run's line of a planned card: "10.69.0.5 wave 2".
std::string dry_run_line(uint32_t ip, int wave);
// Its summary on stderr, equal waves in one: "plan: 120 cards in 6 waves
// (1, 12, 30 x 3, 17); stops after the first failure".
std::string dry_run_summary(const RolloutPlan& plan);
// The report's first line when the run halted, empty when it did not: the
// cards that failed (the first HALT_LINE_CARDS, then how many more) and
// why, from their latest results in cards:
// "Rollout halted in wave 1: 198.18.3.16 not applied (still 1.02); 5 cards not started."
inline constexpr size_t HALT_LINE_CARDS = 3;
std::string halt_line(const RolloutStatus& status, const std::vector<CardResult>& cards);
// The budgets' boundaries, one rule for both: "halts at the 3rd failure;
// cards without an answer do not halt it".
std::string budget_plan_words(const RolloutPlan& plan);
// The time and gate between waves: "each wave starts 2h after the one
// before settled; a person opens each wave after the first"; "" for none.
std::string wave_policy_words(const RolloutPolicy& policy);
// "1 card", "3 cards".
std::string cards_words(long long n);
