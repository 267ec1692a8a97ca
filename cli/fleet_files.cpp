#include "cli/fleet_files.h"

#include "devices/card_list.h"
#include "platform/files.h"

namespace {
// A password file holds one short line; anything much longer is no such file.
const size_t PASSWORD_FILE_MAX = 4096;

void append_utf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | c >> 6);
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | c >> 12);
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | c >> 18);
    *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 after its byte order mark; false for an odd length or a lone
// surrogate.
bool utf16_to_utf8(const std::string& bytes, bool little, std::string* text) {
  if (bytes.size() % 2) return false;
  auto unit = [&](size_t i) {
    const unsigned a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    return little ? a | b << 8 : a << 8 | b;
  };
  text->clear();
  for (size_t i = 2; i < bytes.size(); i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 2 >= bytes.size()) return false;
      const uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    append_utf8(c, text);
  }
  return true;
}

// A text file as UTF-8 without a byte order mark: Notepad and PowerShell 5
// write one before UTF-8, and PowerShell 5's ">" writes UTF-16 (with its
// mark). A file of UTF-16 without a mark is told from its NUL bytes.
bool text_as_utf8(const std::string& path, std::string bytes, std::string* text,
                  std::string* error) {
  const bool le = bytes.compare(0, 2, "\xFF\xFE") == 0, be = bytes.compare(0, 2, "\xFE\xFF") == 0;
  if (le || be) {
    if (utf16_to_utf8(bytes, le, text)) return true;
    *error = path + ": the file is UTF-16 and not whole: save it as UTF-8";
    return false;
  }
  const size_t nul = bytes.find('\0');
  if (nul != std::string::npos && nul < 4) {
    *error = path + ": the file is UTF-16: save it as UTF-8";
    return false;
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  *text = std::move(bytes);
  return true;
}

bool read_text_file(const std::string& path, size_t limit, std::string* text, std::string* error) {
  std::string bytes;
  if (!read_file_text(path, limit, &bytes, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return text_as_utf8(path, std::move(bytes), text, error);
}

}  // namespace

bool read_card_file(const std::string& path, std::vector<CardOrder>* cards, std::string* error) {
  std::string text;
  if (!read_text_file(path, CARD_LIST_FILE_MAX, &text, error)) return false;
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
    // An empty cell is no account (discover --csv leaves the user empty):
    // such a card takes --user and the password as one without the column.
    // A password cell counts beside a user name, or when it holds one.
    card.has_user = line.has_user && !line.user.empty();
    card.has_password = line.has_password && (card.has_user || !line.password.empty());
    if (card.has_user) card.user = line.user;
    if (card.has_password) card.password = line.password;
    cards->push_back(card);
  }
  return true;
}

bool read_password_file(const std::string& path, std::string* password, std::string* error) {
  std::string text;
  if (!read_text_file(path, PASSWORD_FILE_MAX, &text, error)) return false;
  *password = text.substr(0, text.find_first_of("\r\n"));
  return true;
}

bool write_report_file(const std::string& path, const std::vector<CardResult>& cards,
                       std::string* reason) {
  return write_file_whole(path, report_csv(cards), reason);
}
