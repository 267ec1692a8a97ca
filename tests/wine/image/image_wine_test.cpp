// Image files and the remembered folder by names outside the ANSI code page,
// against the file system and registry of a fresh Wine prefix.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "image/image.h"
#include "platform/file_names.h"

namespace {

// "прошивка" and "固件".
const char* const FOLDERS[] = {"\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0",
                               "\xE5\x9B\xBA\xE4\xBB\xB6"};

std::string temp_folder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return utf8_text(temp);
}

DWORD stored_type(const char* name) {
  HKEY k;
  DWORD type = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return 0;
  RegQueryValueExA(k, name, nullptr, &type, nullptr, nullptr);
  RegCloseKey(k);
  return type;
}

TEST(UnicodeNames, ImageReadAndItsFolderRemembered) {
  const std::vector<uint8_t> bytes = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
  for (const char* name : FOLDERS) {
    std::string folder = temp_folder() + name;
    CreateDirectoryW(wide_text(folder).c_str(), nullptr);
    std::string path = folder + "\\fw.bin";
    std::FILE* f = open_file(path, "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);

    std::vector<uint8_t> read;
    ASSERT_EQ(read_image_file(path, &read), 1) << path;
    EXPECT_EQ(read, bytes);
    // Read, then refused by the checks: not a read error.
    EXPECT_STREQ(load_image(path).message, MSG_ILLEGAL_FORMAT);
    std::string remembered;
    ASSERT_TRUE(read_setting_path(SETTINGS_KEY, "LastDir", &remembered));
    EXPECT_EQ(remembered, folder);
    EXPECT_EQ(stored_type("LastDir"), static_cast<DWORD>(REG_SZ));
    DeleteFileW(wide_text(path).c_str());
  }
}

TEST(UnicodeNames, AFolderStoredByTheNarrowCallsStillReads) {
  // An earlier version wrote the folder in the ANSI code page.
  const char narrow[] = "C:\\images\\caf\xE9";
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastDir", narrow), 1);
  wchar_t expected[32];
  MultiByteToWideChar(CP_ACP, 0, narrow, -1, expected, 32);
  std::string read;
  ASSERT_TRUE(read_setting_path(SETTINGS_KEY, "LastDir", &read));
  EXPECT_EQ(read, utf8_text(expected));

  std::string too_long(1100, 'd');
  ASSERT_EQ(write_setting_text(SETTINGS_KEY, "LastDir", too_long.c_str()), 1);
  EXPECT_FALSE(read_setting_path(SETTINGS_KEY, "LastDir", &read));
}

}  // namespace
