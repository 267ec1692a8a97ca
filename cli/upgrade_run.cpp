// The upgrade command: the cards are asked for their system information,
// judged, and run through the program's run (upgrade/run.h) on this thread:
// at most N sessions at a time, the checks after " OK." in the same loop.
// This file is the run's printer: the report lines, JSON Lines and the
// live line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <unordered_map>

#include "settings/settings.h"
#include "cli/cli.h"
#include "cli/console.h"
#include "protocol/packet.h"
#include "platform/files.h"
#include "protocol/sha256.h"
#include "upgrade/plan.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t QUERY_WAIT_MS = 3000;
const uint32_t LIVE_LINE_EVERY_MS = 500;

// Waves, a failure budget or JSON Lines run the batch as a rollout.
bool rollout_on(const UpgradeOptions& o) { return o.has_waves || o.max_failures >= 0 || o.json; }

}  // namespace

bool upgrade_checks(const UpgradeOptions& o) { return rollout_on(o) || o.verify; }

namespace {

// One card of the run.
struct Job {
  CardOrder order;
  DeviceRecord record{};
  bool answered = false;
  CardResult card;  // as the card starts
  uint32_t bytes = 0;
  bool sent = false;  // a transfer was started
};

// What the run's printer keeps: the jobs, the counts the live line shows.
struct Run {
  std::list<Job> jobs;
  std::unordered_map<uint32_t, Job*> by_ip;
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  size_t to_send = 0, finished = 0;
  uint32_t image_size = 0;
  bool live = false;
  bool live_shown = false;
  bool json = false;  // JSON Lines on stdout in place of the report lines
  Clock::time_point started = Clock::now();
  RolloutStatus status;
  bool stopped = false;  // the operator stopped the run
};

void clear_live_line(Run& run) {
  if (!run.live_shown) return;
  std::fprintf(stderr, "\r%-79s\r", "");
  run.live_shown = false;
}

// Cards done/total, the rate over the run, and the time left at that rate.
void show_live_line(Run& run) {
  if (!run.live || !run.to_send) return;
  uint64_t sent = 0;
  for (const Job& j : run.jobs) sent += j.bytes;
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

void print_line(Run& run, const std::string& line) {
  clear_live_line(run);
  std::printf("%s\n", line.c_str());
  flush_output();
}

// A session without a window: it only counts the bytes sent.
class CountingView : public SessionView {
 public:
  Job* job = nullptr;
  void set_title(const char*) override {}
  void set_status(const char*) override {}
  void set_progress_range(uint32_t) override {}
  void set_progress_position(uint32_t position) override {
    if (job) job->bytes = position;
  }
  void set_percent(const char*) override {}
  void close(int) override {}
};

// The run's events as the command prints them: a line to stderr as each
// card starts and ends, its report line (or JSON object) to stdout.
class Printer : public RunEvents {
 public:
  Printer(Run& run, const RunSchedule& schedule)
      : run_(run), schedule_(schedule), views_(BATCH_SESSIONS_MAX) {}
  SessionView* session_view(int slot) override { return &views_[static_cast<size_t>(slot)]; }
  void card_started(const RunCard& card, int slot) override {
    Job& job = *run_.by_ip.at(card.record.ip);
    views_[static_cast<size_t>(slot)].job = &job;
    job.sent = true;
    clear_live_line(run_);
    std::fprintf(stderr, "%s: started\n", ip_to_text(card.record.ip));
  }
  void card_line(const std::shared_ptr<Report>&, const CardResult& card) override {
    Job& job = *run_.by_ip.at(card.ip);
    const std::string ip = ip_to_text(card.ip);
    const std::string message = report_message(card);
    clear_live_line(run_);
    if (job.sent) {
      ++run_.finished;
      std::fprintf(stderr, "%s: ended, %s\n", ip.c_str(), message.c_str());
    }
    if (!run_.json) print_line(run_, ip + " " + message);
    std::fflush(stderr);
  }
  void card_checked(const CardResult& card) override {
    if (!*outcome_verified_word(card.outcome)) return;
    clear_live_line(run_);
    std::fprintf(stderr, "%s: %s\n", ip_to_text(card.ip), result_column_text(card).c_str());
  }
  void card_settled(const CardResult& card, int wave) override {
    if (run_.json) print_line(run_, card_json(card, wave));
  }
  void waiting(RunWait what, int) override {
    if (what != RunWait::start_time && what != RunWait::window) return;
    clear_live_line(run_);
    if (what == RunWait::start_time)
      std::fprintf(stderr, "waiting for %s to start\n", clock_text(schedule_.start_at).c_str());
    else
      std::fprintf(stderr, "waiting for the window %s\n",
                   window_text(schedule_.window_from, schedule_.window_to).c_str());
  }
  void heartbeat() override { show_live_line(run_); }
  void checks_started(size_t cards) override {
    clear_live_line(run_);
    std::fprintf(stderr, "checking %zu card%s for the new version\n", cards, cards == 1 ? "" : "s");
  }
  void recheck_waiting(size_t cards, int64_t wait_ms) override {
    clear_live_line(run_);
    std::fprintf(stderr, "asking the %zu applied card%s again in %lld minute%s\n", cards,
                 cards == 1 ? "" : "s", static_cast<long long>(wait_ms / 60000),
                 wait_ms == 60000 ? "" : "s");
  }
  // A card the recheck changed has its object again, as it now stands.
  void card_rechecked(const CardResult& card, int wave) override {
    if (run_.json) print_line(run_, card_json(card, wave));
  }
  void summary(const RunSummary& summary) override { run_.status = summary.rollout; }

 private:
  Run& run_;
  RunSchedule schedule_;
  std::vector<CountingView> views_;
};

void apply_account(const UpgradeOptions& o, const std::string& stored, Job& job) {
  std::string user = job.order.has_user ? job.order.user : o.has_user ? o.user : stored;
  std::string password =
      job.order.has_password ? job.order.password : o.has_password ? o.password : "";
  std::snprintf(job.record.user_name, sizeof job.record.user_name, "%s", user.c_str());
  std::snprintf(job.record.password, sizeof job.record.password, "%s", password.c_str());
}

// The earlier report's cards first, in its order, less the excluded ones,
// then those named (a card of the report named again takes the account it
// is named with); *kept gets the report. False with the message printed.
bool cards_to_ask(const UpgradeOptions& o, std::vector<CardOrder>* cards, KeptReport* kept) {
  std::unordered_map<uint32_t, size_t> at;
  if (!o.resume.empty()) {
    std::string why;
    if (!read_kept_report_file(o.resume, kept, &why)) {
      std::fprintf(stderr, "daveridur-cli: --resume %s\n", why.c_str());
      return false;
    }
    for (uint32_t ip : resumed_cards(*kept, o.excluded)) {
      CardOrder c;
      c.ip = ip;
      at.emplace(c.ip, cards->size());
      cards->push_back(c);
    }
  }
  for (const CardOrder& c : o.cards) {
    auto it = at.find(c.ip);
    if (it != at.end()) {
      (*cards)[it->second] = c;
    } else {
      at.emplace(c.ip, cards->size());
      cards->push_back(c);
    }
  }
  return true;
}

// The report file this run holds.
struct HeldReport {
  std::shared_ptr<HeldFile> file;
};

bool hold_report(const std::string& path, const std::string& initial, HeldReport* held) {
  std::string why;
  bool exists = false;
  if (!regular_file_check(path, &exists, &why)) {
    std::fprintf(stderr, "daveridur-cli: the report %s cannot be written: %s\n", path.c_str(),
                 why.c_str());
    return false;
  }
  HeldFilePtr file;
  switch (hold_file(path, &file, &why, initial)) {
    case HoldStatus::held:
      held->file = std::shared_ptr<HeldFile>(std::move(file));
      return true;
    case HoldStatus::busy:
      std::fprintf(stderr, "daveridur-cli: the report is in use by another run: %s\n", path.c_str());
      return false;
    case HoldStatus::failed:
      break;
  }
  std::fprintf(stderr, "daveridur-cli: the report %s cannot be written: %s\n", path.c_str(),
               why.c_str());
  return false;
}

Job& add_job(Run& run, const CardOrder& order, const UpgradeOptions& o, uint32_t image_version,
             const std::string& image_sha256) {
  Job& job = run.jobs.emplace_back();
  job.order = order;
  job.card.ip = order.ip;
  job.card.image = o.image;
  job.card.image_version = image_version;
  job.card.image_sha256 = image_sha256;
  job.card.started = job.card.ended = local_time_now();
  run.by_ip[order.ip] = &job;
  return job;
}

std::vector<CardResult> journal_rows(const Run& run) {
  std::vector<CardResult> rows;
  for (const Job& job : run.jobs) {
    rows.push_back(job.card);
    rows.back().outcome = CardOutcome::pending;
  }
  return rows;
}

// One scan asks the named cards and the ranges together, at the rate; the
// cards a range found join the run in address order after the named ones
// (the silent addresses of a range were never cards and get no line).
// False when the sockets can't be had.
bool ask_cards(const UpgradeOptions& o, Run& run, uint32_t image_version,
               const std::string& image_sha256, FindResult* result, std::string* scanned) {
  FindRequest request;
  request.addresses = o.ranges;
  std::vector<uint32_t> named;
  named.reserve(run.jobs.size());
  for (const Job& job : run.jobs) named.push_back(host_address(job.order.ip));
  add_addresses(&request.addresses, named);
  request.scan = o.scan;
  request.scan.wait_ms = QUERY_WAIT_MS;
  request.stop_when_all = true;
  request.live = run.live && !o.ranges.intervals.empty();
  if (!find_cards(request, result)) {
    std::fprintf(stderr, "daveridur-cli: cannot open the discovery sockets\n");
    return false;
  }
  std::vector<DeviceRecord> in_ranges;
  for (const DeviceRecord& r : result->found) {
    uint64_t at = 0;
    if (address_index(o.ranges, host_address(r.ip), &at) && !run.by_ip.count(r.ip))
      in_ranges.push_back(r);
  }
  std::sort(in_ranges.begin(), in_ranges.end(), [](const DeviceRecord& a, const DeviceRecord& b) {
    return host_address(a.ip) < host_address(b.ip);
  });
  for (const DeviceRecord& r : in_ranges) {
    CardOrder order;
    order.ip = r.ip;
    add_job(run, order, o, image_version, image_sha256);
  }
  if (!o.ranges.intervals.empty()) {
    for (const std::string& t : o.range_texts) *scanned += (scanned->empty() ? "" : " ") + t;
    std::fprintf(stderr, "%s: %s, %zu cards found\n", scanned->c_str(),
                 scan_counts_text(*result).c_str(), in_ranges.size());
  }
  const std::string stored = default_account();
  std::unordered_map<uint32_t, const DeviceRecord*> found;
  for (const DeviceRecord& r : result->found) found[r.ip] = &r;
  for (Job& job : run.jobs) {
    auto it = found.find(job.order.ip);
    if (it != found.end()) {
      job.record = *it->second;
      job.answered = true;
    }
    job.record.ip = job.order.ip;
    job.record.unanswered_queries = 0;
    apply_account(o, stored, job);
    if (job.answered) std::memcpy(job.card.mac, job.record.mac, sizeof job.card.mac);
    job.card.version_before = job.record.version;
    job.card.started = job.card.ended = local_time_now();
  }
  return true;
}

// The request the plan is made from: every job with what it answered, the
// report resumed, force, and the run's options.
RunRequest run_request(const Run& run, const UpgradeOptions& o, const OpenedImage& image,
                       const KeptReport& kept, const RunOptions& options) {
  RunRequest request;
  request.image = image;
  request.send_current = request.versionless_rollout = o.force;
  request.options = options;
  if (!o.resume.empty()) {
    request.resumed = &kept;
    request.resume_name = report_name_of(o.resume);
  }
  for (const Job& job : run.jobs) {
    RequestCard c;
    c.record = job.record;
    c.answered = job.answered;
    request.cards.push_back(c);
  }
  return request;
}

// The run's plan without sending anything: the line each card would get
// before a transfer, or its wave; the plan and the budget on stderr.
int print_dry_run(const RunPlan& planned, const RunOptions& run_options, bool versionless) {
  const RolloutOptions& options = run_options.rollout;
  const RolloutPlan& plan = planned.rollout;
  for (const RunCard& c : planned.cards) {
    if (c.wave) {
      std::printf("%s\n", dry_run_line(c.record.ip, c.wave).c_str());
      continue;
    }
    CardResult card;
    card.ip = c.record.ip;
    card.version_before = c.record.version;
    card.outcome = c.gate;
    card.message = c.message;
    std::printf("%s %s\n", ip_to_text(card.ip), report_message(card).c_str());
  }
  flush_output();
  std::fprintf(stderr, "%s\n", dry_run_summary(plan).c_str());
  if (!run_options.schedule.empty())
    std::fprintf(stderr, "schedule: %s (local time)\n", schedule_words(run_options.schedule).c_str());
  if (versionless && options.on)
    std::fprintf(stderr, "the image has no version: no check can fail a card, the waves wait "
                         "for the transfers alone\n");
  return EXIT_ALL_OK;
}

RunOptions run_options(const UpgradeOptions& o, const Run& run) {
  RunOptions r;
  r.rollout.on = rollout_on(o);
  r.rollout.steps = o.waves;
  r.rollout.max_failures = o.max_failures;
  r.parallel = o.parallel;
  r.transfer_limit_ticks = o.transfer_limit_minutes * 600;  // of 100 ms
  // A rollout's waves wait for the checks: they run beside the transfers.
  r.checks = r.rollout.on ? RunChecks::each_ok : o.verify ? RunChecks::after_all : RunChecks::none;
  r.journal = run.journal;
  r.heartbeat_ms = run.live ? LIVE_LINE_EVERY_MS : 0;
  r.schedule = o.schedule;
  r.settle_ms = int64_t{o.settle_seconds} * 1000;
  r.recheck_after_ms = int64_t{o.recheck_after_minutes} * 60000;
  return r;
}

// The run itself, on this thread: a first Ctrl+C stops starting cards, a
// second one, SIGTERM and the like end it as a shutdown.
// False when the checks' socket can't be had.
bool drive_run(Run& run, std::vector<RunCard> cards, ImageFile& file, const RunOptions& options) {
  std::unique_ptr<CheckTransport> transport;
  if (options.checks != RunChecks::none && !(transport = open_check_transport())) {
    std::fprintf(stderr, "daveridur-cli: cannot open the discovery sockets\n");
    return false;
  }
  // Lives as long as the process: a handler on the console's thread may
  // still be waking it as the run goes.
  static SystemRunIo io;
  Printer printer(run, options.schedule);
  UpgradeRun upgrade(std::move(cards), std::move(file.bytes), file.opened, options, &printer, &io,
                     std::move(transport));
  // The console's interrupts are posted to the run's inbox while it goes.
  route_interrupts(upgrade.inbox());
  upgrade.post({RunCommandKind::start});
  upgrade.run();
  route_interrupts(nullptr);
  run.stopped = upgrade.stopped_by_operator();
  clear_live_line(run);
  for (const CardResult& card : upgrade.results()) {
    Job& job = *run.by_ip.at(card.ip);
    job.card = card;
    job.card.bytes_sent = std::max(card.bytes_sent, job.bytes);
  }
  return true;
}

// The end of the run: the JSON summary, the report once more with every
// card's final result (a report behind its cards fails the run), the
// scan's summary and the exit status.
int finish_run(Run& run, const UpgradeOptions& o, const FindResult& found,
               const std::string& scanned) {
  std::vector<CardResult> results;
  for (const Job& job : run.jobs) results.push_back(job.card);
  const RunVerdicts verdicts = run_verdicts(results, run.status.halted, run.stopped);
  if (o.json) print_line(run, summary_json(results, run.status, verdicts));
  bool report_whole = true;
  if (!o.report.empty() && !journal_set(run.journal.get(), results)) {
    std::fprintf(stderr, "daveridur-cli: %s\n", journal_status(run.journal.get()).c_str());
    report_whole = false;
  }
  if (!scanned.empty()) {
    size_t ok = 0;
    for (const Job& job : run.jobs) ok += verdict_fine(job.card.verdict) ? 1 : 0;
    std::fprintf(stderr, "summary: %zu cards, %zu OK; %s: %s\n", run.jobs.size(), ok,
                 scanned.c_str(), scan_counts_text(found).c_str());
  }
  if (verdicts.halted) {
    std::fprintf(stderr, "%s\n", halt_line(run.status, results).c_str());
  } else if (verdicts.stopped) {
    const int left = verdicts.counts.count(Verdict::not_started_stopped)
                         ? verdicts.counts.at(Verdict::not_started_stopped)
                         : 0;
    std::fprintf(stderr, "stopped by the operator: %s not started\n", cards_words(left).c_str());
  }
  // A report behind its cards fails a run that would otherwise pass.
  if (!report_whole && verdicts.exit_status == EXIT_ALL_OK) return EXIT_CARD_FAILED;
  return verdicts.exit_status;
}

}  // namespace

int run_upgrade(const UpgradeOptions& o) {
  ImageFile file;
  if (const char* refusal = read_checked_image(o.image, &file)) {
    std::fprintf(stderr, "%s\n", refusal);
    return EXIT_BAD_IMAGE;
  }
  const uint32_t version = file.check.version;
  const std::string digest = sha256_hex(file.opened.digest);
  // Refused before any card is asked when the request cannot run at all.
  {
    RunRequest early;
    early.image = file.opened;
    early.versionless_rollout = o.force;
    early.options.rollout.on = rollout_on(o);
    early.options.rollout.steps = o.waves;
    early.options.rollout.max_failures = o.max_failures;
    RunPlan none;
    std::string refusal;
    if (!plan_run(early, &none, &refusal)) {
      std::fprintf(stderr, "daveridur-cli: %s; give --force to run it so\n", refusal.c_str());
      return EXIT_USAGE;
    }
  }
  std::vector<CardOrder> orders;
  KeptReport kept;
  if (!cards_to_ask(o, &orders, &kept)) return EXIT_USAGE;

  Run run;
  run.image_size = file.opened.size;
  run.live = stderr_is_terminal();
  run.json = o.json;
  // A card named twice is upgraded once, with the account named first.
  for (const CardOrder& c : orders)
    if (!run.by_ip.count(c.ip)) add_job(run, c, o, version, digest);

  // The report names every card before anything is sent: a run stopped at
  // any moment leaves it whole. No report, no run.
  std::string reason;
  // One run per report, held before anything is sent (the report resumed
  // may be the same file: this run holds it then); a new one is made whole.
  HeldReport held;
  if (!o.dry_run && !o.report.empty()) {
    std::vector<Journal::Slot> slots;
    if (!hold_report(o.report, journal_layout(journal_rows(run), &slots), &held)) return EXIT_USAGE;
    run.journal->held = held.file;
  }
  if (!o.dry_run && !o.report.empty() &&
      !journal_start(run.journal.get(), o.report, journal_rows(run), &reason)) {
    std::fprintf(stderr, "daveridur-cli: the report %s cannot be written: %s\n", o.report.c_str(),
                 reason.c_str());
    return EXIT_USAGE;
  }
  FindResult found;
  std::string scanned;
  if (!ask_cards(o, run, version, digest, &found, &scanned)) return EXIT_CARD_FAILED;
  const RunOptions options = run_options(o, run);
  RunPlan plan;
  std::string refusal;
  if (!plan_run(run_request(run, o, file.opened, kept, options), &plan, &refusal)) {
    std::fprintf(stderr, "daveridur-cli: %s\n", refusal.c_str());
    return EXIT_USAGE;
  }
  clear_live_line(run);
  for (const std::string& line : plan.planned_again) std::fprintf(stderr, "%s\n", line.c_str());
  run.to_send = plan.to_send;
  if (o.dry_run) return print_dry_run(plan, options, version == IMAGE_VERSION_NONE);
  std::vector<RunCard> cards = std::move(plan.cards);
  // What the cards said of themselves; a file that cannot be written now
  // is tried again at the next change.
  if (!o.report.empty()) journal_set(run.journal.get(), journal_rows(run));
  if (!drive_run(run, std::move(cards), file, options)) return EXIT_CARD_FAILED;
  return finish_run(run, o, found, scanned);
}
