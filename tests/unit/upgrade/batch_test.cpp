// The upgrade batch against fake ports: a device table of rows, message
// boxes that record, a test clock that moves only when the batch sleeps, and
// sessions whose threads (the batch's own) wait until the test ends them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "image/image.h"
#include "platform/files.h"
#include "protocol/csv.h"
#include "protocol/packet.h"
#include "tools/mkimage/image_maker.h"
#include "upgrade/upgrade.h"

namespace {

struct Row {
  bool checked;
  bool has_record;
  DeviceRecord record;
};

Row card_row(int last_octet, uint32_t version = 0x0100, bool checked = true,
             uint32_t unanswered_queries = 0) {
  Row row{checked, true, {}};
  row.record.filled = 1;
  row.record.ip = htonl(0x0A450000u | static_cast<uint32_t>(last_octet));  // 10.69.0.x
  row.record.version = version;
  std::strcpy(row.record.user_name, "admin");
  row.record.unanswered_queries = unanswered_queries;
  return row;
}

struct Start {
  int slot;
  std::string ip;
  uint64_t at_ms;
  uint8_t stamp[4];
  uint32_t limit_ticks;
};

// The system's code page of the fakes is Latin-1: what the report box shows
// and what the kept file holds really differ for a non-ASCII text.
std::string utf8_to_latin1(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
      out += static_cast<char>((c & 0x1F) << 6 | (text[++i] & 0x3F));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A civil time some seconds after 2000-06-15 10:30:00 (or another start).
LocalTime civil_time(const LocalTime& start, uint64_t seconds) {
  std::tm tm{};
  tm.tm_year = start.year - 1900;
  tm.tm_mon = start.month - 1;
  tm.tm_mday = start.day;
  tm.tm_hour = start.hour;
  tm.tm_min = start.minute;
  tm.tm_sec = start.second;
  std::time_t t = timegm(&tm) + static_cast<std::time_t>(seconds);
  gmtime_r(&t, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

struct FakePorts : BatchPorts {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Row> rows;
  std::string path;
  int answer = 1;
  std::vector<std::string> questions, reports, refusals;
  std::vector<int> enables, upgrading;
  uint64_t clock_ms = 0;
  LocalTime clock_start{2000, 6, 15, 10, 30, 0};
  std::vector<Start> starts;
  int running = 0, most_running = 0;
  int sockets_opened = 0, fail_socket_at = -1;
  bool end_at_once = false;  // sessions end as soon as they start
  uint64_t session_ms = 0;   // how long such a session takes on the test clock
  std::map<std::string, std::pair<CardOutcome, std::string>> endings;  // by IP text; else ok
  std::string folder;
  std::vector<uint32_t> closed_ok;
  std::vector<std::shared_ptr<Report>> held;
  std::function<void(uint32_t)> on_sleep;  // runs (unlocked) after each sleep
  std::function<void()> while_report_open;  // runs (unlocked) before the box closes
  std::vector<int> running_slots;
  std::vector<std::tuple<int, int, bool>> progress;  // total, settled, failed
  size_t report_cards_shown = 0;
  std::string kept_path;

  int row_count() override { return static_cast<int>(rows.size()); }
  int row_checked(int row) override { return rows[row].checked; }
  int row_record(int row, DeviceRecord* record) override {
    if (!rows[row].has_record) return 0;
    *record = rows[row].record;
    return 1;
  }
  void show_row_upgrading(int row) override { note([&] { upgrading.push_back(row); }); }
  int ask_confirmation(const std::string& text) override {
    questions.push_back(text);
    return answer;
  }
  void show_report(const std::string& text) override {
    note([&] { reports.push_back(text); });
    if (while_report_open) while_report_open();
  }
  void show_batch_report(const std::string& text, const std::vector<CardResult>& cards,
                         const std::string& kept) override {
    note([&] { report_cards_shown = cards.size(), kept_path = kept; });
    BatchPorts::show_batch_report(text, cards, kept);
  }
  void batch_progress(const BatchProgress& p) override {
    note([&] { progress.push_back({p.total, p.settled, p.failed}); });
  }
  void show_refusal(const std::string& text) override { note([&] { refusals.push_back(text); }); }
  void enable_main_window(int enabled) override { note([&] { enables.push_back(enabled); }); }
  void sleep_ms(uint32_t ms) override {
    note([&] { clock_ms += ms; });
    // Every session started has reached its thread by the end of the pause
    // after its start, and those that end at once have ended, as if they
    // took no time: starts and lines keep their order.
    bool settled = wait_until([&] {
      int opened = sockets_opened - (fail_socket_at >= 0 && sockets_opened > fail_socket_at);
      return static_cast<int>(starts.size()) == opened && (!end_at_once || running == 0);
    });
    EXPECT_TRUE(settled) << "a session's thread did not come";
    if (on_sleep) on_sleep(ms);
  }
  LocalTime local_time() override {
    std::lock_guard<std::mutex> lock(mutex);
    return civil_time(clock_start, clock_ms / 1000);
  }
  std::string reports_folder() override { return folder; }
  std::string display_text(const std::string& utf8) override { return utf8_to_latin1(utf8); }
  void card_done(const std::shared_ptr<Report>& report, const CardResult&) override {
    note([&] { held.push_back(report); });
  }
  void report_closed(const std::vector<uint32_t>& ok_ips) override {
    note([&] { closed_ok = ok_ips; });
  }
  uint32_t limit_ticks = 1234;  // the front's overall limit for each transfer
  uint32_t transfer_limit_ticks() override { return limit_ticks; }
  SocketOwner open_socket() override {
    int index;
    note([&] { index = sockets_opened++, opened_at_ms = clock_ms; });
    return index == fail_socket_at ? SocketOwner() : udp_open(0);
  }
  int sessions = WINDOW_SESSIONS;
  uint64_t opened_at_ms = 0;  // the clock at the last socket opened
  int session_count() override { return sessions; }
  std::map<int, UploadSession*> by_slot;  // the batch's sessions, by place
  std::vector<UploadSession*> ended;      // ended by the test, their thread may return
  void run_session(UploadSession* s) override {
    note([&] {
      // When the batch started it: its thread may run after the batch's pause.
      Start start{s->slot, ip_to_text(s->ip), opened_at_ms, {}, s->transfer_limit_ticks};
      std::memcpy(start.stamp, s->stamp, 4);
      starts.push_back(start);
      by_slot[s->slot] = s;
      ended.erase(std::remove(ended.begin(), ended.end(), s), ended.end());
      running_slots.push_back(s->slot);
      most_running = std::max(most_running, ++running);
    });
    if (end_at_once) {
      note([&] { clock_ms += session_ms; });
      finish(s->slot);
    }
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return std::find(ended.begin(), ended.end(), s) != ended.end(); });
  }
  UploadSession* session(int slot) {
    std::lock_guard<std::mutex> lock(mutex);
    return by_slot.at(slot);
  }

  // What a session's front does at its end; its thread returns then.
  void finish(int slot) {
    UploadSession* s = session(slot);
    std::string ip = ip_to_text(s->ip);
    auto ending = endings.count(ip) ? endings[ip] : std::make_pair(CardOutcome::ok, std::string());
    report_card(s->report, ip.c_str(), s->ip, ending.first, ending.second, 3000);
    s->socket.reset();
    s->ended = true;
    note([&] {
      --running;
      running_slots.erase(std::find(running_slots.begin(), running_slots.end(), slot));
      ended.push_back(s);
    });
  }
  // Notified under the lock: a test may destroy the fake once it sees the
  // worker's last call.
  void note(const std::function<void()>& change) {
    std::lock_guard<std::mutex> lock(mutex);
    change();
    changed.notify_all();
  }
  // Waits (real time, bounded) until the batch has got that far.
  bool wait_until(const std::function<bool()>& reached, int ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(ms), reached);
  }
};

// Joins a batch's worker within a bounded wait. A batch still waiting for
// sessions that no one will end fails the test, and its sessions are ended
// so that the worker can be joined; a batch that still does not end (it
// never lets a session go) ends the test program, rather than hanging until
// CTest's time-out.
void join_batch(FakePorts& ports, std::thread& worker) {
  auto ended = [&] { return !ports.enables.empty() && ports.enables.back() == 1; };
  if (!ports.wait_until(ended)) {
    ADD_FAILURE() << "the batch did not end; " << ports.starts.size() << " sessions were started";
    for (int round = 0; round < 100 && !ports.wait_until(ended, 100); ++round) {
      std::vector<int> slots;
      ports.note([&] { slots = ports.running_slots; });
      for (int slot : slots) ports.finish(slot);
    }
    if (!ports.wait_until(ended, 1000)) {
      std::fprintf(stderr, "FAILED: the batch never ended\n");
      std::fflush(stderr);
      std::_Exit(1);
    }
  }
  worker.join();
}

class Batch : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/daveridur-batch-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ImagePlan plan;
    plan.body = make_body(3000, 4);
    image_ = make_image(plan);
    ports_.path = dir_ + "/fw.bin";
    std::FILE* f = std::fopen(ports_.path.c_str(), "wb");
    std::fwrite(image_.data(), 1, image_.size(), f);
    std::fclose(f);
  }
  void TearDown() override {
    if (worker_.joinable()) join_worker();
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  // The image as Open read it (the file SetUp wrote), at the version the
  // operator confirmed.
  void run_worker(uint32_t confirmed_version = 0x0102) {  // the test image's
    busy_.set();
    worker_ = std::thread(batch_worker, &ports_, &busy_,
                          opened_image_of(ports_.path, image_, confirmed_version));
  }
  void write_file(const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(ports_.path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  void expect_nothing_sent(const std::string& refusal) {
    EXPECT_EQ(ports_.refusals, std::vector<std::string>{refusal});
    EXPECT_EQ(ports_.sockets_opened, 0);
    EXPECT_TRUE(ports_.upgrading.empty());
    EXPECT_TRUE(ports_.reports.empty());
    EXPECT_FALSE(busy_.is_set());
    EXPECT_EQ(ports_.enables, std::vector<int>{1});
  }
  void join_worker() { join_batch(ports_, worker_); }
  size_t starts() { return ports_.starts.size(); }

  FakePorts ports_;
  Event busy_{true};
  std::thread worker_;
  std::string dir_;
  std::vector<uint8_t> image_;
};

TEST_F(Batch, SixCardsThroughFourSlots) {
  for (int i = 0; i < 6; ++i) ports_.rows.push_back(card_row(10 + i));
  run_worker();
  ASSERT_TRUE(ports_.wait_until([&] { return starts() == 4; }));
  // Bottom row first, into slot 0.
  std::vector<std::string> ips;
  for (const Start& s : ports_.starts) ips.push_back(s.ip);
  EXPECT_EQ(ips, (std::vector<std::string>{"10.69.0.15", "10.69.0.14", "10.69.0.13", "10.69.0.12"}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ports_.starts[i].slot, i);
  EXPECT_EQ(ports_.starts[0].limit_ticks, 1234u);

  ports_.finish(2);
  ASSERT_TRUE(ports_.wait_until([&] { return starts() == 5; }));
  EXPECT_EQ(ports_.starts[4].slot, 2);
  EXPECT_EQ(ports_.starts[4].ip, "10.69.0.11");
  // Busy slots passed on the way cost nothing: only the 100 ms pause.
  EXPECT_EQ(ports_.starts[4].at_ms - ports_.starts[3].at_ms, 100u);

  ports_.finish(0);
  ASSERT_TRUE(ports_.wait_until([&] { return starts() == 6; }));
  EXPECT_EQ(ports_.starts[5].slot, 0);
  for (int slot : {3, 1, 0}) ports_.finish(slot);
  EXPECT_TRUE(ports_.reports.empty());  // slot 2 is still running
  ports_.finish(2);
  join_worker();

  EXPECT_EQ(ports_.most_running, 4);
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0],
            "10.69.0.13 OK.\r\n10.69.0.15 OK.\r\n10.69.0.12 OK.\r\n10.69.0.14 OK.\r\n"
            "10.69.0.10 OK.\r\n10.69.0.11 OK.\r\n");
  EXPECT_EQ(ports_.upgrading, (std::vector<int>{5, 4, 3, 2, 1, 0}));
  EXPECT_FALSE(busy_.is_set());
  EXPECT_EQ(ports_.enables, std::vector<int>{1});
}

// The number of sessions is the front's: as many run at once as it asks,
// up to the most a batch holds, and at least one.
TEST_F(Batch, HoldsAsManySessionsAsTheFrontAsks) {
  struct Case {
    int asked, held;
  };
  for (Case c : {Case{1, 1}, Case{64, 64}, Case{100, 64}, Case{0, 1}}) {
    SCOPED_TRACE(c.asked);
    FakePorts ports;
    ports.path = ports_.path;
    ports.sessions = c.asked;
    for (int i = 0; i < 70; ++i) ports.rows.push_back(card_row(100 + i));
    Event busy(true);
    std::thread worker(batch_worker, &ports, &busy, opened_image_of(ports.path, image_, 0x0102));
    EXPECT_TRUE(ports.wait_until([&] { return static_cast<int>(ports.starts.size()) == c.held; }));
    // The pause after the last start is over: no more start until one ends.
    EXPECT_TRUE(ports.wait_until([&] { return ports.clock_ms == 100u * c.held; }));
    EXPECT_EQ(static_cast<int>(ports.starts.size()), c.held);
    for (int i = 0; i < 70; ++i) {
      int slot = -1;
      if (!ports.wait_until([&] {
            if (ports.running_slots.empty()) return false;
            slot = ports.running_slots.front();
            return true;
          })) {
        ADD_FAILURE() << "no session runs after " << i << " ended";
        break;
      }
      ports.finish(slot);
    }
    join_batch(ports, worker);
    EXPECT_EQ(ports.most_running, c.held);
    ASSERT_EQ(ports.reports.size(), 1u);
    EXPECT_EQ(std::count(ports.reports[0].begin(), ports.reports[0].end(), '\n'), 70);
  }
}

// A card the front's gate settles takes its line at once, without waiting
// for a session, while the card after it waits for one.
TEST_F(Batch, GateSettlesACardWithoutASession) {
  struct GatedPorts : FakePorts {
    CardOutcome card_gate(const DeviceRecord& record, std::string* message) override {
      if (record.version < 0x0102) return CardOutcome::pending;
      *message = "Skipped : version 1.02 .";
      return CardOutcome::skipped_version;
    }
  };
  GatedPorts ports;
  ports.path = ports_.path;
  ports.sessions = 1;
  ports.rows = {card_row(52), card_row(51, 0x0102), card_row(50)};
  Event busy(true);
  std::thread worker(batch_worker, &ports, &busy, opened_image_of(ports.path, image_, 0x0102));
  EXPECT_TRUE(ports.wait_until([&] { return ports.starts.size() == 1u; }));
  std::vector<CardResult> lines;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (lines.empty() && std::chrono::steady_clock::now() < deadline) {
    std::shared_ptr<Report> report;
    ports.note([&] { report = ports.held.empty() ? nullptr : ports.held.back(); });
    if (report) lines = report_cards(report.get());
    std::this_thread::yield();
  }
  EXPECT_EQ(ports.starts.size(), 1u);  // .52 still holds the one session
  EXPECT_EQ(lines.size(), 1u);
  if (!lines.empty()) {
    EXPECT_EQ(ip_to_text(lines[0].ip), std::string("10.69.0.51"));
    EXPECT_EQ(lines[0].outcome, CardOutcome::skipped_version);
  }
  ports.finish(0);
  if (ports.wait_until([&] { return ports.starts.size() == 2u; })) ports.finish(0);
  join_batch(ports, worker);
  ASSERT_EQ(ports.reports.size(), 1u);
  EXPECT_EQ(ports.reports[0], "10.69.0.51 Skipped : version 1.02 .\r\n10.69.0.50 OK.\r\n"
                              "10.69.0.52 OK.\r\n");
}

TEST_F(Batch, ProgressCountsSettledCardsAndKeepsAFailureUntilCleared) {
  for (int i = 0; i < 3; ++i) ports_.rows.push_back(card_row(10 + i));
  ports_.rows.push_back(card_row(20, 0x0100, false));  // not ticked: not in the batch
  ports_.rows.push_back(card_row(21, 0x0100, true));
  ports_.rows.back().has_record = false;  // no record: not in the batch either
  ports_.endings["10.69.0.11"] = {CardOutcome::timeout, ""};
  run_worker();
  ASSERT_TRUE(ports_.wait_until([&] { return starts() == 3; }));
  for (int slot : {0, 1, 2}) ports_.finish(slot);  // .12 OK, .11 timeout, .10 OK
  join_worker();
  using P = std::tuple<int, int, bool>;
  EXPECT_EQ(ports_.progress, (std::vector<P>{P{3, 0, false}, P{3, 1, false}, P{3, 2, true}, P{3, 3, true},
                                             P{0, 0, false}}));
  EXPECT_EQ(ports_.report_cards_shown, 3u);
  EXPECT_EQ(ports_.kept_path, "");  // no reports folder: no file
  ASSERT_EQ(ports_.reports.size(), 1u);  // shown through the box by default
}

TEST(Taskbar, StateOfTheButton) {
  EXPECT_EQ(taskbar_state(BatchProgress{}, 0), TaskbarState::none);
  EXPECT_EQ(taskbar_state(BatchProgress{}, 1), TaskbarState::none);  // a question after the batch
  EXPECT_EQ(taskbar_state(BatchProgress{4, 1, false}, 0), TaskbarState::normal);
  EXPECT_EQ(taskbar_state(BatchProgress{4, 2, true}, 0), TaskbarState::error);
  EXPECT_EQ(taskbar_state(BatchProgress{4, 2, true}, 2), TaskbarState::paused);
  EXPECT_EQ(taskbar_state(BatchProgress{4, 0, false}, 1), TaskbarState::paused);
}

TEST_F(Batch, StartsComeAHundredMillisecondsApart) {
  for (int i = 0; i < 5; ++i) ports_.rows.push_back(card_row(20 + i));
  run_worker();
  ASSERT_TRUE(ports_.wait_until([&] { return starts() == 4; }));
  std::vector<uint64_t> at;
  for (const Start& s : ports_.starts) at.push_back(s.at_ms);
  EXPECT_EQ(at, (std::vector<uint64_t>{0, 100, 200, 300}));
  // The pause after the fourth start is over: the worker waits for a slot.
  ASSERT_TRUE(ports_.wait_until([&] { return ports_.clock_ms == 400; }));
  // Seconds later a slot frees: the fifth card starts at once, with a stamp
  // of its own start, while the earlier sessions keep theirs.
  ports_.note([&] { ports_.clock_ms = 7000; });
  ports_.finish(1);
  ASSERT_TRUE(ports_.wait_until([&] { return starts() == 5; }));
  EXPECT_EQ(ports_.starts[4].at_ms, 7000u);
  EXPECT_EQ(get_le32(ports_.starts[4].stamp), stamp_value(LocalTime{2000, 6, 15, 10, 30, 7}));
  EXPECT_EQ(get_le32(ports_.session(0)->stamp), stamp_value(LocalTime{2000, 6, 15, 10, 30, 0}));
  for (int slot : {0, 1, 2, 3}) ports_.finish(slot);
  join_worker();
  EXPECT_EQ(ports_.reports.size(), 1u);
}

TEST_F(Batch, UnreachableCardWaitsForASlotBeforeItsLine) {
  ports_.rows.push_back(card_row(30, 0x0100, true, 3));  // visited last
  for (int i = 1; i < 5; ++i) ports_.rows.push_back(card_row(30 + i));
  run_worker();
  ASSERT_TRUE(ports_.wait_until([&] { return starts() == 4; }));
  Report* report = ports_.session(0)->report;
  EXPECT_EQ(report_text(report), "");
  ports_.finish(1);
  // Its line can only follow the end that freed a slot.
  const std::string expected = "10.69.0.33 OK.\r\n10.69.0.30 No connection , abort.\r\n";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (report_text(report) != expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(report_text(report), expected);
  for (int slot : {0, 2, 3}) ports_.finish(slot);
  join_worker();
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0].rfind(expected, 0), 0u);
  EXPECT_EQ(starts(), 4u);
  EXPECT_EQ(ports_.upgrading, (std::vector<int>{4, 3, 2, 1}));
}

