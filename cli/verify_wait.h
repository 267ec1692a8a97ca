#pragma once
// --verify: the program's check after " OK." (upgrade/verify.h), driven by
// a loop over the discovery service's query socket.
#include <memory>
#include <utility>
#include <vector>

#include "upgrade/upgrade.h"

// Each card's report and its result as the transfer ended. Returns when
// every card's check has settled (the reports hold the outcomes), or on
// Ctrl+C; false when the sockets can't be had.
bool verify_upgraded_cards(const std::vector<std::pair<std::shared_ptr<Report>, CardResult>>& cards);

// The same checks while a batch runs (a rollout waits for them): started
// before the batch, handed each card's line as it comes, stopped after.
class RunningChecks {
 public:
  RunningChecks();
  ~RunningChecks();
  RunningChecks(const RunningChecks&) = delete;
  RunningChecks& operator=(const RunningChecks&) = delete;
  // False when the sockets can't be had.
  bool start();
  // A card's line; after " OK." its check runs from now on (any thread).
  void card_done(const std::shared_ptr<Report>& report, const CardResult& card);
  // Ends the checks still running (their cards stay as they are).
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
