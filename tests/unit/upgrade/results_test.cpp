// What became of each card and the kept report: the CSV row of each outcome,
// seconds across the clock's turns, which started card a line belongs to,
// the checks rewriting the file, and card messages converted to UTF-8 by a
// conversion that really converts (Latin-1 here, as a code page would).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "protocol/csv.h"
#include "upgrade/run/run.h"
#include "upgrade/record/kept_report.h"

namespace {

const uint32_t IP5 = htonl(0x0A450005u);  // 10.69.0.5
const uint32_t IP6 = htonl(0x0A450006u);  // 10.69.0.6

struct SecondsCase {
  const char* name;
  LocalTime from, to;
  long long seconds;
};

class Seconds : public testing::TestWithParam<SecondsCase> {};

TEST_P(Seconds, Between) {
  const SecondsCase& c = GetParam();
  EXPECT_EQ(seconds_between(c.from, c.to), c.seconds);
  // The kept report's seconds column says the same.
  CardResult card;
  card.started = c.from;
  card.ended = c.to;
  std::vector<CsvRecord> records;
  ASSERT_TRUE(read_csv(report_csv({card}), false, &records, nullptr));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].fields[9], std::to_string(c.seconds));
}

INSTANTIATE_TEST_SUITE_P(
    ClockTurns, Seconds,
    testing::Values(
        SecondsCase{"SameSecond", {2026, 3, 4, 10, 20, 30}, {2026, 3, 4, 10, 20, 30}, 0},
        SecondsCase{"Minute", {2026, 3, 4, 10, 20, 58}, {2026, 3, 4, 10, 21, 3}, 5},
        SecondsCase{"Hour", {2026, 3, 4, 10, 59, 58}, {2026, 3, 4, 11, 0, 3}, 5},
        SecondsCase{"HourLongTransfer", {2026, 3, 4, 10, 45, 0}, {2026, 3, 4, 11, 15, 0}, 1800},
        SecondsCase{"Midnight", {2026, 3, 4, 23, 59, 59}, {2026, 3, 5, 0, 0, 1}, 2},
        SecondsCase{"MonthEnd", {2026, 4, 30, 23, 59, 0}, {2026, 5, 1, 0, 1, 0}, 120},
        SecondsCase{"FebruaryOfACommonYear", {2026, 2, 28, 12, 0, 0}, {2026, 3, 1, 12, 0, 0}, 86400},
        SecondsCase{"FebruaryOfALeapYear", {2028, 2, 28, 12, 0, 0}, {2028, 3, 1, 12, 0, 0}, 172800},
        SecondsCase{"CenturyNotLeap", {2100, 2, 28, 12, 0, 0}, {2100, 3, 1, 12, 0, 0}, 86400},
        SecondsCase{"YearEnd", {2026, 12, 31, 23, 59, 59}, {2027, 1, 1, 0, 0, 0}, 1},
        SecondsCase{"Earlier", {2026, 3, 4, 11, 0, 3}, {2026, 3, 4, 10, 59, 58}, -5},
        // Summer time ends: the clock goes back an hour, the transfer does not.
        SecondsCase{"ClockBackAnHour", {2026, 10, 25, 2, 59, 50, 7200}, {2026, 10, 25, 2, 0, 10, 3600}, 20},
        SecondsCase{"ClockForwardAnHour", {2026, 3, 29, 1, 59, 50, 3600}, {2026, 3, 29, 3, 0, 10, 7200}, 20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReportFile, NameIsTheStartZeroPadded) {
  EXPECT_EQ(report_file_name(LocalTime{2026, 1, 2, 3, 4, 5}), "2026-01-02_030405.csv");
  EXPECT_EQ(report_file_name(LocalTime{2026, 12, 31, 23, 59, 59}), "2026-12-31_235959.csv");
}

// The row's fields after the common ones: result, message, verified and
// verified seconds, which are only said with a verified word.
struct RowCase {
  CardOutcome outcome;
  int verified_seconds;
  std::vector<std::string> tail;  // result, message, verified, verified_seconds
};

TEST(ReportCsv, EachOutcomesRow) {
  const RowCase cases[] = {
      {CardOutcome::ok, -1, {"ok", "OK.", "", ""}},
      {CardOutcome::applied, 74, {"ok", "OK.", "applied", "74"}},
      {CardOutcome::applied, 0, {"ok", "OK.", "applied", "0"}},
      {CardOutcome::not_applied, 30, {"ok", "OK.", "not_applied", "30"}},
      {CardOutcome::no_answer, 300, {"ok", "OK.", "no_answer", "300"}},
      {CardOutcome::not_verified, -1, {"ok", "OK.", "not_verified", ""}},
      {CardOutcome::timeout, 5, {"timeout", "Timeout.", "", ""}},
      {CardOutcome::card_error, -1, {"card_error", "Flash, \"write\" error", "", ""}},
      {CardOutcome::no_connection, -1, {"no_connection", "No connection , abort.", "", ""}},
      {CardOutcome::skipped_version, -1, {"skipped_version", "Skipped : version 2.00 .", "", ""}},
  };
  for (const RowCase& c : cases) {
    CardResult card;
    card.started = {2026, 1, 2, 3, 4, 5};
    card.ended = {2026, 1, 2, 3, 5, 0};
    card.ip = IP5;
    std::memcpy(card.mac, "\x00\x0a\xfe\x01\x02\x03", 6);
    card.version_before = 0x0200;
    card.image = "/images/fw,new.bin";
    card.image_version = 0x0105;
    card.outcome = c.outcome;
    card.message = c.outcome == CardOutcome::card_error ? "Flash, \"write\" error" : "";
    card.bytes_sent = 60080;
    card.answered_version = 0x0105;
    card.verified_seconds = c.verified_seconds;
    card.verdict = verdict_of(card, true);
    std::vector<CsvRecord> records;
    ASSERT_TRUE(read_csv(report_csv({card}), false, &records, nullptr));
    ASSERT_EQ(records.size(), 2u);
    std::vector<std::string> expected = {"2026-01-02 03:04:05", "2026-01-02 03:05:00", "10.69.0.5",
                                         "00-0a-fe-01-02-03", "2.00", "/images/fw,new.bin", "1.05",
                                         c.tail[0], c.tail[1], "55", "60080", c.tail[2], c.tail[3],
                                         "", verdict_word(card.verdict), ""};
    EXPECT_EQ(records[1].fields, expected) << c.tail[0] << "/" << c.tail[2];
  }
  CardResult unversioned;
  unversioned.image_version = IMAGE_VERSION_NONE;
  std::vector<CsvRecord> records;
  ASSERT_TRUE(read_csv(report_csv({unversioned, unversioned}), false, &records, nullptr));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].fields[6], "");
  // The data columns, then the padding, which records the rows written.
  std::vector<std::string> header = report_columns();
  header.push_back("padding (2 rows)");
  EXPECT_EQ(records[0].fields, header);
}

