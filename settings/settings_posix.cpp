#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "settings/settings.h"
#include "platform/files.h"

// One file per value: <folder>/<key with '\' as '/'>/<name>. The file holds
// the type as four little-endian bytes, then the data as stored.
namespace {

std::mutex folder_mutex;
std::string folder_override;

std::string settings_folder() {
  std::lock_guard<std::mutex> lock(folder_mutex);
  if (!folder_override.empty()) return folder_override;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/daveridur";
}

std::string key_folder(const char* key) {
  std::string path = settings_folder();
  path += '/';
  for (const char* p = key; *p; ++p) path += (*p == '\\') ? '/' : *p;
  return path;
}

// The value name must not leave the key's folder.
bool plain_name(const char* name) {
  return *name && !std::strchr(name, '/') && std::strcmp(name, ".") && std::strcmp(name, "..");
}

int make_folders(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return 0;
    }
  }
  return 1;
}

}  // namespace

void set_settings_folder(const char* folder) {
  std::lock_guard<std::mutex> lock(folder_mutex);
  folder_override = folder ? folder : "";
}

int write_setting(const char* key, const char* name, const void* data, uint32_t size,
                  uint32_t type) {
  if (!plain_name(name)) return 0;
  std::string dir = key_folder(key);
  if (!make_folders(dir)) return 0;
  std::string path = dir + "/" + name;
  unsigned char head[4] = {static_cast<unsigned char>(type), static_cast<unsigned char>(type >> 8),
                           static_cast<unsigned char>(type >> 16),
                           static_cast<unsigned char>(type >> 24)};
  std::string bytes(reinterpret_cast<const char*>(head), 4);
  bytes.append(static_cast<const char*>(data), size);
  // Replace the old value in one step, as a registry write would.
  return write_file_whole(path, bytes, nullptr) ? 1 : 0;
}

int write_setting_text(const char* key, const char* name, const char* text) {
  return write_setting(key, name, text, static_cast<uint32_t>(std::strlen(text) + 1), SETTING_TEXT);
}

int read_setting(const char* key, const char* name, void* buffer, uint32_t size, uint32_t* type) {
  if (!plain_name(name)) return 0;
  std::string path = key_folder(key) + "/" + name;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  unsigned char head[4];
  int ok = 0;
  if (std::fread(head, 1, 4, f) == 4) {
    if (type) *type = head[0] | head[1] << 8 | head[2] << 16 | static_cast<uint32_t>(head[3]) << 24;
    // Read one byte more than allowed to tell "fits" from "too large".
    std::string data(static_cast<size_t>(size) + 1, '\0');
    size_t got = std::fread(data.data(), 1, data.size(), f);
    if (got <= size) {
      std::memcpy(buffer, data.data(), got);
      ok = 1;
    }
  }
  std::fclose(f);
  return ok;
}

int read_setting_text(const char* key, const char* name, char* buffer, uint32_t size) {
  return read_setting(key, name, buffer, size, nullptr);
}

bool write_setting_path(const char* key, const char* name, const std::string& utf8) {
  return write_setting_text(key, name, utf8.c_str()) == 1;
}

bool read_setting_path(const char* key, const char* name, std::string* utf8) {
  char buffer[1024] = {};
  if (!read_setting_text(key, name, buffer, sizeof buffer - 1)) return false;
  *utf8 = buffer;
  return true;
}

std::string reports_folder() { return settings_folder() + "/reports"; }
