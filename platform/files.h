#pragma once
// Files the program keeps (reports, card lists): written whole, to a
// temporary file beside the target and then renamed over it, so a reader
// never sees half a file. Paths are UTF-8; the Windows adapter uses the wide
// calls so that a folder outside the ANSI code page works.
#include <cstddef>
#include <string>

// Each false result leaves a short reason for the operator in *reason.
bool write_file_whole(const std::string& path, const std::string& bytes, std::string* reason);
// Fails for a file larger than limit bytes.
bool read_file_text(const std::string& path, size_t limit, std::string* bytes,
                    std::string* reason);
// Creates the folder and every missing parent.
bool make_folder_path(const std::string& path, std::string* reason);

// The platform's separator: '\' in the product, '/' natively.
std::string join_path(const std::string& folder, const std::string& name);
