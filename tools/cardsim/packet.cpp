// TFTP packet building/parsing, the sysinfo reply text, hashing, records.
#include <cstring>

#include "cardsim.h"

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

static void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

bool parse_request(const uint8_t* p, size_t n, Request* out) {
  if (n < 4) return false;
  out->op = get16(p);
  if (out->op != OP_RRQ && out->op != OP_WRQ) return false;
  const char* s = reinterpret_cast<const char*>(p + 2);
  size_t rest = n - 2;
  const void* z1 = std::memchr(s, 0, rest);
  if (!z1) return false;
  size_t flen = static_cast<const char*>(z1) - s;
  const char* m = s + flen + 1;
  size_t mrest = rest - flen - 1;
  const void* z2 = std::memchr(m, 0, mrest);
  if (!z2) return false;
  out->file.assign(s, flen);
  out->mode.assign(m, static_cast<const char*>(z2) - m);
  return true;
}

Bytes make_data(uint16_t block, const uint8_t* payload, size_t n) {
  Bytes b;
  b.reserve(4 + n);
  put16(b, OP_DATA);
  put16(b, block);
  b.insert(b.end(), payload, payload + n);
  return b;
}

Bytes make_ack(uint16_t block) {
  Bytes b;
  put16(b, OP_ACK);
  put16(b, block);
  return b;
}

Bytes make_error(uint16_t code, const std::string& msg) {
  Bytes b;
  put16(b, OP_ERROR);
  put16(b, code);
  b.insert(b.end(), msg.begin(), msg.end());
  b.push_back(0);
  return b;
}

std::string sysinfo_text(const CardConfig& c) {
  std::string text;
  if (c.has_text) {
    text = c.text;
  } else {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "MX-2 SNMP/WEB Card\r\n+PROD : 0x%08X\r\n+IP : %s\r\n"
                  "+MAC : %02x-%02x-%02x-%02x-%02x-%02x\r\n+FW : ",
                  c.prod, ip_text(c.ip).c_str(), c.mac[0], c.mac[1], c.mac[2], c.mac[3],
                  c.mac[4], c.mac[5]);
    text = buf;
    if (c.has_fw_raw) {
      text += c.fw_raw;
    } else {
      std::snprintf(buf, sizeof buf, "v%d.%02d", c.fw_major, c.fw_minor);
      text += buf;
    }
    text += "\r\n";
    if (c.write) text += "+WRQ : ACCEPT\r\n";
  }
  // Padding: blank lines of spaces, so no marker is disturbed.
  long pad = static_cast<long>(c.reply_size) - 4 - static_cast<long>(text.size());
  for (long i = 0; i < pad; ++i) {
    long col = i % 64;
    text += col == 62 ? '\r' : col == 63 ? '\n' : ' ';
  }
  return text;
}

bool split_account(const std::string& file, std::string* password, std::string* user) {
  static const std::string prefix = "upgrade@";
  if (file.compare(0, prefix.size(), prefix) != 0) return false;
  size_t at = file.find('@', prefix.size());
  if (at == std::string::npos) return false;
  *password = file.substr(prefix.size(), at - prefix.size());
  *user = file.substr(at + 1);
  return true;
}

uint64_t fnv1a64(const uint8_t* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

std::string record_value(const std::string& s) {
  std::string out;
  for (unsigned char ch : s) {
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch < 0x20 || ch == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", ch);
      out += buf;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out;
}

void Recorder::write(const char* event,
                     const std::vector<std::pair<std::string, std::string>>& fields) {
  if (!f) return;
  std::string line = event;
  for (auto& [k, v] : fields) line += "\t" + k + "=" + record_value(v);
  line += "\n";
  std::fwrite(line.data(), 1, line.size(), f);
  std::fflush(f);
}