// A refresh pass counts every card unanswered when it sends its query; the
// answers are merged up to a second later. Cards whose answer comes in are
// upgraded; cards that never answer, whatever their count, are not.
TEST_F(Batch, CardsAnsweringTheLastPassAreNotPassedOver) {
  ports_.end_at_once = true;
  ports_.rows.push_back(card_row(60, 0x0100, true, 1));  // found by broadcast, silent
  ports_.rows.push_back(card_row(61, 0x0100, true, 3));  // silent for passes
  ports_.rows.push_back(card_row(62, 0x0100, true, 1));  // its answer is on the way
  ports_.rows.push_back(card_row(63));
  ports_.rows.push_back(card_row(64, 0x0100, true, 2));  // missed one, answers this one
  std::vector<int> merged_at_first_sleep = {2, 4};
  ports_.on_sleep = [&](uint32_t) {
    std::lock_guard<std::mutex> lock(ports_.mutex);
    for (int row : merged_at_first_sleep) ports_.rows[row].record.unanswered_queries = 0;
    merged_at_first_sleep.clear();
  };
  run_worker();
  join_worker();
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0],
            "10.69.0.64 OK.\r\n10.69.0.63 OK.\r\n10.69.0.62 OK.\r\n"
            "10.69.0.61 No connection , abort.\r\n10.69.0.60 No connection , abort.\r\n");
  EXPECT_EQ(ports_.upgrading, (std::vector<int>{4, 3, 2}));
  EXPECT_EQ(ports_.sockets_opened, 3);
}

