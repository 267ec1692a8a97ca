#include "protocol/address.h"

bool read_dotted_address(const std::string& text, uint32_t* ip) {
  uint8_t bytes[4];
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3)
      value = value * 10 + unsigned(text[pos++] - '0');
    size_t digits = pos - start;
    if (digits == 0 || value > 255) return false;
    if (digits > 1 && text[start] == '0') return false;
    bytes[part] = uint8_t(value);
  }
  if (pos != text.size()) return false;
  // Network byte order: the first number is the first byte in memory.
  uint32_t value = 0;
  auto* out = reinterpret_cast<uint8_t*>(&value);
  for (int i = 0; i < 4; ++i) out[i] = bytes[i];
  *ip = value;
  return true;
}

const char* non_card_address_reason(uint32_t ip) {
  uint8_t first = reinterpret_cast<const uint8_t*>(&ip)[0];
  if (first == 0) return "it is an address of this network (0.0.0.0/8)";
  if (first == 127) return "it is a loopback address";
  if (first >= 224 && first <= 239) return "it is a multicast address";
  if (ip == 0xFFFFFFFFu) return "it is the broadcast address";
  if (first >= 240) return "it is a reserved (class E) address";
  return nullptr;
}

bool read_card_address(const std::string& text, uint32_t* ip, std::string* why) {
  uint32_t value = 0;
  if (!read_dotted_address(text, &value)) {
    *why = "\"" + text +
           "\" is not an address: four numbers 0-255 separated by dots, without leading zeros";
    return false;
  }
  if (const char* reason = non_card_address_reason(value)) {
    *why = "\"" + text + "\" cannot be a card: " + reason;
    return false;
  }
  *ip = value;
  return true;
}
