#pragma once
// A rollout's policy as the operator gives it, read once for every front
// (the command line's options, the Rollout dialog's fields): the budgets by
// kind and share, the time between waves, the gate a person opens, and the
// order the cards go in.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The most cards of a kind a run allows: a number, or a share (0-100 %) of
// its cards rounded down. The one boundary rule for every budget: the
// count may reach it; the card that takes it past halts the run. A share
// trips only once at least min_settled cards have settled (all of them,
// in a run of fewer cards).
struct Budget {
  int value = -1;        // below 0: none
  bool percent = false;  // value is a percentage
  bool on() const { return value >= 0; }
  bool operator==(const Budget&) const = default;
};
inline constexpr int MIN_SETTLED_DEFAULT = 10;
inline constexpr int BUDGET_CARDS_MAX = 1000000;

// The cards a budget allows of base cards; -1 without a budget.
int budget_allowed(const Budget& budget, size_t base);
// Whether count has gone past the budget, settled cards being in so far.
bool budget_spent(const Budget& budget, int allowed, int count, int settled, int min_settled,
                  int base);
// "3", "10%"; "" without a budget.
std::string budget_text(const Budget& budget);
// "1st", "2nd", "3rd", "11th".
std::string ordinal(long long n);
// The boundary as the plan states it: "halts at the 3rd failure", "halts at
// the 5th failure (10% of 40 cards, once 10 have settled)"; kind: "failure",
// "card without an answer".
std::string budget_boundary_words(const Budget& budget, int allowed, int min_settled, int base,
                                  const char* kind);

// When the next wave may start once the one before settled.
enum class WaveGate {
  none,    // at once (after the delay)
  manual,  // after every wave a person opens the next
  first,   // a person opens the second wave; later ones follow on their own
};
// The order the eligible cards go in.
enum class OrderKind {
  given,    // as named, listed and found
  spread,   // round-robin across their /24 subnets (and sites)
  shuffle,  // a seeded random order
};
struct CardOrdering {
  OrderKind kind = OrderKind::given;
  uint32_t seed = 0;
  bool seeded = false;  // the seed was given (else the run draws one)
  bool operator==(const CardOrdering&) const = default;
};

struct RolloutPolicy {
  Budget failures;     // none: the run's default (0 with waves, else no budget)
  Budget unreachable;  // none: cards without an answer never halt the run
  int min_settled = MIN_SETTLED_DEFAULT;
  int64_t wave_delay_ms = 0;
  WaveGate gate = WaveGate::none;
  CardOrdering order;
  bool operator==(const RolloutPolicy&) const = default;
  // Anything beyond the plain waves: the run is a rollout.
  bool any() const {
    return failures.on() || unreachable.on() || wave_delay_ms > 0 || gate != WaveGate::none ||
           order.kind != OrderKind::given;
  }
};

// The policy as typed: an empty text keeps the default.
struct PolicyTexts {
  std::string max_failures, max_unreachable, min_settled, wave_delay, wave_gate, order;
};
enum class PolicyField { none, max_failures, max_unreachable, min_settled, wave_delay, wave_gate, order };
// False with *why (without the field's name: each front names it its own
// way) and *field; *policy unchanged then.
bool read_policy(const PolicyTexts& texts, RolloutPolicy* policy, std::string* why,
                 PolicyField* field);
// The texts of a policy, as read_policy reads them back.
PolicyTexts policy_texts(const RolloutPolicy& policy);

// "30m", "2h", "1d", "90s", "1h30m"; at most 30 days. 0 is none.
bool read_duration(const std::string& text, int64_t* ms, std::string* why);
// "1h30m", "2h", "1d"; "0m" for none.
std::string delay_text(int64_t ms);
// "manual", "first", "none".
const char* wave_gate_word(WaveGate gate);
// "given", "spread", "shuffle:SEED" (the seed only once it is known).
std::string order_text(const CardOrdering& order);

// A seed for a shuffle given none: from the clock and the system's entropy.
uint32_t fresh_seed();
// The cards in the ordering's order. sites: each card's site (a list of a
// multi-list run), same length as ips, or empty. spread takes one card of
// each site and /24 subnet in turn, in the order they first come; shuffle
// orders by a hash of the seed and the address, so the same seed gives the
// same order whatever order the cards came in. Ordering its own result
// again changes nothing.
std::vector<uint32_t> ordered_cards(const std::vector<uint32_t>& ips, const std::vector<int>& sites,
                                    const CardOrdering& order);