class KeptReport : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/daveridur-results-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    report_.clock = [this] { return now_; };
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  CardResult started(uint32_t ip, uint8_t last, uint32_t version) {
    CardResult card;
    card.ip = ip;
    card.mac[5] = last;
    card.version_before = version;
    card.image = "/images/\xC3\xA9t\xC3\xA9.bin";  // UTF-8 already
    card.image_version = 0x0105;
    card.started = now_;
    card.ended = now_;
    return card;
  }
  std::string read(const std::string& path) {
    std::string text;
    read_file_text(path, 1 << 20, &text, nullptr);
    return text;
  }
  std::vector<CsvRecord> rows(const std::string& path) {
    std::vector<CsvRecord> records;
    EXPECT_TRUE(read_csv(read(path), false, &records, nullptr));
    return records;
  }

  Report report_;
  LocalTime now_{2026, 3, 4, 10, 59, 50};
  std::string dir_;
};

// Lines come in the order the cards end, not the order they started: each
// takes its own card's start.
TEST_F(KeptReport, EachLineTakesItsOwnCardsStart) {
  report_card_start(&report_, started(IP5, 5, 0x0100));
  now_.second = 55;
  report_card_start(&report_, started(IP6, 6, 0x0101));
  now_ = {2026, 3, 4, 11, 0, 20};
  report_card(&report_, "10.69.0.6", IP6, CardOutcome::card_error, "Bad password", 512);
  now_.second = 30;
  report_card(&report_, "10.69.0.5", IP5, CardOutcome::timeout, "ignored", 1024);
  // A line for a card never started: it starts and ends at its line.
  report_card(&report_, "10.69.0.7", htonl(0x0A450007u), CardOutcome::socket_error, "", 0);

  EXPECT_EQ(report_text(&report_),
            "10.69.0.6 Bad password\r\n10.69.0.5 Timeout.\r\n10.69.0.7 Socket Error !\r\n");
  std::vector<CardResult> cards = report_cards(&report_);
  ASSERT_EQ(cards.size(), 3u);
  EXPECT_EQ(cards[0].ip, IP6);
  EXPECT_EQ(cards[0].mac[5], 6);
  EXPECT_EQ(cards[0].version_before, 0x0101u);
  EXPECT_EQ(seconds_between(cards[0].started, cards[0].ended), 25);
  EXPECT_EQ(cards[0].message, "Bad password");
  EXPECT_EQ(cards[0].bytes_sent, 512u);
  EXPECT_EQ(cards[1].ip, IP5);
  EXPECT_EQ(cards[1].mac[5], 5);
  EXPECT_EQ(seconds_between(cards[1].started, cards[1].ended), 40);
  EXPECT_EQ(cards[1].message, "");  // only a card's own error is its message
  EXPECT_EQ(cards[1].outcome, CardOutcome::timeout);
  EXPECT_EQ(seconds_between(cards[2].started, cards[2].ended), 0);
  EXPECT_EQ(cards[2].image_version, IMAGE_VERSION_NONE);
}

