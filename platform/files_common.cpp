#include "platform/files.h"

namespace {

#ifdef _WIN32
const char SEPARATOR = '\\';
#else
const char SEPARATOR = '/';
#endif

bool is_separator(char c) { return c == '/' || c == SEPARATOR; }

}  // namespace

std::string join_path(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (is_separator(folder.back())) return folder + name;
  return folder + SEPARATOR + name;
}
