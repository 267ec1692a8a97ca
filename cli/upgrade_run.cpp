// The upgrade command: the cards are asked for their system information,
// those behind the image's version go through the program's batch, at most
// N sessions at a time, each driven by the session loop in place of its
// window; the batch's ports are the run's jobs and its output.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "settings/settings.h"
#include "cli/cli.h"
#include "cli/console.h"
#include "cli/fleet_files.h"
#include "cli/verify_wait.h"
#include "protocol/packet.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t QUERY_WAIT_MS = 3000;
// The wait of a session's loop while a question holds the batch.
const uint32_t PAUSED_POLL_MS = 2;

// Waves, a failure budget or JSON Lines run the batch as a rollout.
bool rollout_on(const UpgradeOptions& o) { return o.has_waves || o.max_failures >= 0 || o.json; }

// One card of the run.
struct Job {
  CardOrder order;
  DeviceRecord record{};
  bool answered = false;
  CardResult card;  // as the card starts
  CardResult result;
  std::atomic<uint32_t> bytes{0};
  Clock::time_point started, ended;
  bool sent = false;  // a transfer was started
};

// The shared state of a run: its output, the counts the live line shows and
// the --report journal that every card's report follows.
struct Run {
  std::mutex mutex;
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  std::list<Job> jobs;
  // The batch's report, shared with the check after the upgrade.
  std::shared_ptr<Report> report;
  size_t to_send = 0, finished = 0;
  uint32_t image_size = 0;
  bool live = false;
  bool live_shown = false;
  bool json = false;  // JSON Lines on stdout in place of the report lines
  Clock::time_point started = Clock::now();
};

void clear_live_line(Run& run) {
  if (!run.live_shown) return;
  std::fprintf(stderr, "\r%-79s\r", "");
  run.live_shown = false;
}

// Cards done/total, the rate over the run, and the time left at that rate.
void show_live_line(Run& run) {
  std::lock_guard<std::mutex> lock(run.mutex);
  if (!run.live || !run.to_send) return;
  uint64_t sent = 0;
  for (const Job& j : run.jobs) sent += j.bytes.load();
  double seconds = std::chrono::duration<double>(Clock::now() - run.started).count();
  double rate = seconds > 0 ? sent / seconds : 0;
  uint64_t total = uint64_t{run.image_size} * run.to_send;
  char left[32] = "--:--";
  if (rate > 0 && total >= sent) {
    long s = static_cast<long>((total - sent) / rate);
    std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
  }
  std::fprintf(stderr, "\r%zu/%zu cards done, %.1f KB/s, %s left   ", run.finished, run.to_send,
               rate / 1024, left);
  std::fflush(stderr);
  run.live_shown = true;
}

// A card's end: its report line to stdout, a line to stderr, the result.
void finish_job(Run& run, Job& job, const CardResult& card) {
  std::string ip = ip_to_text(job.order.ip);
  std::lock_guard<std::mutex> lock(run.mutex);
  job.result = card;
  job.result.bytes_sent = std::max(job.result.bytes_sent, job.bytes.load());
  const std::string message = report_message(job.result);
  if (job.sent) {
    job.ended = Clock::now();
    ++run.finished;
  }
  clear_live_line(run);
  if (job.sent) std::fprintf(stderr, "%s: ended, %s\n", ip.c_str(), message.c_str());
  if (!run.json) {
    std::printf("%s %s\n", ip.c_str(), message.c_str());
    flush_output();
  }
  std::fflush(stderr);
}

// A settled card's JSON line.
void print_json_line(Run& run, const std::string& line) {
  std::lock_guard<std::mutex> lock(run.mutex);
  clear_live_line(run);
  std::printf("%s\n", line.c_str());
  flush_output();
}

// The session's window without a window: it only counts the bytes sent,
// and a Ctrl+C is the operator's Yes to "Are you sure ?".
class LoopView : public SessionView {
 public:
  explicit LoopView(Job* job) : job_(job) {}
  void set_title(const char*) override {}
  void set_status(const char*) override {}
  void set_progress_range(uint32_t) override {}
  void set_progress_position(uint32_t position) override { job_->bytes = position; }
  void set_percent(const char*) override {}
  void delay(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  int confirm_abort() override { return 1; }
  void close(int) override {}

 private:
  Job* job_;
};

// The batch over the run's jobs: every job a checked row, in the run's
// order (the batch visits rows from the last), each card line printed as it
// comes, the live line while the batch waits for a session.
class RunPorts : public BatchPorts {
 public:
  RunPorts(Run& run, const UpgradeOptions& o, uint32_t image_version, RunningChecks* checks,
           const std::vector<uint32_t>& done, const std::string& done_in)
      : run_(run), o_(o), image_version_(image_version), checks_(checks), done_(done),
        done_in_(done_in) {
    for (Job& job : run.jobs) rows_.insert(rows_.begin(), &job);
    for (Job& job : run.jobs) by_ip_[job.order.ip] = &job;
  }

