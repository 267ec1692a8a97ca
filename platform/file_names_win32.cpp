#include <windows.h>
#include <sys/stat.h>

#include "platform/file_names.h"

std::wstring wide_text(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                              static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      out.data(), n);
  return out;
}

std::string utf8_text(const wchar_t* wide) {
  if (wide == nullptr || !wide[0]) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

namespace {

// Through UTF-16.
std::string recode(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  int n = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return text;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  int m = WideCharToMultiByte(to, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return text;
  std::string out(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(to, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

}  // namespace

std::string utf8_to_ansi(const std::string& utf8) { return recode(utf8, CP_UTF8, CP_ACP); }
std::string ansi_to_utf8(const std::string& ansi) { return recode(ansi, CP_ACP, CP_UTF8); }

std::FILE* open_file(const std::string& path, const char* mode) {
  std::wstring name = wide_text(path);
  std::wstring wide_mode = wide_text(mode);
  if (name.empty() || wide_mode.empty()) return nullptr;
  return _wfopen(name.c_str(), wide_mode.c_str());
}

bool regular_file_size(const std::string& path, uint64_t* size) {
  std::wstring name = wide_text(path);
  struct _stat64 entry;
  if (name.empty() || _wstat64(name.c_str(), &entry) != 0 || !(entry.st_mode & _S_IFREG))
    return false;
  *size = static_cast<uint64_t>(entry.st_size);
  return true;
}
