#include <windows.h>

#include <cwchar>

#include "platform/file_names.h"
#include "platform/files.h"

namespace {

// The system's own words for the last error, without the line break.
bool fail(std::string* reason, const std::string& what) {
  DWORD code = GetLastError();
  if (!reason) return false;
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = 0;
  *reason = what + (n ? std::string(": ") + text : ": error " + std::to_string(code));
  return false;
}

struct Handle {
  HANDLE h;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

}  // namespace

namespace {

// A file beside the target, of a name of its own, created only where
// nothing is (CREATE_NEW): a link or another run's file under any name is
// never opened. The temporary's name, or empty.
FileStamp stamp_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
          (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
}

// The file keeps its numbers when it is moved to the name (one folder, one volume).
bool stamp_temporary(HANDLE h, FileStamp* stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!stamp) return true;
  if (!GetFileInformationByHandle(h, &info)) return false;
  *stamp = stamp_of(info);
  return true;
}

std::wstring write_temporary(const std::string& path, const std::wstring& target,
                             const std::string& bytes, std::string* reason, FileStamp* stamp) {
  static LONG counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t tail[64];
    swprintf(tail, 64, L".%lu.%lu.%ld.tmp", GetCurrentProcessId(),
             static_cast<unsigned long>(GetTickCount()), InterlockedIncrement(&counter));
    const std::wstring temporary = target + tail;
    Handle f{CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (f.h == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      fail(reason, "cannot create a temporary file beside " + path);
      return L"";
    }
    DWORD written = 0;
    if (!WriteFile(f.h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(f.h) || !stamp_temporary(f.h, stamp)) {
      fail(reason, "cannot write " + path);
      CloseHandle(f.h);
      f.h = INVALID_HANDLE_VALUE;
      DeleteFileW(temporary.c_str());
      return L"";
    }
    return temporary;
  }
  SetLastError(ERROR_FILE_EXISTS);
  fail(reason, "cannot create a temporary file beside " + path);
  return L"";
}

}  // namespace

bool write_file_whole(const std::string& path, const std::string& bytes, std::string* reason,
                      FileStamp* stamp) {
  const std::wstring target = wide_text(path);
  const std::wstring temporary = write_temporary(path, target, bytes, reason, stamp);
  if (temporary.empty()) return false;
  // A target held open without delete sharing (a spreadsheet) refuses this.
  if (!MoveFileExW(temporary.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    fail(reason, "cannot replace " + path);
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

bool write_file_new(const std::string& path, const std::string& bytes, std::string* reason,
                    bool* taken, FileStamp* stamp) {
  *taken = false;
  const std::wstring target = wide_text(path);
  const std::wstring temporary = write_temporary(path, target, bytes, reason, stamp);
  if (temporary.empty()) return false;
  // Without MOVEFILE_REPLACE_EXISTING the move fails where a file is.
  if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
    DWORD code = GetLastError();
    *taken = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
    fail(reason, "cannot create " + path);
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

namespace {

// A folder, a device or a pipe is no file to read or replace.
std::string not_regular_reason(DWORD type, bool folder) {
  return std::string("not a regular file (") +
         (folder                       ? "a folder"
          : type == FILE_TYPE_PIPE     ? "a FIFO"
          : type == FILE_TYPE_CHAR     ? "a device"
                                       : "not a file") +
         ")";
}

}  // namespace

bool regular_file_check(const std::string& path, bool* exists, std::string* reason) {
  const std::wstring w = wide_text(path);
  const DWORD attributes = GetFileAttributesW(w.c_str());
  *exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!*exists) return true;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (reason) *reason = not_regular_reason(0, true);
    return false;
  }
  Handle f{CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                       FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr)};
  if (f.h == INVALID_HANDLE_VALUE) return true;  // the write says why
  const DWORD type = GetFileType(f.h);
  if (type == FILE_TYPE_DISK) return true;
  if (reason) *reason = not_regular_reason(type, false);
  return false;
}

bool read_file_text(const std::string& path, size_t limit, std::string* bytes,
                    std::string* reason) {
  const std::wstring w = wide_text(path);
  const DWORD attributes = GetFileAttributesW(w.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (reason) *reason = not_regular_reason(0, true);
    return false;
  }
  Handle f{CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (f.h == INVALID_HANDLE_VALUE) return fail(reason, "cannot open " + path);
  const DWORD type = GetFileType(f.h);
  if (type != FILE_TYPE_DISK) {
    if (reason) *reason = not_regular_reason(type, false);
    return false;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(f.h, &size)) return fail(reason, "cannot read " + path);
  if (static_cast<unsigned long long>(size.QuadPart) > limit) {
    if (reason) *reason = "file too large";
    return false;
  }
  bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!bytes->empty() &&
      (!ReadFile(f.h, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) ||
       got != bytes->size()))
    return fail(reason, "cannot read " + path);
  return true;
}

bool make_folder_path(const std::string& path, std::string* reason) {
  const std::wstring w = wide_text(path);
  // Parts that cannot be made (a drive, a share's server) may still be
  // there: only the folder itself decides.
  for (size_t i = 1; i <= w.size(); ++i) {
    if (i != w.size() && w[i] != L'\\' && w[i] != L'/') continue;
    std::wstring part = w.substr(0, i);
    DWORD existing = GetFileAttributesW(part.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY)) continue;
    CreateDirectoryW(part.c_str(), nullptr);
  }
  DWORD attributes = GetFileAttributesW(w.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return fail(reason, "cannot create " + path);
  return true;
}

// ---- Held files

namespace {

// The byte locked: far past any report, so that readers of the content are
// never kept out by the lock.
const DWORD LOCK_OFFSET_HIGH = 0x40000000;

bool lock_handle(HANDLE h) {
  OVERLAPPED at{};
  at.OffsetHigh = LOCK_OFFSET_HIGH;
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

bool same_file(HANDLE h, const std::wstring& path) {
  Handle named{CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr)};
  BY_HANDLE_FILE_INFORMATION a, b;
  return named.h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &a) &&
         GetFileInformationByHandle(named.h, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

struct HeldFile {
  std::string path;
  HANDLE h = INVALID_HANDLE_VALUE;
};

void HeldFileRelease::operator()(HeldFile* file) const {
  if (file && file->h != INVALID_HANDLE_VALUE) CloseHandle(file->h);
  delete file;
}

HoldStatus hold_file(const std::string& path, HeldFilePtr* held, std::string* reason,
                     const std::string& initial) {
  const std::wstring w = wide_text(path);
  for (int attempt = 0; attempt < 20; ++attempt) {
    bool exists = false;
    if (!regular_file_check(path, &exists, reason)) return HoldStatus::failed;
    // A new file takes the name whole (the move fails where one is).
    if (!exists) {
      bool taken = false;
      if (!write_file_new(path, initial, reason, &taken) && !taken) return HoldStatus::failed;
    }
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      fail(reason, "cannot open " + path);
      return HoldStatus::failed;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
      CloseHandle(h);
      if (reason) *reason = "not a regular file (a device)";
      return HoldStatus::failed;
    }
    if (!lock_handle(h)) {
      const DWORD code = GetLastError();
      CloseHandle(h);
      if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return HoldStatus::busy;
      SetLastError(code);
      fail(reason, "cannot lock " + path);
      return HoldStatus::failed;
    }
    if (same_file(h, w)) {
      held->reset(new HeldFile{path, h});
      return HoldStatus::held;
    }
    CloseHandle(h);
  }
  if (reason) *reason = "cannot lock " + path + ": it keeps changing";
  return HoldStatus::failed;
}

// Here the held file cannot be replaced by another while it is open (the
// system refuses to rename over it): it is written over in place, in one
// write, and cut to its new length.
bool write_held_whole(HeldFile* held, const std::string& bytes, std::string* reason) {
  OVERLAPPED at{};
  DWORD written = 0;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(bytes.size());
  if (!WriteFile(held->h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &at) ||
      written != bytes.size() || !SetFilePointerEx(held->h, end, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(held->h) || !FlushFileBuffers(held->h))
    return fail(reason, "cannot write " + held->path);
  return true;
}

bool write_held_at(HeldFile* held, uint64_t offset, const std::string& bytes, std::string* reason) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  if (!WriteFile(held->h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &at) ||
      written != bytes.size())
    return fail(reason, "cannot write " + held->path);
  return true;
}

bool sync_held(HeldFile* held) { return FlushFileBuffers(held->h) != 0; }

// ---- Files written in place, unheld

namespace {

// The stamped file, opened with every sharing so that a reader that lets
// writers in is not disturbed, and a link at the name is opened as itself
// (never followed): INVALID_HANDLE_VALUE with *changed set when the name
// has another file (or none, or it changed size). A program holding the
// file without sharing writes refuses the open: the reason says so.
HANDLE open_stamped(const std::string& path, const FileStamp& stamp, bool* changed,
                    std::string* reason) {
  *changed = false;
  HANDLE h = CreateFileW(wide_text(path).c_str(), GENERIC_WRITE, SHARE_ALL, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *changed = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    fail(reason, "cannot open " + path);
    return INVALID_HANDLE_VALUE;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    *changed = true;
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  const FileStamp now = stamp_of(info);
  if (now.volume != stamp.volume || now.index != stamp.index || now.size != stamp.size) {
    *changed = true;
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

}  // namespace

InPlace write_file_at(const std::string& path, const FileStamp& stamp, uint64_t offset,
                      const std::string& bytes, std::string* reason) {
  bool changed = false;
  Handle f{open_stamped(path, stamp, &changed, reason)};
  if (f.h == INVALID_HANDLE_VALUE) return changed ? InPlace::changed : InPlace::failed;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  if (!WriteFile(f.h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &at) ||
      written != bytes.size()) {
    fail(reason, "cannot write " + path);
    return InPlace::failed;
  }
  return InPlace::written;
}

bool sync_file(const std::string& path, const FileStamp& stamp) {
  bool changed = false;
  Handle f{open_stamped(path, stamp, &changed, nullptr)};
  if (f.h == INVALID_HANDLE_VALUE) return changed;
  // The file's cached data, whichever handle wrote it.
  return FlushFileBuffers(f.h) != 0;
}
