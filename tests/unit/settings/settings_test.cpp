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
}

}  // namespace
