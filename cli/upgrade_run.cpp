// The upgrade command: the cards are asked for their system information,
// those behind the image's version get the program's upload sessions, at
// most N at a time, each driven by a loop of its own in place of its window.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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
const uint32_t BETWEEN_STARTS_MS = 100;  // as the window's batch paces its starts
const auto TICK = std::chrono::milliseconds(100);
const auto LIVE_EVERY = std::chrono::milliseconds(500);

// One card of the run.
struct Job {
  CardOrder order;
  DeviceRecord record{};
  bool answered = false;
  // The card's own report: its line and its result. Shared with the check
  // after the upgrade, which updates the result.
  std::shared_ptr<Report> report = std::make_shared<Report>();
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
  size_t to_send = 0, finished = 0;
  uint32_t image_size = 0;
  bool live = false;
  bool live_shown = false;
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
void finish_job(Run& run, Job& job) {
  std::vector<CardResult> cards = report_cards(job.report.get());
  std::string ip = ip_to_text(job.order.ip);
  std::lock_guard<std::mutex> lock(run.mutex);
  if (!cards.empty()) {
    job.result = cards.back();
  } else {  // no line came: the card got no session
    job.result = job.card;
    job.result.outcome = CardOutcome::no_session;
    journal_update(run.journal.get(), job.result);
  }
  job.result.bytes_sent = std::max(job.result.bytes_sent, job.bytes.load());
  const std::string message = report_message(job.result);
  if (job.sent) {
    job.ended = Clock::now();
    ++run.finished;
  }
  clear_live_line(run);
  if (job.sent) std::fprintf(stderr, "%s: ended, %s\n", ip.c_str(), message.c_str());
  std::printf("%s %s\n", ip.c_str(), message.c_str());
  flush_output();
  std::fflush(stderr);
}

// A card that gets no transfer: its line and result at once.
void finish_with(Run& run, Job& job, CardOutcome outcome, const std::string& message = "") {
  report_card_queue(job.report.get(), job.card);
  report_card(job.report.get(), ip_to_text(job.order.ip), job.order.ip, outcome, message, 0);
  finish_job(run, job);
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

// The engine's headless loop with Ctrl+C: a datagram is taken as soon as
// it arrives, the tick comes every 100 ms, and Ctrl+C aborts the session the
// way the window's Abort does, on the session's own thread.
void drive_session(Run& run, Job& job, UploadSession* s) {
  LoopView view(&job);
  const uint32_t slot = static_cast<uint32_t>(s->slot);
  if (begin_session(&view, s)) {
    auto next_tick = Clock::now() + TICK;
    while (!s->ended) {
      if (interrupted) {
        session_command(&view, s, 2);
        continue;
      }
      auto now = Clock::now();
      long usec = now >= next_tick ? 0 : static_cast<long>(
          std::chrono::duration_cast<std::chrono::microseconds>(next_tick - now).count());
      // Held by another session's question: the datagram waits for later.
      if (wait_readable(s->socket.get(), usec < 1 ? 1 : usec) && !session_readable(s->slot))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      now = Clock::now();
      if (!s->ended && now >= next_tick) {
        session_timer(TICK_TIMER + slot);
        // Like a window timer, a late tick fires once, not once per period missed.
        next_tick += TICK;
        if (next_tick < now) next_tick = now + TICK;
      }
    }
  }
  // Read before the slot is freed: the worker may refill the session then.
  job.bytes = s->sent;
  finish_job(run, job);
  release_slot(s->slot_events, s->slot);
}

// What start_session needs from the rest of the program.
class LoopPorts : public BatchPorts {
 public:
  LoopPorts(Run& run, uint32_t limit_ticks) : run_(run), limit_ticks_(limit_ticks) {}
  ~LoopPorts() override { join(); }
  Job* current = nullptr;  // the card start_session is starting

  int row_count() override { return 0; }
  int row_checked(int) override { return 0; }
  int row_record(int, DeviceRecord*) override { return 0; }
  void show_row_upgrading(int) override {}
  int ask_confirmation(const std::string&) override { return 1; }
  void show_report(const std::string&) override {}
  void show_refusal(const std::string&) override {}  // the image was checked before
  void enable_main_window(int) override {}
  int start_session_thread(UploadSession* s) override {
    Job* job = current;
    Run* run = &run_;
    try {
      threads_.emplace_back([run, job, s] { drive_session(*run, *job, s); });
    } catch (const std::system_error&) {
      return 0;
    }
    return 1;
  }
  void sleep_ms(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  LocalTime local_time() override { return local_time_now(); }
  SocketOwner open_socket() override { return udp_open(0); }
  uint32_t transfer_limit_ticks() override { return limit_ticks_; }
  void join() {
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  Run& run_;
  uint32_t limit_ticks_;
  std::vector<std::thread> threads_;
};

int free_slots(SlotEvents& slots) {
  int n = 0;
  for (bool f : slots.free) n += f ? 1 : 0;
  return n;
}

// Waits until fewer than `parallel` sessions run (all of them: parallel 0),
// showing the live line meanwhile.
void wait_for_slots(Run& run, SlotEvents& slots, int parallel, bool until_all) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(slots.mutex);
      auto room = [&] {
        return until_all ? free_slots(slots) == SESSION_SLOTS
                         : free_slots(slots) > SESSION_SLOTS - parallel;
      };
      if (slots.changed.wait_for(lock, LIVE_EVERY, room)) return;
    }
    journal_retry(run.journal.get());
    show_live_line(run);
  }
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
  std::vector<uint8_t> image;
  // Too large is said before the file is read.
  ImageCheck check{read_image_bytes(o.image, &image), IMAGE_VERSION_NONE};
  if (!check.message) check = check_image(image.data(), image.size());
  if (check.message) {
    std::fprintf(stderr, "%s\n", check.message);
    return EXIT_BAD_IMAGE;
  }
  const uint32_t size = static_cast<uint32_t>(image.size());

  Run run;
  run.image_size = size;
  run.live = stderr_is_terminal();
  std::vector<uint32_t> addresses;
  for (const CardOrder& c : o.cards) {
    // A card named twice is upgraded once, with the account named first.
    if (std::find(addresses.begin(), addresses.end(), c.ip) != addresses.end()) continue;
    addresses.push_back(c.ip);
    Job& job = run.jobs.emplace_back();
    job.order = c;
  }

  // The report names every card before anything is sent: a run stopped at
  // any moment leaves it whole. No report, no run.
  auto join_journal = [&](Job& job) {
    job.report->journal = run.journal;
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
  if (!o.report.empty() && !journal_start(run.journal.get(), o.report, journal_rows(), &reason)) {
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
  auto current = [&](const Job& job) {
    return check.version != IMAGE_VERSION_NONE && job.record.version >= check.version && !o.force;
  };
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
    if (job.answered && !current(job)) ++run.to_send;
  }
  // What the cards said of themselves; a file that cannot be written now
  // is tried again at the next change.
  if (!o.report.empty()) journal_set(run.journal.get(), journal_rows());

  LoopPorts ports(run, o.transfer_limit_minutes * 600);  // ticks of 100 ms
  {
    SlotEvents slots;
    for (Job& job : run.jobs) {
      if (interrupted) {
        finish_with(run, job, CardOutcome::aborted);
        continue;
      }
      if (!job.answered) {
        finish_with(run, job, CardOutcome::no_connection);
        continue;
      }
      if (current(job)) {
        finish_with(run, job, CardOutcome::skipped_version,
                    "Skipped : version " + card_version_text(job.record.version) + " .");
        continue;
      }
      wait_for_slots(run, slots, o.parallel, false);
      if (interrupted) {
        finish_with(run, job, CardOutcome::aborted);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(run.mutex);
        clear_live_line(run);
        job.sent = true;
        job.started = Clock::now();
        std::fprintf(stderr, "%s: started\n", ip_to_text(job.order.ip));
      }
      job.card.started = local_time_now();
      report_card_start(job.report.get(), job.card);
      ports.current = &job;
      if (start_session(&ports, job.report.get(), &slots, job.record, image.data(), size) < 0)
        finish_job(run, job);
      std::this_thread::sleep_for(std::chrono::milliseconds(BETWEEN_STARTS_MS));
    }
    wait_for_slots(run, slots, o.parallel, true);
    ports.join();
  }
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    clear_live_line(run);
  }

  if (o.verify) {
    std::vector<std::pair<std::shared_ptr<Report>, CardResult>> done;
    for (Job& job : run.jobs)
      if (job.result.outcome == CardOutcome::ok) done.emplace_back(job.report, job.result);
    check_cards(done);
    for (Job& job : run.jobs) {
      std::vector<CardResult> cards = report_cards(job.report.get());
      if (!cards.empty()) job.result.outcome = cards.back().outcome;
      if (!cards.empty()) job.result.answered_version = cards.back().answered_version;
      if (!cards.empty()) job.result.verified_seconds = cards.back().verified_seconds;
    }
  }

  std::vector<CardResult> results;
  bool all_ok = true;
  for (Job& job : run.jobs) {
    results.push_back(job.result);
    CardOutcome outcome = job.result.outcome;
    bool fine = o.verify ? outcome == CardOutcome::applied : outcome_is_ok(outcome);
    if (!fine && outcome != CardOutcome::skipped_version) all_ok = false;
  }
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
  return all_ok ? EXIT_ALL_OK : EXIT_CARD_FAILED;
}
