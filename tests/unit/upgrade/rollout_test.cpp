// A rollout: the plan's waves, the budget halting the run (the cards in
// flight still counted), the decisions as the outcomes come, the texts, the JSON
// lines read back, and a kept report read back for a resumed run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "protocol/csv.h"
#include "upgrade/policy/rollout.h"
#include "upgrade/run/run.h"
#include "upgrade/record/kept_report.h"
#include "upgrade/policy/rollout_json.h"

namespace {

// What a line or a check says of a card in a run that checks.
Verdict verdict_after(CardOutcome outcome) {
  CardResult card;
  card.outcome = outcome;
  return verdict_of(card, true);
}

uint32_t card_ip(int n) { return htonl(0x0A450000u + static_cast<uint32_t>(n)); }  // 10.69.0.n

std::vector<uint32_t> fleet(int n) {
  std::vector<uint32_t> ips;
  for (int i = 1; i <= n; ++i) ips.push_back(card_ip(i));
  return ips;
}

std::vector<WaveStep> steps_of(const std::string& text) {
  std::vector<WaveStep> steps;
  std::string why;
  EXPECT_TRUE(read_wave_list(text, &steps, &why)) << text << ": " << why;
  return steps;
}

// ---- A small reader of the JSON the lines hold, enough to check them.
struct Json {
  enum Kind { null, boolean, number, string, object, array } kind = null;
  bool flag = false;
  double value = 0;
  std::string text;
  std::map<std::string, Json> members;
  std::vector<Json> items;
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}
  bool read(Json* out) {
    if (!value(out)) return false;
    blanks();
    return at_ == s_.size();
  }

