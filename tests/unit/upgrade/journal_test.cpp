// The kept report as a journal: a name of its own, a locked file caught up
// later; and the report's lines. The journal as a run keeps it is tested
// with the run (run_test.cpp).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/files.h"
#include "protocol/csv.h"
#include "protocol/packet.h"
#include "upgrade/run/run.h"
#include "upgrade/record/kept_report.h"

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
    rows.push_back(cells[2] + " " + cells[7] + (cells[11].empty() ? "" : " ") + cells[11]);
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

// A held report: one run at a time (a second hold is busy, until the first
// lets go), each change written over its row's slot alone and read back as
// the same report, no slot across a page, a row that outgrows its slot
// written whole again with the lock kept and the file's mode kept.
TEST_F(Kept, AHeldReportIsWrittenInPlaceAndHeldByOneRun) {
  const std::string path = dir_ + "/report.csv";
  ASSERT_TRUE(write_file_whole(path, "earlier run\r\n", nullptr));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  HeldFilePtr held, second;
  std::string reason;
  ASSERT_EQ(hold_file(path, &held, &reason), HoldStatus::held) << reason;
  EXPECT_EQ(hold_file(path, &second, &reason), HoldStatus::busy);
  Journal j;
  j.held = std::shared_ptr<HeldFile>(std::move(held));
  std::vector<CardResult> cards;
  for (int n = 1; n <= 60; ++n) {
    cards.push_back(pending({n})[0]);
    cards.back().started = cards.back().ended = LocalTime{2026, 1, 2, 3, 4, 5};
  }
  ASSERT_TRUE(journal_start(&j, path, cards, &reason)) << reason;
  ASSERT_EQ(j.slots.size(), 60u);
  for (const Journal::Slot& slot : j.slots) EXPECT_EQ(slot.at / 4096, (slot.at + slot.size - 1) / 4096);
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the report keeps its mode";
  const ino_t laid_out = st.st_ino;

  for (int n : {7, 60, 1}) {
    cards[size_t(n - 1)].outcome = CardOutcome::timeout;
    ASSERT_TRUE(journal_update(&j, cards[size_t(n - 1)]));
  }
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, laid_out) << "written in place";
  std::vector<CardResult> read;
  ASSERT_TRUE(read_kept_report(read_text(path), &read, &reason)) << reason;
  EXPECT_EQ(report_csv(read), report_csv(cards));

  // A card's long text does not fit its slot: the file is written whole.
  cards[4].outcome = CardOutcome::card_error;
  cards[4].message = std::string(300, 'x');
  ASSERT_TRUE(journal_update(&j, cards[4]));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_NE(st.st_ino, laid_out);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_TRUE(read_kept_report(read_text(path), &read, &reason)) << reason;
  EXPECT_EQ(report_csv(read), report_csv(cards));
  EXPECT_EQ(hold_file(path, &second, &reason), HoldStatus::busy) << "the new file is held too";
  j.held.reset();
  EXPECT_EQ(hold_file(path, &second, &reason), HoldStatus::held) << reason;

  // Nothing but a regular file is held, read or replaced.
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(hold_file(dir_ + "/fifo", &second, &reason), HoldStatus::failed);
  EXPECT_EQ(reason, "not a regular file (a FIFO)");
  std::string text;
  EXPECT_FALSE(read_file_text(dir_ + "/fifo", 100, &text, &reason));
  EXPECT_EQ(reason, "not a regular file (a FIFO)");
  EXPECT_FALSE(read_file_text(dir_, 100, &text, &reason));
  EXPECT_EQ(reason, "not a regular file (a folder)");
}