// An image that fails its checks, or is not the one the operator confirmed
// (replaced on disk, or a failed Open that left its path), is never sent.
struct RefusalCase {
  const char* name;
  Broken broken;
  uint16_t file_version;
  uint32_t confirmed_version;
  const char* message;
};

class BatchRefusal : public Batch, public testing::WithParamInterface<RefusalCase> {};

TEST_P(BatchRefusal, NothingSentNoRowChanged) {
  ImagePlan plan;
  plan.body = make_body(3000, 4);
  plan.broken = GetParam().broken;
  plan.version = GetParam().file_version;
  write_file(make_image(plan));
  ports_.rows.push_back(card_row(70));
  ports_.rows.push_back(card_row(71, 0x0100, true, 1));
  ports_.end_at_once = true;  // a batch that should not have run ends at once, and fails
  run_worker(GetParam().confirmed_version);
  join_worker();
  expect_nothing_sent(GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Images, BatchRefusal,
    testing::Values(
        RefusalCase{"bad_checksum", Broken::body_sum, 0x0102, IMAGE_VERSION_NONE, "Bad file checksum !"},
        RefusalCase{"other_product", Broken::product, 0x0102, IMAGE_VERSION_NONE,
                    "Illegal file format !"},
        RefusalCase{"replaced_by_another_version", Broken::none, 0x0200, 0x0102,
                    "The file has changed since it was opened !"},
        RefusalCase{"valid_after_a_failed_open", Broken::none, 0x0102, IMAGE_VERSION_NONE,
                    "The file has changed since it was opened !"}),
    [](const auto& info) { return std::string(info.param.name); });

// A file of the opened version but other bytes (rebuilt, or replaced by
// another of the same number) is not the file opened.
TEST_F(Batch, SameVersionOtherBytesIsTheChangedFile) {
  ports_.end_at_once = true;  // a session started by mistake ends, and the test with it
  ports_.rows.push_back(card_row(70));
  for (int seed : {5, 6}) {
    ImagePlan plan;
    plan.body = make_body(seed == 5 ? 3000 : 3100, seed);  // same size, then another
    write_file(make_image(plan));
    ports_.refusals.clear();
    ports_.enables.clear();
    run_worker(0x0102);
    join_worker();
    expect_nothing_sent("The file has changed since it was opened !");
  }
}

// An image the card cannot number is refused before it is read: a sparse
// file one byte over the bound.
TEST_F(Batch, ImageTooLargeIsRefusedUnread) {
  ASSERT_EQ(truncate(ports_.path.c_str(), off_t{IMAGE_SIZE_MAX} + 1), 0);
  ports_.end_at_once = true;
  ports_.rows.push_back(card_row(70));
  run_worker(0x0102);
  join_worker();
  expect_nothing_sent("Image too large for the card");
}

// A file gone since it was opened is said, not passed over in silence.
TEST_F(Batch, FileGoneSinceOpenIsSaidAndNothingSent) {
  std::remove(ports_.path.c_str());
  ports_.rows.push_back(card_row(70));
  ports_.end_at_once = true;
  run_worker(0x0102);
  join_worker();
  expect_nothing_sent("Error in reading file !");
}

TEST_F(Batch, SocketFailureFreesTheSlotAndSkippedRowsGetNoLine) {
  ports_.end_at_once = true;
  ports_.sessions = 1;  // a session the failure held would never come back
  ports_.fail_socket_at = 1;
  ports_.rows.push_back(card_row(40));
  ports_.rows.push_back(card_row(41, 0x0100, false));  // unchecked
  ports_.rows.push_back(card_row(42));
  ports_.rows.push_back(Row{true, false, {}});          // checked, no record
  ports_.rows.push_back(card_row(44));
  run_worker();
  join_worker();
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0], "10.69.0.44 OK.\r\n10.69.0.42 Socket Error !\r\n10.69.0.40 OK.\r\n");
  EXPECT_EQ(starts(), 2u);
  EXPECT_EQ(ports_.starts[1].slot, 0);
  EXPECT_FALSE(busy_.is_set());
}