 private:
  void blanks() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t')) ++at_;
  }
  bool word(const char* w) {
    const std::string t(w);
    if (s_.compare(at_, t.size(), t) != 0) return false;
    at_ += t.size();
    return true;
  }
  bool string_value(std::string* out) {
    if (s_[at_] != '"') return false;
    for (++at_; at_ < s_.size(); ++at_) {
      const unsigned char c = static_cast<unsigned char>(s_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return false;  // a control character must be escaped
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (++at_ >= s_.size()) return false;
      switch (s_[at_]) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          if (at_ + 4 >= s_.size()) return false;
          const unsigned code = static_cast<unsigned>(std::stoul(s_.substr(at_ + 1, 4), nullptr, 16));
          if (code >= 0x80) return false;  // not needed here
          *out += static_cast<char>(code);
          at_ += 4;
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool value(Json* out) {
    blanks();
    if (at_ >= s_.size()) return false;
    const char c = s_[at_];
    if (c == '{') {
      out->kind = Json::object;
      ++at_;
      blanks();
      if (at_ < s_.size() && s_[at_] == '}') return ++at_, true;
      for (;;) {
        blanks();
        std::string key;
        if (at_ >= s_.size() || !string_value(&key)) return false;
        blanks();
        if (at_ >= s_.size() || s_[at_++] != ':') return false;
        if (out->members.count(key) || !value(&out->members[key])) return false;
        blanks();
        if (at_ >= s_.size()) return false;
        if (s_[at_] == '}') return ++at_, true;
        if (s_[at_++] != ',') return false;
      }
    }
    if (c == '[') {
      out->kind = Json::array;
      ++at_;
      blanks();
      if (at_ < s_.size() && s_[at_] == ']') return ++at_, true;
      for (;;) {
        if (!value(&out->items.emplace_back())) return false;
        blanks();
        if (at_ >= s_.size()) return false;
        if (s_[at_] == ']') return ++at_, true;
        if (s_[at_++] != ',') return false;
      }
    }
    if (c == '"') {
      out->kind = Json::string;
      return string_value(&out->text);
    }
    if (word("null")) return true;
    if (word("true") || word("false")) {
      out->kind = Json::boolean;
      out->flag = c == 't';
      return true;
    }
    size_t used = 0;
    try {
      out->value = std::stod(s_.substr(at_), &used);
    } catch (...) {
      return false;
    }
    out->kind = Json::number;
    at_ += used;
    return used > 0;
  }
  const std::string& s_;
  size_t at_ = 0;
};

Json parsed(const std::string& line) {
  Json j;
  EXPECT_TRUE(JsonReader(line).read(&j)) << line;
  return j;
}

// ---- The plan

struct SizesCase {
  const char* name;
  const char* list;  // "" : no waves
  size_t eligible;
  std::vector<size_t> sizes;
};

class WaveSizes : public testing::TestWithParam<SizesCase> {};

TEST_P(WaveSizes, ForTheEligibleCards) {
  const SizesCase& c = GetParam();
  const std::vector<WaveStep> steps = *c.list ? steps_of(c.list) : std::vector<WaveStep>{};
  EXPECT_EQ(wave_sizes(steps, c.eligible), c.sizes);
  // The plan gives every eligible card, in batch order, its wave.
  const RolloutPlan plan = make_rollout_plan(steps, 0, fleet(static_cast<int>(c.eligible)));
  ASSERT_EQ(plan.cards.size(), c.eligible);
  EXPECT_EQ(plan.waves, static_cast<int>(c.sizes.size()));
  size_t at = 0;
  for (size_t w = 0; w < c.sizes.size(); ++w)
    for (size_t k = 0; k < c.sizes[w]; ++k, ++at) {
      EXPECT_EQ(plan.cards[at].ip, card_ip(static_cast<int>(at) + 1));
      EXPECT_EQ(plan.cards[at].wave, static_cast<int>(w) + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plans, WaveSizes,
    testing::Values(
        SizesCase{"CountsThenPercentRepeating", "1,5,20%", 100, {1, 5, 20, 20, 20, 20, 14}},
        SizesCase{"PercentRoundedDown", "1,10,25%", 37, {1, 10, 9, 9, 8}},
        SizesCase{"PercentBelowOneCardIsOne", "10%", 3, {1, 1, 1}},
        SizesCase{"LastCountRepeats", "2,3", 10, {2, 3, 3, 2}},
        SizesCase{"MoreWavesThanCards", "1,1,1,1,1", 2, {1, 1}},
        SizesCase{"OneCard", "5,50%", 1, {1}},
        SizesCase{"WholeFleetAtOnce", "100%", 7, {7}},
        SizesCase{"NoCards", "1,5", 0, {}},
        SizesCase{"NoWavesIsOneWave", "", 9, {9}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WaveList, BadEntriesAreNamed) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "entry 1 is empty"},
      {"1,,5", "entry 2 is empty"},
      {"1,5,", "entry 3 is empty"},
      {"0", "\"0\": a wave holds at least 1 card"},
      {"1,0%", "\"0%\": a percentage is 1 to 100"},
      {"101%", "\"101%\": a percentage is 1 to 100"},
      {"1,abc", "\"abc\": not a number"},
      {"-1", "\"-1\": not a number"},
      {"1.5%", "\"1.5%\": not a number"},
      {"%", "\"%\": not a number"},
      {"99999999", "\"99999999\": not a number"},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<WaveStep> steps = {{false, 7}};
    std::string why;
    EXPECT_FALSE(read_wave_list(text, &steps, &why)) << text;
    EXPECT_NE(why.find(expected), std::string::npos) << text << " -> " << why;
    EXPECT_EQ(steps.size(), 1u) << "a refused list leaves the steps as they were";
  }
  const std::vector<WaveStep> steps = steps_of(" 1, 5 ,20 %");
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_TRUE(steps[2].percent);
  EXPECT_EQ(steps[2].value, 20u);
  EXPECT_EQ(failure_budget(true, -1), 0);
  EXPECT_EQ(failure_budget(true, 3), 3);
  EXPECT_EQ(failure_budget(false, 2), 2);
  EXPECT_EQ(failure_budget(false, -1), NO_FAILURE_BUDGET);
}

// ---- The run, driven by hand

class Run : public testing::Test {
 protected:
  // Waves 1 | 2 3 | 4 5 | 6 with "1,2" over six cards.
  void plan(const char* list, int budget, int cards = 6) {
    const std::vector<WaveStep> steps = *list ? steps_of(list) : std::vector<WaveStep>{};
    rollout = std::make_unique<Rollout>(make_rollout_plan(steps, budget, fleet(cards)));
    settled.clear();
    rollout->settled = [this](uint32_t ip, Verdict v) { settled.emplace_back(ip, v); };
  }
  StartDecision ask(int n) { return rollout->begin(card_ip(n)); }
  void applied(int n) {
    rollout->judged(card_ip(n), verdict_after(CardOutcome::ok));
    rollout->judged(card_ip(n), verdict_after(CardOutcome::applied));
  }
  std::unique_ptr<Rollout> rollout;
  std::vector<std::pair<uint32_t, Verdict>> settled;
};

TEST_F(Run, AWaveBeginsWhenTheOneBeforeHasSettled) {
  plan("1,2", 0);
  EXPECT_EQ(ask(1), StartDecision::start);
  EXPECT_EQ(ask(2), StartDecision::wait);
  // " OK." is not settled: the check is still running.
  rollout->judged(card_ip(1), verdict_after(CardOutcome::ok));
  EXPECT_EQ(ask(2), StartDecision::wait);
  rollout->judged(card_ip(1), verdict_after(CardOutcome::applied));
  EXPECT_EQ(ask(2), StartDecision::start);
  EXPECT_EQ(ask(3), StartDecision::start);
  EXPECT_EQ(ask(4), StartDecision::wait);
  applied(2);
  EXPECT_EQ(ask(4), StartDecision::wait) << "card 3 of the same wave is still going";
  rollout->judged(card_ip(3), verdict_after(CardOutcome::ok));
  rollout->judged(card_ip(3), verdict_after(CardOutcome::not_verified));  // an image without a version
  EXPECT_EQ(ask(4), StartDecision::start);
  RolloutStatus s = rollout->status();
  EXPECT_EQ(s.waves, 4);
  EXPECT_EQ(s.waves_run, 3);
  EXPECT_EQ(s.started, 4);
  EXPECT_EQ(s.settled, 3);
  EXPECT_FALSE(s.halted);
  EXPECT_EQ(halt_line(s, {}), "");
  EXPECT_EQ(settled.size(), 3u);
}

TEST_F(Run, AFailureHaltsTheRunAndCardsInFlightStillCount) {
  plan("1,2", 0);
  ASSERT_EQ(ask(1), StartDecision::start);
  applied(1);
  ASSERT_EQ(ask(2), StartDecision::start);
  ASSERT_EQ(ask(3), StartDecision::start);
  rollout->judged(card_ip(2), verdict_after(CardOutcome::timeout));
  RolloutStatus s = rollout->status();
  EXPECT_TRUE(s.halted);
  EXPECT_EQ(s.halted_in_wave, 2);
  // Card 3, sending at the halt, finishes and is checked: it never comes
  // back, and that is one more failure.
  rollout->judged(card_ip(3), verdict_after(CardOutcome::ok));
  rollout->judged(card_ip(3), verdict_after(CardOutcome::no_answer));
  EXPECT_EQ(ask(4), StartDecision::never);
  EXPECT_EQ(ask(4), StartDecision::never);
  EXPECT_EQ(rollout->end_unstarted(), (std::vector<uint32_t>{card_ip(5), card_ip(6)}));
  EXPECT_TRUE(rollout->all_settled());
  s = rollout->status();
  EXPECT_EQ(s.failures, 2);
  EXPECT_EQ(s.started, 3);
  EXPECT_EQ(s.not_started, 3);
  EXPECT_EQ(s.waves_run, 2);
  EXPECT_EQ(s.halt_reason, "2 cards failed, none allowed");
  EXPECT_EQ(s.failed, (std::vector<uint32_t>{card_ip(2), card_ip(3)}));
  const std::vector<std::pair<uint32_t, Verdict>> expected = {
      {card_ip(1), Verdict::applied},     {card_ip(2), Verdict::transfer_failed},
      {card_ip(3), Verdict::no_answer_after},   {card_ip(4), Verdict::not_started_halted},
      {card_ip(5), Verdict::not_started_halted}, {card_ip(6), Verdict::not_started_halted}};
  EXPECT_EQ(settled, expected);
}

TEST_F(Run, TheBudgetAllowsItsFailuresAndOnlyThose) {
  // One failure allowed: a wave with one failed card still lets the next begin.
  plan("2", 1);
  ASSERT_EQ(ask(1), StartDecision::start);
  ASSERT_EQ(ask(2), StartDecision::start);
  rollout->judged(card_ip(1), verdict_after(CardOutcome::ok));
  rollout->judged(card_ip(1), verdict_after(CardOutcome::not_applied));
  applied(2);
  EXPECT_FALSE(rollout->status().halted);
  ASSERT_EQ(ask(3), StartDecision::start);
  ASSERT_EQ(ask(4), StartDecision::start);
  rollout->judged(card_ip(3), verdict_after(CardOutcome::card_error));
  EXPECT_TRUE(rollout->status().halted);
  EXPECT_EQ(rollout->status().halt_reason, "2 cards failed, more than the 1 allowed");
  // Without a budget nothing halts; without waves every card starts at once.
  plan("", NO_FAILURE_BUDGET, 3);
  for (int n = 1; n <= 3; ++n) ASSERT_EQ(ask(n), StartDecision::start);
  for (int n = 1; n <= 3; ++n) rollout->judged(card_ip(n), verdict_after(CardOutcome::timeout));
  EXPECT_FALSE(rollout->status().halted);
  EXPECT_EQ(rollout->status().failures, 3);
  // A card silent before its turn settles without spending the budget.
  plan("", 0, 2);
  ASSERT_EQ(ask(1), StartDecision::start);
  rollout->judged(card_ip(1), verdict_after(CardOutcome::no_connection));
  EXPECT_FALSE(rollout->status().halted);
  EXPECT_EQ(rollout->status().failures, 0);
  // Not failures: a card outside the plan, outcomes that settle nothing.
  plan("1", 0, 2);
  EXPECT_EQ(rollout->begin(card_ip(9)), StartDecision::never);
  ASSERT_EQ(ask(1), StartDecision::start);
  rollout->judged(card_ip(1), verdict_after(CardOutcome::ok));
  rollout->judged(card_ip(1), verdict_after(CardOutcome::ok));
  EXPECT_EQ(rollout->status().failures, 0);
  EXPECT_EQ(ask(2), StartDecision::wait);
  EXPECT_FALSE(rollout->all_settled());
}

// The loop asks again after each settling: the card waiting for its wave
// starts at the settling of the last card of the wave before, not at an
// earlier one; a halt while cards wait makes each of them never.
TEST_F(Run, WaitingCardsStartAtTheLastSettlingOrNeverAfterAHalt) {
  plan("2,1", 0, 3);
  ASSERT_EQ(ask(1), StartDecision::start);
  ASSERT_EQ(ask(2), StartDecision::start);
  EXPECT_EQ(ask(3), StartDecision::wait);
  applied(1);
  EXPECT_EQ(ask(3), StartDecision::wait);
  EXPECT_EQ(rollout->wave_under_way(), 1);
  EXPECT_FALSE(rollout->all_settled());
  applied(2);
  EXPECT_EQ(rollout->wave_under_way(), 2);
  EXPECT_TRUE(rollout->all_settled());
  EXPECT_EQ(ask(3), StartDecision::start);
  EXPECT_EQ(ask(3), StartDecision::start) << "asked again, the same decision";
  EXPECT_EQ(rollout->status().started, 3);

  // A halt while two cards wait for wave 2.
  plan("1", 0, 3);
  ASSERT_EQ(ask(1), StartDecision::start);
  EXPECT_EQ(ask(2), StartDecision::wait);
  rollout->judged(card_ip(1), verdict_after(CardOutcome::socket_error));
  EXPECT_TRUE(rollout->status().halted);
  EXPECT_EQ(rollout->wave_under_way(), 1) << "no wave begins after the halt";
  EXPECT_EQ(ask(2), StartDecision::never);
  EXPECT_EQ(ask(3), StartDecision::never);
  EXPECT_EQ(ask(2), StartDecision::never);
  EXPECT_TRUE(rollout->end_unstarted().empty());
  const RolloutStatus s = rollout->status();
  EXPECT_EQ(s.not_started, 2);
  EXPECT_EQ(s.started, 1);
  EXPECT_TRUE(rollout->all_settled());
  const std::vector<std::pair<uint32_t, Verdict>> expected = {
      {card_ip(1), Verdict::transfer_failed},
      {card_ip(2), Verdict::not_started_halted},
      {card_ip(3), Verdict::not_started_halted}};
  EXPECT_EQ(settled, expected);
}

// A card the operator stops before its turn counts as started and failed:
// it settles its wave (the next may begin) and spends the budget.
TEST_F(Run, AnAbandonedCardSettlesItsWaveAsAFailure) {
  plan("1", 1, 3);
  rollout->abandon(card_ip(1), Verdict::aborted);
  RolloutStatus s = rollout->status();
  EXPECT_EQ(s.started, 1);
  EXPECT_EQ(s.settled, 1);
  EXPECT_EQ(s.failures, 1);
  EXPECT_FALSE(s.halted);
  EXPECT_EQ(s.waves_run, 2);
  ASSERT_EQ(ask(2), StartDecision::start);
  rollout->abandon(card_ip(2), Verdict::aborted);  // started already: not abandoned
  EXPECT_EQ(rollout->status().failures, 1);
  rollout->abandon(card_ip(3), Verdict::aborted);  // the second failure: over the budget
  s = rollout->status();
  EXPECT_TRUE(s.halted);
  EXPECT_EQ(s.halted_in_wave, 3);
  EXPECT_FALSE(rollout->all_settled()) << "card 2 is still sending";
  const std::vector<std::pair<uint32_t, Verdict>> expected = {
      {card_ip(1), Verdict::aborted}, {card_ip(3), Verdict::aborted}};
  EXPECT_EQ(settled, expected);
}

// ---- What counts, and the texts

TEST(RolloutTexts, FailuresPlansAndLines) {
  EXPECT_EQ(rollout_plan_line(steps_of("1,25%"), 0),
            "In waves: 1, then 25 % at a time; stops after the first failure.");
  EXPECT_EQ(rollout_plan_line(steps_of("1,5,20"), 2),
            "In waves: 1, 5, then 20 at a time; stops after 3 failures.");
  EXPECT_EQ(rollout_plan_line(steps_of("10%"), NO_FAILURE_BUDGET),
            "In waves: 10 % at a time; never stops for failures.");
  EXPECT_EQ(waiting_column_text(3), "waiting, wave 3");
  EXPECT_EQ(dry_run_line(card_ip(5), 2), "10.69.0.5 wave 2");
  EXPECT_EQ(dry_run_summary(make_rollout_plan(steps_of("1,30"), 0, fleet(100))),
            "plan: 100 cards in 5 waves (1, 30 x 3, 9); stops after the first failure");
  EXPECT_EQ(dry_run_summary(make_rollout_plan({}, NO_FAILURE_BUDGET, fleet(1))),
            "plan: 1 card in 1 wave (1); never stops for failures");

  // The new outcomes' lines, words and column, through the batch's report.
  Report report;
  report_card(&report, "10.69.0.5", card_ip(5), CardOutcome::skipped_done, "2026-01-02_030405.csv", 0);
  report_card(&report, "10.69.0.6", card_ip(6), CardOutcome::not_started, "", 0);
  EXPECT_EQ(report_text(&report),
            "10.69.0.5 Skipped : done in 2026-01-02_030405.csv .\r\n"
            "10.69.0.6 Not started : rollout halted .\r\n");
  const std::vector<CardResult> cards = report_cards(&report);
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(report_row(cards[0])[7], "skipped_done");
  EXPECT_EQ(report_row(cards[0])[8], "Skipped : done in 2026-01-02_030405.csv .");
  EXPECT_EQ(report_row(cards[1])[7], "not_started");
  EXPECT_EQ(result_column_text(cards[0]), "skipped: done");
  EXPECT_EQ(result_column_text(cards[1]), "Not started");
  EXPECT_EQ(report_name_of("/var/reports/2026-01-02_030405.csv"), "2026-01-02_030405.csv");
  EXPECT_EQ(report_name_of("C:\\reports\\a.csv"), "a.csv");
}

// A halt names its failed cards first, each with why from its latest
// result, at most three of them; the report's line of a card whose check
// failed is that check's, not the transfer's " OK.".
TEST(RolloutTexts, AHaltNamesTheCardsAndTheirChecks) {
  auto card = [](int n, CardOutcome outcome, uint32_t answered = 0, std::string message = "") {
    CardResult c;
    c.ip = card_ip(n);
    c.version_before = 0x0102;
    c.outcome = outcome;
    c.answered_version = answered;
    c.message = std::move(message);
    return c;
  };
  RolloutStatus s;
  s.halted = true;
  s.halted_in_wave = 1;
  s.not_started = 5;
  s.failed = {card_ip(16)};
  // The card's first line (" OK.") precedes its check: the latest counts.
  const std::vector<CardResult> one = {card(16, CardOutcome::ok), card(1, CardOutcome::applied),
                                       card(16, CardOutcome::not_applied, 0x0102)};
  EXPECT_EQ(halt_line(s, one),
            "Rollout halted in wave 1: 10.69.0.16 not applied (still 1.02); 5 cards not started.");
  s.not_started = 0;
  s.failed = {card_ip(1), card_ip(2), card_ip(3), card_ip(4), card_ip(5)};
  const std::vector<CardResult> many = {
      card(1, CardOutcome::card_error, 0, "Upgrade not allowed !"),
      card(2, CardOutcome::not_applied, 0x0103),
      card(3, CardOutcome::not_applied, 0x0105, "another device answers at this address"),
      card(4, CardOutcome::timeout), card(5, CardOutcome::no_answer)};
  EXPECT_EQ(halt_line(s, many),
            "Rollout halted in wave 1: 10.69.0.1 refused (\"Upgrade not allowed !\"), 10.69.0.2 not "
            "applied (runs 1.03), 10.69.0.3 not applied (another device answers at this address) "
            "and 2 more.");

  // 10.69.0.1 OK. inside another line is not its line.
  const std::string text =
      "10.69.0.10 OK.\r\n10.69.0.2 OK.\r\n10.69.0.1 OK.\r\n10.69.0.5 OK.\r\n10.69.0.6 OK.\r\n";
  const std::vector<CardResult> checked = {
      card(1, CardOutcome::no_answer), card(2, CardOutcome::not_applied, 0x0102),
      card(10, CardOutcome::applied), card(5, CardOutcome::not_verified)};
  EXPECT_EQ(report_text_with_checks(text, checked),
            "10.69.0.10 OK.\r\n10.69.0.2 Not applied : still 1.02 .\r\n"
            "10.69.0.1 No answer after the upgrade .\r\n10.69.0.5 OK.\r\n10.69.0.6 OK.\r\n");
  // The operator's stop gives a card not started its own line and message.
  Report report;
  report_card(&report, "10.69.0.7", card_ip(7), CardOutcome::not_started, STOPPED_BY_OPERATOR, 0);
  EXPECT_EQ(report_text(&report), "10.69.0.7 Not started : stopped by the operator .\r\n");
  EXPECT_EQ(report_row(report_cards(&report)[0])[8], "Not started : stopped by the operator .");
}

// ---- JSON Lines and the kept report read back

CardResult sample(int n, CardOutcome outcome) {
  CardResult c;
  c.started = {2026, 1, 2, 3, 4, 5};
  c.ended = {2026, 1, 2, 3, 5, 0};
  c.ip = card_ip(n);
  for (int i = 0; i < 6; ++i) c.mac[i] = static_cast<uint8_t>(0xA0 + n + i);
  c.version_before = 0x0200;
  c.image = "=images/fw,\"new\".bin";
  c.image_version = 0x0105;
  c.outcome = outcome;
  c.bytes_sent = 60080;
  c.verified_seconds = outcome == CardOutcome::applied || outcome == CardOutcome::no_answer ? 74 : -1;
  if (outcome == CardOutcome::applied) c.answered_version = 0x0105;
  c.verdict = verdict_of(c, true);
  if (outcome == CardOutcome::card_error) c.message = "-Flash \"write\"\terror";
  if (outcome == CardOutcome::skipped_done) c.message = "2026-01-01_000000.csv";
  return c;
}

TEST(RolloutJson, CardsAndSummaryParseBack) {
  const CardResult card = sample(5, CardOutcome::card_error);
  Json j = parsed(card_json(card, 2));
  ASSERT_EQ(j.kind, Json::object);
  for (const std::string& column : report_columns()) EXPECT_EQ(j.members.count(column), 1u) << column;
  EXPECT_EQ(j.members.size(), report_columns().size() + 1);
  EXPECT_EQ(j.members["ip"].text, "10.69.0.5");
  EXPECT_EQ(j.members["image"].text, card.image) << "no spreadsheet guard in JSON";
  EXPECT_EQ(j.members["message"].text, card.message);
  EXPECT_EQ(j.members["result"].text, "card_error");
  EXPECT_EQ(j.members["seconds"].kind, Json::number);
  EXPECT_EQ(j.members["seconds"].value, 55);
  EXPECT_EQ(j.members["bytes_sent"].value, 60080);
  EXPECT_EQ(j.members["verified"].kind, Json::null);
  EXPECT_EQ(j.members["verified_seconds"].kind, Json::null);
  EXPECT_EQ(j.members["wave"].value, 2);
  j = parsed(card_json(sample(6, CardOutcome::applied), 0));
  EXPECT_EQ(j.members["verified"].text, "applied");
  EXPECT_EQ(j.members["verified_seconds"].value, 74);
  EXPECT_EQ(j.members["wave"].kind, Json::null);

  RolloutStatus status;
  status.waves = 4;
  status.waves_run = 2;
  status.failures = 2;
  status.budget = 0;
  status.halted = true;
  status.halt_reason = "2 cards failed, none allowed";
  status.failed = {card_ip(4), card_ip(3)};
  const std::vector<CardResult> cards = {sample(1, CardOutcome::applied), sample(2, CardOutcome::applied),
                                         sample(3, CardOutcome::no_answer), sample(4, CardOutcome::timeout),
                                         sample(5, CardOutcome::not_started)};
  Json s = parsed(summary_json(cards, status, run_verdicts(cards, true, false)));
  ASSERT_EQ(s.members.size(), 1u);
  Json& summary = s.members["summary"];
  EXPECT_EQ(summary.members["cards"].value, 5);
  EXPECT_EQ(summary.members["failures"].value, 2);
  EXPECT_EQ(summary.members["budget_failures"].value, 2);
  EXPECT_EQ(summary.members["exit_status"].value, 4);
  EXPECT_FALSE(summary.members["stopped"].flag);
  EXPECT_EQ(summary.members["max_failures"].value, 0);
  EXPECT_EQ(summary.members["waves_run"].value, 2);
  EXPECT_TRUE(summary.members["halted"].flag);
  EXPECT_EQ(summary.members["reason"].text, "2 cards failed, none allowed");
  const std::vector<Json>& failed = summary.members["failed"].items;
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].text, "10.69.0.4");
  EXPECT_EQ(failed[1].text, "10.69.0.3");
  std::map<std::string, double> results;
  for (auto& [word, n] : summary.members["results"].members) results[word] = n.value;
  EXPECT_EQ(results, (std::map<std::string, double>{
                         {"applied", 2}, {"no_answer", 1}, {"timeout", 1}, {"not_started", 1}}));
  std::map<std::string, double> verdicts;
  for (auto& [word, n] : summary.members["verdicts"].members) verdicts[word] = n.value;
  EXPECT_EQ(verdicts, (std::map<std::string, double>{{"applied", 2},
                                                     {"no_answer_after", 1},
                                                     {"transfer_failed", 1},
                                                     {"not_started_halted", 1}}));
  status = RolloutStatus{};
  status.budget = NO_FAILURE_BUDGET;
  s = parsed(summary_json({}, status, run_verdicts({}, false, false)));
  EXPECT_FALSE(s.members["summary"].members["halted"].flag);
  EXPECT_EQ(s.members["summary"].members["halted"].kind, Json::boolean);
  EXPECT_EQ(s.members["summary"].members["max_failures"].kind, Json::null);
  EXPECT_EQ(s.members["summary"].members["reason"].kind, Json::null);
  EXPECT_EQ(s.members["summary"].members["failed"].kind, Json::array);
  EXPECT_TRUE(s.members["summary"].members["failed"].items.empty());
}

TEST(Resume, OurOwnReportReadsBackAndNamesTheDoneCards) {
  std::vector<CardResult> written;
  const CardOutcome outcomes[] = {CardOutcome::applied,      CardOutcome::not_verified,
                                  CardOutcome::skipped_done, CardOutcome::ok,
                                  CardOutcome::no_answer,    CardOutcome::not_applied,
                                  CardOutcome::timeout,      CardOutcome::card_error,
                                  CardOutcome::pending,      CardOutcome::sending,
                                  CardOutcome::not_started,  CardOutcome::skipped_version};
  int n = 1;
  for (CardOutcome o : outcomes) written.push_back(sample(n++, o));
  written.back().image_version = IMAGE_VERSION_NONE;
  std::vector<CardResult> read;
  std::string why;
  ASSERT_TRUE(read_kept_report(report_csv(written), &read, &why)) << why;
  ASSERT_EQ(read.size(), written.size());
  // Read back, the report is the same file again.
  EXPECT_EQ(report_csv(read), report_csv(written));
  EXPECT_EQ(read[7].message, written[7].message) << "the guard is taken off again";
  EXPECT_EQ(read[2].message, "2026-01-01_000000.csv");
  std::vector<bool> done;
  for (const CardResult& c : read) done.push_back(card_is_done(c));
  EXPECT_EQ(done, (std::vector<bool>{true, true, true, false, false, false, false, false, false,
                                     false, false, false}));

  // Text that is not such a report.
  const std::string good = report_csv({sample(1, CardOutcome::applied)});
  std::string no_verified = good;
  no_verified.replace(no_verified.find("verified,"), 9, "checked,");
  std::string bad_address = good;
  bad_address.replace(bad_address.find("10.69.0.1"), 9, "10.69.0.01");
  std::string twice = good + report_csv({sample(1, CardOutcome::timeout)}).substr(good.find("\r\n") + 2);
  std::string bad_result = good;
  bad_result.replace(bad_result.find(",ok,"), 4, ",fine,");
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty"},
      {"ip,mac\r\n10.69.0.1,00-00-00-00-00-00\r\n", "no column \"started\""},
      {no_verified, "no column \"verified\""},
      {bad_address, "line 2: \"10.69.0.01\" is not an address"},
      {twice, "line 3: 10.69.0.1 is listed twice"},
      {bad_result, "line 2: result \"fine\""},
      {good + "\"open", "line 3: a quoted cell is not closed"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_FALSE(read_kept_report(text, &read, &why));
    EXPECT_NE(why.find(expected), std::string::npos) << why;
  }

  // From a file: its path leads the reason; too large a file is refused.
  char folder[] = "/tmp/rollout_test_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/big.csv";
  ASSERT_TRUE(write_file_whole(path, good + std::string(KEPT_REPORT_MAX, '\n'), &why)) << why;
  EXPECT_FALSE(read_kept_report_file(path, &read, &why));
  EXPECT_EQ(why.rfind(path + ": ", 0), 0u) << why;
  ASSERT_TRUE(write_file_whole(path, good, &why)) << why;
  EXPECT_TRUE(read_kept_report_file(path, &read, &why)) << why;
  EXPECT_EQ(read.size(), 1u);
  unlink(path.c_str());
  rmdir(folder);
}

}  // namespace

