#include <windows.h>

#include "cli/host.h"

namespace {

std::string utf8_of(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.pop_back();  // its NUL
  return out;
}

}  // namespace

std::string operator_account() {
  wchar_t name[257] = {};
  DWORD size = 257;
  return GetUserNameW(name, &size) ? utf8_of(name) : "";
}

std::string computer_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? utf8_of(name) : "";
}
