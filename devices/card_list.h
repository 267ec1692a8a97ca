#pragma once
// Card lists: CSV files of card addresses and accounts that an operator
// imports (cards on routed subnets, which no broadcast reaches) and exports.
#include <cstdint>
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
void read_card_list(const std::string& text, std::vector<CardLine>* cards,
                    std::vector<CardLineError>* errors);
// The message box text for the lines not added.
std::string card_list_errors_text(const std::vector<CardLineError>& errors);
// ip,mac,version,user[,password] with a header, one record per row given.
std::string write_card_list(const std::vector<DeviceRecord>& rows, bool with_passwords);
