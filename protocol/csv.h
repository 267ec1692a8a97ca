#pragma once
// Comma-separated text as RFC 4180 has it: fields with a comma, a quote or a
// line break are quoted, quotes inside doubled, records end with CRLF.
#include <string>
#include <vector>

std::string csv_field(const std::string& value);
// A text cell that came from outside the program (a card's message, a user
// name, a password, a path): one that begins with = + - @, a tab or a CR
// gets a leading ' so that a spreadsheet never takes it for a formula, and
// so does one that begins with ' itself, so that the guard is never taken
// for part of the text. Nothing else is touched.
std::string csv_outside_text(const std::string& value);
// The cell as csv_outside_text was given it: the one guarding ' removed.
std::string csv_outside_text_read(const std::string& cell);
// One record with its CRLF.
std::string csv_record(const std::vector<std::string>& fields);

struct CsvRecord {
  int line = 0;  // the line the record starts on, from 1
  std::vector<std::string> fields;
};

// Reads records; LF or a CR alone ends a record too, a UTF-8 byte order
// mark at the start is ignored, blank lines and (with skip_comments) lines
// starting with '#' give no record. False when the text ends inside a quoted field: the
// records before it are kept and *bad_line is where that field began.
bool read_csv(const std::string& text, bool skip_comments, std::vector<CsvRecord>* records,
              int* bad_line);
