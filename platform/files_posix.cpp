#include <fcntl.h>
#include <sys/file.h>
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

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

FileStamp stamp_of(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
          static_cast<uint64_t>(st.st_size)};
}

// The folder's entry for the new name reaches the disk too: a power cut
// after the rename must not bring back the old file, or none.
void sync_folder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// A hidden file beside the target, of a name mkostemps makes up and creates
// exclusively, mode 0600: a link or a file planted under any name is never
// opened. The temporary's path, or empty with errno set.
std::string write_temporary(const std::string& path, const std::string& bytes,
                            std::string* reason, FileStamp* stamp) {
  std::string name = folder_of(path) + "/." + name_of(path) + ".XXXXXX.tmp";
  int fd = ::mkostemps(name.data(), 4, O_CLOEXEC);
  if (fd < 0) {
    fail(reason, "cannot create a temporary file beside " + path);
    return "";
  }
  bool written = write_all(fd, bytes);
  written = written && ::fsync(fd) == 0;
  struct stat st;
  if (written && stamp) {
    // The file keeps its numbers when it takes the name.
    written = ::fstat(fd, &st) == 0;
    if (written) *stamp = stamp_of(st);
  }
  if (::close(fd) != 0) written = false;
  if (!written) {
    fail(reason, "cannot write " + path);
    int saved = errno;
    ::unlink(name.c_str());
    errno = saved;
    return "";
  }
  return name;
}

}  // namespace

bool write_file_whole(const std::string& path, const std::string& bytes, std::string* reason,
                      FileStamp* stamp) {
  const std::string temporary = write_temporary(path, bytes, reason, stamp);
  if (temporary.empty()) return false;
  // rename replaces whatever is at path, a link included, and never follows it.
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    fail(reason, "cannot replace " + path);
    int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  sync_folder(folder_of(path));
  return true;
}

bool write_file_new(const std::string& path, const std::string& bytes, std::string* reason,
                    bool* taken, FileStamp* stamp) {
  *taken = false;
  const std::string temporary = write_temporary(path, bytes, reason, stamp);
  if (temporary.empty()) return false;
  // A hard link appears only where nothing is, and appears whole.
  int linked = ::link(temporary.c_str(), path.c_str());
  int saved = errno;
  ::unlink(temporary.c_str());
  if (linked != 0) {
    errno = saved;
    *taken = saved == EEXIST;
    return fail(reason, "cannot create " + path);
  }
  sync_folder(folder_of(path));
  return true;
}

