// Line codec of the driver's command protocol.
#include "tools/uidrive/uidrive.h"

#include <cstdio>
#include <cstdlib>

std::string ok(const std::string& payload) {
  return payload.empty() ? "OK" : "OK " + payload;
}

std::string err(const std::string& message) { return "ERR " + escape_field(message); }

std::string escape_field(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7f || c == '|') {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape_field(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      out += c;
      continue;
    }
    char e = text[++i];
    switch (e) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 's': out += ' '; break;
      case 'x':
        if (i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
          out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
          i += 2;
        } else {
          out += "\\x";
        }
        break;
      default: out += e;  // "\\" and any escaped character stand for themselves
    }
  }
  return out;
}

Args split_line(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  Args fields;
  if (line.find('\t') != std::string::npos) {
    // Tab-separated: empty fields count (an empty text to set).
    size_t start = 0;
    for (;;) {
      size_t tab = line.find('\t', start);
      fields.push_back(unescape_field(line.substr(start, tab - start)));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
  } else {
    size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && line[i] == ' ') ++i;
      size_t start = i;
      while (i < line.size() && line[i] != ' ') ++i;
      if (i > start) fields.push_back(unescape_field(line.substr(start, i - start)));
    }
  }
  return fields;
}

std::string join_fields(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out += '\t';
    out += escape_field(fields[i]);
  }
  return out;
}

int parse_number(const std::string& text, long long* value) {
  if (text.empty()) return 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (!end || *end != '\0') return 0;
  *value = v;
  return 1;
}

int parse_hwnd(const std::string& text, HWND* hwnd) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || !end || *end != '\0') return 0;
  HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
  if (!IsWindow(h)) return 0;
  *hwnd = h;
  return 1;
}

std::string hwnd_text(HWND hwnd) {
  if (!hwnd) return "none";
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
  return buf;
}

long long bounded_ms(long long ms) {
  if (ms < 0) return 0;
  return ms > MAX_WAIT_MS ? MAX_WAIT_MS : ms;
}