std::string read_text(const std::string& path) {
  std::string text;
  read_file_text(path, 1 << 20, &text, nullptr);
  return text;
}

TEST_F(Batch, KeptReportFileRetryListAndLaterChecks) {
  ports_.rows = {card_row(30, 0x0102), card_row(31), card_row(32, 0x0100, true, 1),
                 card_row(33, 0x0100, false)};
  std::memcpy(ports_.rows[0].record.mac, "\x00\x0a\xfe\x01\x02\x03", 6);
  ports_.endings["10.69.0.31"] = {CardOutcome::card_error, "Flash \"A\", B"};
  ports_.folder = dir_ + "/reports/new";
  ports_.end_at_once = true;
  run_worker();
  join_worker();

  const std::string file = dir_ + "/reports/new/2000-06-15_103000.csv";
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0], "10.69.0.32 No connection , abort.\r\n10.69.0.31 Flash \"A\", B\r\n"
                               "10.69.0.30 OK.\r\nReport saved: " + file);
  const std::string header =
      "started,ended,ip,mac,version_before,image,image_version,result,message,seconds,bytes_sent,"
      "verified,verified_seconds\r\n";
  const std::string image = ports_.path;
  // The unanswered card is given the answer window first (1.5 s of the test
  // clock): the others start in the next second.
  const std::string row30 = "2000-06-15 10:30:01,2000-06-15 10:30:01,10.69.0.30,00-0a-fe-01-02-03,"
                            "1.02," + image + ",1.02,ok,OK.,0,3000,";
  EXPECT_EQ(read_text(file),
            header +
                "2000-06-15 10:30:00,2000-06-15 10:30:01,10.69.0.32,00-00-00-00-00-00,1.00," +
                image + ",1.02,no_connection,\"No connection , abort.\",1,0,,\r\n" +
                "2000-06-15 10:30:01,2000-06-15 10:30:01,10.69.0.31,00-00-00-00-00-00,1.00," +
                image + ",1.02,card_error,\"Flash \"\"A\"\", B\",0,3000,,\r\n" + row30 + ",\r\n");
  // Retry: only the " OK." card is unticked.
  EXPECT_EQ(ports_.closed_ok, std::vector<uint32_t>{ports_.rows[0].record.ip});

  // The checks outlive the batch; each outcome rewrites the file.
  ASSERT_EQ(ports_.held.size(), 3u);
  Report* report = ports_.held[0].get();
  EXPECT_FALSE(report_check(report, ports_.rows[1].record.ip, CardOutcome::applied, 0x0105, 9));
  EXPECT_TRUE(report_check(report, ports_.rows[0].record.ip, CardOutcome::applied, 0x0105, 74));
  EXPECT_NE(read_text(file).find(row30 + "applied,74\r\n"), std::string::npos);
  CardResult checked = report_cards(report)[2];
  EXPECT_EQ(result_column_text(checked), "applied 1.05 in 74 s");
}

