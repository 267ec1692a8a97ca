// The rollout dialog's fields: what each accepts, the refusal naming its
// field, and the plan and budget a kept setting stands for.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "upgrade/policy/rollout_fields.h"
#include "upgrade/run/run.h"

namespace {

RolloutFields typed(const std::string& first, const std::string& later, const std::string& stop,
                    const std::string& start_at = "", const std::string& window = "") {
  RolloutFields f;
  f.start_at = start_at;
  f.window = window;
  f.waves = true;
  f.first = first;
  f.later = later;
  f.stop_after = stop;
  return f;
}

TEST(RolloutFields, GoodFieldsMakeTheSettingAndShowAgainAsTyped) {
  RolloutSetting s;
  std::string why;
  ASSERT_TRUE(read_rollout_fields(typed(" 1 ", "25 %", "3"), &s, &why)) << why;
  EXPECT_EQ(s.waves, true);
  EXPECT_EQ(s.first, 1u);
  EXPECT_EQ(s.later, 25u);
  EXPECT_EQ(s.later_percent, true);
  EXPECT_EQ(s.stop_after, 3u);

  ASSERT_TRUE(read_rollout_fields(typed("1000000", "100%", "1"), &s, &why)) << why;
  EXPECT_EQ(s.first, 1000000u);
  ASSERT_TRUE(read_rollout_fields(typed("2", "1000000", "1000000"), &s, &why)) << why;
  EXPECT_EQ(s.later_percent, false);
  EXPECT_EQ(s.later, 1000000u);

  // What the dialog shows reads back as the same setting, ticked or not,
  // in cards or in percent.
  for (bool waves : {true, false})
    for (bool percent : {true, false}) {
      RolloutSetting kept;
      kept.waves = waves;
      kept.first = 4;
      kept.later = 7;
      kept.later_percent = percent;
      kept.stop_after = 2;
      RolloutSetting back;
      ASSERT_TRUE(read_rollout_fields(rollout_fields_of(kept), &back, &why)) << why;
      EXPECT_EQ(back, kept) << waves << percent;
    }
  EXPECT_EQ(rollout_fields_of(RolloutSetting{}).later, "25%");

  // The schedule: empty fields are none; typed, they show again as kept;
  // the run has it only in waves.
  RolloutFields f = typed("1", "25%", "1");
  ASSERT_TRUE(read_rollout_fields(f, &s, &why)) << why;
  EXPECT_TRUE(s.schedule.empty());
  f.start_at = " 6:05 ";
  f.window = "22:00 - 05:30";
  ASSERT_TRUE(read_rollout_fields(f, &s, &why)) << why;
  EXPECT_EQ(s.schedule, (RunSchedule{6 * 60 + 5, 22 * 60, 5 * 60 + 30}));
  EXPECT_EQ(rollout_fields_of(s).start_at, "06:05");
  EXPECT_EQ(rollout_fields_of(s).window, "22:00-05:30");
  EXPECT_EQ(rollout_schedule_of(s), s.schedule);
  s.waves = false;
  EXPECT_TRUE(rollout_schedule_of(s).empty());
}

// A window is open from its first minute to the one before its last, and
// across midnight when it ends before it begins; a start time is the next
// time the clock reads it.
TEST(Schedule, WindowsAndStartTimes) {
  const RunSchedule day{-1, 8 * 60, 17 * 60}, night{-1, 22 * 60, 5 * 60};
  const auto at = [](int h, int m, int s = 0) { return h * 3600 + m * 60 + s; };
  EXPECT_FALSE(window_open(day, at(7, 59, 59)));
  EXPECT_TRUE(window_open(day, at(8, 0)));
  EXPECT_TRUE(window_open(day, at(16, 59, 59)));
  EXPECT_FALSE(window_open(day, at(17, 0)));
  EXPECT_TRUE(window_open(night, at(23, 59, 59)));
  EXPECT_TRUE(window_open(night, at(0, 0)));
  EXPECT_TRUE(window_open(night, at(4, 59, 59)));
  EXPECT_FALSE(window_open(night, at(5, 0)));
  EXPECT_FALSE(window_open(night, at(21, 59, 59)));
  EXPECT_TRUE(window_open(RunSchedule{}, at(3, 0)));
  EXPECT_EQ(seconds_until(22 * 60, at(21, 59, 59)), 1);
  EXPECT_EQ(seconds_until(22 * 60, at(22, 0, 59)), 0);
  EXPECT_EQ(seconds_until(22 * 60, at(22, 1)), 24 * 3600 - 60);
  EXPECT_EQ(seconds_until(0, at(23, 0)), 3600);
  EXPECT_EQ(schedule_words(RunSchedule{22 * 60, 22 * 60, 5 * 60}),
            "starts at 22:00; cards start only in the window 22:00-05:00");
}

// The checks' fields: the settle period and the recheck, an empty recheck
// none; a refusal names its field and keeps the value.
TEST(RolloutFields, SettleAndRecheckFields) {
  uint32_t seconds = 30, minutes = 0;
  std::string why;
  EXPECT_TRUE(read_settle_field(" 5 ", &seconds, &why));
  EXPECT_TRUE(read_recheck_field("", &minutes, &why));
  EXPECT_EQ(std::make_pair(seconds, minutes), std::make_pair(5u, 0u));
  EXPECT_FALSE(read_settle_field("601", &seconds, &why));
  EXPECT_EQ(why, "Settle period: \"601\" is not a number of seconds of 1 to 600.");
  EXPECT_FALSE(read_recheck_field("1h", &minutes, &why));
  EXPECT_EQ(why, "Recheck after: \"1h\" is not a number of minutes of 1 to 1440, or empty for none.");
  EXPECT_EQ(std::make_pair(seconds, minutes), std::make_pair(5u, 0u));
  EXPECT_EQ(recheck_field_of(0), "");
  EXPECT_EQ(recheck_field_of(90), "90");
}

TEST(RolloutFields, EachRefusalNamesItsFieldAndKeepsTheSetting) {
  struct Case {
    RolloutFields fields;
    RolloutField field;
    std::string why;
  };
  const std::vector<Case> cases = {
      {typed("", "25%", "1"), RolloutField::first, "First wave: \"\" is not a number of cards, like 1."},
      {typed("0", "25%", "1"), RolloutField::first, "First wave: a wave holds at least 1 card."},
      {typed("1000001", "25%", "1"), RolloutField::first, "First wave: at most 1000000 cards."},
      {typed("10%", "25%", "1"), RolloutField::first, "First wave: \"10%\" is not a number of cards, like 1."},
      {typed("-1", "25%", "1"), RolloutField::first, "First wave: \"-1\" is not a number of cards, like 1."},
      {typed("1", "0%", "1"), RolloutField::later, "Later waves: a percentage is 1 to 100."},
      {typed("1", "101%", "1"), RolloutField::later, "Later waves: a percentage is 1 to 100."},
      {typed("1", "0", "1"), RolloutField::later, "Later waves: a wave holds at least 1 card."},
      {typed("1", "1000001", "1"), RolloutField::later, "Later waves: at most 1000000 cards."},
      {typed("1", "5%%", "1"), RolloutField::later,
       "Later waves: \"5%%\" is not a number of cards or a percentage, like 5 or 25%."},
      {typed("1", "%", "1"), RolloutField::later,
       "Later waves: \"%\" is not a number of cards or a percentage, like 5 or 25%."},
      {typed("1", "25%", "0"), RolloutField::stop_after,
       "Stop after N failures: at least 1 (the first failure)."},
      {typed("1", "25%", "1000001"), RolloutField::stop_after, "Stop after N failures: at most 1000000."},
      {typed("1", "25%", "1.5"), RolloutField::stop_after,
       "Stop after N failures: \"1.5\" is not a number, like 1."},
      {typed("1", "25%", "1", "24:00"), RolloutField::start_at,
       "Start at: \"24:00\" is not a time of day HH:MM, like 22:00, or empty to start at once."},
      {typed("1", "25%", "1", "9:5"), RolloutField::start_at,
       "Start at: \"9:5\" is not a time of day HH:MM, like 22:00, or empty to start at once."},
      {typed("1", "25%", "1", "", "22:00"), RolloutField::window,
       "Window: \"22:00\" is not a window HH:MM-HH:MM, like 22:00-05:00, or empty for any time."},
      {typed("1", "25%", "1", "", "22:00-22:60"), RolloutField::window,
       "Window: \"22:00-22:60\" is not a window HH:MM-HH:MM, like 22:00-05:00, or empty for any "
       "time."},
      {typed("1", "25%", "1", "", "05:00-5:00"), RolloutField::window,
       "Window: \"05:00-5:00\" opens and closes at the same time, or empty for any time."},
  };
  for (const Case& c : cases) {
    RolloutSetting s;
    s.first = 9;
    std::string why;
    RolloutField field = RolloutField::none;
    EXPECT_FALSE(read_rollout_fields(c.fields, &s, &why, &field))
        << c.fields.first << " / " << c.fields.later << " / " << c.fields.stop_after;
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(field, c.field) << c.why;
    EXPECT_EQ(s.first, 9u) << c.why;
  }
  // The box unticked does not make a bad field good: what is kept can run.
  RolloutFields off = typed("0", "25%", "1");
  off.waves = false;
  RolloutSetting s;
  std::string why;
  EXPECT_FALSE(read_rollout_fields(off, &s, &why));
}

TEST(RolloutFields, TheSettingsPlanBudgetAndConfirmationLine) {
  RolloutSetting s;  // the defaults, ticked
  s.waves = true;
  EXPECT_EQ(rollout_setting_line(s), "In waves: 1, then 25 % at a time; stops after the first failure.");
  EXPECT_EQ(rollout_setting_budget(s), 0);  // the first failure is one more than allowed

  s.stop_after = 3;
  s.first = 2;
  s.later = 5;
  s.later_percent = false;
  EXPECT_EQ(rollout_setting_budget(s), 2);
  EXPECT_EQ(rollout_setting_line(s), "In waves: 2, then 5 at a time; stops after 3 failures.");
  // The first wave, then the later ones repeating until every card has one.
  EXPECT_EQ(wave_sizes(rollout_setting_steps(s), 13), (std::vector<size_t>{2, 5, 5, 1}));
  s.first = 1;
  s.later = 50;
  s.later_percent = true;
  EXPECT_EQ(wave_sizes(rollout_setting_steps(s), 3), (std::vector<size_t>{1, 1, 1}));
  s.later = 2;
  s.later_percent = false;
  EXPECT_EQ(wave_sizes(rollout_setting_steps(s), 3), (std::vector<size_t>{1, 2}));

  // Off: one wave of every card, no budget, no line; as Upgrade always ran.
  s.waves = false;
  EXPECT_TRUE(rollout_setting_steps(s).empty());
  EXPECT_EQ(rollout_setting_budget(s), NO_FAILURE_BUDGET);
  EXPECT_EQ(rollout_setting_line(s), "");
}

// The policy's fields: read as the command line reads its options, each
// refusal named by its field, a share in Stop after leaving the count kept;
// the kept text reads back to the same policy, and the run draws a seed
// for a shuffle kept without one.
TEST(RolloutFields, PolicyFieldsAndTheirKeptText) {
  RolloutFields f = typed("1", "25%", "10%");
  f.max_unreachable = "2";
  f.wave_delay = "2h";
  f.gate = true;
  f.order = "shuffle";
  RolloutSetting s;
  s.stop_after = 4;
  std::string why;
  ASSERT_TRUE(read_rollout_fields(f, &s, &why)) << why;
  EXPECT_EQ(s.stop_after, 4u) << "a share leaves the count kept";
  RolloutPolicy p;
  ASSERT_TRUE(read_policy_fields(f, &p, &why)) << why;
  EXPECT_EQ(p.failures, (Budget{10, true}));
  EXPECT_EQ(p.unreachable, (Budget{2, false}));
  EXPECT_EQ(p.wave_delay_ms, 2 * 3600000);
  EXPECT_EQ(p.gate, WaveGate::manual);
  EXPECT_EQ(policy_setting_text(p), "failures=10% unreachable=2 delay=2h gate=manual order=shuffle");
  RolloutPolicy back;
  ASSERT_TRUE(read_policy_setting_text(policy_setting_text(p), &back));
  EXPECT_EQ(back, p);
  RolloutFields shown;
  policy_fields_of(p, &shown);
  EXPECT_EQ(shown.stop_after, "10%");
  EXPECT_TRUE(shown.gate);
  EXPECT_FALSE(read_policy_setting_text("gate=manual order", &back));

  s.waves = true;
  const RolloutOptions o = rollout_options_of(s, p);
  EXPECT_TRUE(o.policy.order.seeded);
  EXPECT_EQ(o.max_failures, -1) << "the share stands for the count";
  EXPECT_EQ(rollout_options_of(RolloutSetting{}, p).policy, RolloutPolicy{}) << "no waves, no policy";

  for (const auto& [field, text, expected] :
       std::vector<std::tuple<RolloutField, std::string, std::string>>{
           {RolloutField::wave_delay, "2 hours",
            "Time between waves: \"2 hours\" is not a time like 30m, 2h or 1d."},
           {RolloutField::max_unreachable, "x", "Max without an answer: \"x\" is not a number"},
           {RolloutField::order, "random", "Order: \"random\" is not given, spread or shuffle[:SEED]."},
           {RolloutField::stop_after, "101%", "Stop after N failures: a percentage is 0 to 100."}}) {
    RolloutFields bad = typed("1", "25%", "1");
    if (field == RolloutField::wave_delay) bad.wave_delay = text;
    if (field == RolloutField::max_unreachable) bad.max_unreachable = text;
    if (field == RolloutField::order) bad.order = text;
    if (field == RolloutField::stop_after) bad.stop_after = text;
    RolloutField refused = RolloutField::none;
    EXPECT_FALSE(read_policy_fields(bad, &p, &why, &refused)) << text;
    EXPECT_EQ(refused, field) << text;
    EXPECT_EQ(why.rfind(expected, 0), 0u) << why;
  }
}

}  // namespace
