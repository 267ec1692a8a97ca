#include "devices/card_list.h"

#include <cstdio>

#include "devices/device_table.h"
#include "protocol/csv.h"
#include "protocol/packet.h"

namespace {

const size_t ERRORS_SHOWN = 20;

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string trimmed(const std::string& s) {
  size_t from = s.find_first_not_of(" \t");
  if (from == std::string::npos) return "";
  return s.substr(from, s.find_last_not_of(" \t") + 1 - from);
}

struct Columns {
  int ip = 0, user = 1, password = 2;
};

Columns columns_of(const std::vector<std::string>& header) {
  Columns c{-1, -1, -1};
  for (size_t i = 0; i < header.size(); ++i) {
    std::string name = lower(trimmed(header[i]));
    int at = static_cast<int>(i);
    if (name == "ip" && c.ip < 0) c.ip = at;
    if (name == "user" && c.user < 0) c.user = at;
    if (name == "password" && c.password < 0) c.password = at;
  }
  return c;
}

bool field_at(const std::vector<std::string>& fields, int at, std::string* value) {
  if (at < 0 || static_cast<size_t>(at) >= fields.size()) return false;
  *value = fields[static_cast<size_t>(at)];
  return true;
}

// A card line, or false with the reason.
bool card_of(const CsvRecord& record, const Columns& c, CardLine* card, std::string* reason) {
  std::string ip_text;
  field_at(record.fields, c.ip, &ip_text);
  char text[64];
  std::snprintf(text, sizeof text, "%s", trimmed(ip_text).c_str());
  strip_blanks(text, text);
  uint32_t ip = text_to_ip(text);
  if (ip_text.size() >= sizeof text || ip == 0xFFFFFFFFu || ip == 0) {
    *reason = "bad IP address \"" + ip_text.substr(0, 40) + "\"";
    return false;
  }
  card->line = record.line;
  card->ip = ip;
  card->has_user = field_at(record.fields, c.user, &card->user);
  card->user = trimmed(card->user);
  card->has_password = field_at(record.fields, c.password, &card->password);
  if (card->user.size() > CARD_LIST_FIELD_MAX) {
    *reason = "user name longer than " + std::to_string(CARD_LIST_FIELD_MAX) + " characters";
    return false;
  }
  if (card->password.size() > CARD_LIST_FIELD_MAX) {
    *reason = "password longer than " + std::to_string(CARD_LIST_FIELD_MAX) + " characters";
    return false;
  }
  return true;
}

}  // namespace

void read_card_list(const std::string& text, std::vector<CardLine>* cards,
                    std::vector<CardLineError>* errors) {
  std::vector<CsvRecord> records;
  int bad_line = 0;
  bool whole = read_csv(text, true, &records, &bad_line);
  Columns columns;
  size_t first = 0;
  if (!records.empty() && lower(trimmed(records[0].fields[0])) == "ip") {
    columns = columns_of(records[0].fields);
    first = 1;
  }
  for (size_t i = first; i < records.size(); ++i) {
    CardLine card;
    std::string reason;
    if (card_of(records[i], columns, &card, &reason))
      cards->push_back(card);
    else
      errors->push_back({records[i].line, reason});
  }
  if (!whole) errors->push_back({bad_line, "quote not closed"});
}

std::string card_list_errors_text(const std::vector<CardLineError>& errors) {
  std::string text = "These lines were not added:\r\n";
  for (size_t i = 0; i < errors.size() && i < ERRORS_SHOWN; ++i)
    text += "Line " + std::to_string(errors[i].line) + ": " + errors[i].reason + "\r\n";
  if (errors.size() > ERRORS_SHOWN)
    text += "... and " + std::to_string(errors.size() - ERRORS_SHOWN) + " more\r\n";
  return text;
}

std::string write_card_list(const std::vector<DeviceRecord>& rows, bool with_passwords) {
  std::vector<std::string> header = {"ip", "mac", "version", "user"};
  if (with_passwords) header.push_back("password");
  std::string out = csv_record(header);
  for (const DeviceRecord& r : rows) {
    char cells[5][64];
    std::vector<std::string> fields;
    // The user name and the password are the operator's or a list's text.
    for (int c = 0; c < (with_passwords ? 5 : 4); ++c)
      fields.push_back(c >= 3 ? csv_outside_text(cell_text(cells[c], r, c)) : cell_text(cells[c], r, c));
    out += csv_record(fields);
  }
  return out;
}