// A card's message is cleaned into UTF-8 once, when its line comes: the
// file, every rewrite and the report's own text carry the same text, a
// stray byte of another code page as U+FFFD; the image path is UTF-8
// already and stays as it is.
TEST_F(KeptReport, MessagesCleanedOnceIntoEveryWrite) {
  const std::string cleaned = "Erreur d'\xEF\xBF\xBD" "criture \xC3\xA9t\xC3\xA9";
  report_card_start(&report_, started(IP5, 5, 0x0100));
  report_card_start(&report_, started(IP6, 6, 0x0100));
  // As the session hands it over: the card's bytes cleaned.
  report_card(&report_, "10.69.0.6", IP6, CardOutcome::card_error,
              report_safe_text("Erreur d'\xE9" "criture \xC3\xA9t\xC3\xA9"), 0);
  report_card(&report_, "10.69.0.5", IP5, CardOutcome::ok, "", 4096);
  const std::string folder = dir_ + "/r\xC3\xA9ports/2026";
  const std::string path = folder + "/2026-03-04_105950.csv";
  EXPECT_EQ(keep_report(&report_, folder, LocalTime{2026, 3, 4, 10, 59, 50}), "Report saved: " + path);
  EXPECT_EQ(report_text(&report_), "10.69.0.6 " + cleaned + "\r\n10.69.0.5 OK.\r\n");

  for (int write = 0; write < 2; ++write) {
    SCOPED_TRACE(write ? "rewritten by the check" : "first write");
    std::vector<CsvRecord> records = rows(path);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].fields[8], cleaned);
    EXPECT_EQ(records[1].fields[5], "/images/\xC3\xA9t\xC3\xA9.bin");
    EXPECT_EQ(records[2].fields[11], write ? "applied" : "");
    if (!write) {
      EXPECT_TRUE(report_check(&report_, IP5, CardOutcome::applied, 0x0105, 40));
    }
  }
  EXPECT_EQ(report_cards(&report_)[0].message, cleaned);
}

TEST_F(KeptReport, ChecksSettleOnlyTheirOwnOkCardOnce) {
  report_card(&report_, "10.69.0.5", IP5, CardOutcome::ok, "", 4096);
  report_card(&report_, "10.69.0.6", IP6, CardOutcome::timeout, "", 100);
  // Not kept yet: a check still settles the card.
  EXPECT_TRUE(report_check(&report_, IP5, CardOutcome::not_applied, 0x0102, 30));
  EXPECT_FALSE(report_check(&report_, IP5, CardOutcome::applied, 0x0105, 60));  // settled already
  EXPECT_FALSE(report_check(&report_, IP6, CardOutcome::applied, 0x0105, 60));  // its line failed
  EXPECT_FALSE(report_check(&report_, htonl(0x0A450009u), CardOutcome::applied, 0x0105, 60));
  std::vector<CardResult> cards = report_cards(&report_);
  EXPECT_EQ(cards[0].outcome, CardOutcome::not_applied);
  EXPECT_EQ(cards[0].answered_version, 0x0102u);
  EXPECT_EQ(cards[0].verified_seconds, 30);
  EXPECT_EQ(cards[1].outcome, CardOutcome::timeout);
  EXPECT_EQ(cards[1].verified_seconds, -1);
}

// A report that cannot be kept says why; a later check still settles the
// card (its rewrite fails quietly: the box has said where things stand).
TEST_F(KeptReport, WritesThatFail) {
  report_card(&report_, "10.69.0.5", IP5, CardOutcome::ok, "", 4096);
  const std::string file = dir_ + "/plain";
  ASSERT_TRUE(write_file_whole(file, "x", nullptr));
  std::string said = keep_report(&report_, file + "/reports", now_);
  EXPECT_EQ(said.rfind("Report not saved: ", 0), 0u) << said;
  EXPECT_GT(said.size(), std::string("Report not saved: ").size());

  const std::string folder = dir_ + "/kept";
  ASSERT_EQ(keep_report(&report_, folder, now_).rfind("Report saved: ", 0), 0u);
  // The folder turns into a file: the rewrite cannot happen.
  ASSERT_EQ(std::system(("rm -rf '" + folder + "' && touch '" + folder + "'").c_str()), 0);
  EXPECT_TRUE(report_check(&report_, IP5, CardOutcome::applied, 0x0105, 12));
  EXPECT_EQ(report_cards(&report_)[0].outcome, CardOutcome::applied);
}

}  // namespace
