#include <cstdint>
#include <string>
#include <vector>

#include "devices/card_list.h"
#include "protocol/address.h"

namespace {

bool account_ok(const std::string& s) {
  if (s.size() > CARD_LIST_FIELD_MAX || s.find('@') != std::string::npos) return false;
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list(text, &cards, &errors);
  // Every line break of any kind counts: no record starts past the last line.
  int lines = 1;
  for (size_t i = 0; i < size; ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == size || text[i + 1] != '\n'))) ++lines;
  int last = 0;
  for (const CardLine& card : cards) {
    // Only what the strict reader takes, in line order.
    if (!is_card_address(card.ip) || !account_ok(card.user) || !account_ok(card.password) ||
        card.line <= last || card.line > lines)
      __builtin_trap();
    last = card.line;
  }
  for (const CardLineError& e : errors)
    if (e.line < 1 || e.line > lines || e.reason.empty()) __builtin_trap();
  card_list_errors_text(errors);
  return 0;
}
