#pragma once
// What became of a card, judged once: from its line (the transfer's end, or
// why it was not sent) and its check after the upgrade, into one of a few
// published verdicts. Every output reads the verdict and none judges on its
// own: the exit status, the report's verdict column, the JSON, the window's
// untick after the report, the taskbar, the rollout window's counts, the
// report box and the failure budget.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct CardResult;

// In the order counts show them: the fine ones first.
enum class Verdict {
  applied,          // its check heard the image's version from it
  sent,             // sent whole; this run does not check
  unverifiable,     // sent whole; the image has no version a check could compare
  current,          // not sent: it runs the image's version or a newer one
  done_before,      // not sent: the report resumed proves it done
  checking,         // sent whole; its check has not said yet (or never did: the run ended)
  not_applied,      // its check heard another version, or another device
  no_answer_after,  // silent after the upgrade until its check gave up
  refused,          // the card refused the transfer with a message of its own
  transfer_failed,  // timed out, or no socket, memory or session for it
  aborted,          // its transfer was aborted (the operator, the system's session ending)
  no_connection,    // it did not answer before its turn
  not_started_halted,
  not_started_stopped,  // the operator stopped the run before its turn
  not_started_window,   // the run ended while its schedule kept the card waiting
  pending,              // not in yet: waiting for its turn, or sending
  count_,
};

// The reason a card not started carries when the run ended while its
// schedule held it (the start time or the window still to come).
inline constexpr const char* NOT_STARTED_WINDOW = "outside the window";

// How the program treats each verdict.
struct VerdictRules {
  Verdict verdict;
  const char* word;   // the report's verdict column and the JSON's "verdict"
  const char* label;  // a few words for counts: "applied", "no answer after the upgrade"
  bool fine;          // the card is where the run wanted it: unticked after the report
  bool fails_run;     // exit status 1 (unless a halt or a stop says more)
  bool budget;        // counted against the rollout's failure budget
};
const VerdictRules& verdict_rules(Verdict verdict);
const std::vector<VerdictRules>& verdict_table();

// The one judge. checks: the run checks each card after the upgrade (its
// " OK." is then not the end of it).
Verdict verdict_of(const CardResult& card, bool checks);

const char* verdict_word(Verdict verdict);
// The word read back (a kept report's column); false for an unknown word.
bool verdict_from_word(const std::string& word, Verdict* verdict);

inline bool verdict_fine(Verdict v) { return verdict_rules(v).fine; }
inline bool verdict_fails_run(Verdict v) { return verdict_rules(v).fails_run; }
inline bool verdict_counts_against_budget(Verdict v) { return verdict_rules(v).budget; }
inline bool verdict_settled(Verdict v) { return v != Verdict::pending && v != Verdict::checking; }

// Where a card stands in a run's count line (applied, failed, not started,
// skipped): the image went to it, it failed, its turn never came, or it
// needed nothing. The verdicts' own labels say more.
enum class VerdictTally { applied, failed, not_started, skipped, count_ };
VerdictTally verdict_tally(Verdict verdict);
// "applied", "failed", "not started", "skipped".
const char* tally_label(VerdictTally tally);

// The tool's exit statuses.
enum ExitStatus : int {
  EXIT_ALL_OK = 0,
  EXIT_CARD_FAILED = 1,
  EXIT_USAGE = 2,
  EXIT_BAD_IMAGE = 3,
  EXIT_HALTED = 4,   // the failure budget halted the rollout
  EXIT_STOPPED = 5,  // the operator stopped the run (a first Ctrl+C, the window's Stop)
};

// A run's outcome as every front tells it: the counts by verdict and what
// follows from them.
struct RunVerdicts {
  std::map<Verdict, int> counts;
  int cards = 0;
  int failures = 0;  // cards whose verdict fails the run
  bool halted = false;
  bool stopped = false;
  int exit_status = EXIT_ALL_OK;
};
// halted: the budget halted the run; stopped: the operator stopped it (a
// stop that kept nothing from going is no stop: the run was whole).
RunVerdicts run_verdicts(const std::vector<CardResult>& cards, bool halted, bool stopped);
