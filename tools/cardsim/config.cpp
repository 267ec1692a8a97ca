// Card configuration: key=value parsing, config files, generated fleets.
#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "cardsim.h"

namespace {

bool parse_double(const std::string& s, double lo, double hi, double* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s.c_str(), &end);
  if (*end || errno || !std::isfinite(v) || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parse_long(const std::string& s, long lo, long hi, long* out, int base = 10) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, base);
  if (*end || errno || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parse_bool(const std::string& s, bool* out) {
  if (s == "1" || s == "yes" || s == "true" || s == "on") {
    *out = true;
  } else if (s == "0" || s == "no" || s == "false" || s == "off") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

bool parse_mac(const std::string& s, uint8_t mac[6]) {
  if (s.size() != 17) return false;
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && s[i * 3 - 1] != '-' && s[i * 3 - 1] != ':') return false;
    char hex[3] = {s[i * 3], s[i * 3 + 1], 0};
    if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[1])))
      return false;
    mac[i] = static_cast<uint8_t>(std::strtoul(hex, nullptr, 16));
  }
  return true;
}

// "1.02" -> 1, 2 ; "2.1" -> 2, 1
bool parse_fw(const std::string& s, int* major, int* minor) {
  size_t dot = s.find('.');
  long a = 0, b = 0;
  if (dot == std::string::npos) {
    if (!parse_long(s, 0, 255, &a)) return false;
  } else if (!parse_long(s.substr(0, dot), 0, 255, &a) ||
             !parse_long(s.substr(dot + 1), 0, 255, &b)) {
    return false;
  }
  *major = static_cast<int>(a);
  *minor = static_cast<int>(b);
  return true;
}

// Config values may be double-quoted to hold blanks; inside and outside quotes
// \r \n \t \\ \" and \xHH stand for the usual bytes.
bool unescape(const std::string& in, std::string* out, std::string* err) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      *out += in[i];
      continue;
    }
    if (++i >= in.size()) {
      *err = "trailing backslash";
      return false;
    }
    switch (in[i]) {
      case 'r': *out += '\r'; break;
      case 'n': *out += '\n'; break;
      case 't': *out += '\t'; break;
      case '\\': *out += '\\'; break;
      case '"': *out += '"'; break;
      case 'x': {
        if (i + 2 >= in.size() || !std::isxdigit(static_cast<unsigned char>(in[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
          *err = "bad \\x escape";
          return false;
        }
        *out += static_cast<char>(std::strtoul(in.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
        break;
      }
      default:
        *err = std::string("unknown escape \\") + in[i];
        return false;
    }
  }
  return true;
}

// Splits a line into key/raw-value pairs; stops at a '#' that starts a token.
bool tokenize(const std::string& line, std::vector<std::pair<std::string, std::string>>* out,
              std::string* err) {
  size_t i = 0, n = line.size();
  while (true) {
    while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= n || line[i] == '#') return true;
    size_t eq = i;
    while (eq < n && line[eq] != '=' && line[eq] != ' ' && line[eq] != '\t') ++eq;
    if (eq >= n || line[eq] != '=') {
      *err = "expected key=value near '" + line.substr(i, eq - i) + "'";
      return false;
    }
    std::string key = line.substr(i, eq - i);
    i = eq + 1;
    std::string raw;
    if (i < n && line[i] == '"') {
      ++i;
      while (i < n && line[i] != '"') {
        if (line[i] == '\\' && i + 1 < n) raw += line[i++];
        raw += line[i++];
      }
      if (i >= n) {
        *err = "unterminated quote in value of " + key;
        return false;
      }
      ++i;
    } else {
      while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') raw += line[i++];
    }
    out->emplace_back(key, raw);
  }
}

const char* const card_keys[] = {
    "ip",          "mac",       "prod",      "fw",          "fw_raw",       "write",
    "user",        "password",  "delay",     "loss",        "dup",          "silent",
    "reply_size",  "text",      "error_at",  "error_msg",   "account_error", "broadcast",
    "unicast",     "idle_timeout", "answer_timeout", "linger",   "ack_delay",
    "restart",     "restart_fw",  "restart_mac", "fall_back",
};

}  // namespace

bool parse_ip(const std::string& text, uint32_t* ip) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *ip = ntohl(a.s_addr);
  return true;
}

