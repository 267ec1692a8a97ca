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

std::string csv_outside_text(const std::string& value) {
  if (value.empty() || std::string("=+-@\t\r").find(value[0]) == std::string::npos) return value;
  return "'" + value;
}

std::string csv_record(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out += ',';
    out += csv_field(fields[i]);
  }
  return out + "\r\n";
}

bool read_csv(const std::string& text, bool skip_comments, std::vector<CsvRecord>* records,
              int* bad_line) {
  size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  int line = 1;
  const size_t end = text.size();
  while (at < end) {
    // Blank and comment lines.
    if (text[at] == '\n' || (text[at] == '\r' && at + 1 < end && text[at + 1] == '\n')) {
      at += text[at] == '\r' ? 2 : 1;
      ++line;
      continue;
    }
    if (skip_comments && text[at] == '#') {
      while (at < end && text[at] != '\n') ++at;
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
          char c = text[at++];
          if (c == '"') {
            if (at < end && text[at] == '"') {
              field += '"';
              ++at;
              continue;
            }
            break;
          }
          if (c == '\n') ++line;
          field += c;
        }
      }
      // Unquoted text, or whatever follows a closing quote, up to the separator.
      while (at < end && text[at] != ',' && text[at] != '\n' &&
             !(text[at] == '\r' && at + 1 < end && text[at + 1] == '\n'))
        field += text[at++];
      record.fields.push_back(field);
      field.clear();
      if (at >= end) {
        record_ended = true;
      } else if (text[at] == ',') {
        ++at;
      } else {
        at += text[at] == '\r' ? 2 : 1;
        ++line;
        record_ended = true;
      }
    }
    records->push_back(std::move(record));
  }
  return true;
}
