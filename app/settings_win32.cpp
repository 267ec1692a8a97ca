#include <windows.h>
#include <shlobj.h>

#include <cstring>

#include "app/settings.h"

// Standard users cannot write below HKEY_LOCAL_MACHINE, so a write that HKLM
// refuses goes to the same key below HKEY_CURRENT_USER, and reads look there
// after HKLM.
namespace {

int write_in(HKEY root, const char* key, const char* name, const void* data, uint32_t size,
             uint32_t type) {
  HKEY k;
  if (RegCreateKeyExA(root, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &k,
                      nullptr) != ERROR_SUCCESS)
    return 0;
  LONG set = RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), size);
  LONG closed = RegCloseKey(k);
  return set == ERROR_SUCCESS && closed == ERROR_SUCCESS;
}

int read_in(HKEY root, const char* key, const char* name, void* buffer, uint32_t size,
            uint32_t* type) {
  HKEY k;
  if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return 0;
  DWORD stored_type = type ? *type : REG_SZ;
  DWORD got = size;
  LONG queried = RegQueryValueExA(k, name, nullptr, &stored_type, static_cast<BYTE*>(buffer), &got);
  LONG closed = RegCloseKey(k);
  if (type) *type = stored_type;
  return queried == ERROR_SUCCESS && closed == ERROR_SUCCESS;
}

}  // namespace

int write_setting(const char* key, const char* name, const void* data, uint32_t size,
                  uint32_t type) {
  return write_in(HKEY_LOCAL_MACHINE, key, name, data, size, type) ||
         write_in(HKEY_CURRENT_USER, key, name, data, size, type);
}

int write_setting_text(const char* key, const char* name, const char* text) {
  return write_setting(key, name, text, static_cast<uint32_t>(std::strlen(text) + 1), REG_SZ);
}

int read_setting(const char* key, const char* name, void* buffer, uint32_t size, uint32_t* type) {
  return read_in(HKEY_LOCAL_MACHINE, key, name, buffer, size, type) ||
         read_in(HKEY_CURRENT_USER, key, name, buffer, size, type);
}

int read_setting_text(const char* key, const char* name, char* buffer, uint32_t size) {
  return read_setting(key, name, buffer, size, nullptr);
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
  int n = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, out.data(), n, nullptr, nullptr);
  out.resize(std::strlen(out.c_str()));
  return out;
}