namespace {

const std::string DIGEST(64, 'a');
const std::string OTHER_DIGEST(64, 'b');

// An applied row of run1.csv for the image 1.05 of 60080 bytes (the
// sample's), digest DIGEST.
CardResult done_row(CardOutcome outcome = CardOutcome::applied) {
  CardResult row = sample(5, outcome);
  row.image_sha256 = DIGEST;
  return row;
}

}  // namespace

// A resumed run skips a card only when the report shows it done with this
// image, the same device answers at its address now, and it runs the
// image's version now; every other case says why it is planned again.
TEST(Resume, DoneOnlyWhenProved) {
  struct Case {
    const char* name;
    std::function<void(CardResult&, bool&, ResumeImage&, CardNow&)> change;
    bool done;
    std::string why;
  };
  const Case cases[] = {
      {"same_image_device_and_version", [](CardResult&, bool&, ResumeImage&, CardNow&) {}, true, ""},
      {"not_verified_then_the_version_now",
       [](CardResult& r, bool&, ResumeImage&, CardNow&) { r.outcome = CardOutcome::not_verified; },
       true, ""},
      {"skipped_as_done_before",
       [](CardResult& r, bool&, ResumeImage&, CardNow&) { r = done_row(CardOutcome::skipped_done); },
       true, ""},
      {"not_applied_row",
       [](CardResult& r, bool&, ResumeImage&, CardNow&) { r.outcome = CardOutcome::not_applied; },
       false, "not done in run1.csv (not_applied)"},
      {"ok_row_never_checked",
       [](CardResult& r, bool&, ResumeImage&, CardNow&) { r.outcome = CardOutcome::ok; }, false,
       "not done in run1.csv (ok)"},
      {"another_image_by_digest",
       [](CardResult&, bool&, ResumeImage& i, CardNow&) { i.sha256 = OTHER_DIGEST; }, false,
       "run1.csv shows another image sent"},
      {"another_image_same_version_and_size",
       [](CardResult& r, bool&, ResumeImage&, CardNow&) { r.image_sha256 = OTHER_DIGEST; }, false,
       "run1.csv shows another image sent"},
      {"a_row_without_its_digest",
       [](CardResult& r, bool&, ResumeImage&, CardNow&) { r.image_sha256.clear(); }, false,
       "run1.csv does not name the image it sent"},
      {"older_report_same_version_and_size",
       [](CardResult& r, bool& d, ResumeImage&, CardNow&) { r.image_sha256.clear(); d = false; },
       true, ""},
      {"older_report_another_version",
       [](CardResult& r, bool& d, ResumeImage& i, CardNow& n) {
         r.image_sha256.clear();
         d = false;
         i.version = n.version = 0x0106;
       },
       false, "run1.csv shows another image sent"},
      {"older_report_another_size",
       [](CardResult& r, bool& d, ResumeImage& i, CardNow&) {
         r.image_sha256.clear();
         d = false;
         i.size = 60081;
       },
       false, "run1.csv shows another image sent"},
      {"older_report_skipped_row_shows_no_size",
       [](CardResult& r, bool& d, ResumeImage&, CardNow&) {
         r = sample(5, CardOutcome::skipped_done);
         r.bytes_sent = 0;
         d = false;
       },
       false, "run1.csv shows another image sent"},
      {"the_card_silent_now",
       [](CardResult&, bool&, ResumeImage&, CardNow& n) { n.answered = false; }, false,
       "the card does not answer now"},
      {"another_mac_now", [](CardResult&, bool&, ResumeImage&, CardNow& n) { n.mac[5] ^= 1; },
       false, "another device answers at this address (a5-a6-a7-a8-a9-ab, not a5-a6-a7-a8-a9-aa)"},
      {"the_old_version_now",
       [](CardResult&, bool&, ResumeImage&, CardNow& n) { n.version = 0x0104; }, false,
       "the card runs 1.04, not the image's 1.05"},
      {"a_newer_version_now",
       [](CardResult&, bool&, ResumeImage&, CardNow& n) { n.version = 0x0106; }, false,
       "the card runs 1.06, not the image's 1.05"},
      {"an_image_without_version",
       [](CardResult& r, bool&, ResumeImage& i, CardNow&) {
         r.outcome = CardOutcome::not_verified;
         i.version = IMAGE_VERSION_NONE;
       },
       false, "the image has no version to check the card against"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CardResult row = done_row();
    bool has_digest = true;
    ResumeImage image;
    image.version = 0x0105;
    image.size = 60080;
    image.sha256 = DIGEST;
    CardNow now;
    now.answered = true;
    std::memcpy(now.mac, row.mac, 6);
    now.version = 0x0105;
    c.change(row, has_digest, image, now);
    row.verdict = verdict_of(row, true);
    std::string why;
    EXPECT_EQ(resume_proves_done(row, has_digest, image, now, "run1.csv", &why), c.done);
    EXPECT_EQ(why, c.why);
  }
  EXPECT_EQ(planned_again_line(card_ip(5), "the card does not answer now"),
            "10.69.0.5 Planned again : the card does not answer now .");
}

// The report's cards join a resumed run less the excluded ones; reading it
// indexes every card by address.
TEST(Resume, ExcludesWinOverTheReportsCards) {
  std::vector<CardResult> rows;
  for (int n = 1; n <= 5; ++n) rows.push_back(done_row());
  for (int n = 0; n < 5; ++n) rows[size_t(n)].ip = card_ip(n + 1);
  KeptReport kept;
  std::string why;
  ASSERT_TRUE(read_kept_report(report_csv(rows), &kept, &why)) << why;
  EXPECT_TRUE(kept.has_digest);
  ASSERT_NE(kept.find(card_ip(3)), nullptr);
  EXPECT_EQ(kept.find(card_ip(3))->ip, card_ip(3));
  EXPECT_EQ(kept.find(card_ip(3))->image_sha256, DIGEST);
  EXPECT_EQ(kept.find(card_ip(9)), nullptr);
  AddressSet excluded;
  ASSERT_TRUE(read_address_ranges("10.69.0.2,10.69.0.4-10.69.0.5", &excluded, &why,
                                  RangeRole::exclude));
  EXPECT_EQ(resumed_cards(kept, excluded), (std::vector<uint32_t>{card_ip(1), card_ip(3)}));
  EXPECT_EQ(resumed_cards(kept, AddressSet{}).size(), 5u);
}

// What a reader needs, or the report is refused with the reason: its
// columns, at least one row, every row whole, as many rows as its header
// records. Reports of earlier versions, without the padding column (the
// slot's blanks inside the last cell), with or without the digest and the
// verdict, read as they did; every value reads exactly as written.
TEST(Resume, ReportsThatAreNotWholeAreRefused) {
  const std::string header = report_csv_header(1);
  const std::string row = report_csv_row(done_row());
  CardResult sixth = done_row();
  sixth.ip = card_ip(6);
  const std::string row6 = report_csv_row(sixth);
  const std::string blanks(JOURNAL_ROW_SLACK, ' ');
  // Rows as earlier versions wrote them: the same cells less the padding
  // (its last ",\r\n"), the slot's blanks in the last one.
  const std::string old_header = csv_record(report_columns());
  const std::string old_row = row.substr(0, row.size() - 3);  // ...,applied
  const std::string with_verdict = old_header + old_row + blanks + "\r\n";
  const std::string with_digest =
      old_header.substr(0, old_header.find(",verdict")) + "\r\n" +
      old_row.substr(0, old_row.rfind(',')) + blanks + "\r\n";
  const std::string without_digest =
      old_header.substr(0, old_header.find(",image_sha256")) + "\r\n" +
      old_row.substr(0, old_row.find("," + DIGEST)) + "\r\n";
  struct Case {
    const char* name;
    std::string text;
    std::string why;  // empty: read
    bool has_digest = true;
  };
  const Case cases[] = {
      {"whole", header + row, ""},
      {"more_rows_than_written_with", header + row + row6, ""},
      {"older_report_with_the_verdict_last", with_verdict, ""},
      {"older_report_with_the_digest_last", with_digest, ""},
      {"older_report_without_the_digest", without_digest, "", false},
      {"header_alone", report_csv_header(0), "no cards: the report holds its header alone"},
      {"cut_inside_the_last_row", header + row + row.substr(0, 40),
       "line 3: the report ends inside a row (it was cut)"},
      {"cut_before_its_line_break", header + row.substr(0, row.size() - 2),
       "line 2: the report ends inside a row (it was cut)"},
      {"cut_inside_a_quoted_cell", header + row.substr(0, row.find("\"") + 3),
       "line 2: a quoted cell is not closed"},
      {"a_row_short_of_cells", header + old_row + "\r\n", "line 2: 15 cells, the header has 16"},
      {"a_missing_column", header.substr(header.find(',') + 1) + row, "no column \"started\""},
      {"not_a_digest", header + row.substr(0, row.find("," + DIGEST)) + ",xyz,applied,\r\n",
       "image_sha256 \"xyz\" is not a SHA-256 digest"},
      {"not_a_verdict", header + row.substr(0, row.find("," + DIGEST) + 65) + ",fine,\r\n",
       "verdict \"fine\" is not one of this program's verdicts"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeptReport kept;
    std::string why;
    EXPECT_EQ(read_kept_report(c.text, &kept, &why), c.why.empty()) << why;
    if (c.why.empty()) {
      ASSERT_FALSE(kept.cards.empty());
      EXPECT_EQ(kept.has_digest, c.has_digest);
      EXPECT_EQ(kept.cards[0].image_sha256, c.has_digest ? DIGEST : "");
      EXPECT_EQ(kept.cards[0].verdict, Verdict::applied);
      EXPECT_EQ(kept.cards[0].image, done_row().image);
    } else {
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
  }
}

// The guard against formulas is taken off exactly: a card's own text that
// begins with ' reads back as it was.
TEST(Resume, TheGuardReadsBackWhatWasWritten) {
  for (const char* message : {"'=1+1", "'", "''x", "'plain", "=1+1", "-x", "plain"}) {
    CardResult card = sample(5, CardOutcome::card_error);
    card.message = message;
    card.image = message;
    std::vector<CardResult> read;
    std::string why;
    ASSERT_TRUE(read_kept_report(report_csv({card}), &read, &why)) << why;
    EXPECT_EQ(read.at(0).message, message);
    EXPECT_EQ(read.at(0).image, message);
  }
}
