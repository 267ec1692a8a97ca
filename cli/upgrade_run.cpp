// The upgrade command: the cards are asked for their system information,
// judged, and run through the program's run (upgrade/run.h) on this thread:
// at most N sessions at a time, the checks after " OK." in the same loop.
// This file is the run's printer: the report lines, JSON Lines and the
// live line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <unordered_map>

#include "settings/settings.h"
#include "cli/cli.h"
#include "cli/console.h"
#include "cli/run_output.h"
#include "protocol/packet.h"
#include "platform/files.h"
#include "protocol/sha256.h"
#include "upgrade/policy/plan.h"
#include "upgrade/run/run.h"
#include "upgrade/record/kept_report.h"
#include "upgrade/policy/rollout_json.h"
#include "cli/upgrade_job.h"

using namespace upgrade_cli;

namespace {

const uint32_t LIVE_LINE_EVERY_MS = 500;
// Off a terminal (cron, a scheduled task, Ansible) a line says what the run
// waits for at least this often: a log never goes quiet for the minutes a
// wave waits for its checks or the run for its window.
const auto QUIET_LINE_EVERY = std::chrono::seconds(30);
const uint32_t QUIET_HEARTBEAT_MS = 1000;
// The live line's room: the terminal's 80 columns less the cursor's.
const int LIVE_LINE_WIDTH = 79;

// Waves, a failure budget or JSON Lines run the batch as a rollout.
bool rollout_on(const UpgradeOptions& o) {
  return o.has_waves || o.max_failures >= 0 || o.json || o.policy.any();
}

// Who answered a gate at this terminal: the account's name.
std::string terminal_person() {
  const char* name = std::getenv("USER");
  if (!name || !*name) name = std::getenv("USERNAME");
  return std::string(name && *name ? name : "someone") + " at the terminal";
}

}  // namespace

bool upgrade_checks(const UpgradeOptions& o) { return rollout_on(o) || o.verify; }