TEST_F(Batch, UnwritableReportsFolderStillShowsTheReport) {
  ports_.rows = {card_row(40)};
  ports_.folder = ports_.path + "/reports";  // below a file
  ports_.end_at_once = true;
  run_worker();
  join_worker();
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0].rfind("10.69.0.40 OK.\r\nReport not saved: cannot create ", 0), 0u)
      << ports_.reports[0];
  EXPECT_EQ(ports_.closed_ok.size(), 1u);
}

TEST_F(Batch, DeletedFileEndsSilently) {
  ports_.rows.push_back(card_row(50));
  std::remove(ports_.path.c_str());
  ports_.end_at_once = true;
  run_worker();
  join_worker();
  EXPECT_TRUE(ports_.reports.empty());
  EXPECT_EQ(starts(), 0u);
  EXPECT_TRUE(ports_.upgrading.empty());
  EXPECT_FALSE(busy_.is_set());
  EXPECT_EQ(ports_.enables, std::vector<int>{1});
}

// The retry list is every card whose line was " OK.", whatever its check
// said meanwhile: a card that settled while the box was open is not left
// ticked to be upgraded again.
TEST_F(Batch, RetryListHoldsOkCardsWhoseCheckSettledWhileTheBoxWasOpen) {
  ports_.rows = {card_row(30), card_row(31), card_row(32), card_row(33)};
  ports_.endings["10.69.0.31"] = {CardOutcome::card_error, "Bad password"};
  ports_.endings["10.69.0.32"] = {CardOutcome::timeout, ""};
  ports_.end_at_once = true;
  const uint32_t ip30 = ports_.rows[0].record.ip, ip33 = ports_.rows[3].record.ip;
  ports_.while_report_open = [&] {
    Report* report = ports_.held.at(0).get();
    EXPECT_TRUE(report_check(report, ip33, CardOutcome::applied, 0x0102, 20));
    EXPECT_TRUE(report_check(report, ip30, CardOutcome::not_applied, 0x0100, 40));
  };
  run_worker();
  join_worker();
  EXPECT_EQ(ports_.closed_ok, (std::vector<uint32_t>{ip33, ip30}));
}

