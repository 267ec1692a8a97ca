// The kept report as a journal: every card from the start, each change on
// disk before anyone hears of it, a locked file caught up later.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <thread>

#include "platform/files.h"
#include "protocol/packet.h"
#include "tools/mkimage/image_maker.h"
#include "upgrade/upgrade.h"

namespace {

uint32_t card_ip(int last_octet) { return htonl(0x0A450000u | static_cast<uint32_t>(last_octet)); }

std::string read_text(const std::string& path) {
  std::string text;
  read_file_text(path, 1 << 20, &text, nullptr);
  return text;
}

// "ip result verified" per row, in file order.
std::vector<std::string> states(const std::string& csv) {
  std::vector<std::string> rows;
  size_t at = csv.find("\r\n");
  while (at != std::string::npos && at + 2 < csv.size()) {
    size_t end = csv.find("\r\n", at + 2);
    std::string line = csv.substr(at + 2, end - at - 2);
    std::vector<std::string> cells;
    // No quoted commas in these rows but the message, which is not looked at.
    size_t from = 0;
    for (size_t comma; (comma = line.find(',', from)) != std::string::npos; from = comma + 1)
      cells.push_back(line.substr(from, comma - from));
    cells.push_back(line.substr(from));
    rows.push_back(cells[2] + " " + cells[7] + (cells[cells.size() - 2].empty() ? "" : " ") +
                   cells[cells.size() - 2]);
    at = end;
  }
  return rows;
}

class Kept : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/daveridur-journal-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::vector<CardResult> pending(std::initializer_list<int> octets) {
    std::vector<CardResult> cards;
    for (int o : octets) {
      CardResult c;
      c.ip = card_ip(o);
      c.outcome = CardOutcome::pending;
      cards.push_back(c);
    }
    return cards;
  }
  std::string dir_;
};

// A batch against ports whose sessions end as they start: the file is read
// at every session start.
struct QuickPorts : BatchPorts {
  std::vector<DeviceRecord> rows;
  std::string path, folder;
  std::vector<std::vector<std::string>> seen_at_start;
  std::shared_ptr<Journal> journal;
  std::vector<bool> running;
  size_t stop_after = 99;  // sessions started before the system's session ends
  bool stopping() override { return seen_at_start.size() >= stop_after; }
  int row_count() override { return static_cast<int>(rows.size()); }
  int row_checked(int) override { return 1; }
  int row_record(int row, DeviceRecord* record) override {
    *record = rows[static_cast<size_t>(row)];
    return 1;
  }
  void show_row_upgrading(int) override {}
  int ask_confirmation(const std::string&) override { return 1; }
  void show_report(const std::string&) override {}
  void show_refusal(const std::string&) override {}
  void enable_main_window(int) override {}
  void sleep_ms(uint32_t) override {}
  LocalTime local_time() override { return LocalTime{2001, 2, 3, 4, 5, 6}; }
  SocketOwner open_socket() override { return udp_open(0); }
  std::string reports_folder() override { return folder; }
  void journal_started(const std::shared_ptr<Journal>& j) override { journal = j; }
  void batch_running(bool r) override { running.push_back(r); }
  // One at a time: each card's line is in before the next card starts.
  int session_count() override { return 1; }
  void run_session(UploadSession* s) override {
    std::string file;
    {
      std::lock_guard<std::mutex> lock(journal->mutex);
      file = journal->path;
    }
    seen_at_start.push_back(states(read_text(file)));
    report_card(s->report, ip_to_text(s->ip), s->ip, CardOutcome::ok, "", 100);
    s->socket.reset();
    s->ended = true;
  }
};

TEST_F(Kept, BatchNamesEveryCardBeforeTheFirstSessionAndFollowsEach) {
  ImagePlan plan;
  plan.body = make_body(1000, 4);
  std::vector<uint8_t> image = make_image(plan);
  QuickPorts ports;
  ports.path = dir_ + "/fw.bin";
  ASSERT_TRUE(write_file_whole(ports.path, std::string(image.begin(), image.end()), nullptr));
  ports.folder = dir_ + "/reports";
  for (int o : {1, 2, 3}) {
    DeviceRecord r{};
    r.filled = 1;
    r.ip = card_ip(o);
    r.version = 0x0100;
    ports.rows.push_back(r);
  }
  Event busy(true);
  batch_worker(&ports, &busy, opened_image_of(ports.path, image, 0x0102));

  // Rows are visited from the last: batch order is .3, .2, .1.
  ASSERT_EQ(ports.seen_at_start.size(), 3u);
  EXPECT_EQ(ports.seen_at_start[0], (std::vector<std::string>{
                                        "10.69.0.3 sending", "10.69.0.2 pending", "10.69.0.1 pending"}));
  EXPECT_EQ(ports.seen_at_start[2], (std::vector<std::string>{
                                        "10.69.0.3 ok", "10.69.0.2 ok", "10.69.0.1 sending"}));
  const std::string file = dir_ + "/reports/2001-02-03_040506.csv";
  EXPECT_EQ(states(read_text(file)),
            (std::vector<std::string>{"10.69.0.3 ok", "10.69.0.2 ok", "10.69.0.1 ok"}));
  EXPECT_EQ(ports.running, (std::vector<bool>{true, false}));

  // A check's outcome rewrites the row in place.
  ASSERT_TRUE(ports.journal);
  Report report;
  report.journal = ports.journal;
  report.cards = journal_cards(ports.journal.get());
  EXPECT_TRUE(report_check(&report, card_ip(2), CardOutcome::applied, 0x0102, 40));
  EXPECT_EQ(states(read_text(file)),
            (std::vector<std::string>{"10.69.0.3 ok", "10.69.0.2 ok applied", "10.69.0.1 ok"}));
}

