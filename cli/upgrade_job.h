#pragma once
// The upgrade command's cards and its record, shared by the run's printer
// (upgrade_run.cpp) and the asking of the cards (upgrade_cards.cpp).
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli/cli.h"
#include "cli/run_output.h"
#include "upgrade/record/kept_report.h"
#include "upgrade/run/run.h"

namespace upgrade_cli {

using Clock = std::chrono::steady_clock;

// How long the cards are given to answer their query.
inline constexpr uint32_t QUERY_WAIT_MS = 3000;

// One card of the run.
struct Job {
  CardOrder order;
  DeviceRecord record{};
  bool answered = false;
  CardResult card;  // as the card starts
  uint32_t bytes = 0;
  bool sent = false;     // a transfer was started
  int wave = 0;          // its wave in the plan, 0: none
  bool printed = false;  // its JSON object is out
};

// What the run's printer keeps: the jobs, what the run does and waits for.
struct Run {
  std::list<Job> jobs;
  std::unordered_map<uint32_t, Job*> by_ip;
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  size_t to_send = 0;
  bool live = false;
  bool live_shown = false;
  bool json = false;  // JSON Lines on stdout in place of the report lines
  RunProgress progress;
  Clock::time_point last_line = Clock::now();  // of stderr
  RolloutStatus status;
  bool stopped = false;  // the operator stopped the run
  std::shared_ptr<RunInbox> inbox;  // the run's, while it goes: a gate's answer
  bool nothing_to_upgrade = false;   // every card was current or done already
};

// The report file this run holds.
struct HeldReport {
  std::shared_ptr<HeldFile> file;
};

void apply_account(const UpgradeOptions& o, const std::string& stored, Job& job);
bool cards_to_ask(const UpgradeOptions& o, std::vector<CardOrder>* cards, KeptReport* kept);
bool hold_resumed(const UpgradeOptions& o, HeldReport* held);
void note_default_accounts(const Run& run, const UpgradeOptions& o, const KeptReport& kept);
bool hold_report(const std::string& path, const std::string& initial, HeldReport* held);
Job& add_job(Run& run, const CardOrder& order, const UpgradeOptions& o, uint32_t image_version,
             const std::string& image_sha256);
std::vector<CardResult> journal_rows(const Run& run);
bool ask_cards(const UpgradeOptions& o, Run& run, uint32_t image_version,
               const std::string& image_sha256, FindResult* result, std::string* scanned);

}  // namespace upgrade_cli
