#include "protocol/json.h"

#include <cstdio>

namespace {

// The length of the UTF-8 sequence that starts at text[i], or 0 when none
// does (a stray continuation byte, an overlong or cut sequence).
size_t utf8_length(const std::string& text, size_t i) {
  const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  // F5 to FF begin nothing (they would run past U+10FFFF), nor do C0, C1.
  size_t n = lead >= 0xF0 && lead <= 0xF4   ? 4
             : lead >= 0xE0 && lead <= 0xEF ? 3
             : lead >= 0xC2 && lead < 0xE0  ? 2
                                            : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  const unsigned char second = byte(i + 1);
  if (lead == 0xE0 && second < 0xA0) return 0;  // overlong
  if (lead == 0xED && second >= 0xA0) return 0;  // a surrogate half
  if (lead == 0xF0 && second < 0x90) return 0;  // overlong
  if (lead == 0xF4 && second >= 0x90) return 0;  // past U+10FFFF
  return n;
}

void escape_code(std::string* out, unsigned code) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04x", code);
  *out += text;
}

}  // namespace

std::string json_string(const std::string& value) {
  std::string out = "\"";
  for (size_t i = 0; i < value.size();) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80) {
      size_t n = utf8_length(value, i);
      if (n) {
        out.append(value, i, n);
        i += n;
      } else {
        escape_code(&out, c);
        ++i;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F)
          escape_code(&out, c);
        else
          out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_object(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out = "{";
  for (const auto& [key, value] : members) {
    if (out.size() > 1) out += ',';
    out += json_string(key) + ':' + json_string(value);
  }
  return out + "}";
}
