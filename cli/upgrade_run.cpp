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

enum class Outcome {
  ok, timeout, aborted, no_connection, skipped_version, refused, socket_error, no_memory,
  too_large, no_session,
};

// Every outcome's word in the report CSV.
const char* outcome_word(Outcome o) {
  switch (o) {
    case Outcome::ok: return "ok";
    case Outcome::timeout: return "timeout";
    case Outcome::aborted: return "aborted";
    case Outcome::no_connection: return "no_connection";
    case Outcome::skipped_version: return "skipped_version";
    case Outcome::refused: return "refused";
    case Outcome::socket_error: return "socket_error";
    case Outcome::no_memory: return "no_memory";
    case Outcome::too_large: return "too_large";
    case Outcome::no_session: return "no_session";
  }
  return "refused";
}

// The outcome of a report line's tail (after the address); a tail that is
// none of the program's own lines is the card's ERROR message.
Outcome outcome_of_line(const std::string& tail) {
  struct Known {
    const char* line;
    Outcome outcome;
  };
  static const Known known[] = {
      {LINE_OK, Outcome::ok},
      {LINE_TIMEOUT, Outcome::timeout},
      {LINE_ABORTED, Outcome::aborted},
      {LINE_NO_CONNECTION, Outcome::no_connection},
      {LINE_SOCKET_ERROR, Outcome::socket_error},
      {LINE_NO_MEMORY, Outcome::no_memory},
      {LINE_TOO_LARGE, Outcome::too_large},
      {LINE_NO_SESSION, Outcome::no_session},
  };
  for (const Known& k : known)
    if (tail == k.line) return k.outcome;
  return Outcome::refused;
}