// The wait for answers to the last refresh pass comes once per batch, and
// only when a checked card is counted unanswered.
TEST_F(Batch, AnswerWindowOncePerBatchAndOnlyForUnansweredCards) {
  struct Case {
    std::vector<uint32_t> unanswered;  // per row
    uint64_t slept_ms;
  };
  const Case cases[] = {
      {{0, 0, 0}, 300},          // three starts, 100 ms apart
      {{1, 0, 0}, 1700},         // two starts and the window
      {{1, 2, 0}, 1600},         // one start and the window, once
      {{1, 1, 1}, 1500},
  };
  for (const Case& c : cases) {
    FakePorts ports;
    ports.path = ports_.path;
    ports.end_at_once = true;
    for (int i = 0; i < 3; ++i) ports.rows.push_back(card_row(80 + i, 0x0100, true, c.unanswered[i]));
    Event busy(true);
    std::thread worker(batch_worker, &ports, &busy, opened_image_of(ports.path, image_, 0x0102));
    join_batch(ports, worker);
    EXPECT_EQ(ports.clock_ms, c.slept_ms);
  }
}

// A transfer across the hour, midnight or the new year: the report's times,
// seconds and file name from the test clock's civil time.
TEST_F(Batch, KeptReportAcrossTheClocksTurns) {
  struct Case {
    LocalTime start;
    std::string file, started, ended;
  };
  const Case cases[] = {
      {{2000, 6, 15, 10, 59, 58}, "2000-06-15_105958.csv", "2000-06-15 10:59:58", "2000-06-15 11:00:03"},
      {{2000, 6, 15, 23, 59, 58}, "2000-06-15_235958.csv", "2000-06-15 23:59:58", "2000-06-16 00:00:03"},
      {{1999, 12, 31, 23, 59, 59}, "1999-12-31_235959.csv", "1999-12-31 23:59:59", "2000-01-01 00:00:04"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    FakePorts ports;
    ports.path = ports_.path;
    ports.clock_start = c.start;
    ports.folder = dir_ + "/turns";
    ports.rows = {card_row(90)};
    ports.end_at_once = true;
    ports.session_ms = 5000;
    Event busy(true);
    std::thread worker(batch_worker, &ports, &busy, opened_image_of(ports.path, image_, 0x0102));
    join_batch(ports, worker);
    std::vector<CsvRecord> records;
    std::string text;
    ASSERT_TRUE(read_file_text(dir_ + "/turns/" + c.file, 1 << 20, &text, nullptr));
    ASSERT_TRUE(read_csv(text, false, &records, nullptr));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].fields[0], c.started);
    EXPECT_EQ(records[1].fields[1], c.ended);
    EXPECT_EQ(records[1].fields[9], "5");
  }
}

// The report box is in the system's code page, the kept file in UTF-8: a
// card's message (UTF-8 once the session cleaned it) and the reports folder
// are converted once, for the box.
TEST_F(Batch, ReportBoxAndFileEachInTheirOwnEncoding) {
  ports_.rows = {card_row(30), card_row(31)};
  ports_.endings["10.69.0.31"] = {CardOutcome::card_error, "Mot de passe refus\xC3\xA9"};
  ports_.folder = dir_ + "/rapports \xC3\xA9t\xC3\xA9";  // UTF-8, as the folder setting holds it
  ports_.end_at_once = true;
  run_worker();
  join_worker();
  const std::string file = ports_.folder + "/2000-06-15_103000.csv";
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0], "10.69.0.31 Mot de passe refus\xE9\r\n10.69.0.30 OK.\r\nReport saved: " +
                                   dir_ + "/rapports \xE9t\xE9/2000-06-15_103000.csv");
  std::string text;
  ASSERT_TRUE(read_file_text(file, 1 << 20, &text, nullptr));
  std::vector<CsvRecord> records;
  ASSERT_TRUE(read_csv(text, false, &records, nullptr));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].fields[8], "Mot de passe refus\xC3\xA9");
}

