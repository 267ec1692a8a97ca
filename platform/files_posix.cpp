#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"

namespace {

bool fail(std::string* reason, const std::string& what) {
  if (reason) *reason = what + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool write_file_whole(const std::string& path, const std::string& bytes, std::string* reason) {
  const std::string temporary = path + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "wb");
  if (!f) return fail(reason, "cannot create " + temporary);
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  written = std::fflush(f) == 0 && written;
  written = ::fsync(fileno(f)) == 0 && written;
  if (std::fclose(f) != 0) written = false;
  if (!written) {
    int saved = errno;
    std::remove(temporary.c_str());
    errno = saved;
    return fail(reason, "cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    int saved = errno;
    std::remove(temporary.c_str());
    errno = saved;
    return fail(reason, "cannot replace " + path);
  }
  return true;
}

bool read_file_text(const std::string& path, size_t limit, std::string* bytes,
                    std::string* reason) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return fail(reason, "cannot open " + path);
  bytes->clear();
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (bytes->size() + n > limit) {
      std::fclose(f);
      if (reason) *reason = "file too large";
      return false;
    }
    bytes->append(chunk, n);
  }
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok || fail(reason, "cannot read " + path);
}

bool make_folder_path(const std::string& path, std::string* reason) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0700) == 0 || errno == EEXIST) continue;
    return fail(reason, "cannot create " + part);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return fail(reason, "cannot create " + path);
  }
  return true;
}
