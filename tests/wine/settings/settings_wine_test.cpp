// The settings store against the real registry of a fresh Wine prefix.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/settings.h"

namespace {

void delete_key(HKEY root) { RegDeleteKeyA(root, SETTINGS_KEY); }

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    delete_key(HKEY_LOCAL_MACHINE);
    delete_key(HKEY_CURRENT_USER);
  }
  void TearDown() override { SetUp(); }
};

std::string raw_value(HKEY root, const char* name, DWORD* type, DWORD* size) {
  HKEY k;
  if (RegOpenKeyExA(root, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return "<no key>";
  char buffer[2048];
  *size = sizeof buffer;
  LONG r = RegQueryValueExA(k, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), size);
  RegCloseKey(k);
  return r == ERROR_SUCCESS ? std::string(buffer, *size) : "<no value>";
}

TEST_F(Registry, NothingExistsBeforeTheFirstWrite) {
  char buffer[512];
  EXPECT_EQ(read_setting_text(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1), 0);
  EXPECT_EQ(read_setting_text(SETTINGS_KEY, "LastDir", buffer, sizeof buffer - 1), 0);
  HKEY k;
  EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &k), ERROR_SUCCESS);
}

TEST_F(Registry, BothValuesAreStoredUnderTheMachineKeyWithTheirTerminator) {
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastAccount", "operator"), 1);
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastDir", "C:\\images"), 1);

  DWORD type = 0, size = 0;
  EXPECT_EQ(raw_value(HKEY_LOCAL_MACHINE, "LastAccount", &type, &size), std::string("operator\0", 9));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 9u);

  char buffer[1024];
  ASSERT_EQ(read_setting_text(SETTINGS_KEY, "LastDir", buffer, sizeof buffer - 1), 1);
  EXPECT_STREQ(buffer, "C:\\images");
  uint32_t read_type = 0;
  ASSERT_EQ(read_setting(SETTINGS_KEY, "LastAccount", buffer, 511, &read_type), 1);
  EXPECT_STREQ(buffer, "operator");
  EXPECT_EQ(read_type, static_cast<uint32_t>(REG_SZ));
}

TEST_F(Registry, AValueOverTheLimitIsAFailedRead) {
  std::string dir(1100, 'd');
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastDir", dir.c_str()), 1);
  char buffer[1024];
  EXPECT_EQ(read_setting_text(SETTINGS_KEY, "LastDir", buffer, sizeof buffer - 1), 0);
}

TEST_F(Registry, ReadsFallBackToTheUserKey) {
  // What a standard user's write leaves behind when the machine key refused it.
  HKEY k;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &k, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(k, "LastAccount", 0, REG_SZ, reinterpret_cast<const BYTE*>("user1"), 6);
  RegCloseKey(k);
  char buffer[512];
  ASSERT_EQ(read_setting_text(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1), 1);
  EXPECT_STREQ(buffer, "user1");

  // The machine key, once it holds the value, is read first.
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastAccount", "machine"), 1);
  ASSERT_EQ(read_setting_text(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1), 1);
  EXPECT_STREQ(buffer, "machine");
}

}  // namespace
