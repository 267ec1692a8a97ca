#pragma once
// Files the program keeps (reports, card lists, settings): written whole, to
// a temporary file of a name of its own, created exclusively beside the
// target, flushed, then renamed over it, so a reader never sees half a file
// and a name planted in a shared folder (a link, another run's file) is
// never written through. Paths are UTF-8; the Windows adapter uses the wide
// calls so that a folder outside the ANSI code page works.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// What tells the file a write made from any other that takes its name later
// (a spreadsheet's save, a planted link), and its size then.
struct FileStamp {
  uint64_t volume = 0;
  uint64_t index = 0;
  uint64_t size = 0;
};

// Each false result leaves a short reason for the operator in *reason.
// stamp, when given: the new file's, as it took the name.
bool write_file_whole(const std::string& path, const std::string& bytes, std::string* reason,
                      FileStamp* stamp = nullptr);
// The same for a file that must not replace another: false, with *taken set,
// when something is at path already (left as it was).
bool write_file_new(const std::string& path, const std::string& bytes, std::string* reason,
                    bool* taken, FileStamp* stamp = nullptr);
// bytes written over the stamped file at offset, in one call, not synced,
// without holding it: opened for this write alone, letting others read,
// write and delete it meanwhile (in the product FILE_SHARE_READ |
// FILE_SHARE_WRITE | FILE_SHARE_DELETE), and closed. A write inside one
// 4096-byte page is whole or not there when the process is killed.
// changed: the name no longer has that file at that size; nothing was
// written. failed: the reason (held by another program that shares no
// writing, cannot be written).
enum class InPlace { written, changed, failed };
InPlace write_file_at(const std::string& path, const FileStamp& stamp, uint64_t offset,
                      const std::string& bytes, std::string* reason);
// Flushes what was written in place to the stamped file to the disk; true
// too when the name no longer has it (there is nothing of ours to flush).
bool sync_file(const std::string& path, const FileStamp& stamp);
// Fails for a file larger than limit bytes, and for anything that is not a
// regular file (a FIFO, a device, a folder: "not a regular file (a FIFO)"),
// which is never waited on.
bool read_file_text(const std::string& path, size_t limit, std::string* bytes,
                    std::string* reason);
// Whether something at path may be replaced by a file the program writes:
// nothing there (*exists false), a regular file or a link (which the
// write replaces, never follows). False with the reason for a FIFO, a
// device, a folder.
bool regular_file_check(const std::string& path, bool* exists, std::string* reason);
// Creates the folder and every missing parent.
bool make_folder_path(const std::string& path, std::string* reason);

// The platform's separator: '\' in the product, '/' natively.
std::string join_path(const std::string& folder, const std::string& name);

// ---- A file held by one run alone

// An exclusive lock on the file at a path, taken without waiting, held
// until released; it stays with the name through write_held_whole, whose
// new file is locked before it takes the name, so a second run never finds
// the name unlocked while the first holds it. Writes in place go through
// the held file. Natively flock, in the product LockFileEx on a byte past
// any content (readers are not kept out).
struct HeldFile;
struct HeldFileRelease {
  void operator()(HeldFile* file) const;
};
using HeldFilePtr = std::unique_ptr<HeldFile, HeldFileRelease>;
enum class HoldStatus { held, busy, failed };
// Holds the file at path; when nothing is there, it is made whole with
// initial (mode 0600) as write_file_new makes it. busy: another holds it;
// failed: the reason (not a regular file, cannot be opened).
HoldStatus hold_file(const std::string& path, HeldFilePtr* held, std::string* reason,
                     const std::string& initial = std::string());
// The whole content replaced: natively as write_file_whole does, the new
// file keeping the mode and group of the one it replaces, the hold moving
// to it; in the product, where no file may be renamed over one held open,
// written over in place in one write and cut to its length.
bool write_held_whole(HeldFile* held, const std::string& bytes, std::string* reason);
// bytes written over the content at offset, in one call, not synced: a
// write inside one 4096-byte page is whole or not there when the process
// is killed.
bool write_held_at(HeldFile* held, uint64_t offset, const std::string& bytes, std::string* reason);
// Flushes what was written in place to the disk.
bool sync_held(HeldFile* held);
