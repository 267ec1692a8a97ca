#pragma once
// daveridur-cli: the command-line front on the program's discovery, image
// and upgrade code. The commands return the tool's exit status.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devices/device_table.h"
#include "discovery/discovery.h"
#include "discovery/scan.h"
#include "protocol/ranges.h"
#include "protocol/sysinfo.h"
#include "settings/schedule.h"
#include "upgrade/policy/policy.h"
#include "upgrade/policy/rollout.h"
#include "upgrade/record/verdict.h"


// Flushes stdout; the first failure's errno is kept for the run's end
// (a reader gone, a full disk: the run goes on and ends with status 1).
void flush_output();
int output_error();

// Set by Ctrl+C (SIGINT natively, the console's Ctrl+C and Ctrl+Break on
// Windows), SIGTERM, SIGHUP and the console's close; watched by every wait
// of the commands. While an upgrade's run is under way the interrupts go
// to its inbox (console.h): a first Ctrl+C stops the starts, those sending
// finish and are checked; the next one, or any other, ends the run.
extern std::atomic<bool> interrupted;
// What a first Ctrl+C during a run says on stderr.
inline constexpr const char STOP_STARTING_NOTE[] =
    "daveridur-cli: stopping: no more cards start, those sending finish and are checked; "
    "Ctrl+C again aborts them\n";
void catch_interrupt();

// The discovery service over the table's model, with no view, owned by a
// thread of its own as the window's would be. Members go in reverse order:
// the service first, then the thread (finishing its steps), then the table.
struct HeadlessDiscovery {
  DeviceTable table;
  int merge_listener = 0;  // the caller's listener of the merges, if any
  TableThread executor;
  DiscoveryService svc;
};
// Sets up the table (merged, when given, listens to every merge) and starts
// the service with its modal step set; false when its sockets cannot be had.
bool start_headless_discovery(HeadlessDiscovery& d,
                              std::function<void(const DeviceRecord&)> merged = nullptr);

// What to ask: no addresses, the broadcasts (255.255.255.255 and every
// adapter's directed broadcast), sent at once and again half-way through
// the wait; else a scan of the addresses at the rate, with its retries,
// then the wait. With stop_when_all, it ends as soon as every address
// answered; with live, a line on stderr shows the scan's progress, with
// quiet_lines (off a terminal) a line of its own at least every 30 s.
struct FindRequest {
  AddressSet addresses;
  ScanSettings scan;
  bool stop_when_all = false;
  bool live = false;
  bool quiet_lines = false;
};
struct FindResult {
  std::vector<DeviceRecord> found;  // in the order the table lists them
  uint64_t asked = 0, answered = 0;  // addresses of the scan
};
// False when the sockets can't be had.
bool find_cards(const FindRequest& request, FindResult* result);

// "1022 addresses asked, 1017 silent", for stderr and the summary.
std::string scan_counts_text(const FindResult& result);

struct DiscoverOptions {
  uint32_t wait_ms = 3000;
  bool csv = false;
  bool json = false;  // one object per line, the CSV's columns as keys
  AddressSet addresses;
  ScanSettings scan;  // its wait is wait_ms
};
int run_discover(const DiscoverOptions& o);

// The check command: the image's three panel fields, or why Open refuses it.
int run_check_command(const std::string& image_path);

// One card to upgrade and the account it takes.
struct CardOrder {
  uint32_t ip = 0;
  std::string user, password;
  // From the card list; what it lacks comes from --user/--password, else the
  // stored user name and an empty password.
  bool has_user = false, has_password = false;
  int site = 0;  // the --cards list it came from (a run across sites)
};

struct UpgradeOptions {
  std::string image;
  std::vector<CardOrder> cards;  // named: each gets a line, silent or not
  AddressSet ranges;             // scanned: only the cards that answer get one
  std::vector<std::string> range_texts;
  ScanSettings scan;
  std::string user, password;
  bool has_user = false, has_password = false;
  bool force = false;
  bool verify = false;
  // The checks' settle period (verify.h), and the recheck of the applied
  // cards this long after the run (0: none).
  uint32_t settle_seconds = 30;
  uint32_t recheck_after_minutes = 0;
  std::string report;
  int parallel = 4;
  uint32_t transfer_limit_minutes = 30;  // each card's whole transfer
  // The rollout: waves (none given: one wave), the failure budget (below 0:
  // its default), JSON Lines in place of the report lines. Any of them runs
  // the batch as a rollout, whose checks after the upgrade always run.
  bool has_waves = false;
  std::vector<WaveStep> waves;
  int max_failures = -1;
  // The budgets by kind and share, the time and gate between waves, the
  // order (--max-failures as a count is max_failures too). seed_drawn: the
  // shuffle's seed was drawn for this run, not given.
  RolloutPolicy policy;
  bool seed_drawn = false;
  bool json = false;
  // Asks the cards and prints the plan; nothing is sent.
  bool dry_run = false;
  // A kept report of an earlier run: its cards join the run, those it
  // proves done (resume_proves_done) are skipped.
  std::string resume;
  // --exclude: never asked, whether named, in a range or in the report resumed.
  AddressSet excluded;
  // --start-at and --window, by the local clock.
  RunSchedule schedule;
  // --html: the run's page, written when it ends (report_command.cpp).
  std::string html;
};
int run_upgrade(const UpgradeOptions& o);
// Whether the run checks its cards after the upgrade (--verify or a rollout).
bool upgrade_checks(const UpgradeOptions& o);

// The report command: pictures of kept reports.
struct ReportOptions {
  std::vector<std::string> reports;
  std::string html, trace;  // files to write
  bool json = false;        // the figures on stdout
  std::string behind;       // a version: the cards behind it on stdout
  bool csv = false;         // that list as CSV
  std::vector<std::string> missing_sites;  // SITE=WHAT: fleet sites without a report
  std::string waves_text;  // the run's wave list, for waves a report does not record
  bool has_waves = false;
  std::vector<WaveStep> waves;
};
int run_report(const ReportOptions& o);
// The upgrade's page (--html) once the run has ended, however it ended:
// its cards as its report has them, its plan's waves, who ran it from
// where, and its last words. True when none is asked or it was written;
// false with the reason on stderr.
bool write_run_page(const UpgradeOptions& o, const std::vector<CardResult>& cards,
                    const RolloutStatus& status, const RunVerdicts& verdicts);
// The line each run and each report ends with, its cards by their tally:
// "site-a (a.csv): 12 of 15 cards applied, 2 failed, 1 not started, 0 skipped\n".
using VerdictCounts = std::array<int, static_cast<size_t>(VerdictTally::count_)>;
std::string tally_line(const std::string& what, const VerdictCounts& counts);
std::string count_line(const std::string& what, const std::vector<const CardResult*>& cards);
// The program's name and version as the pages name their writer.
std::string program_words();

// "%d.%02d", or empty for a card that showed no version (null in JSON).
std::string card_version_text(uint32_t version);

// The password from --password-file, --password or the environment
// (DAVERIDUR_PASSWORD), in that order; false with the reason.
bool take_password(const std::string& file, bool given, UpgradeOptions* o, std::string* error);
// Whether the account can go into a write request; false with the reason.
bool account_usable(const UpgradeOptions& o, std::string* error);
