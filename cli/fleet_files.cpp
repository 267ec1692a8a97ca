#include "cli/fleet_files.h"

#include "devices/card_list.h"
#include "platform/files.h"

namespace {
// A password file holds one short line; anything much longer is no such file.
const size_t PASSWORD_FILE_MAX = 4096;
}  // namespace

bool read_card_file(const std::string& path, std::vector<CardOrder>* cards, std::string* error) {
  std::string text;
  if (!read_file_text(path, CARD_LIST_FILE_MAX, &text, error)) {
    *error = path + ": " + *error;
    return false;
  }
  std::vector<CardLine> lines;
  std::vector<CardLineError> errors;
  read_card_list(text, &lines, &errors);
  // A scheduled run must not upgrade part of a fleet because of a typo.
  if (!errors.empty()) {
    *error = path + ": " + card_list_errors_text(errors);
    return false;
  }
  for (const CardLine& line : lines) {
    CardOrder card;
    card.ip = line.ip;
    card.has_user = line.has_user;
    card.has_password = line.has_password;
    card.user = line.user;
    card.password = line.password;
    cards->push_back(card);
  }
  return true;
}

bool read_password_file(const std::string& path, std::string* password, std::string* error) {
  std::string text;
  if (!read_file_text(path, PASSWORD_FILE_MAX, &text, error)) {
    *error = path + ": " + *error;
    return false;
  }
  *password = text.substr(0, text.find_first_of("\r\n"));
  return true;
}

bool write_report_file(const std::string& path, const std::vector<CardResult>& cards,
                       std::string* reason) {
  return write_file_whole(path, report_csv(cards), reason);
}