// 100 cards as the journal lays them out, one changed in place, read back
// as written. Cut where a page ends (between two slots), after any row or
// inside one, the report is refused, saying where it ends; a card added
// later is counted.
TEST_F(Kept, RowsInPlaceReadBackAndACutReportIsRefused) {
  std::vector<CardResult> cards;
  for (int n = 1; n <= 100; ++n) {
    cards.push_back(pending({n})[0]);
    cards.back().started = cards.back().ended = LocalTime{2026, 1, 2, 3, 4, 5};
    cards.back().image = "/images/fw 1.05.bin";
    cards.back().image_sha256 = std::string(64, 'c');
  }
  Journal j;
  std::string reason;
  ASSERT_TRUE(journal_start(&j, dir_ + "/report.csv", cards, &reason)) << reason;
  cards[6].outcome = CardOutcome::card_error;
  cards[6].message = "Flash, \"A\"";
  cards[6].verdict = verdict_of(cards[6], false);
  ASSERT_TRUE(journal_update(&j, cards[6]));
  ASSERT_EQ(j.slots.size(), 100u) << "written in place";

  const std::string text = read_text(j.path);
  KeptReport kept;
  ASSERT_TRUE(read_kept_report(text, &kept, &reason)) << reason;
  EXPECT_EQ(report_csv(kept.cards), report_csv(cards));

  ASSERT_GT(text.size(), 3 * 4096u);
  ASSERT_EQ(text.substr(2 * 4096 - 2, 2), "\r\n") << "a page ends between two slots";
  int rows_cut = 0;
  for (size_t end = text.find("\r\n"); end + 2 < text.size(); end = text.find("\r\n", end + 2)) {
    const std::string cut = text.substr(0, end + 2);
    EXPECT_FALSE(read_kept_report(cut, &kept, &reason)) << "cut after " << rows_cut << " rows";
    EXPECT_EQ(reason, "line " + std::to_string(rows_cut + 1) + ": the report ends after " +
                          std::to_string(rows_cut) + (rows_cut == 1 ? " card" : " cards") +
                          " of the 100 it was written with (it was cut)");
    ++rows_cut;
  }
  EXPECT_EQ(rows_cut, 100);
  for (size_t size : {size_t(2 * 4096 + 40), text.size() - 3}) {
    EXPECT_FALSE(read_kept_report(text.substr(0, size), &kept, &reason)) << size;
    EXPECT_NE(reason.find(": the report ends inside a row (it was cut)"), std::string::npos)
        << reason;
  }

  CardResult added = cards[0];
  added.ip = card_ip(200);
  ASSERT_TRUE(journal_update(&j, added));
  std::vector<CsvRecord> records;
  ASSERT_TRUE(read_csv(read_text(j.path), false, &records, nullptr));
  EXPECT_EQ(records[0].fields.back(), "padding (101 rows)");
  ASSERT_TRUE(read_kept_report(read_text(j.path), &kept, &reason)) << reason;
  EXPECT_EQ(kept.cards.size(), 101u);
}

