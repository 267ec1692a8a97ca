#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "settings/settings.h"

namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/daveridur-settings.XXXXXX";
    folder_ = mkdtemp(pattern);
    set_settings_folder((folder_ + "/store").c_str());
  }
  void TearDown() override {
    set_settings_folder(nullptr);
    std::filesystem::remove_all(folder_);
  }
  std::string folder_;
};

TEST_F(Settings, MissingKeyFailsAndCreatesNothing) {
  char buffer[64] = "unchanged";
  EXPECT_EQ(read_setting_text(SETTINGS_KEY, "LastDir", buffer, sizeof buffer - 1), 0);
  EXPECT_EQ(read_setting_text(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1), 0);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/store"));
}

TEST_F(Settings, TextRoundTripWithTerminatorAndType) {
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastAccount", "operator"), 1);
  char buffer[512];
  std::memset(buffer, 'x', sizeof buffer);
  uint32_t type = 0;
  ASSERT_EQ(read_setting(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1, &type), 1);
  EXPECT_EQ(type, SETTING_TEXT);
  EXPECT_EQ(std::string(buffer, 9), std::string("operator\0", 9));

  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastAccount", "second"), 1);  // replaced
  ASSERT_EQ(read_setting_text(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1), 1);
  EXPECT_STREQ(buffer, "second");
}

TEST_F(Settings, ValueLargerThanTheLimitIsAFailedRead) {
  std::string dir(1100, 'd');
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastDir", dir.c_str()), 1);
  char buffer[1024];
  EXPECT_EQ(read_setting_text(SETTINGS_KEY, "LastDir", buffer, sizeof buffer - 1), 0);

  // Exactly at the limit (1022 characters and the terminator) still fits.
  std::string fits(1022, 'f');
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastDir", fits.c_str()), 1);
  ASSERT_EQ(read_setting_text(SETTINGS_KEY, "LastDir", buffer, sizeof buffer - 1), 1);
  EXPECT_EQ(std::string(buffer), fits);
}

TEST_F(Settings, ValueNamesStayInsideTheKey) {
  EXPECT_EQ(write_setting_text(SETTINGS_KEY, "../escape", "x"), 0);
  EXPECT_EQ(write_setting_text(SETTINGS_KEY, "..", "x"), 0);
  EXPECT_EQ(write_setting_text(SETTINGS_KEY, "", "x"), 0);
}

TEST_F(Settings, DefaultAccountIsTheLastOneStoredOrAdmin) {
  EXPECT_EQ(default_account(), "admin");
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastAccount", "operator"), 1);
  EXPECT_EQ(default_account(), "operator");
  std::string too_long(600, 'w');  // does not fit the 511-byte limit
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastAccount", too_long.c_str()), 1);
  EXPECT_EQ(default_account(), "admin");
  // Held to the rule of a user name given on the command line: told once.
  take_setting_problems();
  for (const std::string& bad : {std::string("ops@x"), std::string("\x1b[2Jops"), std::string(40, 'u')}) {
    ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastAccount", bad.c_str()), 1);
    EXPECT_EQ(default_account(), "admin") << bad;
  }
  const std::vector<std::string> told = take_setting_problems();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], "the stored setting \"LastAccount\" cannot be used (a user name cannot hold "
                     "'@': \"ops@x\"): \"admin\" is used instead");
}

