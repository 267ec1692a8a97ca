#pragma once
// What a run is asked to do: its cards as the front judged them, and its
// options (parallel transfers, waves and budget, checks, schedule, where
// its record goes). Both fronts fill these the same way (rollout_fields.h
// from the window's settings, the command line from its options).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/sysinfo.h"
#include "settings/schedule.h"
#include "upgrade/policy/policy.h"
#include "upgrade/policy/rollout.h"
#include "upgrade/policy/verify.h"
#include "upgrade/record/journal.h"
#include "upgrade/session/session.h"

// A batch run as a rollout: the cards the gate lets go, in batch order,
// split into waves; a wave starts when every card of the one before has
// settled (its check after the upgrade said applied or not verified, or it
// failed), and failures past the budget halt the run. Off: the batch as
// without a rollout.
struct RolloutOptions {
  bool on = false;
  std::vector<WaveStep> steps;  // empty: one wave of every card
  int max_failures = -1;        // below 0: failure_budget's default
  // The budgets by kind and share, the time and gate between waves, the
  // cards' order (policy.failures, when on, stands for max_failures). A
  // shuffle without a seed is seeded by the front before it plans: the
  // run plans again from the same options.
  RolloutPolicy policy;
};

// One card of a run, as the front judged it when the run was made.
struct RunCard {
  DeviceRecord record{};  // address, MAC, version and the account to send with
  // pending: to be sent; any other outcome is its line without a transfer
  // (message for card_error, skipped_version and skipped_done).
  CardOutcome gate = CardOutcome::pending;
  std::string message;
  int row = -1;  // the front's own: the window's row
  int wave = 0;  // set by the plan; 0: not in it
  int site = 0;  // the list it came from in a run across sites (a spread plan's)
};

// When the checks after " OK." run in the loop, and when they start.
enum class RunChecks {
  none,       // no checks (the command-line tool without --verify or a rollout)
  // From each card's " OK." on: a rollout waits for them; without one the
  // report comes once the transfers are over and the checks go on after it
  // until the run's end.
  each_ok,
  after_all,  // once every transfer has ended (--verify)
};

// A started card whose check has not settled this long after the longest
// its check can take (verify_longest_ms) is counted no_answer: the wait
// for a wave never hangs on a lost check.
inline constexpr int64_t ROLLOUT_CHECK_MARGIN_MS = 30000;

struct RunOptions {
  RolloutOptions rollout;
  int parallel = WINDOW_SESSIONS;  // 1 to BATCH_SESSIONS_MAX
  uint32_t transfer_limit_ticks = SESSION_TRANSFER_LIMIT_TICKS;
  // How long a card still counted unanswered is given, once per run, for
  // the merge of its answer to the last refresh pass.
  uint32_t answer_window_ms = 0;
  RunChecks checks = RunChecks::none;
  // How long a card holds the image's version in its answers before it is
  // applied (verify.h).
  int64_t settle_ms = VERIFY_SETTLE_MS;
  // Above 0: this long after every check is over, the applied cards are
  // asked again (verify.h); the run ends after that.
  int64_t recheck_after_ms = 0;
  // The journal the front started already (the command-line tool's
  // --report); none: the run starts one, kept in reports_folder when that
  // is given.
  std::shared_ptr<Journal> journal;
  std::string reports_folder;
  // How often the front hears heartbeat while the run goes (0: never).
  uint32_t heartbeat_ms = 0;
  uint16_t card_port = 69;  // the cards' TFTP port
  // When cards may start, by RunIo::local_time (the wall clock, read again
  // at each look, so that its jumps count): the first at start_at, each
  // inside the window (a run that reaches its end waits, as paused, for
  // its next opening).
  RunSchedule schedule;
  // The run ends only once its kept report is on disk (the window's: a
  // file held open by a spreadsheet catches up when it is let go); a
  // shutdown ends it regardless.
  bool keep_until_saved = false;
};