namespace {

void clear_live_line(Run& run) {
  if (!run.live_shown) return;
  std::fprintf(stderr, "\r%-*s\r", LIVE_LINE_WIDTH, "");
  run.live_shown = false;
}

// A line of its own on stderr.
void say(Run& run, const std::string& line) {
  clear_live_line(run);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  run.last_line = Clock::now();
}

// What the run does and waits for: on a terminal the live line, redrawn;
// off one a line of its own when stderr has been quiet for a while.
void show_progress(Run& run) {
  const Clock::time_point now = Clock::now();
  uint64_t sent = 0;
  for (const Job& j : run.jobs) {
    sent += j.bytes;
    auto it = run.progress.sending.find(j.order.ip);
    if (it != run.progress.sending.end()) it->second = j.bytes;
  }
  progress_sample(run.progress, sent, now);
  const std::string text = progress_text(run.progress, now);
  if (!run.live) {
    // Two heartbeats early: a loop woken late still keeps the promise.
    const auto every = QUIET_LINE_EVERY - 2 * std::chrono::milliseconds(QUIET_HEARTBEAT_MS);
    if (!text.empty() && now - run.last_line >= every) say(run, text);
    return;
  }
  if (text.empty()) return clear_live_line(run);
  std::fprintf(stderr, "\r%-*.*s", LIVE_LINE_WIDTH, LIVE_LINE_WIDTH, text.c_str());
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
  void stage(SessionStage, const char*) override {}
  void set_progress_range(uint32_t) override {}
  void sent(uint32_t position, uint32_t) override {
    if (job) job->bytes = position;
  }
  void close(int) override {}
};

// The run's events as the command prints them: a line to stderr as each
// card starts and ends, its report line (or JSON object) to stdout, and
// what the run does and waits for.
class Printer : public RunEvents, public SessionViews {
 public:
  Printer(Run& run, const RunOptions& options)
      : run_(run), progress_(run.progress), views_(BATCH_SESSIONS_MAX) {
    progress_.schedule = options.schedule;
    progress_.checks_deferred = options.checks == RunChecks::after_all;
  }
  SessionView* session_view(int slot) override { return &views_[static_cast<size_t>(slot)]; }
  void planned(const RunPlanned& plan) override {
    if (!plan.rollout) return;
    for (const RunCard& card : plan.cards) {
      if (!card.wave) continue;
      run_.by_ip.at(card.record.ip)->wave = card.wave;
      progress_.waves = std::max(progress_.waves, card.wave);
    }
  }
  void progress(const BatchProgress& progress) override {
    if (progress.tick) return show_progress(run_);
    if (progress.wave == progress_.wave) return;
    // A wave began.
    progress_.wave = progress.wave;
    progress_.next_wave.clear();
  }
  void started(const RunStarted& start) override {
    const RunCard& card = start.card;
    Job& job = *run_.by_ip.at(card.record.ip);
    views_[static_cast<size_t>(start.slot)].job = &job;
    job.sent = true;
    progress_.sending[card.record.ip] = 0;
    say(run_, std::string(ip_to_text(card.record.ip)) + ": started");
  }
  void line(const CardResult& card) override {
    Job& job = *run_.by_ip.at(card.ip);
    const std::string ip = ip_to_text(card.ip);
    const std::string message = report_message(card);
    progress_.sending.erase(card.ip);
    ++lines_;
    if (card.verdict == Verdict::checking) {
      if (progress_.checks_deferred)
        to_check_.push_back(card.ip);
      else
        progress_.checking[card.ip] = Clock::now();
    }
    count_done();
    if (job.sent) say(run_, ip + ": ended, " + message);
    if (!run_.json) print_line(run_, ip + " " + message);
  }
  void settled(const RunSettled& settled) override {
    const CardResult& card = settled.card;
    switch (settled.by) {
      case SettledBy::check:
        return checked(card);
      case SettledBy::rollout:
        if (!run_.json) return;
        print_line(run_, card_json(card, settled.wave));
        run_.by_ip.at(card.ip)->printed = true;
        return;
      case SettledBy::recheck:
        // A card the recheck changed has its object again, as it now stands.
        if (run_.json) print_line(run_, card_json(card, settled.wave));
        return;
    }
  }
  void checked(const CardResult& card) {
    progress_.checking.erase(card.ip);
    count_done();
    if (!*outcome_verified_word(card.outcome)) return;
    say(run_, std::string(ip_to_text(card.ip)) + ": " + result_column_text(card));
  }
  void wave_held(const WaveHold& hold) {
    const std::string next = "wave " + std::to_string(hold.next_wave) + " (" +
                             cards_words(static_cast<long long>(hold.next_cards)) + ")";
    const std::string when = hold.starts_in_ms > 0 ? "starts at " + local_time_words(hold.starts_at)
                                                   : "starts now";
    progress_.next_wave = hold.gate ? "" : "wave " + std::to_string(hold.next_wave) + " " + when;
    // The settling's object; an opened gate is in the summary's "gates".
    if (run_.json && !hold.counts.empty()) print_line(run_, wave_hold_json(hold));
    if (!hold.gate) {
      say(run_, (hold.counts.empty() ? "gate opened: " : wave_settled_words(hold) + "; ") + next +
                    " " + when);
      return;
    }
    // The run waits on this thread for the answer: every card is in.
    clear_live_line(run_);
    std::string answer;
    const std::string question = wave_settled_words(hold) + ". Start wave " +
                                 std::to_string(hold.next_wave) + " (" +
                                 cards_words(static_cast<long long>(hold.next_cards)) + ")? [y/N] ";
    const bool asked = console_ask(question, &answer);
    const bool yes = asked && (answer == "y" || answer == "Y" || answer == "yes");
    run_.last_line = Clock::now();
    RunCommand command{yes ? RunCommandKind::open_gate : RunCommandKind::refuse_gate};
    command.who = terminal_person();
    if (run_.inbox) run_.inbox->post(command);
    if (!yes) say(run_, "wave " + std::to_string(hold.next_wave) + " not started: the gate was refused");
  }
  void waiting(const RunWaiting& waiting) override {
    const RunWait what = waiting.what;
    switch (what) {
      case RunWait::held:
        return wave_held(waiting.hold);
      case RunWait::halted:
        return;
      case RunWait::verify:
        return checks_started(waiting.cards);
      case RunWait::recheck:
        return recheck_waiting(waiting.cards, waiting.wait_ms);
      default:
        break;
    }
    progress_.wait = what;
    if (what == RunWait::start_time)
      say(run_, "waiting for " + clock_text(progress_.schedule.start_at) + " to start");
    else if (what == RunWait::window)
      say(run_, "waiting for the window " +
                    window_text(progress_.schedule.window_from, progress_.schedule.window_to));
  }
  void checks_started(size_t cards) {
    const Clock::time_point now = Clock::now();
    for (uint32_t ip : to_check_) progress_.checking[ip] = now;
    to_check_.clear();
    say(run_, "checking " + cards_words(static_cast<long long>(cards)) + " for the new version");
  }
  void recheck_waiting(size_t cards, int64_t wait_ms) {
    clear_live_line(run_);
    std::fprintf(stderr, "asking the %zu applied card%s again in %lld minute%s\n", cards,
                 cards == 1 ? "" : "s", static_cast<long long>(wait_ms / 60000),
                 wait_ms == 60000 ? "" : "s");
  }
  void summary(const RunSummary& summary) override { run_.status = summary.rollout; }

