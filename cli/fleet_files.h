#pragma once
// The tool's files, in the program's formats: the card list it reads (the
// import format) and the report it writes (the kept report's CSV).
#include <string>
#include <vector>

#include "cli/cli.h"
#include "upgrade/record/results.h"

// false with the reason (the lines not read, or why the file can't be).
bool read_card_file(const std::string& path, std::vector<CardOrder>* cards, std::string* error);

// The first line of a password file (its line break not included); false
// with the reason.
bool read_password_file(const std::string& path, std::string* password, std::string* error);

// Written whole: to a temporary file beside path, then renamed.
bool write_report_file(const std::string& path, const std::vector<CardResult>& cards,
                       std::string* reason);
