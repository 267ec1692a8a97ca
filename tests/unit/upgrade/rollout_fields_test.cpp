// The rollout dialog's fields: what each accepts, the refusal naming its
// field, and the plan and budget a kept setting stands for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upgrade/rollout_fields.h"

namespace {

RolloutFields typed(const std::string& first, const std::string& later, const std::string& stop) {
  RolloutFields f;
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

}  // namespace