 private:
  // Cards whose line came and whose check, if any, is over.
  void count_done() { progress_.done = lines_ - progress_.checking.size() - to_check_.size(); }

  Run& run_;
  RunProgress& progress_;
  std::vector<CountingView> views_;
  std::vector<uint32_t> to_check_;  // --verify: checked once every transfer ended
  size_t lines_ = 0;
};

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
    c.site = job.order.site;
    request.cards.push_back(c);
  }
  return request;
}

RunOptions run_options(const UpgradeOptions& o, const Run& run) {
  RunOptions r;
  r.rollout.on = rollout_on(o);
  r.rollout.steps = o.waves;
  r.rollout.max_failures = o.max_failures;
  r.rollout.policy = o.policy;
  r.parallel = o.parallel;
  r.transfer_limit_ticks = o.transfer_limit_minutes * 600;  // of 100 ms
  // A rollout's waves wait for the checks: they run beside the transfers.
  r.checks = r.rollout.on ? RunChecks::each_ok : o.verify ? RunChecks::after_all : RunChecks::none;
  r.journal = run.journal;
  r.heartbeat_ms = run.live ? LIVE_LINE_EVERY_MS : QUIET_HEARTBEAT_MS;
  r.schedule = o.schedule;
  r.settle_ms = int64_t{o.settle_seconds} * 1000;
  r.recheck_after_ms = int64_t{o.recheck_after_minutes} * 60000;
  return r;
}

// The run itself, on this thread: a first Ctrl+C stops starting cards, a
// second one, SIGTERM and the like end it as a shutdown.
// False when the checks' socket can't be had.
bool drive_run(Run& run, std::vector<RunCard> cards, ImageFile& file, const RunOptions& options) {
  // Lives as long as the process: a handler on the console's thread may
  // still be waking it as the run goes.
  static SystemRunIo io;
  std::unique_ptr<CheckTransport> transport;
  if (options.checks != RunChecks::none && !(transport = open_check_transport(&io))) {
    std::fprintf(stderr, "daveridur-cli: cannot open the discovery sockets\n");
    return false;
  }
  Printer printer(run, options);
  UpgradeRun upgrade(std::move(cards), std::move(file.bytes), file.opened, options, &printer, &io,
                     std::move(transport), &printer);
  // The console's interrupts are posted to the run's inbox while it goes.
  route_interrupts(upgrade.inbox());
  run.inbox = upgrade.inbox();
  upgrade.post({RunCommandKind::start});
  upgrade.run();
  route_interrupts(nullptr);
  run.inbox.reset();
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
  if (o.json) {
    // A run ended at once (SIGTERM, SIGHUP, the console closed) settles no
    // more cards: each card not printed yet gets its object now, as the
    // report has its row, before the summary.
    for (Job& job : run.jobs)
      if (!job.printed) print_line(run, card_json(job.card, job.wave));
    print_line(run, policy_summary_json(summary_json(results, run.status, verdicts), o.policy,
                                        run.status));
  }
  bool report_whole = true;
  if (!o.report.empty() && !journal_set(run.journal.get(), results)) {
    std::fprintf(stderr, "daveridur-cli: %s\n", journal_status(run.journal.get()).c_str());
    report_whole = false;
  }
  if (!write_run_page(o, results, run.status, verdicts)) report_whole = false;
  if (!scanned.empty()) {
    size_t ok = 0;
    for (const Job& job : run.jobs) ok += verdict_fine(job.card.verdict) ? 1 : 0;
    std::fprintf(stderr, "summary: %zu cards, %zu OK; %s: %s\n", run.jobs.size(), ok,
                 scanned.c_str(), scan_counts_text(found).c_str());
  }
  for (const WaveGateRecord& g : run.status.gates)
    std::fprintf(stderr, "%s\n", gate_record_words(g).c_str());
  if (o.policy.order.kind == OrderKind::shuffle)
    std::fprintf(stderr, "order: %s\n", order_text(o.policy.order).c_str());
  if (run.nothing_to_upgrade && verdicts.exit_status == EXIT_ALL_OK)
    std::fprintf(stderr, "nothing to upgrade: every card runs the image's version or a newer one\n");
  if (verdicts.halted) {
    std::fprintf(stderr, "%s\n", halt_line(run.status, results).c_str());
  } else if (verdicts.stopped) {
    const int left = verdicts.counts.count(Verdict::not_started_stopped)
                         ? verdicts.counts.at(Verdict::not_started_stopped)
                         : 0;
    std::fprintf(stderr, "stopped by the operator: %s not started\n", cards_words(left).c_str());
  }
  // Last, whatever ended the run (a halt, a stop, a signal): its counts.
  std::vector<const CardResult*> counted;
  for (const CardResult& card : results) counted.push_back(&card);
  std::fputs(count_line("run", counted).c_str(), stderr);
  // A report behind its cards fails a run that would otherwise pass.
  if (!report_whole && verdicts.exit_status == EXIT_ALL_OK) return EXIT_CARD_FAILED;
  return verdicts.exit_status;
}

}  // namespace

