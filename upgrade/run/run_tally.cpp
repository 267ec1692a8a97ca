#include "upgrade/run/run_tally.h"

#include <algorithm>

#include "upgrade/policy/rollout.h"

void RunTally::plan(const std::vector<RunCard>& cards, bool waves) {
  waves_ = waves;
  int last = 1;
  for (const RunCard& c : cards) {
    Card card;
    card.wave = std::max(1, c.wave);
    last = std::max(last, card.wave);
    cards_[c.record.ip] = card;
  }
  state.waves.assign(static_cast<size_t>(last), RunWindowWave{});
  for (const auto& [ip, card] : cards_) ++wave_of(card).planned;
  state.changed = true;
}

RunWindowWave& RunTally::wave_of(const Card& card) {
  return state.waves[static_cast<size_t>(card.wave - 1)];
}

void RunTally::started(uint32_t ip) {
  auto it = cards_.find(ip);
  if (it == cards_.end() || it->second.stage != Stage::planned) return;
  it->second.stage = Stage::sending;
  ++wave_of(it->second).sending;
  state.sending[ip] = 0;
  state.changed = true;
}

void RunTally::percent(uint32_t ip, int percent) {
  auto it = state.sending.find(ip);
  if (it == state.sending.end()) return;
  it->second = percent;
  state.changed = true;
}

void RunTally::count_in(Card& card, Verdict verdict) {
  if (card.counted) return;
  card.counted = true;
  RunWindowWave& wave = wave_of(card);
  state.changed = true;
  if (verdict == Verdict::not_started_halted || verdict == Verdict::not_started_stopped ||
      verdict == Verdict::not_started_window) {
    ++wave.not_started;
    return;
  }
  ++wave.settled;
  if (verdict_fails_run(verdict)) ++wave.failed;
}

void RunTally::line(const CardResult& card) {
  auto it = cards_.find(card.ip);
  if (it == cards_.end()) return;
  if (it->second.stage == Stage::sending) --wave_of(it->second).sending;
  it->second.stage = Stage::in;
  state.sending.erase(card.ip);
  state.changed = true;
  if (verdict_settled(card.verdict)) count_in(it->second, card.verdict);
}

void RunTally::settled(const CardResult& card) {
  auto it = cards_.find(card.ip);
  if (it == cards_.end() || !verdict_settled(card.verdict)) return;
  it->second.stage = Stage::in;
  count_in(it->second, card.verdict);
}

int RunTally::not_started() const {
  int n = 0;
  for (const auto& [ip, card] : cards_)
    if (card.stage == Stage::planned) ++n;
  return n;
}

TaskbarState taskbar_state(const BatchProgress& progress, int questions) {
  if (progress.total <= 0) return TaskbarState::none;
  if (questions > 0) return TaskbarState::paused;
  return progress.failed ? TaskbarState::error : TaskbarState::normal;
}