// The system's session ends after the first start: no more cards start,
// the rest have their line and their row, aborted.
TEST_F(Kept, SessionEndStartsNoMoreCards) {
  ImagePlan plan;
  plan.body = make_body(1000, 4);
  std::vector<uint8_t> image = make_image(plan);
  QuickPorts ports;
  ports.path = dir_ + "/fw.bin";
  ASSERT_TRUE(write_file_whole(ports.path, std::string(image.begin(), image.end()), nullptr));
  ports.folder = dir_;
  ports.stop_after = 1;
  for (int o : {1, 2, 3}) {
    DeviceRecord r{};
    r.filled = 1;
    r.ip = card_ip(o);
    ports.rows.push_back(r);
  }
  Event busy(true);
  batch_worker(&ports, &busy, opened_image_of(ports.path, image, 0x0102));
  EXPECT_EQ(ports.seen_at_start.size(), 1u);
  EXPECT_EQ(states(read_text(dir_ + "/2001-02-03_040506.csv")),
            (std::vector<std::string>{"10.69.0.3 ok", "10.69.0.2 aborted", "10.69.0.1 aborted"}));
}

TEST_F(Kept, ASecondBatchInTheSameSecondGetsANameOfItsOwn) {
  const LocalTime start{2001, 2, 3, 4, 5, 6};
  Journal first, second, third;
  std::string reason;
  ASSERT_TRUE(journal_start_kept(&first, dir_, start, pending({1}), &reason)) << reason;
  // A link planted at the next name is passed over, not followed.
  ASSERT_EQ(symlink((dir_ + "/victim").c_str(), (dir_ + "/2001-02-03_040506_2.csv").c_str()), 0);
  ASSERT_TRUE(journal_start_kept(&second, dir_, start, pending({2}), &reason)) << reason;
  ASSERT_TRUE(journal_start_kept(&third, dir_, start, pending({3}), &reason)) << reason;
  EXPECT_EQ(first.path, dir_ + "/2001-02-03_040506.csv");
  EXPECT_EQ(second.path, dir_ + "/2001-02-03_040506_3.csv");
  EXPECT_EQ(third.path, dir_ + "/2001-02-03_040506_4.csv");
  EXPECT_EQ(states(read_text(first.path)), std::vector<std::string>{"10.69.0.1 pending"});
  EXPECT_NE(access((dir_ + "/victim").c_str(), F_OK), 0);
  EXPECT_EQ(journal_status(&second), "Report saved: " + second.path);
}

// The file held open elsewhere: each change is still tried, the cards it
// could not save carry the reason, a retry comes only after a pause, and
// the next write that succeeds carries every change.
TEST_F(Kept, LockedFileIsRetriedAndCaughtUp) {
  Journal j;
  bool locked = false;
  int64_t now = 0;
  int writes = 0;
  j.clock_ms = [&] { return now; };
  j.write = [&](const std::string& path, const std::string& bytes, std::string* reason) {
    ++writes;
    if (locked) {
      *reason = "cannot replace " + path + ": held by another program";
      return false;
    }
    return write_file_whole(path, bytes, reason);
  };
  const std::string path = dir_ + "/report.csv";
  ASSERT_TRUE(journal_start(&j, path, pending({1, 2, 3}), nullptr));
  EXPECT_TRUE(journal_notes(&j).empty());

  locked = true;
  CardResult one = j.cards[0];
  one.outcome = CardOutcome::ok;
  EXPECT_FALSE(journal_update(&j, one));
  now = 1000;
  CardResult two = j.cards[1];
  two.outcome = CardOutcome::timeout;
  EXPECT_FALSE(journal_update(&j, two));
  const std::string note = "Report not saved: cannot replace " + path + ": held by another program";
  EXPECT_EQ(journal_status(&j), note);
  auto notes = journal_notes(&j);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].first.ip, card_ip(1));
  EXPECT_EQ(notes[0].second, note);
  EXPECT_EQ(notes[1].first.ip, card_ip(2));
  // Still unsaved: said again at every look.
  EXPECT_EQ(journal_notes(&j).size(), 2u);

  const int before = writes;
  now = 1000 + JOURNAL_RETRY_MS - 1;
  EXPECT_FALSE(journal_retry(&j));
  EXPECT_EQ(writes, before);
  now = 1000 + JOURNAL_RETRY_MS;
  EXPECT_FALSE(journal_retry(&j));
  EXPECT_EQ(writes, before + 1);
  EXPECT_EQ(states(read_text(path)), (std::vector<std::string>{
                                         "10.69.0.1 pending", "10.69.0.2 pending", "10.69.0.3 pending"}));

  locked = false;
  now += JOURNAL_RETRY_MS;
  EXPECT_TRUE(journal_retry(&j));
  EXPECT_EQ(states(read_text(path)), (std::vector<std::string>{
                                         "10.69.0.1 ok", "10.69.0.2 timeout", "10.69.0.3 pending"}));
  EXPECT_EQ(journal_status(&j), "Report saved: " + path);
  notes = journal_notes(&j);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].second, "");
  EXPECT_EQ(result_column_text(notes[1].first), "Timeout.");
  EXPECT_TRUE(journal_notes(&j).empty());
}

TEST_F(Kept, UnwritableStartLeavesTheJournalUnkept) {
  Journal j;
  std::string reason;
  EXPECT_FALSE(journal_start(&j, dir_ + "/missing/report.csv", pending({1}), &reason));
  EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << reason;
  EXPECT_EQ(journal_status(&j), "");
  CardResult one = j.cards[0];
  one.outcome = CardOutcome::ok;
  EXPECT_TRUE(journal_update(&j, one));  // nothing to write, nothing behind
}

}  // namespace
