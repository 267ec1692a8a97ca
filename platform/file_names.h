#pragma once
// File names in the portable code are UTF-8. The product opens them by their
// wide names, so that a folder outside the ANSI code page works.
#include <cstdint>
#include <cstdio>
#include <string>

// fopen by a UTF-8 name; nullptr when it cannot be opened.
std::FILE* open_file(const std::string& path, const char* mode);
// The size of a regular file from its directory entry; false for anything
// else (a folder, a missing file).
bool regular_file_size(const std::string& path, uint64_t* size);

// The product only: UTF-8 to and from the UTF-16 of the wide Win32 calls
// (invalid input gives an empty result), and to and from the system's ANSI
// code page of the narrow window texts (a text that cannot be converted is
// returned unchanged).
std::wstring wide_text(const std::string& utf8);
std::string utf8_text(const wchar_t* wide);
std::string utf8_to_ansi(const std::string& utf8);
std::string ansi_to_utf8(const std::string& ansi);