  int row_count() override { return static_cast<int>(rows_.size()); }
  int row_checked(int) override { return 1; }
  int row_record(int row, DeviceRecord* record) override {
    *record = rows_[static_cast<size_t>(row)]->record;
    return 1;
  }
  void show_row_upgrading(int row) override {
    Job& job = *rows_[static_cast<size_t>(row)];
    std::lock_guard<std::mutex> lock(run_.mutex);
    clear_live_line(run_);
    job.sent = true;
    job.started = Clock::now();
    std::fprintf(stderr, "%s: started\n", ip_to_text(job.order.ip));
  }
  CardOutcome card_gate(const DeviceRecord& record, std::string* message) override {
    const Job& job = *by_ip_.at(record.ip);
    if (std::find(done_.begin(), done_.end(), record.ip) != done_.end()) {
      *message = done_in_;
      return CardOutcome::skipped_done;
    }
    if (!job.answered) return CardOutcome::no_connection;
    if (is_current(job)) {
      *message = "Skipped : version " + card_version_text(job.record.version) + " .";
      return CardOutcome::skipped_version;
    }
    return CardOutcome::pending;
  }
  int ask_confirmation(const std::string&) override { return 1; }
  void show_report(const std::string&) override {}
  void show_refusal(const std::string&) override {}  // the image was checked before
  void enable_main_window(int) override {}
  void run_session(UploadSession* s) override {
    Job* job = by_ip_.at(s->ip);
    LoopView view(job);
    // Ctrl+C aborts the session the way the window's Abort does.
    run_session_loop(s, &view, PAUSED_POLL_MS, [] { return interrupted.load(); });
  }
  int session_count() override { return o_.parallel; }
  uint32_t answer_window_ms() override { return 0; }  // the run's own scan just asked
  void batch_waiting() override {
    journal_retry(run_.journal.get());
    show_live_line(run_);
  }
  std::shared_ptr<Journal> front_journal() override { return run_.journal; }
  void card_done(const std::shared_ptr<Report>& report, const CardResult& card) override {
    {
      std::lock_guard<std::mutex> lock(run_.mutex);
      run_.report = report;
    }
    finish_job(run_, *by_ip_.at(card.ip), card);
    if (checks_) checks_->card_done(report, card);
  }
  RolloutOptions rollout_options() override {
    RolloutOptions r;
    r.on = rollout_on(o_);
    r.steps = o_.waves;
    r.max_failures = o_.max_failures;
    return r;
  }
  void card_settled(const CardResult& card, int wave) override {
    if (run_.json) print_json_line(run_, card_json(card, wave));
  }
  void rollout_ended(const RolloutStatus& status) override { status_ = status; }
  const RolloutStatus& rollout_status() const { return status_; }
  bool stopping() override { return interrupted; }
  void sleep_ms(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  LocalTime local_time() override { return local_time_now(); }
  SocketOwner open_socket() override { return udp_open(0); }
  uint32_t transfer_limit_ticks() override { return o_.transfer_limit_minutes * 600; }  // of 100 ms

  bool is_current(const Job& job) const {
    return image_version_ != IMAGE_VERSION_NONE && job.record.version >= image_version_ && !o_.force;
  }

 private:
  Run& run_;
  const UpgradeOptions& o_;
  uint32_t image_version_;
  RunningChecks* checks_;
  const std::vector<uint32_t>& done_;
  std::string done_in_;
  RolloutStatus status_;
  std::vector<Job*> rows_;
  std::unordered_map<uint32_t, Job*> by_ip_;
};

// The run's plan without sending anything: the line each card would get
// before a transfer, or its wave; the plan and the budget on stderr.
int print_dry_run(BatchPorts* ports, const RolloutOptions& options) {
  RolloutPlan plan;
  for (const BatchGate& g : plan_batch(ports, options, &plan)) {
    if (g.wave) {
      std::printf("%s\n", dry_run_line(g.record.ip, g.wave).c_str());
      continue;
    }
    CardResult card;
    card.ip = g.record.ip;
    card.version_before = g.record.version;
    card.outcome = g.gate;
    card.message = g.message;
    std::printf("%s %s\n", ip_to_text(card.ip), report_message(card).c_str());
  }
  flush_output();
  std::fprintf(stderr, "%s\n", dry_run_summary(plan).c_str());
  return EXIT_ALL_OK;
}

void apply_account(const UpgradeOptions& o, const std::string& stored, Job& job) {
  std::string user = job.order.has_user ? job.order.user : o.has_user ? o.user : stored;
  std::string password =
      job.order.has_password ? job.order.password : o.has_password ? o.password : "";
  std::snprintf(job.record.user_name, sizeof job.record.user_name, "%s", user.c_str());
  std::snprintf(job.record.password, sizeof job.record.password, "%s", password.c_str());
}

}  // namespace

int run_upgrade(const UpgradeOptions& o) {
  ImageFile file;
  if (const char* refusal = read_checked_image(o.image, &file)) {
    std::fprintf(stderr, "%s\n", refusal);
    return EXIT_BAD_IMAGE;
  }
  const ImageCheck check = file.check;
  const uint32_t size = file.opened.size;

  // The earlier report's cards come first, in its order; those it shows
  // done are skipped, named in their line by its file name.
  std::vector<CardOrder> cards;
  std::vector<uint32_t> done;
  if (!o.resume.empty()) {
    std::vector<CardResult> kept;
    std::string why;
    if (!read_kept_report_file(o.resume, &kept, &why)) {
      std::fprintf(stderr, "daveridur-cli: --resume %s\n", why.c_str());
      return EXIT_USAGE;
    }
    for (const CardResult& k : kept) {
      CardOrder c;
      c.ip = k.ip;
      cards.push_back(c);
      if (card_is_done(k)) done.push_back(k.ip);
    }
  }
  // A card of the report named again takes the account it is named with.
  for (const CardOrder& c : o.cards) {
    auto it = std::find_if(cards.begin(), cards.end(),
                           [&](const CardOrder& k) { return k.ip == c.ip; });
    if (it != cards.end())
      *it = c;
    else
      cards.push_back(c);
  }

  Run run;
  run.image_size = size;
  run.live = stderr_is_terminal();
  run.json = o.json;
  std::vector<uint32_t> addresses;
  for (const CardOrder& c : cards) {
    // A card named twice is upgraded once, with the account named first.
    if (std::find(addresses.begin(), addresses.end(), c.ip) != addresses.end()) continue;
    addresses.push_back(c.ip);
    Job& job = run.jobs.emplace_back();
    job.order = c;
  }

  // The report names every card before anything is sent: a run stopped at
  // any moment leaves it whole. No report, no run.
  auto join_journal = [&](Job& job) {
    job.card.ip = job.order.ip;
    job.card.image = o.image;
    job.card.image_version = check.version;
    job.card.started = job.card.ended = local_time_now();
  };
  for (Job& job : run.jobs) join_journal(job);
  auto journal_rows = [&run] {
    std::vector<CardResult> rows;
    for (const Job& job : run.jobs) {
      rows.push_back(job.card);
      rows.back().outcome = CardOutcome::pending;
    }
    return rows;
  };
  std::string reason;
  if (!o.dry_run && !o.report.empty() && !journal_start(run.journal.get(), o.report, journal_rows(), &reason)) {
    std::fprintf(stderr, "daveridur-cli: the report %s cannot be written: %s\n", o.report.c_str(),
                 reason.c_str());
    return EXIT_USAGE;
  }

  // One scan asks the named cards and the ranges together, at the rate.
  FindRequest request;
  request.addresses = o.ranges;
  std::string why;
  for (uint32_t ip : addresses) read_address_ranges(ip_to_text(ip), &request.addresses, &why);
  request.scan = o.scan;
  request.scan.wait_ms = QUERY_WAIT_MS;
  request.stop_when_all = true;
  request.live = run.live && !o.ranges.intervals.empty();
  FindResult result;
  if (!find_cards(request, &result)) {
    std::fprintf(stderr, "daveridur-cli: cannot open the discovery sockets\n");
    return EXIT_CARD_FAILED;
  }
  const std::vector<DeviceRecord>& found = result.found;
  // The cards a range found, in address order, after the named ones; the
  // addresses that stayed silent were never cards and get no line.
  std::vector<DeviceRecord> in_ranges;
  for (const DeviceRecord& r : found) {
    uint64_t at = 0;
    if (address_index(o.ranges, host_address(r.ip), &at) &&
        std::find(addresses.begin(), addresses.end(), r.ip) == addresses.end())
      in_ranges.push_back(r);
  }
  std::sort(in_ranges.begin(), in_ranges.end(), [](const DeviceRecord& a, const DeviceRecord& b) {
    return host_address(a.ip) < host_address(b.ip);
  });
  for (const DeviceRecord& r : in_ranges) {
    addresses.push_back(r.ip);
    Job& job = run.jobs.emplace_back();
    job.order.ip = r.ip;
    join_journal(job);
  }
  std::string scanned;
  if (!o.ranges.intervals.empty()) {
    for (const std::string& t : o.range_texts) scanned += (scanned.empty() ? "" : " ") + t;
    std::fprintf(stderr, "%s: %s, %zu cards found\n", scanned.c_str(),
                 scan_counts_text(result).c_str(), in_ranges.size());
  }
  const std::string stored = default_account();
  for (Job& job : run.jobs) {
    for (const DeviceRecord& r : found)
      if (r.ip == job.order.ip) {
        job.record = r;
        job.answered = true;
      }
    job.record.ip = job.order.ip;
    job.record.unanswered_queries = 0;
    apply_account(o, stored, job);
    if (job.answered) std::memcpy(job.card.mac, job.record.mac, sizeof job.card.mac);
    job.card.version_before = job.record.version;
    job.card.started = job.card.ended = local_time_now();
  }
  const bool rollout = rollout_on(o);
  RunningChecks checks;
  RunPorts ports(run, o, check.version, rollout ? &checks : nullptr, done,
                 report_name_of(o.resume));
  if (o.dry_run) return print_dry_run(&ports, ports.rollout_options());
  for (Job& job : run.jobs)
    if (job.answered && !ports.is_current(job) &&
        std::find(done.begin(), done.end(), job.order.ip) == done.end())
      ++run.to_send;
  // What the cards said of themselves; a file that cannot be written now
  // is tried again at the next change.
  if (!o.report.empty()) journal_set(run.journal.get(), journal_rows());

  // A rollout's waves wait for the checks: they run beside the batch.
  if (rollout && !checks.start()) {
    std::fprintf(stderr, "daveridur-cli: cannot open the discovery sockets\n");
    return EXIT_CARD_FAILED;
  }
  run_batch(&ports, &file.bytes, file.opened);
  checks.stop();
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    clear_live_line(run);
  }

