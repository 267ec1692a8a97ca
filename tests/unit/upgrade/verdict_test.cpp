// The one judge of a card, its table, and what a run's verdicts add up to.
#include <gtest/gtest.h>

#include "upgrade/record/results.h"
#include "upgrade/run/run.h"
#include "upgrade/record/verdict.h"

namespace {

CardResult card_of(CardOutcome outcome, const std::string& message = "") {
  CardResult c;
  c.outcome = outcome;
  c.message = message;
  return c;
}

// Each line and check as it ends, and everything every output reads of it.
TEST(Verdict, TheTable) {
  using O = CardOutcome;
  using V = Verdict;
  struct Row {
    O outcome;
    const char* message;
    bool checks;
    V verdict;
    const char* word;
    bool fine, fails, budget;
  };
  const Row rows[] = {
      {O::applied, "", true, V::applied, "applied", true, false, false},
      {O::ok, "", false, V::sent, "sent", true, false, false},
      {O::ok, "", true, V::checking, "checking", false, true, false},
      {O::not_verified, "", true, V::unverifiable, "unverifiable", true, false, false},
      {O::skipped_version, "", false, V::current, "current", true, false, false},
      {O::skipped_done, "a.csv", true, V::done_before, "done_before", true, false, false},
      // A check that heard the old version: failed, never fine (stays ticked).
      {O::not_applied, "", true, V::not_applied, "not_applied", false, true, true},
      {O::no_answer, "", true, V::no_answer_after, "no_answer_after", false, true, true},
      {O::card_error, "Flash error", false, V::refused, "refused", false, true, true},
      {O::timeout, "", false, V::transfer_failed, "transfer_failed", false, true, true},
      {O::socket_error, "", true, V::transfer_failed, "transfer_failed", false, true, true},
      {O::too_large, "", true, V::transfer_failed, "transfer_failed", false, true, true},
      {O::aborted, "", true, V::aborted, "aborted", false, true, true},
      // Silent before its turn: a failed card, but not the budget's.
      {O::no_connection, "", true, V::no_connection, "no_connection", false, true, false},
      {O::not_started, "", true, V::not_started_halted, "not_started_halted", false, false, false},
      {O::not_started, STOPPED_BY_OPERATOR, true, V::not_started_stopped, "not_started_stopped",
       false, false, false},
      {O::not_started, NOT_STARTED_WINDOW, true, V::not_started_window, "not_started_window",
       false, true, false},
      {O::pending, "", true, V::pending, "pending", false, true, false},
      {O::sending, "", false, V::pending, "pending", false, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.word);
    const V v = verdict_of(card_of(r.outcome, r.message), r.checks);
    EXPECT_EQ(v, r.verdict);
    EXPECT_STREQ(verdict_word(v), r.word);
    EXPECT_EQ(verdict_fine(v), r.fine);
    EXPECT_EQ(verdict_fails_run(v), r.fails);
    EXPECT_EQ(verdict_counts_against_budget(v), r.budget);
    V back = V::pending;
    ASSERT_TRUE(verdict_from_word(r.word, &back));
    EXPECT_EQ(back, v);
  }
  // Every verdict has its row, in order, and no word twice.
  ASSERT_EQ(verdict_table().size(), static_cast<size_t>(V::count_));
  for (size_t i = 0; i < verdict_table().size(); ++i) {
    EXPECT_EQ(static_cast<size_t>(verdict_table()[i].verdict), i);
    for (size_t k = 0; k < i; ++k)
      EXPECT_STRNE(verdict_table()[i].word, verdict_table()[k].word);
  }
  V none;
  EXPECT_FALSE(verdict_from_word("ok", &none));
  EXPECT_FALSE(verdict_from_word("applied ", &none));
}

std::vector<CardResult> judged(std::initializer_list<std::pair<CardOutcome, const char*>> list) {
  std::vector<CardResult> cards;
  for (const auto& [outcome, message] : list) {
    cards.push_back(card_of(outcome, message));
    cards.back().verdict = verdict_of(cards.back(), true);
  }
  return cards;
}

// The exit status, halted, stopped and failures always tell one story.
TEST(Verdict, WhatARunAddsUpTo) {
  using O = CardOutcome;
  struct Case {
    const char* name;
    std::vector<CardResult> cards;
    bool halted, stopped;
    int exit_status, failures;
    bool says_halted, says_stopped;
  };
  const Case cases[] = {
      {"all fine", judged({{O::applied, ""}, {O::skipped_version, ""}}), false, false,
       EXIT_ALL_OK, 0, false, false},
      {"a silent named card fails the run", judged({{O::applied, ""}, {O::no_connection, ""}}),
       false, false, EXIT_CARD_FAILED, 1, false, false},
      {"not applied fails the run", judged({{O::not_applied, ""}}), false, false, EXIT_CARD_FAILED,
       1, false, false},
      {"a check that never ended fails it", judged({{O::ok, ""}}), false, false,
       EXIT_CARD_FAILED, 1, false, false},
      {"the budget's halt", judged({{O::card_error, "x"}, {O::not_started, ""}}), true, false,
       EXIT_HALTED, 1, true, false},
      {"the operator's stop",
       judged({{O::applied, ""}, {O::not_started, STOPPED_BY_OPERATOR}}), false, true,
       EXIT_STOPPED, 0, false, true},
      {"a stop after everything started is no stop", judged({{O::applied, ""}}), false, true,
       EXIT_ALL_OK, 0, false, false},
      {"a halt first, then a stop: the halt", judged({{O::timeout, ""}, {O::not_started, ""}}),
       true, true, EXIT_HALTED, 1, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunVerdicts v = run_verdicts(c.cards, c.halted, c.stopped);
    EXPECT_EQ(v.exit_status, c.exit_status);
    EXPECT_EQ(v.failures, c.failures);
    EXPECT_EQ(v.halted, c.says_halted);
    EXPECT_EQ(v.stopped, c.says_stopped);
    EXPECT_EQ(v.cards, static_cast<int>(c.cards.size()));
  }
}

}  // namespace
