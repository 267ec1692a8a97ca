#include "devices/card_list.h"
#include "protocol/text.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <string_view>

#include "devices/device_table.h"
#include "protocol/address.h"
#include "protocol/csv.h"
#include "protocol/packet.h"

namespace {

const size_t ERRORS_SHOWN = 20;

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
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

// The CSV writers put a ' before a cell that a spreadsheet would take for a
// formula; reading the list back takes that one quote away again.
std::string unguarded(const std::string& cell) { return csv_outside_text_read(cell); }

// C0 controls (NUL included), DEL, and the C1 controls as UTF-8 writes them.
bool has_control_character(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(s[i + 1]) <= 0x9F)
      return true;
  }
  return false;
}

std::string field_name(const Columns& c, size_t at) {
  int i = static_cast<int>(at);
  if (i == c.ip) return "the IP address";
  if (i == c.user) return "the user name";
  if (i == c.password) return "the password";
  return "field " + std::to_string(at + 1);
}

// An account field: at most CARD_LIST_FIELD_MAX characters and no '@', which
// separates the fields of the write request.
bool account_field_ok(const std::string& value, const char* what, std::string* reason) {
  if (value.size() > CARD_LIST_FIELD_MAX) {
    *reason = std::string(what) + " longer than " + std::to_string(CARD_LIST_FIELD_MAX) + " characters";
    return false;
  }
  if (value.find('@') != std::string::npos) {
    *reason = std::string(what) + " contains '@'";
    return false;
  }
  return true;
}

// A card line, or false with the reason.
bool card_line_of(const CsvRecord& record, const Columns& c, CardLine* card, std::string* reason) {
  std::vector<std::string> fields;
  for (const std::string& f : record.fields) fields.push_back(unguarded(f));
  for (size_t i = 0; i < fields.size(); ++i)
    if (has_control_character(fields[i])) {
      *reason = "control character in " + field_name(c, i);
      return false;
    }
  std::string ip_text;
  field_at(fields, c.ip, &ip_text);
  ip_text = trimmed(ip_text);
  // Blanks between the numbers are dropped, as the account dialog drops them.
  std::string address;
  for (char ch : ip_text)
    if (ch != ' ') address += ch;
  if (address.size() > 40) address = address.substr(0, 40) + "...";
  uint32_t ip = 0;
  if (!read_card_address(address, &ip, reason)) return false;
  card->line = record.line;
  card->ip = ip;
  card->has_user = field_at(fields, c.user, &card->user);
  card->user = trimmed(card->user);
  card->has_password = field_at(fields, c.password, &card->password);
  return account_field_ok(card->user, "user name", reason) &&
         account_field_ok(card->password, "password", reason);
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
    if (card_line_of(records[i], columns, &card, &reason))
      cards->push_back(card);
    else
      errors->push_back({records[i].line, reason});
  }
  if (!whole) errors->push_back({bad_line, "quote not closed"});
}

std::vector<std::unique_ptr<DeviceRecord>> listed_card_records(
    DeviceTable& table, const std::vector<CardLine>& cards, const std::string& default_user,
    const std::function<std::string(const std::string&)>& table_text) {
  // The accounts the table holds, learnt once: a list of any length is read
  // in one pass, not with a search of the rows for each line.
  struct Account {
    std::string user, password;
  };
  std::unordered_map<uint32_t, Account> accounts;
  for (int row = row_count(table) - 1; row >= 0; --row)
    if (const DeviceRecord* r = row_record(table, row))
      accounts[r->ip] = {std::string(r->user_name, strnlen(r->user_name, sizeof r->user_name)),
                         std::string(r->password, strnlen(r->password, sizeof r->password))};
  std::vector<std::unique_ptr<DeviceRecord>> records;
  records.reserve(cards.size());
  for (const CardLine& line : cards) {
    auto record = std::make_unique<DeviceRecord>();
    std::memset(record.get(), 0, sizeof(DeviceRecord));
    record->ip = line.ip;
    record->filled = 1;
    record->unanswered_queries = 1;
    auto known = accounts.find(line.ip);
    Account account;
    account.user = line.has_user         ? table_text(line.user)
                   : known != accounts.end() ? known->second.user
                                             : default_user;
    account.password = line.has_password      ? table_text(line.password)
                       : known != accounts.end() ? known->second.password
                                                 : "";
    std::strncpy(record->user_name, account.user.c_str(), CARD_LIST_FIELD_MAX);
    std::strncpy(record->password, account.password.c_str(), CARD_LIST_FIELD_MAX);
    accounts[line.ip] = account;
    records.push_back(std::move(record));
  }
  return records;
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