namespace {

std::string not_regular_reason(mode_t mode) {
  const char* kind = S_ISFIFO(mode)                      ? "a FIFO"
                     : S_ISDIR(mode)                     ? "a folder"
                     : S_ISCHR(mode) || S_ISBLK(mode)    ? "a device"
                     : S_ISSOCK(mode)                    ? "a socket"
                                                         : "not a file";
  return std::string("not a regular file (") + kind + ")";
}

int open_regular(const std::string& path, int flags, std::string* reason) {
  // Without blocking: opening a FIFO that no one writes would wait forever.
  int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    fail(reason, "cannot open " + path);
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    fail(reason, "cannot open " + path);
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    if (reason) *reason = not_regular_reason(st.st_mode);
    ::close(fd);
    return -1;
  }
  // Reads and writes of a regular file wait as they always do.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

bool read_file_text(const std::string& path, size_t limit, std::string* bytes,
                    std::string* reason) {
  const int fd = open_regular(path, O_RDONLY, reason);
  if (fd < 0) return false;
  bytes->clear();
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fail(reason, "cannot read " + path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (bytes->size() + static_cast<size_t>(n) > limit) {
      ::close(fd);
      if (reason) *reason = "file too large";
      return false;
    }
    bytes->append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool regular_file_check(const std::string& path, bool* exists, std::string* reason) {
  struct stat st;
  *exists = ::lstat(path.c_str(), &st) == 0;
  if (!*exists) return true;
  // A link is replaced by the rename, never written through.
  if (S_ISLNK(st.st_mode) || S_ISREG(st.st_mode)) return true;
  if (reason) *reason = not_regular_reason(st.st_mode);
  return false;
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

// ---- Files written in place, unheld

namespace {

// The stamped file, opened without following a link: -1 with *changed set
// when the name has another file (or none, or it changed size).
int open_stamped(const std::string& path, const FileStamp& stamp, int flags, bool* changed,
                 std::string* reason) {
  *changed = false;
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    *changed = errno == ENOENT || errno == ELOOP;
    fail(reason, "cannot open " + path);
    return -1;
  }
  if (::fstat(fd, &st) != 0) {
    fail(reason, "cannot open " + path);
    ::close(fd);
    return -1;
  }
  const FileStamp now = stamp_of(st);
  if (!S_ISREG(st.st_mode) || now.volume != stamp.volume || now.index != stamp.index ||
      now.size != stamp.size) {
    *changed = true;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

InPlace write_file_at(const std::string& path, const FileStamp& stamp, uint64_t offset,
                      const std::string& bytes, std::string* reason) {
  bool changed = false;
  const int fd = open_stamped(path, stamp, O_WRONLY, &changed, reason);
  if (fd < 0) return changed ? InPlace::changed : InPlace::failed;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fail(reason, "cannot write " + path);
      ::close(fd);
      return InPlace::failed;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) == 0) return InPlace::written;
  fail(reason, "cannot write " + path);
  return InPlace::failed;
}

bool sync_file(const std::string& path, const FileStamp& stamp) {
  bool changed = false;
  const int fd = open_stamped(path, stamp, O_RDONLY, &changed, nullptr);
  if (fd < 0) return changed;
  // The file's data, whichever descriptor wrote it.
  const bool synced = ::fdatasync(fd) == 0;
  ::close(fd);
  return synced;
}

// ---- Held files

struct HeldFile {
  std::string path;
  int fd = -1;
};

void HeldFileRelease::operator()(HeldFile* file) const {
  if (file && file->fd >= 0) ::close(file->fd);  // the lock goes with the descriptor
  delete file;
}

namespace {

bool same_file(int fd, const std::string& path) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// A new file at path, whole with bytes and locked before it takes the
// name; -1 when something is there already (*taken) or it cannot be made.
int make_held(const std::string& path, const std::string& bytes, bool* taken, std::string* reason) {
  *taken = false;
  std::string name = folder_of(path) + "/." + name_of(path) + ".XXXXXX.tmp";
  const int fd = ::mkostemps(name.data(), 4, O_CLOEXEC);
  if (fd < 0) {
    fail(reason, "cannot create a temporary file beside " + path);
    return -1;
  }
  const bool written = write_all(fd, bytes) && ::fsync(fd) == 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  const int linked = written ? ::link(name.c_str(), path.c_str()) : -1;
  const int saved = errno;
  ::unlink(name.c_str());
  if (linked == 0) {
    sync_folder(folder_of(path));
    return fd;
  }
  ::close(fd);
  errno = saved;
  *taken = written && saved == EEXIST;
  fail(reason, "cannot create " + path);
  return -1;
}

}  // namespace

HoldStatus hold_file(const std::string& path, HeldFilePtr* held, std::string* reason,
                     const std::string& initial) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    struct stat named;
    // A link at the name is replaced by the first write, never followed:
    // a file of the program's own takes its place first.
    if (::lstat(path.c_str(), &named) == 0 && S_ISLNK(named.st_mode) &&
        !write_file_whole(path, initial, reason))
      return HoldStatus::failed;
    if (::lstat(path.c_str(), &named) != 0 && errno == ENOENT) {
      bool taken = false;
      const int made = make_held(path, initial, &taken, reason);
      if (made >= 0) {
        held->reset(new HeldFile{path, made});
        return HoldStatus::held;
      }
      if (!taken) return HoldStatus::failed;
    }
    const int fd = open_regular(path, O_RDWR | O_NOFOLLOW, reason);
    if (fd < 0) return HoldStatus::failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) return HoldStatus::busy;
      errno = error;
      fail(reason, "cannot lock " + path);
      return HoldStatus::failed;
    }
    // Locked what the name held when it was opened: the name may have
    // moved on to a newer file since (the holder's write): then again.
    if (same_file(fd, path)) {
      held->reset(new HeldFile{path, fd});
      return HoldStatus::held;
    }
    ::close(fd);
  }
  if (reason) *reason = "cannot lock " + path + ": it keeps changing";
  return HoldStatus::failed;
}

bool write_held_whole(HeldFile* held, const std::string& bytes, std::string* reason) {
  const std::string& path = held->path;
  std::string name = folder_of(path) + "/." + name_of(path) + ".XXXXXX.tmp";
  int fd = ::mkostemps(name.data(), 4, O_CLOEXEC);
  if (fd < 0) return fail(reason, "cannot create a temporary file beside " + path);
  // The file it replaces keeps its mode and group (a new one is 0600).
  struct stat was;
  if (::fstat(held->fd, &was) == 0) {
    if (::fchown(fd, static_cast<uid_t>(-1), was.st_gid) != 0) {
      // Another group than one of the user's own cannot be given: kept 0600.
    } else {
      ::fchmod(fd, was.st_mode & 07777);
    }
  }
  bool written = write_all(fd, bytes) && ::fsync(fd) == 0;
  // Locked before it takes the name: no moment where the name is free.
  written = written && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (!written || ::rename(name.c_str(), path.c_str()) != 0) {
    fail(reason, written ? "cannot replace " + path : "cannot write " + path);
    const int saved = errno;
    ::close(fd);
    ::unlink(name.c_str());
    errno = saved;
    return false;
  }
  sync_folder(folder_of(path));
  ::close(held->fd);
  held->fd = fd;
  return true;
}

bool write_held_at(HeldFile* held, uint64_t offset, const std::string& bytes, std::string* reason) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(held->fd, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(reason, "cannot write " + held->path);
    done += static_cast<size_t>(n);
  }
  return true;
}

bool sync_held(HeldFile* held) { return ::fdatasync(held->fd) == 0; }
