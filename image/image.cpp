#include "image/image.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "protocol/sysinfo.h"


namespace {

const char* const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The characters of a fixed-width text field up to its first NUL, if any.
std::string field_text(const char* chars, size_t width) {
  size_t n = 0;
  while (n < width && chars[n]) ++n;
  return std::string(chars, n);
}

// Reads a decimal number the way atoi does, from a field of two characters.
int field_number(const char* chars) {
  std::string text = field_text(chars, 2);
  const char* p = text.c_str();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  return negative ? -value : value;
}

// The version-record walk. Every record must lie inside the header; a chain
// that comes back to a record already seen ends the walk without a version.
// Returns 0 for a record outside the header.
int find_version(const uint8_t* bytes, size_t header_length, uint32_t* version) {
  *version = IMAGE_VERSION_NONE;
  if (get_le16(bytes + IMAGE_HAS_RECORDS_AT) == 0) return 1;
  std::vector<bool> seen(header_length, false);
  size_t r = get_le16(bytes + IMAGE_FIRST_RECORD_AT);
  while (r < header_length) {
    if (r + RECORD_SIZE > header_length) return 0;
    if (seen[r]) return 1;
    seen[r] = true;
    if (get_le16(bytes + r + RECORD_TAG_AT) == RECORD_TAG_VERSION) {
      *version = get_le16(bytes + r + RECORD_VALUE_AT);
      return 1;
    }
    r = get_le16(bytes + r + RECORD_NEXT_AT);
  }
  return 1;
}

}  // namespace

uint8_t header_byte_sum(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

uint32_t body_word_sum(const uint8_t* bytes, size_t count) {
  uint32_t sum = 0;
  size_t whole = count / 4 * 4;
  for (size_t i = 0; i < whole; i += 4) sum += get_le32(bytes + i);
  if (count > whole) {
    uint8_t tail[4] = {0, 0, 0, 0};
    std::memcpy(tail, bytes + whole, count - whole);
    sum += get_le32(tail);
  }
  return sum;
}

std::string format_date_code(const char* date_code) {
  int month = field_number(date_code);
  if (month < 1 || month > 12) return "N/A";
  return std::string(MONTHS[month - 1]) + " " + field_text(date_code + 2, 2) + "," +
         field_text(date_code + 4, 4);
}

std::string format_size(uint32_t value, int width) {
  std::string text;
  if (value == 0) return "0";
  std::string digits = std::to_string(value);
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  if (width > 0 && static_cast<size_t>(width) > text.size())
    text.insert(0, static_cast<size_t>(width) - text.size(), ' ');
  return text;
}

std::string folder_of(const std::string& path) {
  size_t cut = path.rfind('\\');
  return cut == std::string::npos ? path : path.substr(0, cut);
}

ImageCheck validate_image_bytes(const uint8_t* bytes, size_t size) {
  ImageCheck result{MSG_ILLEGAL_FORMAT, IMAGE_VERSION_NONE};
  // Too short for the fixed header: nothing below may be read.
  if (size < IMAGE_FIXED_HEADER) return result;
  if (std::memcmp(bytes + IMAGE_MAGIC_AT, IMAGE_MAGIC, 4) != 0) return result;
  if (get_le16(bytes + IMAGE_FORMAT_AT) != IMAGE_FORMAT) return result;
  if (!masked_equal(get_le32(bytes + IMAGE_PRODUCT_AT), ACCEPTED_PRODUCT, PRODUCT_MASK))
    return result;
  size_t header_length = get_le16(bytes + IMAGE_HEADER_LENGTH_AT);
  if (header_length < IMAGE_FIXED_HEADER || header_length > size) return result;

  result.message = MSG_BAD_CHECKSUM;
  if (header_byte_sum(bytes, header_length) != 0) return result;
  uint32_t body = body_word_sum(bytes + header_length, size - header_length);
  if (static_cast<uint32_t>(body + get_le32(bytes + IMAGE_BODY_SUM_AT)) != 0) return result;

  uint32_t version;
  if (!find_version(bytes, header_length, &version)) {
    result.message = MSG_ILLEGAL_FORMAT;
    return result;
  }
  result.message = nullptr;
  result.version = version;
  return result;
}

std::string image_version_text(uint32_t version) {
  if (version == IMAGE_VERSION_NONE) return "N/A";
  char text[16];
  std::snprintf(text, sizeof text, "v%d.%02d", static_cast<int>(version >> 8 & 0xFF),
                static_cast<int>(version & 0xFF));
  return text;
}

uint32_t stamp_value(const LocalTime& t) {
  return static_cast<uint32_t>((t.year + 4) & 0x3F) << 26 |
         static_cast<uint32_t>(t.month & 0xF) << 22 | static_cast<uint32_t>(t.day & 0x1F) << 17 |
         static_cast<uint32_t>(t.hour & 0x1F) << 12 |
         static_cast<uint32_t>(t.minute & 0x3F) << 6 | static_cast<uint32_t>(t.second & 0x3F);
}

namespace {

// Seconds since 1970-01-01 00:00 of a broken-down time read as UTC.
long long civil_seconds(const std::tm& t) {
  long long y = t.tm_year + 1900;
  const unsigned m = static_cast<unsigned>(t.tm_mon + 1);
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(t.tm_mday) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long days = era * 146097 + static_cast<long long>(doe) - 719468;
  return days * 86400 + t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

}  // namespace

LocalTime local_time_now() {
  std::time_t now = std::time(nullptr);
  std::tm parts{}, utc{};
#ifdef _WIN32
  localtime_s(&parts, &now);
  gmtime_s(&utc, &now);
#else
  localtime_r(&now, &parts);
  gmtime_r(&now, &utc);
#endif
  const int offset = static_cast<int>(civil_seconds(parts) - civil_seconds(utc));
  // A leap second reads as 60; the field holds 0 to 59.
  int second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                   parts.tm_hour,        parts.tm_min,     second, offset};
}

void stamp_header(uint8_t* image, size_t size, const LocalTime* at) {
  if (size < IMAGE_FIXED_HEADER || std::memcmp(image + IMAGE_MAGIC_AT, IMAGE_MAGIC, 4) != 0)
    return;
  LocalTime now = at ? *at : local_time_now();
  put_le32(image + IMAGE_STAMP_AT, stamp_value(now));
}