TEST_F(Settings, RolloutIsKeptInItsOwnValueAndReadsBackTheDefaultsWhenUnreadable) {
  const RolloutSetting defaults;
  EXPECT_EQ(read_rollout_setting(), defaults);  // nothing kept: not in waves
  EXPECT_FALSE(defaults.waves);

  RolloutSetting s;
  s.waves = true;
  s.first = 1000000;
  s.later = 100;
  s.later_percent = true;
  s.stop_after = 2;
  ASSERT_TRUE(write_rollout_setting(s));
  EXPECT_EQ(read_rollout_setting(), s);
  char text[64] = {};
  ASSERT_EQ(read_setting_text(SETTINGS_KEY, "Rollout", text, sizeof text - 1), 1);
  EXPECT_STREQ(text, "on 1000000 100% 2");
  EXPECT_EQ(default_account(), "admin");  // no other value written

  s.waves = false;
  s.later = 1000000;
  s.later_percent = false;
  ASSERT_TRUE(write_rollout_setting(s));
  EXPECT_EQ(read_rollout_setting(), s);

  // A schedule is kept after the four words, each part when set; the text
  // written before schedules (above) reads as none.
  s.schedule = RunSchedule{22 * 60, 23 * 60 + 59, 5 * 60};
  s.first = s.later = s.stop_after = 1000000;
  ASSERT_TRUE(write_rollout_setting(s));
  EXPECT_EQ(read_rollout_setting(), s);
  ASSERT_EQ(read_setting_text(SETTINGS_KEY, "Rollout", text, sizeof text - 1), 1);
  EXPECT_STREQ(text, "off 1000000 1000000 1000000 start=22:00 window=23:59-05:00");
  s.schedule.start_at = -1;
  ASSERT_TRUE(write_rollout_setting(s));
  EXPECT_EQ(read_rollout_setting(), s);

  // Text it never writes is not half read: the defaults, not some fields.
  for (const char* bad : {"on 0 25% 1", "on 1 101% 1", "on 1 0% 1", "on 1 25% 0", "on 1000001 25% 1",
                          "on 1 1000001 1", "yes 1 25% 1", "on 1 25% 1 1", "on  1 25% 1", "on 1 25%",
                          "on 1 25%% 1", "on -1 25% 1", "on 1 25% 1 start=24:00",
                          "on 1 25% 1 window=22:00-22:00", "on 1 25% 1 start=1:00 start=2:00",
                          "on 1 25% 1 window=22:00", "on 1 25% 1 stop=22:00", ""}) {
    ASSERT_EQ(write_setting_text(SETTINGS_KEY, "Rollout", bad), 1);
    EXPECT_EQ(read_rollout_setting(), defaults) << bad;
  }
  // Told once, naming the setting, before its default is used.
  bool rollout_told = false;
  for (const std::string& text : take_setting_problems())
    rollout_told = rollout_told || text == "the stored setting \"Rollout\" cannot be used "
                                           "(\"on 0 25% 1\" is no rollout): \"off 1 25% 1\" "
                                           "(not in waves) is used instead";
  EXPECT_TRUE(rollout_told);
  EXPECT_TRUE(take_setting_problems().empty());
}

// Transfers at once: 1 to 64 in a value of its own, 4 when none is kept or
// what is kept is no such count (told once).
TEST_F(Settings, TransfersAtOnceAreKeptFromOneTo64) {
  EXPECT_EQ(read_transfers_setting(), 4u);
  for (uint32_t n : {1u, 64u}) {
    ASSERT_TRUE(write_transfers_setting(n));
    EXPECT_EQ(read_transfers_setting(), n);
  }
  uint32_t n = 7;
  EXPECT_TRUE(read_transfers_text(" 32 ", &n));
  EXPECT_EQ(n, 32u);
  for (const char* bad : {"0", "65", "-1", "4x", "", " ", "1 2", "+4"}) {
    EXPECT_FALSE(read_transfers_text(bad, &n)) << bad;
    ASSERT_EQ(write_setting_text(SETTINGS_KEY, "TransfersAtOnce", bad), 1);
    EXPECT_EQ(read_transfers_setting(), 4u) << bad;
  }
  EXPECT_EQ(n, 32u);
  EXPECT_EQ(take_setting_problems().size(), 1u);
  EXPECT_EQ(read_rollout_setting(), RolloutSetting{});  // its own value, not the rollout's
}

// The checks' settle period (1 to 600 s, 30 by default) and the recheck
// (0, none, by default, to 1440 minutes), each in a value of its own; what
// does not read is its default, told once.
TEST_F(Settings, SettleAndRecheckAreKeptInTheirOwnValues) {
  EXPECT_EQ(read_settle_setting(), 30u);
  EXPECT_EQ(read_recheck_setting(), 0u);
  for (uint32_t n : {1u, 600u}) {
    ASSERT_TRUE(write_settle_setting(n));
    EXPECT_EQ(read_settle_setting(), n);
  }
  for (uint32_t n : {0u, 1u, 1440u}) {
    ASSERT_TRUE(write_recheck_setting(n));
    EXPECT_EQ(read_recheck_setting(), n);
  }
  uint32_t n = 7;
  EXPECT_TRUE(read_recheck_text("  ", &n));
  EXPECT_EQ(n, 0u);
  for (const char* bad : {"0", "601", "-1", "30s", "", "1 2", "+4"}) {
    EXPECT_FALSE(read_settle_text(bad, &n)) << bad;
    ASSERT_EQ(write_setting_text(SETTINGS_KEY, "SettleSeconds", bad), 1);
    EXPECT_EQ(read_settle_setting(), 30u) << bad;
  }
  for (const char* bad : {"1441", "-1", "1h", "00", "1 2"}) {
    EXPECT_FALSE(read_recheck_text(bad, &n)) << bad;
    ASSERT_EQ(write_setting_text(SETTINGS_KEY, "RecheckMinutes", bad), 1);
    EXPECT_EQ(read_recheck_setting(), 0u) << bad;
  }
  const std::vector<std::string> told = take_setting_problems();
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[0], "the stored setting \"SettleSeconds\" cannot be used (\"0\" is no count of "
                     "seconds of 1 to 600): 30 is used instead");
}

}  // namespace
