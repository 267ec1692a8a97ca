#include "upgrade/policy/rollout.h"
#include "protocol/text.h"

#include <algorithm>
#include <utility>

namespace {

// "none allowed", "more than the 2 allowed", "more than the 2 allowed (10% of 25)".
std::string allowed_words(const Budget& budget, int allowed, int base) {
  if (allowed == 0 && !budget.percent) return "none allowed";
  std::string words = "more than the " + std::to_string(allowed) + " allowed";
  if (budget.percent) words += " (" + budget_text(budget) + " of " + std::to_string(base) + ")";
  return words;
}

}  // namespace

std::string cards_words(long long n) { return std::to_string(n) + (n == 1 ? " card" : " cards"); }

bool read_wave_list(const std::string& text, std::vector<WaveStep>* steps, std::string* why) {
  std::vector<WaveStep> out;
  size_t at = 0;
  for (int entry = 1;; ++entry) {
    const size_t comma = text.find(',', at);
    const std::string raw = text.substr(at, comma == std::string::npos ? comma : comma - at);
    const std::string item = trimmed(raw);
    const std::string named = "wave \"" + item + "\"";
    if (item.empty()) {
      *why = "wave list \"" + text + "\": entry " + std::to_string(entry) + " is empty";
      return false;
    }
    WaveStep step;
    std::string number = item;
    if (number.back() == '%') {
      step.percent = true;
      number = trimmed(number.substr(0, number.size() - 1));
    }
    if (!read_decimal(number, 7, &step.value)) {
      *why = named + ": not a number of cards or a percentage (like 5 or 20%)";
      return false;
    }
    if (step.percent && (step.value < 1 || step.value > 100)) {
      *why = named + ": a percentage is 1 to 100";
      return false;
    }
    if (!step.percent && step.value < 1) {
      *why = named + ": a wave holds at least 1 card";
      return false;
    }
    if (!step.percent && step.value > WAVE_CARDS_MAX) {
      *why = named + ": at most " + std::to_string(WAVE_CARDS_MAX) + " cards";
      return false;
    }
    out.push_back(step);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  *steps = out;
  return true;
}

std::vector<size_t> wave_sizes(const std::vector<WaveStep>& steps, size_t eligible) {
  std::vector<size_t> sizes;
  if (steps.empty()) {
    if (eligible) sizes.push_back(eligible);
    return sizes;
  }
  for (size_t left = eligible, i = 0; left > 0; ++i) {
    const WaveStep& step = steps[std::min(i, steps.size() - 1)];
    size_t size = step.percent ? static_cast<size_t>(uint64_t{eligible} * step.value / 100)
                               : step.value;
    size = std::min(std::max<size_t>(size, 1), left);
    sizes.push_back(size);
    left -= size;
  }
  return sizes;
}

int failure_budget(bool waves, int max_failures) {
  if (max_failures >= 0) return max_failures;
  return waves ? 0 : NO_FAILURE_BUDGET;
}

RolloutPlan make_rollout_plan(const std::vector<WaveStep>& steps, int budget,
                              const std::vector<uint32_t>& eligible) {
  RolloutPlan plan;
  plan.steps = steps;
  plan.budget = budget;
  const std::vector<size_t> sizes = wave_sizes(steps, eligible.size());
  plan.waves = static_cast<int>(sizes.size());
  size_t at = 0;
  for (size_t w = 0; w < sizes.size(); ++w)
    for (size_t k = 0; k < sizes[w]; ++k) plan.cards.push_back({eligible[at++], int(w) + 1});
  return plan;
}

void apply_policy(RolloutPlan* plan, const RolloutPolicy& policy, int unanswered) {
  plan->policy = policy;
  const size_t planned = plan->cards.size();
  if (policy.failures.on()) plan->budget = budget_allowed(policy.failures, planned);
  plan->unreachable_base = static_cast<int>(planned) + unanswered;
  plan->unreachable_budget =
      budget_allowed(policy.unreachable, static_cast<size_t>(plan->unreachable_base));
}

int planned_wave(const RolloutPlan& plan, uint32_t ip) {
  for (const PlannedCard& c : plan.cards)
    if (c.ip == ip) return c.wave;
  return 0;
}

// ---- The run

Rollout::Rollout(RolloutPlan plan) : plan_(std::move(plan)) {
  for (const PlannedCard& c : plan_.cards) {
    index_.emplace(c.ip, cards_.size());
    cards_.push_back({c.ip, c.wave, State::planned});
  }
  unsettled_.assign(static_cast<size_t>(plan_.waves), 0);
  for (const Card& c : cards_) ++unsettled_[static_cast<size_t>(c.wave - 1)];
  status_.cards = static_cast<int>(cards_.size());
  status_.waves = plan_.waves;
  status_.budget = plan_.budget;
  status_.unreachable_budget = plan_.unreachable_budget;
  status_.waves_run = plan_.waves > 0 ? 1 : 0;
}

Rollout::Card* Rollout::find(uint32_t ip) {
  auto it = index_.find(ip);
  return it == index_.end() ? nullptr : &cards_[it->second];
}

void Rollout::advance() {
  while (!status_.halted && !over_ && !status_.held_wave && status_.waves_run < status_.waves &&
         unsettled_[static_cast<size_t>(status_.waves_run - 1)] == 0) {
    // The policy may hold the next wave: a delay after this one, or a gate.
    const RolloutPolicy& p = plan_.policy;
    if (p.wave_delay_ms > 0 || p.gate == WaveGate::manual ||
        (p.gate == WaveGate::first && status_.waves_run == 1)) {
      status_.held_wave = status_.waves_run + 1;
      return;
    }
    ++status_.waves_run;
  }
}

bool Rollout::held_by_gate() const {
  const WaveGate gate = plan_.policy.gate;
  return status_.held_wave &&
         (gate == WaveGate::manual || (gate == WaveGate::first && status_.held_wave == 2));
}

void Rollout::open_wave() {
  if (!status_.held_wave || status_.halted || over_) return;
  status_.waves_run = status_.held_wave;
  status_.held_wave = 0;
  advance();
}

void Rollout::gate_asked(int wave, const LocalTime& at) {
  WaveGateRecord g;
  g.wave = wave;
  g.asked = at;
  status_.gates.push_back(g);
}

void Rollout::gate_answered(bool opened, const std::string& who, const LocalTime& at) {
  if (status_.gates.empty() || status_.gates.back().answered) return;
  WaveGateRecord& g = status_.gates.back();
  g.answered = true;
  g.opened = opened;
  g.who = who;
  g.at = at;
}

// Cards in so far, for a share's least: those settled and those that
// never had a turn for want of an answer.
void Rollout::weigh() {
  if (status_.halted) return;
  const RolloutPolicy& p = plan_.policy;
  const int in = status_.settled + unplanned_unreachable_;
  const int planned = static_cast<int>(cards_.size());
  const Budget failures = p.failures.on() ? p.failures : Budget{plan_.budget, false};
  const bool failed =
      budget_spent(failures, plan_.budget, status_.failures, in, p.min_settled, planned);
  const bool silent = budget_spent(p.unreachable, plan_.unreachable_budget, status_.unreachable, in,
                                   p.min_settled, plan_.unreachable_base);
  if (!failed && !silent) return;
  status_.halted = true;
  status_.halted_unreachable = !failed;
  status_.halted_in_wave = last_wave_;
}

void Rollout::count_unreachable() { ++status_.unreachable; }



bool Rollout::settle(Card* card, State state) {
  if (card->state != State::planned && card->state != State::sending &&
      card->state != State::checking)
    return false;
  const bool was_started = card->state != State::planned;
  card->state = state;
  --unsettled_[static_cast<size_t>(card->wave - 1)];
  if (state == State::not_started) {
    ++status_.not_started;
  } else if (was_started) {
    ++status_.settled;
  }
  if (state == State::failed) {
    ++status_.failures;
    status_.failed.push_back(card->ip);
  }
  last_wave_ = card->wave;
  weigh();
  advance();
  return true;
}

StartDecision Rollout::begin(uint32_t ip) {
  Card* card = find(ip);
  if (!card || card->state == State::not_started) return StartDecision::never;
  if (card->state != State::planned) return StartDecision::start;
  if (status_.halted || over_) {
    settle(card, State::not_started);
    if (settled) settled(ip, Verdict::not_started_halted);
    return StartDecision::never;
  }
  if (card->wave > status_.waves_run) return StartDecision::wait;
  card->state = State::sending;
  ++status_.started;
  return StartDecision::start;
}

void Rollout::judged(uint32_t ip, Verdict verdict) {
  Card* card = find(ip);
  if (!card && verdict == Verdict::no_connection) {
    // A card that did not answer before the run: never planned, counted.
    count_unreachable();
    ++unplanned_unreachable_;
    last_wave_ = std::max(status_.waves_run, 1);
    weigh();
    return;
  }
  if (!card || (card->state != State::sending && card->state != State::checking)) return;
  if (verdict == Verdict::no_connection) count_unreachable();
  if (!verdict_settled(verdict)) {
    card->state = State::checking;
    return;
  }
  const State state = verdict_counts_against_budget(verdict) ? State::failed : State::done;
  if (settle(card, state) && settled) settled(ip, verdict);
}

void Rollout::abandon(uint32_t ip, Verdict verdict) {
  Card* card = find(ip);
  if (!card || card->state != State::planned) return;
  // Counted as started and settled, as its verdict says.
  card->state = State::sending;
  ++status_.started;
  const State state = verdict_counts_against_budget(verdict) ? State::failed : State::done;
  if (settle(card, state) && settled) settled(ip, verdict);
}

std::vector<uint32_t> Rollout::end_unstarted() {
  std::vector<uint32_t> ips;
  over_ = true;
  for (Card& c : cards_)
    if (c.state == State::planned) {
      settle(&c, State::not_started);
      ips.push_back(c.ip);
    }
  if (settled)
    for (uint32_t ip : ips) settled(ip, Verdict::not_started_halted);
  return ips;
}

bool Rollout::all_settled() const { return status_.settled == status_.started; }

RolloutStatus Rollout::status() const {
  RolloutStatus s = status_;
  if (s.halted && s.halted_unreachable) {
    s.halt_reason = cards_words(s.unreachable) + " gave no answer, " +
                    allowed_words(plan_.policy.unreachable, s.unreachable_budget,
                                  plan_.unreachable_base);
  } else if (s.halted) {
    s.halt_reason = cards_words(s.failures) + " failed, " +
                    allowed_words(plan_.policy.failures.on() ? plan_.policy.failures
                                                             : Budget{s.budget, false},
                                  s.budget, static_cast<int>(cards_.size()));
  }
  return s;
}
