// The rollout's texts: the confirmation's plan line, the dry run's lines,
// the halt line, the Result column of a waiting card.
#include <string>

#include "protocol/address.h"
#include "protocol/packet.h"
#include "upgrade/policy/rollout.h"

namespace {

std::string step_text(const WaveStep& step) {
  return std::to_string(step.value) + (step.percent ? " %" : "");
}

}  // namespace

std::string budget_words(int budget) {
  if (budget < 0) return "never stops for failures";
  if (budget == 0) return "stops after the first failure";
  return "stops after " + std::to_string(budget + 1) + " failures";
}

std::string rollout_plan_line(const std::vector<WaveStep>& steps, int budget) {
  std::string line = "In waves: ";
  if (steps.empty()) {
    line = "In one wave of every card";
  } else {
    for (size_t i = 0; i + 1 < steps.size(); ++i) line += step_text(steps[i]) + ", ";
    line += (steps.size() > 1 ? "then " : "") + step_text(steps.back()) + " at a time";
  }
  return line + "; " + budget_words(budget) + ".";
}

std::string waiting_column_text(int wave) { return "waiting, wave " + std::to_string(wave); }

std::string dry_run_line(uint32_t ip, int wave) {
  return std::string(ip_to_text(ip)) + " wave " + std::to_string(wave);
}

std::string dry_run_summary(const RolloutPlan& plan) {
  if (plan.cards.empty()) return "plan: no cards to send; " + budget_words(plan.budget);
  // Runs of equal waves as "30 x 3".
  std::vector<size_t> sizes(static_cast<size_t>(plan.waves), 0);
  for (const PlannedCard& c : plan.cards) ++sizes[static_cast<size_t>(c.wave - 1)];
  std::string list;
  for (size_t i = 0; i < sizes.size();) {
    size_t j = i;
    while (j < sizes.size() && sizes[j] == sizes[i]) ++j;
    list += (list.empty() ? "" : ", ") + std::to_string(sizes[i]) +
            (j - i > 1 ? " x " + std::to_string(j - i) : "");
    i = j;
  }
  return "plan: " + cards_words(static_cast<long long>(plan.cards.size())) + " in " +
         std::to_string(plan.waves) + (plan.waves == 1 ? " wave (" : " waves (") + list + "); " +
         budget_words(plan.budget);
}

std::string halt_line(const RolloutStatus& s, const std::vector<CardResult>& cards) {
  if (!s.halted) return "";
  std::string line = "Rollout halted in wave " + std::to_string(s.halted_in_wave) + ": ";
  for (size_t i = 0; i < s.failed.size() && i < HALT_LINE_CARDS; ++i) {
    CardResult card;
    card.ip = s.failed[i];
    for (const CardResult& c : cards)
      if (c.ip == card.ip) card = c;  // the latest
    if (i) line += ", ";
    line += std::string(ip_to_text(card.ip)) + " " + failure_words(card);
  }
  if (s.failed.size() > HALT_LINE_CARDS)
    line += " and " + std::to_string(s.failed.size() - HALT_LINE_CARDS) + " more";
  if (s.halted_unreachable) line = line.substr(0, line.find(": ") + 2) + s.halt_reason;
  else if (s.failed.empty()) line += s.halt_reason;
  if (s.not_started) line += "; " + cards_words(s.not_started) + " not started";
  return line + ".";
}

std::string budget_plan_words(const RolloutPlan& plan) {
  const RolloutPolicy& p = plan.policy;
  const int planned = static_cast<int>(plan.cards.size());
  std::string words =
      plan.budget < 0 ? std::string("never halts for failures")
                      : budget_boundary_words(p.failures.on() ? p.failures : Budget{plan.budget, false},
                                              plan.budget, p.min_settled, planned, "failure");
  if (plan.unreachable_budget < 0)
    words += "; cards without an answer do not halt it";
  else
    words += "; " + budget_boundary_words(p.unreachable, plan.unreachable_budget, p.min_settled,
                                          plan.unreachable_base, "card without an answer");
  return words;
}

std::string wave_policy_words(const RolloutPolicy& p) {
  std::string words;
  if (p.wave_delay_ms > 0)
    words = "each wave starts " + delay_text(p.wave_delay_ms) + " after the one before settled";
  if (p.gate != WaveGate::none) {
    if (!words.empty()) words += "; ";
    words += p.gate == WaveGate::manual ? "a person opens each wave after the first"
                                        : "a person opens the second wave";
  }
  return words;
}