std::string time_text(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// One card of the run.
struct Job {
  CardOrder order;
  DeviceRecord record{};
  bool answered = false;
  Report report;  // the card's own lines; the run prints them as they come
  CardRow result;
  Outcome outcome = Outcome::aborted;
  std::atomic<uint32_t> bytes{0};
  Clock::time_point started, ended;
  bool done = false;
};

// The shared state of a run: its output and the counts the live line shows.
struct Run {
  std::mutex mutex;
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
// The outcome is read from the card's report line unless it is given.
void finish_job(Run& run, Job& job, const Outcome* known = nullptr) {
  std::string text = report_text(&job.report);
  std::string ip = ip_to_text(job.order.ip);
  std::string tail = text.size() > ip.size() ? text.substr(ip.size()) : LINE_ABORTED;
  job.outcome = known ? *known : outcome_of_line(tail);
  std::string message = tail;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (!message.empty() && message[0] == ' ') message.erase(0, 1);

  std::lock_guard<std::mutex> lock(run.mutex);
  job.result.result = outcome_word(job.outcome);
  job.result.message = message;
  job.result.bytes_sent = job.bytes.load();
  if (!job.result.started.empty()) {
    job.result.ended = time_text(local_time_now());
    job.ended = Clock::now();
    job.result.seconds = std::chrono::duration<double>(job.ended - job.started).count();
    ++run.finished;
  }
  job.done = true;
  clear_live_line(run);
  if (!job.result.started.empty()) std::fprintf(stderr, "%s: ended, %s\n", ip.c_str(), message.c_str());
  std::printf("%s %s\n", ip.c_str(), message.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
}

void finish_with_line(Run& run, Job& job, const char* line) {
  report_append(&job.report, std::string(ip_to_text(job.order.ip)) + line);
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
      if (wait_readable(s->socket, usec < 1 ? 1 : usec) && !session_readable(s->slot))
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
  LoopPorts(Run& run) : run_(run) {}
  ~LoopPorts() override { join(); }
  Job* current = nullptr;  // the card start_session is starting

  int row_count() override { return 0; }
  int row_checked(int) override { return 0; }
  int row_record(int, DeviceRecord*) override { return 0; }
  void show_row_upgrading(int) override {}
  std::string image_path() override { return ""; }
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
  Socket open_socket() override { return udp_open(0); }
  void join() {
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  Run& run_;
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

// The cards that ended " OK." until they run the image's version; an image
// without a version can't be told from the old one.
void verify_cards(Run& run, uint32_t image_version) {
  std::vector<VerifyCard> cards;
  for (Job& job : run.jobs)
    if (job.outcome == Outcome::ok) cards.push_back(VerifyCard{job.order.ip, job.ended, "", 0});
  if (cards.empty()) return;
  std::vector<VerifyCard*> open;
  for (VerifyCard& c : cards) {
    if (image_version == IMAGE_VERSION_NONE)
      c.verified = "not_verified";
    else
      open.push_back(&c);
  }
  std::fprintf(stderr, "verifying %zu card%s\n", open.size(), open.size() == 1 ? "" : "s");
  wait_for_versions(open, image_version);
  for (Job& job : run.jobs)
    for (const VerifyCard& c : cards)
      if (job.outcome == Outcome::ok && c.ip == job.order.ip) {
        job.result.verified = c.verified;
        job.result.verified_seconds = c.seconds;
        if (!c.verified.empty())
          std::fprintf(stderr, "%s: %s\n", ip_to_text(c.ip), c.verified.c_str());
      }
}

}  // namespace

int upgrade_command(const UpgradeOptions& o) {
  std::vector<uint8_t> image;
  ImageCheck check{MSG_READ_ERROR, IMAGE_VERSION_NONE};
  if (read_image_file(o.image, &image)) check = check_image(image.data(), image.size());
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

  std::vector<DeviceRecord> found;
  if (!find_cards(addresses, QUERY_WAIT_MS, true, &found)) {
    std::fprintf(stderr, "daveridur-cli: cannot open the discovery sockets\n");
    return EXIT_CARD_FAILED;
  }
  const std::string stored = default_account();
  for (Job& job : run.jobs) {
    for (const DeviceRecord& r : found)
      if (r.ip == job.order.ip) {
        job.record = r;
        job.answered = true;
      }
    char mac[18];
    job.result.ip = job.order.ip;
    job.result.mac = job.answered ? mac_to_text(mac, job.record.mac) : "";
    job.result.version_before = job.answered ? card_version_text(job.record.version) : "--.--";
    job.record.ip = job.order.ip;
    job.record.unreachable = 0;
    apply_account(o, stored, job);
    bool current = check.version != IMAGE_VERSION_NONE && job.record.version >= check.version;
    if (job.answered && !(current && !o.force)) ++run.to_send;
  }

  LoopPorts ports(run);
  {
    SlotEvents slots;
    for (Job& job : run.jobs) {
      if (interrupted) {
        finish_with_line(run, job, LINE_ABORTED);
        continue;
      }
      if (!job.answered) {
        finish_with_line(run, job, LINE_NO_CONNECTION);
        continue;
      }
      if (check.version != IMAGE_VERSION_NONE && job.record.version >= check.version && !o.force) {
        std::string line = " Skipped : version " + card_version_text(job.record.version) + " .\r\n";
        report_append(&job.report, std::string(ip_to_text(job.order.ip)) + line);
        const Outcome skipped = Outcome::skipped_version;
        finish_job(run, job, &skipped);
        continue;
      }
      wait_for_slots(run, slots, o.parallel, false);
      if (interrupted) {
        finish_with_line(run, job, LINE_ABORTED);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(run.mutex);
        clear_live_line(run);
        job.started = Clock::now();
        job.result.started = time_text(local_time_now());
        std::fprintf(stderr, "%s: started\n", ip_to_text(job.order.ip));
      }
      ports.current = &job;
      if (start_session(&ports, &job.report, &slots, job.record, image.data(), size) < 0)
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

  if (o.verify) verify_cards(run, check.version);

  std::vector<CardRow> results;
  bool all_ok = true;
  for (Job& job : run.jobs) {
    results.push_back(job.result);
    if (job.outcome != Outcome::ok && job.outcome != Outcome::skipped_version) all_ok = false;
    if (o.verify && job.outcome == Outcome::ok && job.result.verified != "applied") all_ok = false;
  }
  if (!o.report.empty() &&
      !write_report_csv(o.report, o.image, check.version == IMAGE_VERSION_NONE ? "" : card_version_text(check.version), results)) {
    std::fprintf(stderr, "daveridur-cli: cannot write the report %s\n", o.report.c_str());
    all_ok = false;
  }
  return all_ok ? EXIT_ALL_OK : EXIT_CARD_FAILED;
}
