#include "protocol/csv.h"

std::string csv_field(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

namespace {

bool guarded_start(char c) { return std::string("=+-@\t\r'").find(c) != std::string::npos; }

}  // namespace

std::string csv_outside_text(const std::string& value) {
  if (value.empty() || !guarded_start(value[0])) return value;
  return "'" + value;
}

std::string csv_outside_text_read(const std::string& cell) {
  if (cell.size() >= 2 && cell[0] == '\'' && guarded_start(cell[1])) return cell.substr(1);
  return cell;
}

std::string csv_record(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out += ',';
    out += csv_field(fields[i]);
  }
  return out + "\r\n";
}

namespace {

// A line ends with LF, CRLF or a CR alone (old Mac editors): the length of
// the line break at `at`, 0 when there is none.
size_t line_break_at(const std::string& text, size_t at) {
  if (at >= text.size()) return 0;
  if (text[at] == '\n') return 1;
  if (text[at] != '\r') return 0;
  return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
}

}  // namespace

bool read_csv(const std::string& text, bool skip_comments, std::vector<CsvRecord>* records,
              int* bad_line) {
  size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  int line = 1;
  const size_t end = text.size();
  while (at < end) {
    // Blank and comment lines.
    if (size_t brk = line_break_at(text, at)) {
      at += brk;
      ++line;
      continue;
    }
    if (skip_comments && text[at] == '#') {
      while (at < end && !line_break_at(text, at)) ++at;
      continue;
    }
    CsvRecord record;
    record.line = line;
    std::string field;
    bool record_ended = false;
    while (!record_ended) {
      if (at < end && text[at] == '"') {
        const int opened = line;
        ++at;
        for (;;) {
          if (at >= end) {
            if (bad_line) *bad_line = opened;
            return false;
          }
          if (text[at] == '"') {
            ++at;
            if (at < end && text[at] == '"') {
              field += '"';
              ++at;
              continue;
            }
            break;
          }
          // A line break inside the quotes is kept as it is, and counted once.
          if (size_t brk = line_break_at(text, at)) {
            field.append(text, at, brk);
            at += brk;
            ++line;
            continue;
          }
          field += text[at++];
        }
      }
      // Unquoted text, or whatever follows a closing quote, up to the separator.
      while (at < end && text[at] != ',' && !line_break_at(text, at)) field += text[at++];
      record.fields.push_back(field);
      field.clear();
      if (at >= end) {
        record_ended = true;
      } else if (text[at] == ',') {
        ++at;
      } else {
        at += line_break_at(text, at);
        ++line;
        record_ended = true;
      }
    }
    records->push_back(std::move(record));
  }
  return true;
}