  // The checks' outcomes, from the report, into each card's job.
  auto take_checks = [&run] {
    for (const CardResult& card : run.report ? report_cards(run.report.get())
                                             : std::vector<CardResult>()) {
      Job& job = *std::find_if(run.jobs.begin(), run.jobs.end(),
                               [&](const Job& j) { return j.order.ip == card.ip; });
      job.result.outcome = card.outcome;
      job.result.answered_version = card.answered_version;
      job.result.verified_seconds = card.verified_seconds;
    }
  };
  if (rollout) {
    take_checks();
  } else if (o.verify) {
    std::vector<std::pair<std::shared_ptr<Report>, CardResult>> done;
    for (Job& job : run.jobs)
      if (job.result.outcome == CardOutcome::ok) done.emplace_back(run.report, job.result);
    verify_upgraded_cards(done);
    take_checks();
  }

  std::vector<CardResult> results;
  bool all_ok = true;
  for (Job& job : run.jobs) {
    results.push_back(job.result);
    CardOutcome outcome = job.result.outcome;
    bool fine = rollout    ? outcome_settles_ok(outcome) || outcome == CardOutcome::skipped_done
                : o.verify ? outcome == CardOutcome::applied
                           : outcome_is_ok(outcome);
    if (!fine && outcome != CardOutcome::skipped_version) all_ok = false;
  }
  if (o.json) print_json_line(run, summary_json(results, ports.rollout_status()));
  // The report once more with every card's final result; a report behind
  // its cards fails the run.
  if (!o.report.empty() && !journal_set(run.journal.get(), results)) {
    std::fprintf(stderr, "daveridur-cli: %s\n", journal_status(run.journal.get()).c_str());
    all_ok = false;
  }
  if (!scanned.empty()) {
    size_t ok = 0;
    for (const Job& job : run.jobs) ok += outcome_is_ok(job.result.outcome) ? 1 : 0;
    std::fprintf(stderr, "summary: %zu cards, %zu OK; %s: %s\n", run.jobs.size(), ok,
                 scanned.c_str(), scan_counts_text(result).c_str());
  }
  if (rollout && ports.rollout_status().halted) {
    std::fprintf(stderr, "%s\n", halt_line(ports.rollout_status()).c_str());
    return EXIT_HALTED;
  }
  return all_ok ? EXIT_ALL_OK : EXIT_CARD_FAILED;
}