std::string ip_text(uint32_t ip) {
  char buf[INET_ADDRSTRLEN];
  in_addr a{};
  a.s_addr = htonl(ip);
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::string addr_text(const sockaddr_in& a) {
  return ip_text(ntohl(a.sin_addr.s_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

bool is_card_key(const std::string& key) {
  for (const char* k : card_keys)
    if (key == k) return true;
  return false;
}

bool apply_card_key(CardConfig& c, const std::string& key, const std::string& raw,
                    std::string* err) {
  std::string v;
  if (!unescape(raw, &v, err)) {
    *err = key + ": " + *err;
    return false;
  }
  long l = 0;
  bool ok = true;
  if (key == "ip") {
    ok = parse_ip(v, &c.ip) && c.ip != 0 && c.ip != 0xFFFFFFFFu;
  } else if (key == "mac") {
    ok = parse_mac(v, c.mac);
  } else if (key == "prod") {
    ok = parse_long(v, 0, 0xFFFFFFFFL, &l, 16);
    c.prod = static_cast<uint32_t>(l);
  } else if (key == "fw") {
    ok = parse_fw(v, &c.fw_major, &c.fw_minor);
    c.has_fw_raw = false;
  } else if (key == "fw_raw") {
    c.fw_raw = v;
    c.has_fw_raw = true;
  } else if (key == "write") {
    ok = parse_bool(v, &c.write);
  } else if (key == "user") {
    c.user = v;
  } else if (key == "password") {
    c.password = v;
  } else if (key == "delay") {
    ok = parse_double(v, 0, 3600e3, &c.delay_ms);
  } else if (key == "loss") {
    ok = parse_double(v, 0, 1, &c.loss);
  } else if (key == "dup") {
    ok = parse_double(v, 0, 1, &c.dup);
  } else if (key == "silent") {
    ok = parse_bool(v, &c.silent);
  } else if (key == "reply_size") {
    ok = parse_long(v, 0, 65000, &l);
    c.reply_size = static_cast<int>(l);
  } else if (key == "text") {
    c.text = v;
    c.has_text = true;
  } else if (key == "error_at") {
    ok = parse_long(v, 0, 1L << 40, &c.error_at);
  } else if (key == "error_msg") {
    c.error_msg = v;
  } else if (key == "account_error") {
    c.account_error = v;
  } else if (key == "broadcast") {
    ok = parse_bool(v, &c.broadcast);
  } else if (key == "restart") {
    ok = parse_double(v, -1, 3600e3, &c.restart);
  } else if (key == "restart_fw") {
    ok = parse_fw(v, &c.restart_major, &c.restart_minor);
  } else if (key == "fall_back") {
    ok = parse_double(v, 0, 3600e3, &c.fall_back);
  } else if (key == "restart_mac") {
    ok = parse_mac(v, c.restart_mac);
    c.has_restart_mac = ok;
  } else if (key == "unicast") {
    ok = parse_bool(v, &c.unicast);
  } else if (key == "idle_timeout") {
    ok = parse_double(v, 0.001, 86400, &c.idle_timeout);
  } else if (key == "answer_timeout") {
    ok = parse_double(v, 0.001, 86400, &c.answer_timeout);
  } else if (key == "linger") {
    ok = parse_double(v, 0, 86400, &c.linger);
  } else if (key == "ack_delay") {
    ok = parse_double(v, 0, 60e3, &c.ack_delay_ms);
  } else {
    *err = "unknown key '" + key + "'";
    return false;
  }
  if (!ok) *err = "bad value for " + key + ": '" + raw + "'";
  return ok;
}

bool load_config_file(const std::string& path, const CardConfig& defaults,
                      const std::vector<CardConfig>& base, std::vector<CardConfig>* out,
                      std::string* err) {
  std::ifstream in(path);
  if (!in) {
    *err = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  std::set<uint32_t> seen;
  std::string line;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    std::vector<std::pair<std::string, std::string>> kv;
    std::string why;
    auto fail = [&](const std::string& msg) {
      *err = path + ":" + std::to_string(lineno) + ": " + msg;
      return false;
    };
    if (!tokenize(line, &kv, &why)) return fail(why);
    if (kv.empty()) continue;
    // The ip decides which card the other keys start from.
    CardConfig card = defaults;
    bool has_ip = false;
    for (auto& [k, v] : kv) {
      if (k != "ip") continue;
      if (!apply_card_key(card, k, v, &why)) return fail(why);
      has_ip = true;
    }
    if (!has_ip) return fail("card without ip=");
    bool from_fleet = false;
    for (const CardConfig& b : base) {
      if (b.ip == card.ip) {
        card = b;
        from_fleet = true;
        break;
      }
    }
    if (!from_fleet) {  // distinct MACs for cards that name none: 00-0a-fe + low bytes of ip
      card.mac[2] = 0xfe;
      card.mac[3] = static_cast<uint8_t>(card.ip >> 16);
      card.mac[4] = static_cast<uint8_t>(card.ip >> 8);
      card.mac[5] = static_cast<uint8_t>(card.ip);
    }
    for (auto& [k, v] : kv)
      if (!apply_card_key(card, k, v, &why)) return fail(why);
    if (!seen.insert(card.ip).second) return fail("duplicate card " + ip_text(card.ip));
    out->push_back(card);
  }
  return true;
}

std::vector<CardConfig> make_fleet(const CardConfig& defaults, uint32_t base_ip, int count) {
  std::vector<CardConfig> cards;
  cards.reserve(count);
  for (int i = 0; i < count; ++i) {
    CardConfig c = defaults;
    c.ip = base_ip + static_cast<uint32_t>(i);
    uint32_t n = static_cast<uint32_t>(i) + 1;
    c.mac[0] = 0x00;
    c.mac[1] = 0x0a;
    c.mac[2] = 0xff;
    c.mac[3] = static_cast<uint8_t>(n >> 16);
    c.mac[4] = static_cast<uint8_t>(n >> 8);
    c.mac[5] = static_cast<uint8_t>(n);
    cards.push_back(c);
  }
  return cards;
}