const char WARNING_START[] =
    "WARNING !!\r\n\r\nThe following UPS(s) might have concern(s) of version control !!\r\n"
    "-----------------------------------------------------------\r\n";
const char WARNING_END[] =
    "-----------------------------------------------------------\r\n"
    "Do you want upgrade the UPS(s) regardless the version check ?";

struct ConfirmCase {
  const char* name;
  uint32_t image_version;
  std::vector<Row> rows;
  std::string text;
};

class Confirm : public testing::TestWithParam<ConfirmCase> {};

TEST_P(Confirm, Text) {
  FakePorts ports;
  ports.rows = GetParam().rows;
  std::string text;
  ASSERT_EQ(confirm_upgrade_text(&ports, GetParam().image_version, &text), 1);
  EXPECT_EQ(text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, Confirm,
    testing::Values(
        ConfirmCase{"older_cards_plain_question", 0x0105, {card_row(1, 0x0104)},
                    "Are you sure to upgrade ?"},
        ConfirmCase{"identical", 0x0105, {card_row(1, 0x0105)},
                    std::string(WARNING_START) + "UPS 10.69.0.1 , identical version 1.05\r\n" +
                        WARNING_END},
        ConfirmCase{"newer_last_row_first",
                    0x0105,
                    {card_row(1, 0x0200), card_row(2, 0x0104), card_row(3, 0x0105),
                     card_row(4, 0x0A00, false)},
                    std::string(WARNING_START) + "UPS 10.69.0.3 , identical version 1.05\r\n" +
                        "UPS 10.69.0.1 , newer version 2.00\r\n" + WARNING_END},
        ConfirmCase{"no_image_version_no_warning", IMAGE_VERSION_NONE,
                    {card_row(1, 0xFFFF), card_row(2, 0)}, "Are you sure to upgrade ?"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfirmRows, CheckedRowWithoutRecordStopsTheBatch) {
  FakePorts ports;
  ports.rows = {card_row(1), Row{true, false, {}}};
  std::string text;
  EXPECT_EQ(confirm_upgrade_text(&ports, 0x0105, &text), 0);
  Event busy(true);
  EXPECT_EQ(start_batch(&ports, &busy, OpenedImage{ports.path, 0x0105, 0, {}}), 0);
  EXPECT_TRUE(ports.questions.empty());
  ports.rows[1] = Row{false, false, {}};  // unchecked rows aren't asked for
  EXPECT_EQ(confirm_upgrade_text(&ports, 0x0105, &text), 1);
}

TEST(StartBatch, NoLeavesEverythingAndYesRunsTheBatch) {
  FakePorts ports;
  ports.rows = {card_row(1)};
  ports.path = "/nonexistent/fw.bin";
  Event busy(true);
  ports.answer = 0;
  EXPECT_EQ(start_batch(&ports, &busy, OpenedImage{ports.path, 0x0105, 0, {}}), 0);
  EXPECT_EQ(ports.questions, std::vector<std::string>{"Are you sure to upgrade ?"});
  EXPECT_FALSE(busy.is_set());
  EXPECT_TRUE(ports.enables.empty());

  ports.answer = 1;
  EXPECT_EQ(start_batch(&ports, &busy, OpenedImage{ports.path, 0x0105, 0, {}}), 1);
  // The worker finds no file and ends: enabled again, busy reset.
  ASSERT_TRUE(ports.wait_until([&] { return ports.enables.size() == 2; }));
  EXPECT_EQ(ports.enables, (std::vector<int>{0, 1}));
  EXPECT_TRUE(ports.wait_until([&] { return !busy.is_set(); }));
}

TEST(Report, LinesFromManyThreadsStayWhole) {
  Report report;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&report, t] {
      for (int i = 0; i < 500; ++i)
        report_append(&report, std::string(40, static_cast<char>('a' + t)) + "\r\n");
    });
  for (auto& t : threads) t.join();
  std::string text = report_text(&report);
  ASSERT_EQ(text.size(), 4u * 500 * 42);  // far beyond 4096 characters
  for (size_t at = 0; at < text.size(); at += 42)
    EXPECT_EQ(text.substr(at, 42), std::string(40, text[at]) + "\r\n");
}

}  // namespace

// The batch as a rollout: the fake's rollout options and what it hears.
struct RolloutPorts : FakePorts {
  RolloutOptions options;
  std::vector<std::pair<std::string, int>> waiting;                  // ip, wave
  std::vector<std::tuple<std::string, CardOutcome, int>> settled;    // ip, outcome, wave
  std::vector<RolloutStatus> ended_status;
  RolloutOptions rollout_options() override { return options; }
  CardOutcome card_gate(const DeviceRecord& record, std::string* message) override {
    if (record.version >= 0x0102) {
      *message = "Skipped : version 1.02 .";
      return CardOutcome::skipped_version;
    }
    return CardOutcome::pending;
  }
  void card_waiting(const DeviceRecord& record, int wave) override {
    note([&] { waiting.emplace_back(ip_to_text(record.ip), wave); });
  }
  void card_settled(const CardResult& card, int wave) override {
    note([&] { settled.emplace_back(ip_to_text(card.ip), card.outcome, wave); });
  }
  void rollout_ended(const RolloutStatus& status) override {
    note([&] { ended_status.push_back(status); });
  }
  std::shared_ptr<Report> report() {
    std::lock_guard<std::mutex> lock(mutex);
    return held.empty() ? nullptr : held.back();
  }
};

