#include <windows.h>
#include <shlobj.h>

#include <cstring>

#include "settings/settings.h"
#include "platform/file_names.h"

// Standard users cannot write below HKEY_LOCAL_MACHINE, so a write that HKLM
// refuses goes to the same key below HKEY_CURRENT_USER, and reads look there
// after HKLM.
namespace {

// Runs set on the key, created if need be.
template <typename Set>
int write_in(HKEY root, const char* key, Set set) {
  HKEY k;
  if (RegCreateKeyExA(root, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &k,
                      nullptr) != ERROR_SUCCESS)
    return 0;
  LONG done = set(k);
  LONG closed = RegCloseKey(k);
  return done == ERROR_SUCCESS && closed == ERROR_SUCCESS;
}

template <typename Query>
int read_in(HKEY root, const char* key, Query query) {
  HKEY k;
  if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return 0;
  LONG done = query(k);
  LONG closed = RegCloseKey(k);
  return done == ERROR_SUCCESS && closed == ERROR_SUCCESS;
}

template <typename Set>
int write_machine_or_user(const char* key, Set set) {
  return write_in(HKEY_LOCAL_MACHINE, key, set) || write_in(HKEY_CURRENT_USER, key, set);
}

template <typename Query>
int read_machine_or_user(const char* key, Query query) {
  return read_in(HKEY_LOCAL_MACHINE, key, query) || read_in(HKEY_CURRENT_USER, key, query);
}

// Paths read back in UTF-16 units, terminator included; a longer value is a
// failed read.
const DWORD PATH_LIMIT = 1024;

}  // namespace

int write_setting(const char* key, const char* name, const void* data, uint32_t size,
                  uint32_t type) {
  return write_machine_or_user(key, [&](HKEY k) {
    return RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), size);
  });
}

int write_setting_text(const char* key, const char* name, const char* text) {
  return write_setting(key, name, text, static_cast<uint32_t>(std::strlen(text) + 1), REG_SZ);
}

int read_setting(const char* key, const char* name, void* buffer, uint32_t size, uint32_t* type) {
  return read_machine_or_user(key, [&](HKEY k) {
    DWORD stored_type = type ? *type : REG_SZ;
    DWORD got = size;
    LONG queried = RegQueryValueExA(k, name, nullptr, &stored_type, static_cast<BYTE*>(buffer), &got);
    if (type) *type = stored_type;
    return queried;
  });
}

int read_setting_text(const char* key, const char* name, char* buffer, uint32_t size) {
  return read_setting(key, name, buffer, size, nullptr);
}

// The registry keeps REG_SZ in UTF-16 whichever call wrote it, so the wide
// calls read values the narrow ones wrote before, and keep any folder name.
bool write_setting_path(const char* key, const char* name, const std::string& utf8) {
  std::wstring value_name = wide_text(name);
  std::wstring text = wide_text(utf8);
  if (text.empty() && !utf8.empty()) return false;
  return write_machine_or_user(key, [&](HKEY k) {
    return RegSetValueExW(k, value_name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  });
}

bool read_setting_path(const char* key, const char* name, std::string* utf8) {
  std::wstring value_name = wide_text(name);
  wchar_t buffer[PATH_LIMIT + 1];
  bool found = read_machine_or_user(key, [&](HKEY k) {
    DWORD got = PATH_LIMIT * sizeof(wchar_t);
    LONG queried = RegQueryValueExW(k, value_name.c_str(), nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(buffer), &got);
    // A value stored without its terminator still ends here.
    buffer[queried == ERROR_SUCCESS ? got / sizeof(wchar_t) : 0] = L'\0';
    return queried;
  });
  if (found) *utf8 = utf8_text(buffer);
  return found;
}

void set_settings_folder(const char*) {}

std::string reports_folder() {
  wchar_t folder[MAX_PATH] = L"";
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder)) ||
      !folder[0]) {
    // Without the shell's answer, the environment's.
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "";
  }
  std::wstring path = std::wstring(folder) + L"\\Daveridur\\Reports";
  return utf8_text(path.c_str());
}
