#pragma once
// Files the program keeps (reports, card lists, settings): written whole, to
// a temporary file of a name of its own, created exclusively beside the
// target, flushed, then renamed over it, so a reader never sees half a file
// and a name planted in a shared folder (a link, another run's file) is
// never written through. Paths are UTF-8; the Windows adapter uses the wide
// calls so that a folder outside the ANSI code page works.
#include <cstddef>
#include <string>

// Each false result leaves a short reason for the operator in *reason.
bool write_file_whole(const std::string& path, const std::string& bytes, std::string* reason);
// The same for a file that must not replace another: false, with *taken set,
// when something is at path already (left as it was).
bool write_file_new(const std::string& path, const std::string& bytes, std::string* reason,
                    bool* taken);
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
