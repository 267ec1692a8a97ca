#include "cli/fleet_files.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "protocol/packet.h"

namespace {

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

// Splits the text into records of fields; quoted fields may hold commas,
// quotes (doubled) and line breaks. false on a quote left open.
bool parse_csv(const std::string& text, std::vector<std::vector<std::string>>* records) {
  std::vector<std::string> record;
  std::string field;
  bool quoted = false, field_started = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"' && !field_started) {
      quoted = field_started = true;
    } else if (c == ',') {
      record.push_back(field);
      field.clear();
      field_started = false;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      record.push_back(field);
      records->push_back(record);
      record.clear();
      field.clear();
      field_started = false;
    } else {
      field += c;
      field_started = true;
    }
  }
  if (quoted) return false;
  if (field_started || !record.empty()) {
    record.push_back(field);
    records->push_back(record);
  }
  return true;
}

std::string trimmed(const std::string& s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

}  // namespace

std::string csv_line(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ',';
    line += csv_field(fields[i]);
  }
  line += "\r\n";
  return line;
}

bool read_card_file(const std::string& path, std::vector<CardOrder>* cards, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string bytes = text.str();
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  std::vector<std::vector<std::string>> records;
  if (!parse_csv(bytes, &records)) {
    *error = path + ": a quoted field is not closed";
    return false;
  }
  // Columns by position, or by name after a header (so that the output of
  // discover --csv reads back).
  size_t ip_at = 0, user_at = 1, password_at = 2;
  bool header = false;
  for (size_t n = 0; n < records.size(); ++n) {
    const std::vector<std::string>& r = records[n];
    std::string first = trimmed(r[0]);
    if (r.size() == 1 && first.empty()) continue;  // blank line
    if (n == 0 && first == "ip") {
      header = true;
      user_at = password_at = SIZE_MAX;
      for (size_t c = 0; c < r.size(); ++c) {
        if (trimmed(r[c]) == "user") user_at = c;
        if (trimmed(r[c]) == "password") password_at = c;
      }
      continue;
    }
    std::string where = path + " record " + std::to_string(n + 1) + ": ";
    std::string ip_text = trimmed(r[ip_at]);
    uint32_t ip = text_to_ip(ip_text.c_str());
    if (ip == BROADCAST_ADDRESS || ip_text.find_first_not_of("0123456789.") != std::string::npos) {
      *error = where + "not a card address: " + ip_text;
      return false;
    }
    if (!header && r.size() > 3) {
      *error = where + "more than ip, user and password";
      return false;
    }
    CardOrder card;
    card.ip = ip;
    card.has_user = user_at < r.size();
    card.has_password = password_at < r.size();
    if (card.has_user) card.user = r[user_at];
    if (card.has_password) card.password = r[password_at];
    {
      if (card.user.size() > 31 || card.password.size() > 31) {
        *error = where + "user name or password longer than 31 characters";
        return false;
      }
    }
    cards->push_back(card);
  }
  return true;
}

bool write_report_csv(const std::string& path, const std::string& image,
                      const std::string& image_version, const std::vector<CardRow>& results) {
  std::string text = csv_line({"started", "ended", "ip", "mac", "version_before", "image",
                               "image_version", "result", "message", "seconds", "bytes_sent",
                               "verified", "verified_seconds"});
  char number[32];
  for (const CardRow& r : results) {
    std::snprintf(number, sizeof number, "%.3f", r.seconds);
    std::string seconds = number;
    std::snprintf(number, sizeof number, "%.3f", r.verified_seconds);
    std::string verified_seconds = r.verified.empty() ? "" : number;
    text += csv_line({r.started, r.ended, ip_to_text(r.ip), r.mac, r.version_before, image,
                      image_version, r.result, r.message, seconds, std::to_string(r.bytes_sent),
                      r.verified, verified_seconds});
  }
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out || !(out << text) || !out.flush()) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  // On Windows rename does not replace an existing file.
  std::remove(path.c_str());
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}
