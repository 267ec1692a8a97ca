// The check after " OK." with a test clock: a scripted card answers (or not)
// each query, and the test steps time a second at a time as the product's
// timer does.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "upgrade/verify.h"

namespace {

const uint32_t IP = htonl(0x0A450005u);  // 10.69.0.5

struct FakeVerifyPorts : VerifyPorts {
  std::vector<int64_t> queries;  // when each went out
  std::vector<std::string> shown;
  bool listed = true;
  int64_t now = 0;
  void query(uint32_t) override { queries.push_back(now); }
  bool row_listed(uint32_t) override { return listed; }
  void show_result(const CardResult& card) override { shown.push_back(result_column_text(card)); }
};

// What the card says to a query sent at t ms: its version, or 0 for nothing.
using Card = std::function<uint32_t(int64_t)>;

struct Watched {
  Verifier verifier;
  FakeVerifyPorts ports;
  std::shared_ptr<Report> report = std::make_shared<Report>();

  explicit Watched(uint32_t image_version = 0x0105, CardOutcome outcome = CardOutcome::ok) {
    report->clock = [] { return LocalTime{2026, 1, 2, 3, 4, 5}; };
    CardResult card;
    card.ip = IP;
    card.image_version = image_version;
    report_card_start(report.get(), card);
    report_card(report.get(), "10.69.0.5", IP, outcome, "Flash write error !", 100);
    verifier_card_done(verifier, report, report_cards(report.get())[0]);
  }
  // Steps time one second at a time up to until_ms; a query is answered at once.
  void play(const Card& card, int64_t until_ms) {
    for (; ports.now <= until_ms; ports.now += 1000) {
      size_t asked = ports.queries.size();
      verifier_tick(verifier, ports, ports.now);
      if (ports.queries.size() > asked) {
        uint32_t version = card(ports.now);
        if (version) verifier_answer(verifier, IP, version, ports.now);
      }
      if (verifier.watches.empty() && ports.now > 0) return;
    }
  }
  std::string verified() { return outcome_verified_word(report_cards(report.get())[0].outcome); }
};

struct CheckCase {
  const char* name;
  Card card;
  std::string result;  // the Result column at the end
  const char* verified;
  int64_t settled_by_ms;
};

class Check : public testing::TestWithParam<CheckCase> {};

TEST_P(Check, Outcome) {
  const CheckCase& c = GetParam();
  Watched run;
  run.play(c.card, VERIFY_LIMIT_MS + 2000);
  ASSERT_GE(run.ports.shown.size(), 2u);
  EXPECT_EQ(run.ports.shown.front(), "OK, checking ...");
  EXPECT_EQ(run.ports.shown.back(), c.result);
  EXPECT_EQ(run.verified(), c.verified);
  EXPECT_LE(run.ports.now, c.settled_by_ms);
  EXPECT_TRUE(run.verifier.watches.empty());
  // Every 5 s, the first one 5 s after the line.
  ASSERT_FALSE(run.ports.queries.empty());
  for (size_t i = 0; i < run.ports.queries.size(); ++i)
    EXPECT_EQ(run.ports.queries[i], 5000 * int64_t(i + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Check,
    testing::Values(
        // Old version until it restarts at 12 s, quiet for 60 s, then the new one.
        CheckCase{"Applied",
                  [](int64_t t) -> uint32_t { return t < 12000 ? 0x0102 : t < 72000 ? 0 : 0x0105; },
                  "applied 1.05 in 75 s", "applied", 76000},
        CheckCase{"BackWithTheOldVersion",
                  [](int64_t t) -> uint32_t { return t < 12000 ? 0x0102 : t < 30000 ? 0 : 0x0102; },
                  "not applied: 1.02", "not_applied", 31000},
        // Never seen restarting: decided at the limit only.
        CheckCase{"NeverRestarts", [](int64_t) -> uint32_t { return 0x0102; },
                  "not applied: 1.02", "not_applied", VERIFY_LIMIT_MS},
        // A lost reply now and then is not a restart.
        CheckCase{"LossyButOld",
                  [](int64_t t) -> uint32_t { return (t / 5000) % 2 ? 0 : 0x0102; },
                  "not applied: 1.02", "not_applied", VERIFY_LIMIT_MS},
        CheckCase{"NeverBack",
                  [](int64_t t) -> uint32_t { return t < 10000 ? 0x0102 : 0; }, "no answer",
                  "no_answer", VERIFY_LIMIT_MS}),
    [](const testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

TEST(Check, ImageWithoutVersionOrFailedCardIsNotWatched) {
  Watched unversioned(IMAGE_VERSION_NONE);
  unversioned.play([](int64_t) -> uint32_t { return 0x0105; }, 20000);
  EXPECT_EQ(unversioned.ports.shown, std::vector<std::string>{"OK, not verified"});
  EXPECT_EQ(unversioned.verified(), "not_verified");
  EXPECT_TRUE(unversioned.ports.queries.empty());

  Watched failed(0x0105, CardOutcome::card_error);
  failed.play([](int64_t) -> uint32_t { return 0x0105; }, 20000);
  EXPECT_EQ(failed.ports.shown, std::vector<std::string>{"Flash write error !"});
  EXPECT_TRUE(failed.ports.queries.empty());
}

TEST(Check, RemovedRowStopsTheWatchWithoutAnOutcome) {
  Watched run;
  run.play([](int64_t) -> uint32_t { return 0; }, 20000);
  run.ports.listed = false;
  run.play([](int64_t) -> uint32_t { return 0x0105; }, 40000);
  EXPECT_TRUE(run.verifier.watches.empty());
  EXPECT_EQ(run.ports.shown, std::vector<std::string>{"OK, checking ..."});
  EXPECT_EQ(run.verified(), "");
  EXPECT_EQ(run.ports.queries.size(), 4u);
}

TEST(Check, TakenLineShowsAtOnceAndIsFirstAskedAPeriodLater) {
  Watched run;
  run.ports.now = 700;
  verifier_take(run.verifier, run.ports, run.ports.now);
  EXPECT_EQ(run.ports.shown, std::vector<std::string>{"OK, checking ..."});
  ASSERT_EQ(run.verifier.watches.size(), 1u);
  EXPECT_EQ(run.verifier.watches[0].next_query_ms, 700 + VERIFY_PERIOD_MS);
  verifier_tick(run.verifier, run.ports, 1000);  // nothing left to take: shown once
  EXPECT_EQ(run.ports.shown.size(), 1u);
  EXPECT_TRUE(run.ports.queries.empty());
}

TEST(Outcome, EachRendersItsLineWordsAndColumn) {
  struct Row {
    CardOutcome outcome;
    const char* line;
    const char* result;
    const char* verified;
    const char* column;
  };
  const Row rows[] = {
      {CardOutcome::ok, LINE_OK, "ok", "", "OK, checking ..."},
      {CardOutcome::timeout, LINE_TIMEOUT, "timeout", "", "Timeout."},
      {CardOutcome::card_error, nullptr, "card_error", "", "Bad password"},
      {CardOutcome::aborted, LINE_ABORTED, "aborted", "", "User Aborted !"},
      {CardOutcome::no_connection, LINE_NO_CONNECTION, "no_connection", "", "No connection"},
      {CardOutcome::socket_error, LINE_SOCKET_ERROR, "socket_error", "", "Socket Error !"},
      {CardOutcome::no_memory, LINE_NO_MEMORY, "no_memory", "", "Out of memory"},
      {CardOutcome::too_large, LINE_TOO_LARGE, "too_large", "", "Image too large for the card"},
      {CardOutcome::no_session, LINE_NO_SESSION, "no_session", "", "No session could be started"},
      {CardOutcome::applied, LINE_OK, "ok", "applied", "applied 1.05 in 74 s"},
      {CardOutcome::not_applied, LINE_OK, "ok", "not_applied", "not applied: 1.05"},
      {CardOutcome::no_answer, LINE_OK, "ok", "no_answer", "no answer"},
      {CardOutcome::not_verified, LINE_OK, "ok", "not_verified", "OK, not verified"},
      {CardOutcome::skipped_version, nullptr, "skipped_version", "", "skipped: 2.00"},
  };
  for (const Row& row : rows) {
    CardResult card;
    card.outcome = row.outcome;
    card.message = "Bad password";
    card.version_before = 0x0200;
    card.answered_version = 0x0105;
    card.verified_seconds = 74;
    SCOPED_TRACE(row.result + std::string("/") + row.verified);
    EXPECT_EQ(outcome_line(row.outcome), row.line);
    EXPECT_STREQ(outcome_result_word(row.outcome), row.result);
    EXPECT_STREQ(outcome_verified_word(row.outcome), row.verified);
    EXPECT_EQ(result_column_text(card), row.column);
    EXPECT_EQ(outcome_is_ok(row.outcome), std::string(row.result) == "ok");
  }
  CardResult skipped;
  skipped.outcome = CardOutcome::skipped_version;
  skipped.version_before = 0x0105;
  EXPECT_EQ(report_message(skipped), "Skipped : version 1.05 .");
}

}  // namespace