// A kept report the run does not hold (the window's, open to a spreadsheet
// meanwhile): each change goes over its row's slot alone, the rest of the
// file and its size as they were and a whole report read back at every
// step; a file another program saved in its place is written whole, never
// over; a file that cannot be opened for the write (in the product: held
// without sharing; here the process's descriptors spent) leaves the cards
// noted until the retry catches up, after which rows go in place again.
TEST_F(Kept, AnUnheldKeptReportIsWrittenInPlace) {
  Journal j;
  int64_t now = 0;
  j.clock_ms = [&] { return now; };
  std::vector<CardResult> cards;
  for (int n = 1; n <= 60; ++n) {
    cards.push_back(pending({n})[0]);
    cards.back().started = cards.back().ended = LocalTime{2026, 1, 2, 3, 4, 5};
  }
  std::string reason;
  ASSERT_TRUE(journal_start_kept(&j, dir_, LocalTime{2026, 1, 2, 3, 4, 5}, cards, &reason)) << reason;
  ASSERT_EQ(j.slots.size(), 60u);
  struct stat first{}, st{};
  ASSERT_EQ(stat(j.path.c_str(), &first), 0);
  std::vector<CardResult> read;
  auto whole_report = [&] {
    return read_kept_report(read_text(j.path), &read, &reason) && report_csv(read) == report_csv(cards);
  };
  ASSERT_TRUE(whole_report()) << reason;

  std::string before = read_text(j.path);
  for (int n : {7, 60, 1, 7}) {
    const size_t i = size_t(n - 1);
    cards[i].outcome = cards[i].outcome == CardOutcome::pending ? CardOutcome::sending : CardOutcome::ok;
    ASSERT_TRUE(journal_update(&j, cards[i]));
    const std::string after = read_text(j.path);
    ASSERT_EQ(stat(j.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, first.st_ino) << "card " << n << " written in place";
    ASSERT_EQ(after.size(), before.size());
    const Journal::Slot slot = j.slots[i];
    EXPECT_EQ(after.substr(0, slot.at), before.substr(0, slot.at)) << "card " << n;
    EXPECT_EQ(after.substr(slot.at + slot.size), before.substr(slot.at + slot.size)) << "card " << n;
    EXPECT_TRUE(whole_report()) << "card " << n << ": " << reason;
    before = after;
  }
  EXPECT_TRUE(journal_unsynced(&j));
  EXPECT_TRUE(journal_sync(&j));
  EXPECT_FALSE(journal_unsynced(&j));

  // Saved over by another program, in the same file: the next change
  // rewrites it whole.
  std::FILE* other = std::fopen(j.path.c_str(), "wb");
  ASSERT_NE(other, nullptr);
  std::fputs("ip\r\n10.69.0.1\r\n", other);
  std::fclose(other);
  cards[1].outcome = CardOutcome::timeout;
  ASSERT_TRUE(journal_update(&j, cards[1]));
  EXPECT_TRUE(whole_report()) << reason;
  ASSERT_EQ(stat(j.path.c_str(), &st), 0);
  const ino_t rewritten = st.st_ino;

  struct rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  struct rlimit spent = files;
  spent.rlim_cur = static_cast<rlim_t>(dup(0));
  close(static_cast<int>(spent.rlim_cur));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &spent), 0);
  const std::vector<CardResult> saved = cards;
  cards[2].outcome = CardOutcome::sending;
  const bool third = journal_update(&j, cards[2]);
  now = 500;
  cards[3].outcome = CardOutcome::ok;
  const bool fourth = journal_update(&j, cards[3]);
  now = 500 + JOURNAL_RETRY_MS;
  const bool retried = journal_retry(&j);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  EXPECT_FALSE(third);
  EXPECT_FALSE(fourth);
  EXPECT_FALSE(retried);
  std::vector<uint32_t> noted;
  for (const auto& note : journal_notes(&j)) {
    noted.push_back(note.first.ip);
    EXPECT_EQ(note.second.rfind("Report not saved: cannot ", 0), 0u) << note.second;
  }
  EXPECT_EQ(noted, (std::vector<uint32_t>{card_ip(3), card_ip(4)}));
  ASSERT_TRUE(read_kept_report(read_text(j.path), &read, &reason)) << reason;
  EXPECT_EQ(report_csv(read), report_csv(saved)) << "still the earlier state, whole";

  now += 1;
  EXPECT_FALSE(journal_retry(&j)) << "not before the pause";
  now += JOURNAL_RETRY_MS;
  EXPECT_TRUE(journal_retry(&j));
  EXPECT_TRUE(whole_report()) << reason;
  EXPECT_EQ(journal_notes(&j).size(), 2u) << "the two cards told they are saved";
  EXPECT_EQ(journal_status(&j), "Report saved: " + j.path);
  ASSERT_EQ(stat(j.path.c_str(), &st), 0);
  const ino_t caught_up = st.st_ino;
  EXPECT_NE(caught_up, rewritten);
  cards[4].outcome = CardOutcome::sending;
  ASSERT_TRUE(journal_update(&j, cards[4]));
  ASSERT_EQ(stat(j.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, caught_up) << "in place again";
  EXPECT_TRUE(whole_report()) << reason;
}

// The report is the loop's alone now; what stays is that it has no size limit.
TEST(Report, LinesBeyondAnyLimitStayWhole) {
  Report report;
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 500; ++i)
      report_append(&report, std::string(40, static_cast<char>('a' + t)) + "\r\n");
  std::string text = report_text(&report);
  ASSERT_EQ(text.size(), 4u * 500 * 42);  // far beyond 4096 characters
  for (size_t at = 0; at < text.size(); at += 42)
    EXPECT_EQ(text.substr(at, 42), std::string(40, text[at]) + "\r\n");
}

}  // namespace
