// A rollout's policy: the options read the same way for every front, the
// budgets halting exactly at their boundary (by count, by share, with the
// least settled), cards without an answer apart from failures, and the
// spread and shuffled orders of a plan.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "upgrade/policy/policy.h"
#include "upgrade/policy/rollout.h"
#include "upgrade/policy/batch.h"
#include "upgrade/run/run.h"

namespace {

// 10.69.<subnet>.<n>
uint32_t ip_at(int subnet, int n) {
  return htonl(0x0A450000u | static_cast<uint32_t>(subnet) << 8 | static_cast<uint32_t>(n));
}

RolloutPolicy policy_of(const PolicyTexts& texts) {
  RolloutPolicy p;
  std::string why;
  PolicyField field = PolicyField::none;
  EXPECT_TRUE(read_policy(texts, &p, &why, &field)) << why;
  return p;
}

TEST(Policy, ReadsWhatBothFrontsType) {
  PolicyTexts t;
  t.max_failures = " 10% ";
  t.max_unreachable = "3";
  t.min_settled = "20";
  t.wave_delay = "1h30m";
  t.wave_gate = "manual";
  t.order = "shuffle:42";
  const RolloutPolicy p = policy_of(t);
  EXPECT_EQ(p.failures, (Budget{10, true}));
  EXPECT_EQ(p.unreachable, (Budget{3, false}));
  EXPECT_EQ(p.min_settled, 20);
  EXPECT_EQ(p.wave_delay_ms, 5400000);
  EXPECT_EQ(p.gate, WaveGate::manual);
  EXPECT_EQ(p.order, (CardOrdering{OrderKind::shuffle, 42, true}));
  // Its texts read back to the same policy.
  EXPECT_EQ(policy_of(policy_texts(p)), p);
  EXPECT_EQ(policy_of({}), RolloutPolicy{});
  EXPECT_FALSE(RolloutPolicy{}.any());

  struct Bad {
    PolicyTexts texts;
    PolicyField field;
    const char* why;
  };
  const Bad bad[] = {
      {{"101%", "", "", "", "", ""}, PolicyField::max_failures, "a percentage is 0 to 100"},
      {{"-1", "", "", "", "", ""}, PolicyField::max_failures, "\"-1\" is not a number"},
      {{"", "2.5", "", "", "", ""}, PolicyField::max_unreachable, "\"2.5\" is not a number"},
      {{"", "", "0", "", "", ""}, PolicyField::min_settled, "of 1 to"},
      {{"", "", "", "2 hours", "", ""}, PolicyField::wave_delay, "like 30m, 2h or 1d"},
      {{"", "", "", "31d", "", ""}, PolicyField::wave_delay, "at most 30 days"},
      {{"", "", "", "h", "", ""}, PolicyField::wave_delay, "like 30m"},
      {{"", "", "", "", "auto", ""}, PolicyField::wave_gate, "manual, first or none"},
      {{"", "", "", "", "", "random"}, PolicyField::order, "given, spread or shuffle"},
      {{"", "", "", "", "", "shuffle:x"}, PolicyField::order, "shuffle:SEED"},
  };
  for (const Bad& b : bad) {
    RolloutPolicy p;
    p.min_settled = 7;
    std::string why;
    PolicyField field = PolicyField::none;
    EXPECT_FALSE(read_policy(b.texts, &p, &why, &field)) << b.why;
    EXPECT_EQ(field, b.field) << b.why;
    EXPECT_NE(why.find(b.why), std::string::npos) << why;
    EXPECT_EQ(p.min_settled, 7) << "a refused policy leaves it as it was";
  }
  EXPECT_EQ(delay_text(30 * 60000), "30m");
  EXPECT_EQ(delay_text(86400000 + 2 * 3600000), "1d2h");
  EXPECT_EQ(ordinal(1) + ordinal(2) + ordinal(3) + ordinal(11) + ordinal(22), "1st2nd3rd11th22nd");
}

// ---- The budgets at their edge

// Cards 10.69.0.1.. in one wave, all started; events in turn: A applied,
// F failed, U silent before its transfer (planned), X silent before the
// run (not planned). The index of the event that halted, -1 for none.
struct Edge {
  const char* name;
  Budget failures, unreachable;
  int min_settled;
  int cards;
  int unanswered;  // cards that did not answer before the run
  const char* events;
  int halts_at;
  bool by_unreachable;
};

int halt_index(const Edge& e, RolloutStatus* status) {
  std::vector<uint32_t> ips;
  for (int n = 1; n <= e.cards; ++n) ips.push_back(ip_at(0, n));
  RolloutPolicy policy;
  policy.failures = e.failures;
  policy.unreachable = e.unreachable;
  policy.min_settled = e.min_settled;
  RolloutPlan plan = make_rollout_plan({}, failure_budget(false, -1), ips);
  apply_policy(&plan, policy, e.unanswered);
  Rollout rollout(plan);
  for (int n = 1; n <= e.cards; ++n) EXPECT_EQ(rollout.begin(ip_at(0, n)), StartDecision::start);
  int next = 1, outside = 1;
  for (int i = 0; e.events[i]; ++i) {
    switch (e.events[i]) {
      case 'A':
        rollout.judged(ip_at(0, next++), Verdict::applied);
        break;
      case 'F':
        rollout.judged(ip_at(0, next++), Verdict::not_applied);
        break;
      case 'U':
        rollout.judged(ip_at(0, next++), Verdict::no_connection);
        break;
      case 'X':
        rollout.judged(ip_at(9, outside++), Verdict::no_connection);
        break;
    }
    if (rollout.status().halted) {
      *status = rollout.status();
      return i;
    }
  }
  *status = rollout.status();
  return -1;
}

TEST(Budget, HaltsExactlyPastItsBoundary) {
  const Budget none;
  const Edge edges[] = {
      // A count: 2 failures may be, the 3rd halts.
      {"count_under_at_over", {2, false}, none, 10, 20, 0, "AFAFAF", 5, false},
      {"count_zero", {0, false}, none, 10, 20, 0, "AAF", 2, false},
      // 10% of 20 is 2: the same edge once enough have settled.
      {"share_least_1", {10, true}, none, 1, 20, 0, "FFF", 2, false},
      // The 3rd failure comes before 5 have settled: the 5th card halts it.
      {"share_waits_for_least", {10, true}, none, 5, 20, 0, "FFFAA", 4, false},
      {"share_never_over", {10, true}, none, 5, 20, 0, "FFAAAAAA", -1, false},
      // 20% of 5 allows 1; the least (10) is cut to the run's 5 cards.
      {"least_above_the_run", {20, true}, none, 10, 5, 0, "FFAAA", 4, false},
      // Cards without an answer are no failures...
      {"silent_no_failure", {0, false}, none, 10, 6, 0, "UUUA", -1, false},
      // ...and halt only with a budget of their own, counted before the
      // run too.
      {"unreachable_count", none, {1, false}, 10, 6, 1, "XFFU", 3, true},
      // 25% of 7 planned + 1 silent before the run = 2 allowed.
      {"unreachable_share", none, {25, true}, 1, 7, 1, "UXU", 2, true},
      {"failures_first", {1, false}, {5, false}, 10, 6, 0, "UFUF", 3, false},
  };
  for (const Edge& e : edges) {
    SCOPED_TRACE(e.name);
    RolloutStatus s;
    EXPECT_EQ(halt_index(e, &s), e.halts_at);
    EXPECT_EQ(s.halted_unreachable, e.by_unreachable);
  }
  RolloutStatus s;
  halt_index(edges[7], &s);
  EXPECT_EQ(s.unreachable, 2);
  EXPECT_EQ(s.failures, 2);
  EXPECT_EQ(s.halt_reason, "2 cards gave no answer, more than the 1 allowed");
  EXPECT_EQ(halt_line(s, {}), "Rollout halted in wave 1: 2 cards gave no answer, more than the 1 allowed.");
  halt_index(edges[2], &s);
  EXPECT_EQ(s.halt_reason, "3 cards failed, more than the 2 allowed (10% of 20)");
}

TEST(Budget, ThePlanStatesTheBoundary) {
  std::vector<uint32_t> ips;
  for (int n = 1; n <= 40; ++n) ips.push_back(ip_at(0, n));
  RolloutPlan plan = make_rollout_plan({}, failure_budget(true, 2), ips);
  apply_policy(&plan, RolloutPolicy{}, 0);
  EXPECT_EQ(budget_plan_words(plan), "halts at the 3rd failure; cards without an answer do not halt it");
  RolloutPolicy p;
  p.failures = {10, true};
  p.unreachable = {1, false};
  apply_policy(&plan, p, 0);
  EXPECT_EQ(plan.budget, 4);
  EXPECT_EQ(budget_plan_words(plan),
            "halts at the 5th failure (10% of 40 cards, once 10 have settled); halts at the 2nd "
            "card without an answer");
  p.wave_delay_ms = 2 * 3600000;
  p.gate = WaveGate::first;
  EXPECT_EQ(wave_policy_words(p),
            "each wave starts 2h after the one before settled; a person opens the second wave");
}

// ---- The gate and the delay hold the next wave

TEST(WaveHold, TheNextWaveWaitsUntilOpened) {
  std::vector<uint32_t> ips = {ip_at(0, 1), ip_at(0, 2), ip_at(0, 3)};
  for (WaveGate gate : {WaveGate::manual, WaveGate::first}) {
    RolloutPlan plan = make_rollout_plan({{false, 1}}, 0, ips);
    RolloutPolicy p;
    p.gate = gate;
    apply_policy(&plan, p, 0);
    Rollout r(plan);
    ASSERT_EQ(r.begin(ips[0]), StartDecision::start);
    r.judged(ips[0], Verdict::applied);
    EXPECT_EQ(r.held_wave(), 2);
    EXPECT_TRUE(r.held_by_gate());
    EXPECT_EQ(r.begin(ips[1]), StartDecision::wait);
    r.open_wave();
    ASSERT_EQ(r.begin(ips[1]), StartDecision::start);
    r.judged(ips[1], Verdict::applied);
    // Only the second wave has a gate of its own with "first".
    EXPECT_EQ(r.held_wave(), gate == WaveGate::manual ? 3 : 0);
    EXPECT_EQ(r.begin(ips[2]), gate == WaveGate::manual ? StartDecision::wait : StartDecision::start);
  }
}

// ---- The order of the cards

TEST(Order, SpreadWavesTouchEverySubnet) {
  // Nine cards listed subnet by subnet, in waves of 3.
  std::vector<RunCard> cards;
  for (int subnet = 1; subnet <= 3; ++subnet)
    for (int n = 1; n <= 3; ++n) {
      RunCard c;
      c.record.ip = ip_at(subnet, n);
      cards.push_back(c);
    }
  // A current card keeps its place and its line.
  cards[4].gate = CardOutcome::skipped_version;
  RolloutOptions options;
  options.on = true;
  options.steps = {{false, 2}};
  options.policy.order.kind = OrderKind::spread;
  std::vector<RunCard> run = cards;
  const RolloutPlan plan = plan_cards(&run, options);
  EXPECT_EQ(run[4].record.ip, ip_at(2, 2));
  EXPECT_EQ(run[4].wave, 0);
  std::vector<uint32_t> order;
  for (const PlannedCard& c : plan.cards) order.push_back(c.ip);
  EXPECT_EQ(order, (std::vector<uint32_t>{ip_at(1, 1), ip_at(2, 1), ip_at(3, 1), ip_at(1, 2),
                                          ip_at(2, 3), ip_at(3, 2), ip_at(1, 3), ip_at(3, 3)}));
  // The run goes in the plan's order, and planning it again changes nothing.
  std::vector<uint32_t> run_order;
  for (const RunCard& c : run)
    if (c.wave) run_order.push_back(c.record.ip);
  EXPECT_EQ(run_order, order);
  std::vector<RunCard> again = run;
  plan_cards(&again, options);
  for (size_t i = 0; i < run.size(); ++i) EXPECT_EQ(again[i].record.ip, run[i].record.ip);
  // Waves of 3 over 9 cards on 3 subnets: each wave on every subnet.
  std::vector<uint32_t> nine;
  for (const RunCard& c : cards) nine.push_back(c.record.ip);
  const std::vector<uint32_t> spread = ordered_cards(nine, {}, options.policy.order);
  for (size_t wave = 0; wave < 3; ++wave) {
    std::set<uint32_t> subnets;
    for (size_t k = 0; k < 3; ++k) subnets.insert(ntohl(spread[wave * 3 + k]) >> 8);
    EXPECT_EQ(subnets.size(), 3u) << "wave " << wave + 1;
  }
  // Sites of a run across sites are places of their own, one subnet or not.
  const std::vector<uint32_t> one_subnet = {ip_at(0, 1), ip_at(0, 2), ip_at(0, 3), ip_at(0, 4)};
  EXPECT_EQ(ordered_cards(one_subnet, {0, 0, 1, 1}, options.policy.order),
            (std::vector<uint32_t>{ip_at(0, 1), ip_at(0, 3), ip_at(0, 2), ip_at(0, 4)}));
}

TEST(Order, TheSameSeedGivesTheSamePlan) {
  std::vector<uint32_t> ips;
  for (int n = 1; n <= 50; ++n) ips.push_back(ip_at(n % 4, n));
  std::vector<uint32_t> reversed(ips.rbegin(), ips.rend());
  const CardOrdering seeded{OrderKind::shuffle, 1234, true};
  const std::vector<uint32_t> a = ordered_cards(ips, {}, seeded);
  EXPECT_EQ(ordered_cards(reversed, {}, seeded), a) << "whatever order they came in";
  EXPECT_NE(a, ips);
  EXPECT_NE(ordered_cards(ips, {}, CardOrdering{OrderKind::shuffle, 1235, true}), a);
  std::vector<uint32_t> sorted = a;
  std::sort(sorted.begin(), sorted.end());
  std::vector<uint32_t> all = ips;
  std::sort(all.begin(), all.end());
  EXPECT_EQ(sorted, all);
  EXPECT_EQ(order_text(seeded), "shuffle:1234");
}

}  // namespace
