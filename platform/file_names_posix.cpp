#include <sys/stat.h>

#include "platform/file_names.h"

std::FILE* open_file(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

bool regular_file_size(const std::string& path, uint64_t* size) {
  struct stat entry;
  if (stat(path.c_str(), &entry) != 0 || !S_ISREG(entry.st_mode)) return false;
  *size = static_cast<uint64_t>(entry.st_size);
  return true;
}
