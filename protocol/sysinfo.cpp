#include "protocol/sysinfo.h"

#include <cstring>

#include "protocol/packet.h"

// The readers follow the C library's strtoul / strtol / atoi of a system
// with 32-bit longs, which is what the cards' texts were written against.
// All of them stop at the caller's NUL.
namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c, int base) {
  int d = 99;
  if (c >= '0' && c <= '9') d = c - '0';
  else if (c >= 'a' && c <= 'z') d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'Z') d = c - 'A' + 10;
  return d < base ? d : -1;
}

struct Number {
  bool negative;
  uint64_t magnitude;  // saturates above 2^32
  const char* end;     // first character not read; the start when no digits
};

Number read_number(const char* text, int base) {
  Number n{false, 0, text};
  const char* p = text;
  while (is_space(*p)) ++p;
  if (*p == '+' || *p == '-') n.negative = *p++ == '-';
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2], 16) >= 0)
    p += 2;
  const char* digits = p;
  for (int d; (d = digit_value(*p, base)) >= 0; ++p)
    if (n.magnitude <= 0xFFFFFFFFull) n.magnitude = n.magnitude * base + d;
  if (p == digits) {
    n.negative = false;
    n.magnitude = 0;
  } else {
    n.end = p;
  }
  return n;
}

// strtoul: a value beyond 32 bits is 0xFFFFFFFF; a negative one wraps.
uint32_t read_unsigned(const char* text, int base) {
  Number n = read_number(text, base);
  if (n.magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  uint32_t v = static_cast<uint32_t>(n.magnitude);
  return n.negative ? 0u - v : v;
}

// strtol: clamped to the 32-bit range.
int32_t read_signed(const char* text, int base, const char** end) {
  Number n = read_number(text, base);
  if (end) *end = n.end;
  if (n.negative) return n.magnitude >= 0x80000000ull ? INT32_MIN : -static_cast<int32_t>(n.magnitude);
  return n.magnitude > 0x7FFFFFFFull ? INT32_MAX : static_cast<int32_t>(n.magnitude);
}

// The text from offset on, or nullptr when the text ends before it.
const char* skip(const char* text, size_t offset) {
  for (size_t i = 0; i < offset; ++i)
    if (!text[i]) return nullptr;
  return text + offset;
}

}  // namespace

int masked_equal(uint32_t a, uint32_t b, uint32_t mask) { return (a & mask) == (b & mask); }

int parse_mac(uint8_t* mac, const char* text) {
  std::memset(mac, 0, 6);
  const char* p = text;
  for (int index = 0; *p;) {
    const char* end;
    int32_t value = read_signed(p, 16, &end);
    if (value > 255) return 0;
    mac[index++] = static_cast<uint8_t>(value);
    // The dash form is what the cards print; a colon only counts when no
    // dash is left anywhere in the text.
    const char* sep = std::strchr(end, '-');
    if (!sep) sep = std::strchr(end, ':');
    if (!sep) return 0;
    p = sep + 1;
    if (index == 6) return 1;
  }
  return 1;
}

int parse_sysinfo(DeviceRecord* record, const char* text, const char* account) {
  const char* prod = std::strstr(text, "\r\n+PROD");
  if (!prod) return 0;
  // The code stands 12 characters from the marker's start: "\r\n+PROD" and
  // five more (" : 0x" in the cards' layout).
  uint32_t product = 0;
  if (const char* value = skip(prod + 7, 5)) product = read_unsigned(value, 16);
  if (!masked_equal(product, ACCEPTED_PRODUCT, PRODUCT_MASK)) return 0;

  const char* ip = std::strstr(text, "\r\n+IP");
  if (!ip) return 0;
  const char* colon = std::strchr(ip + 5, ':');
  if (!colon) return 0;
  const char* address = skip(colon, 2);
  record->ip = text_to_ip(address ? address : "");

  const char* mac = std::strstr(text, "\r\n+MAC");
  if (!mac) return 0;
  colon = std::strchr(mac + 6, ':');
  if (!colon) return 0;
  const char* mac_text = skip(colon, 2);
  parse_mac(record->mac, mac_text ? mac_text : "");

  const char* fw = std::strstr(text, "\r\n+FW");
  if (!fw) return 0;
  const char* v = std::strchr(fw + 5, 'v');
  if (!v) return 0;
  int32_t major = read_signed(v + 1, 10, nullptr);
  const char* dot = std::strchr(v + 1, '.');
  if (!dot) return 0;
  int32_t minor = read_signed(dot + 1, 10, nullptr);
  // Added, not packed: a minor number above 255 carries into the major byte.
  record->version = static_cast<uint32_t>(major) * 256u + static_cast<uint32_t>(minor);

  set_user_name(record, account);

  record->write_refused = std::strstr(text, "\r\n+WRQ : ACCEPT") ? 0 : 1;
  record->filled = 1;
  return 1;
}

void set_user_name(DeviceRecord* record, const char* name) {
  std::strncpy(record->user_name, name, sizeof record->user_name - 1);
  record->user_name[sizeof record->user_name - 1] = '\0';
}
