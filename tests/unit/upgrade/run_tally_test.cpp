#include "upgrade/run/run_tally.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

uint32_t ip(int n) { return 0x0a000000u + static_cast<uint32_t>(n); }

std::vector<RunCard> planned(const std::vector<int>& waves) {
  std::vector<RunCard> cards;
  for (size_t i = 0; i < waves.size(); ++i) {
    RunCard c;
    c.record.ip = ip(static_cast<int>(i) + 1);
    c.wave = waves[i];
    cards.push_back(c);
  }
  return cards;
}

CardResult result(int n, CardOutcome outcome) {
  CardResult c;
  c.ip = ip(n);
  c.outcome = outcome;
  c.message = outcome == CardOutcome::not_started ? "" : c.message;
  c.verdict = verdict_of(c, true);
  return c;
}

using Counts = std::tuple<int, int, int, int, int>;
Counts counts(const RunWindowWave& w) { return {w.planned, w.sending, w.settled, w.failed, w.not_started}; }

// A card is in when its verdict is: at its check after " OK.", else at its
// line; a check that finds the old version fails it, a halt's card is not
// started.
TEST(RunTally, ACardIsInWithItsVerdict) {
  RunTally t;
  t.plan(planned({1, 2, 2, 2}), true);
  ASSERT_EQ(t.state.waves.size(), 2u);
  EXPECT_EQ(counts(t.state.waves[1]), Counts(3, 0, 0, 0, 0));
  EXPECT_EQ(t.not_started(), 4);

  t.started(ip(1));
  t.percent(ip(1), 42);
  EXPECT_EQ(t.state.sending.at(ip(1)), 42);
  t.percent(ip(9), 10);  // no card of the run
  EXPECT_EQ(t.state.sending.size(), 1u);
  t.line(result(1, CardOutcome::ok));
  EXPECT_TRUE(t.state.sending.empty());
  EXPECT_EQ(counts(t.state.waves[0]), Counts(1, 0, 0, 0, 0));  // checking
  t.settled(result(1, CardOutcome::applied));
  t.settled(result(1, CardOutcome::applied));  // told twice, counted once
  EXPECT_EQ(counts(t.state.waves[0]), Counts(1, 0, 1, 0, 0));

  t.started(ip(2));
  t.started(ip(3));
  EXPECT_EQ(counts(t.state.waves[1]), Counts(3, 2, 0, 0, 0));
  EXPECT_EQ(t.not_started(), 1);
  t.line(result(2, CardOutcome::ok));
  t.settled(result(2, CardOutcome::not_applied));
  t.line(result(3, CardOutcome::aborted));
  t.settled(result(3, CardOutcome::aborted));
  t.line(result(4, CardOutcome::not_started));
  t.settled(result(4, CardOutcome::not_started));
  EXPECT_EQ(counts(t.state.waves[1]), Counts(3, 0, 2, 2, 1));
  EXPECT_EQ(t.not_started(), 0);

  RunTally once;
  once.plan(planned({0, 0, 0}), false);
  ASSERT_EQ(once.state.waves.size(), 1u);
  once.started(ip(1));
  once.line(result(1, CardOutcome::ok));
  once.settled(result(1, CardOutcome::applied));
  once.line(result(2, CardOutcome::no_connection));  // never started
  once.line(result(3, CardOutcome::not_started));
  EXPECT_EQ(counts(once.state.waves[0]), Counts(3, 0, 2, 1, 1));
}

}  // namespace
