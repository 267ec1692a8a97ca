#pragma once
// Card lists: CSV files of card addresses and accounts that an operator
// imports (cards on routed subnets, which no broadcast reaches) and exports.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/sysinfo.h"

// The longest user name or password, as the account dialog reads them.
inline constexpr size_t CARD_LIST_FIELD_MAX = 30;
inline constexpr size_t CARD_LIST_FILE_MAX = 16u << 20;

struct CardLine {
  int line = 0;
  uint32_t ip = 0;  // network byte order
  bool has_user = false, has_password = false;
  std::string user, password;
};

struct CardLineError {
  int line = 0;
  std::string reason;
};

// Columns ip[,user[,password]]; a first record starting with "ip" is a
// header, and then the columns are found by their names (so an exported
// list reads back). Blank lines and lines starting with '#' are skipped.
// Read strictly: a line whose address is not four plain decimal numbers or
// cannot be a card, with a control character in a field, or with a user name
// or password that is too long or holds '@', is an error of its own line.
// The one ' that the CSV writers put before a formula-like cell is removed.
void read_card_list(const std::string& text, std::vector<CardLine>* cards,
                    std::vector<CardLineError>* errors);
struct DeviceTable;
// The records an import merges (with the account), one per card line, as
// the account dialog's OK makes them: a line without a user name or password
// keeps the one its row has (or an earlier line gave), else default_user and
// an empty password. table_text turns the file's UTF-8 into the table's text.
std::vector<std::unique_ptr<DeviceRecord>> listed_card_records(
    DeviceTable& table, const std::vector<CardLine>& cards, const std::string& default_user,
    const std::function<std::string(const std::string&)>& table_text);
// The message box text for the lines not added.
std::string card_list_errors_text(const std::vector<CardLineError>& errors);
// ip,mac,version,user[,password] with a header, one record per row given.
std::string write_card_list(const std::vector<DeviceRecord>& rows, bool with_passwords);
