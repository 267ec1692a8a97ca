#include "upgrade/record/verdict.h"

#include <iterator>

#include "upgrade/record/results.h"

namespace {

// One row per verdict, in enumeration order.
const std::vector<VerdictRules> VERDICTS = {
    // verdict, word, label; fine, fails the run, counts against the budget
    {Verdict::applied, "applied", "applied", true, false, false},
    {Verdict::sent, "sent", "OK, not checked", true, false, false},
    {Verdict::unverifiable, "unverifiable", "OK, not verified", true, false, false},
    {Verdict::current, "current", "skipped", true, false, false},
    {Verdict::done_before, "done_before", "skipped: done", true, false, false},
    {Verdict::checking, "checking", "OK", false, true, false},
    {Verdict::not_applied, "not_applied", "not applied", false, true, true},
    {Verdict::no_answer_after, "no_answer_after", "no answer after the upgrade", false, true, true},
    {Verdict::refused, "refused", "card error", false, true, true},
    {Verdict::transfer_failed, "transfer_failed", "transfer failed", false, true, true},
    {Verdict::aborted, "aborted", "User Aborted", false, true, true},
    {Verdict::no_connection, "no_connection", "No connection", false, true, false},
    {Verdict::not_started_halted, "not_started_halted", "not started", false, false, false},
    {Verdict::not_started_stopped, "not_started_stopped", "stopped by the operator", false, false,
     false},
    {Verdict::not_started_window, "not_started_window", "outside the window", false, true, false},
    {Verdict::pending, "pending", "not in yet", false, true, false},
};

bool rows_in_order() {
  if (VERDICTS.size() != static_cast<size_t>(Verdict::count_)) return false;
  for (size_t i = 0; i < VERDICTS.size(); ++i)
    if (static_cast<size_t>(VERDICTS[i].verdict) != i) return false;
  return true;
}

}  // namespace

const std::vector<VerdictRules>& verdict_table() { return VERDICTS; }

const VerdictRules& verdict_rules(Verdict verdict) {
  static const bool ordered = rows_in_order();
  const size_t i = static_cast<size_t>(verdict);
  return VERDICTS[ordered && i < VERDICTS.size() ? i : 0];
}

const char* verdict_word(Verdict verdict) { return verdict_rules(verdict).word; }

bool verdict_from_word(const std::string& word, Verdict* verdict) {
  for (const VerdictRules& r : VERDICTS)
    if (word == r.word) {
      *verdict = r.verdict;
      return true;
    }
  return false;
}

Verdict verdict_of(const CardResult& card, bool checks) {
  switch (card.outcome) {
    case CardOutcome::pending:
    case CardOutcome::sending:
      return Verdict::pending;
    case CardOutcome::ok:
      return checks ? Verdict::checking : Verdict::sent;
    case CardOutcome::applied:
      return Verdict::applied;
    case CardOutcome::not_verified:
      return Verdict::unverifiable;
    case CardOutcome::not_applied:
      return Verdict::not_applied;
    case CardOutcome::no_answer:
      return Verdict::no_answer_after;
    case CardOutcome::skipped_version:
      return Verdict::current;
    case CardOutcome::skipped_done:
      return Verdict::done_before;
    case CardOutcome::card_error:
      return Verdict::refused;
    case CardOutcome::timeout:
    case CardOutcome::socket_error:
    case CardOutcome::no_memory:
    case CardOutcome::too_large:
    case CardOutcome::no_session:
      return Verdict::transfer_failed;
    case CardOutcome::aborted:
      return Verdict::aborted;
    case CardOutcome::no_connection:
      return Verdict::no_connection;
    case CardOutcome::not_started:
      if (card.message == STOPPED_BY_OPERATOR) return Verdict::not_started_stopped;
      if (card.message == NOT_STARTED_WINDOW) return Verdict::not_started_window;
      return Verdict::not_started_halted;
    case CardOutcome::count_:
      break;
  }
  return Verdict::pending;
}

RunVerdicts run_verdicts(const std::vector<CardResult>& cards, bool halted, bool stopped) {
  RunVerdicts v;
  v.cards = static_cast<int>(cards.size());
  bool stop_kept_some = false;
  for (const CardResult& card : cards) {
    ++v.counts[card.verdict];
    if (verdict_fails_run(card.verdict)) ++v.failures;
    if (card.verdict == Verdict::not_started_stopped || card.verdict == Verdict::aborted)
      stop_kept_some = true;
  }
  v.halted = halted;
  v.stopped = !halted && stopped && stop_kept_some;
  v.exit_status = v.halted    ? EXIT_HALTED
                  : v.stopped ? EXIT_STOPPED
                  : v.failures ? EXIT_CARD_FAILED
                               : EXIT_ALL_OK;
  return v;
}

VerdictTally verdict_tally(Verdict verdict) {
  switch (verdict) {
    case Verdict::applied:
    case Verdict::sent:
    case Verdict::unverifiable:
      return VerdictTally::applied;
    case Verdict::current:
    case Verdict::done_before:
      return VerdictTally::skipped;
    case Verdict::not_started_halted:
    case Verdict::not_started_stopped:
    case Verdict::not_started_window:
    case Verdict::pending:
      return VerdictTally::not_started;
    case Verdict::checking:
    case Verdict::not_applied:
    case Verdict::no_answer_after:
    case Verdict::refused:
    case Verdict::transfer_failed:
    case Verdict::aborted:
    case Verdict::no_connection:
    case Verdict::count_:
      break;
  }
  return VerdictTally::failed;
}

const char* tally_label(VerdictTally tally) {
  switch (tally) {
    case VerdictTally::applied:
      return "applied";
    case VerdictTally::not_started:
      return "not started";
    case VerdictTally::skipped:
      return "skipped";
    case VerdictTally::failed:
    case VerdictTally::count_:
      break;
  }
  return "failed";
}