class RolloutBatch : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/daveridur-rollout-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ImagePlan plan;
    plan.body = make_body(3000, 4);
    image_ = make_image(plan);
    ports_.path = dir_ + "/fw.bin";
    std::FILE* f = std::fopen(ports_.path.c_str(), "wb");
    std::fwrite(image_.data(), 1, image_.size(), f);
    std::fclose(f);
  }
  void TearDown() override {
    if (worker_.joinable()) join_batch(ports_, worker_);
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void run_worker() {
    busy_.set();
    worker_ = std::thread(batch_worker, &ports_, &busy_, opened_image_of(ports_.path, image_, 0x0102));
  }
  size_t starts() {
    std::lock_guard<std::mutex> lock(ports_.mutex);
    return ports_.starts.size();
  }
  int slot_of(const std::string& ip) {
    std::lock_guard<std::mutex> lock(ports_.mutex);
    for (auto& [slot, s] : ports_.by_slot)
      if (ip_to_text(s->ip) == ip && !s->ended) return slot;
    return -1;
  }
  void check(const std::string& ip, CardOutcome outcome) {
    uint32_t addr = 0;
    inet_pton(AF_INET, ip.c_str(), &addr);
    ASSERT_TRUE(report_check(ports_.report().get(), addr, outcome, 0x0102, 6));
  }

  RolloutPorts ports_;
  Event busy_{true};
  std::thread worker_;
  std::string dir_;
  std::vector<uint8_t> image_;
};

// Waves 1, then 2 at a time, no failure allowed: the next wave waits for the
// checks of the one before; a failure halts it, the cards still sending
// finish and are checked (their failure counted), the rest are not started.
TEST_F(RolloutBatch, WavesWaitForChecksAndAFailureHalts) {
  ports_.options.on = true;
  ports_.options.steps = {{false, 1}, {false, 2}};
  // Batch order is from the last row: .15 (at the version), .14, .13 ... .10
  for (int i = 0; i < 5; ++i) ports_.rows.push_back(card_row(10 + i));
  ports_.rows.push_back(card_row(15, 0x0102));
  ports_.endings["10.69.0.12"] = {CardOutcome::timeout, ""};
  run_worker();

  ASSERT_TRUE(ports_.wait_until([&] { return ports_.starts.size() == 1; }));
  EXPECT_EQ(ports_.waiting, (std::vector<std::pair<std::string, int>>{
                                {"10.69.0.14", 1}, {"10.69.0.13", 2}, {"10.69.0.12", 2},
                                {"10.69.0.11", 3}, {"10.69.0.10", 3}}));
  ports_.finish(slot_of("10.69.0.14"));
  // " OK." is not settled: nothing of wave 2 starts before the check.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(starts(), 1u);
  check("10.69.0.14", CardOutcome::applied);
  ASSERT_TRUE(ports_.wait_until([&] { return ports_.starts.size() == 3; }));
  EXPECT_EQ(ports_.starts[1].ip, "10.69.0.13");
  EXPECT_EQ(ports_.starts[2].ip, "10.69.0.12");

  ports_.finish(slot_of("10.69.0.12"));  // timeout: over the budget, the run halts
  // The cards not started are told at once, while .13 still sends.
  ASSERT_TRUE(ports_.wait_until([&] { return ports_.settled.size() == 5; }));
  ports_.finish(slot_of("10.69.0.13"));  // still finishes, and is checked
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(ports_.reports.empty());  // the report waits for that check
  check("10.69.0.13", CardOutcome::not_applied);
  join_batch(ports_, worker_);

  EXPECT_EQ(starts(), 3u);
  ASSERT_EQ(ports_.ended_status.size(), 1u);
  const RolloutStatus& s = ports_.ended_status[0];
  EXPECT_TRUE(s.halted);
  EXPECT_EQ(s.failures, 2);
  EXPECT_EQ(s.not_started, 2);
  EXPECT_EQ(s.waves_run, 2);
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0],
            "Rollout halted in wave 2: 2 cards failed, none allowed; 2 cards not started.\r\n"
            "10.69.0.15 Skipped : version 1.02 .\r\n10.69.0.14 OK.\r\n10.69.0.12 Timeout.\r\n"
            "10.69.0.11 Not started : rollout halted .\r\n"
            "10.69.0.10 Not started : rollout halted .\r\n10.69.0.13 OK.\r\n");
  using S = std::tuple<std::string, CardOutcome, int>;
  EXPECT_EQ(ports_.settled,
            (std::vector<S>{S{"10.69.0.15", CardOutcome::skipped_version, 0},
                            S{"10.69.0.14", CardOutcome::applied, 1},
                            S{"10.69.0.12", CardOutcome::timeout, 2},
                            S{"10.69.0.11", CardOutcome::not_started, 3},
                            S{"10.69.0.10", CardOutcome::not_started, 3},
                            S{"10.69.0.13", CardOutcome::not_applied, 2}}));
}

// Off, the batch asks nothing of the rollout and tells it nothing.
TEST_F(RolloutBatch, OffIsTheBatchWithoutARollout) {
  for (int i = 0; i < 3; ++i) ports_.rows.push_back(card_row(10 + i));
  ports_.end_at_once = true;
  ports_.endings["10.69.0.11"] = {CardOutcome::timeout, ""};
  run_worker();
  join_batch(ports_, worker_);
  EXPECT_EQ(starts(), 3u);
  EXPECT_TRUE(ports_.waiting.empty());
  EXPECT_TRUE(ports_.settled.empty());
  EXPECT_TRUE(ports_.ended_status.empty());
  ASSERT_EQ(ports_.reports.size(), 1u);
  EXPECT_EQ(ports_.reports[0], "10.69.0.12 OK.\r\n10.69.0.11 Timeout.\r\n10.69.0.10 OK.\r\n");
}