int run_upgrade(const UpgradeOptions& o) {
  ImageFile file;
  if (const char* refusal = read_checked_image(o.image, &file)) {
    std::fprintf(stderr, "daveridur-cli: %s\n", image_error_text(o.image, refusal).c_str());
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
    early.options.rollout.policy = o.policy;
    RunPlan none;
    std::string refusal;
    if (!plan_run(early, &none, &refusal)) {
      std::fprintf(stderr, "daveridur-cli: %s; give --force to run it so\n", refusal.c_str());
      return EXIT_USAGE;
    }
  }
  HeldReport resumed;
  if (!hold_resumed(o, &resumed)) return EXIT_USAGE;
  std::vector<CardOrder> orders;
  KeptReport kept;
  if (!cards_to_ask(o, &orders, &kept)) return EXIT_USAGE;

  Run run;
  run.live = stderr_is_terminal();
  run.json = o.json;
  // A card named twice is upgraded once, with the account named first.
  for (const CardOrder& c : orders)
    if (!run.by_ip.count(c.ip)) add_job(run, c, o, version, digest);
  note_default_accounts(run, o, kept);

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
  // Nothing named and nothing found is no success: a range that answered
  // nothing is a site down or a wrong range.
  if (run.jobs.empty()) {
    std::fprintf(stderr, "daveridur-cli: no cards: %s\n",
                 o.ranges.intervals.empty() ? "none named or found" : "the range answered nothing");
    return EXIT_CARD_FAILED;
  }
  if (o.seed_drawn)
    std::fprintf(stderr, "order: %s (give --order %s to plan the same again)\n",
                 order_text(o.policy.order).c_str(), order_text(o.policy.order).c_str());
  const RunOptions options = run_options(o, run);
  RunPlan plan;
  std::string refusal;
  if (!plan_run(run_request(run, o, file.opened, kept, options), &plan, &refusal)) {
    std::fprintf(stderr, "daveridur-cli: %s\n", refusal.c_str());
    return EXIT_USAGE;
  }
  for (const std::string& line : plan.planned_again) say(run, line);
  run.to_send = plan.to_send;
  run.nothing_to_upgrade =
      plan.to_send == 0 && std::all_of(plan.cards.begin(), plan.cards.end(), [](const RunCard& c) {
        return c.gate == CardOutcome::skipped_version || c.gate == CardOutcome::skipped_done;
      });
  if (o.dry_run)
    return print_dry_run(std::move(plan.cards), options, version == IMAGE_VERSION_NONE, o.json);
  std::vector<RunCard> cards = std::move(plan.cards);
  // What the cards said of themselves; a file that cannot be written now
  // is tried again at the next change.
  if (!o.report.empty()) journal_set(run.journal.get(), journal_rows(run));
  run.progress.cards = run.jobs.size();
  run.progress.image_size = file.opened.size;
  if (!drive_run(run, std::move(cards), file, options)) return EXIT_CARD_FAILED;
  return finish_run(run, o, found, scanned);
}
