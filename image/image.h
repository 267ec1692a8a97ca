#pragma once
// Firmware image files: their layout, the checks an image passes before it is
// shown or sent, the one reader of an image file, the texts of its version,
// date code and size, and the upload time stamp. Plain functions over bytes;
// the Open command only shows what load_image returns.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/sha256.h"

// Fixed header fields, little-endian, offsets from the start of the file.
inline constexpr size_t IMAGE_MAGIC_AT = 0;          // "ROZE"
inline constexpr size_t IMAGE_FORMAT_AT = 4;         // u16, IMAGE_FORMAT
inline constexpr size_t IMAGE_HEADER_LENGTH_AT = 6;  // u16, body starts here
inline constexpr size_t IMAGE_HAS_RECORDS_AT = 8;    // u16, 0: chain not searched
inline constexpr size_t IMAGE_FIRST_RECORD_AT = 10;  // u16
inline constexpr size_t IMAGE_PRODUCT_AT = 12;       // u32
inline constexpr size_t IMAGE_DATE_CODE_AT = 16;     // 8 characters MMDDYYYY
inline constexpr size_t IMAGE_BODY_SUM_AT = 24;      // u32, -(body word sum)
inline constexpr size_t IMAGE_STAMP_AT = 28;         // u32, upload time
inline constexpr size_t IMAGE_FIXED_HEADER = 32;

// One link of the record chain inside the header.
inline constexpr size_t RECORD_NEXT_AT = 0;    // u16, file offset of the next record
inline constexpr size_t RECORD_TAG_AT = 20;    // u16
inline constexpr size_t RECORD_VALUE_AT = 22;  // u16
inline constexpr size_t RECORD_SIZE = 24;
inline constexpr uint16_t RECORD_TAG_VERSION = 0xC000;

inline constexpr char IMAGE_MAGIC[4] = {'R', 'O', 'Z', 'E'};
inline constexpr uint16_t IMAGE_FORMAT = 0x0101;
inline constexpr uint32_t IMAGE_VERSION_NONE = 0xFFFFFFFFu;

inline constexpr const char* MSG_READ_ERROR = "Error in reading file !";
inline constexpr const char* MSG_ILLEGAL_FORMAT = "Illegal file format !";
inline constexpr const char* MSG_BAD_CHECKSUM = "Bad file checksum !";
inline constexpr const char* MSG_TOO_LARGE = "Image too large for the card";

// The largest image a card can take: it numbers the blocks of 512 bytes in
// 16 bits, and the last block is always a short one.
inline constexpr uint32_t IMAGE_SIZE_MAX = 65535u * 512 - 1;

uint8_t header_byte_sum(const uint8_t* bytes, size_t count);
uint32_t body_word_sum(const uint8_t* bytes, size_t count);

// "Jul 04,2000" for 07042000; "N/A" when the month is not 1 to 12.
std::string format_date_code(const char* date_code);
// Digits grouped by "," in threes, padded on the left with blanks to width.
std::string format_size(uint32_t value, int width);
// The path up to its last backslash; the whole path when it has none.
std::string folder_of(const std::string& path);

// The outcome of checking image bytes.
struct ImageCheck {
  const char* message;  // nullptr when the image passed
  uint32_t version;     // IMAGE_VERSION_NONE when no version record was found
};
// The five checks in order, then the version-record walk. Never reads
// outside bytes[0..size).
ImageCheck validate_image_bytes(const uint8_t* bytes, size_t size);

// "v%d.%02d" of a version word, "N/A" for none.
std::string image_version_text(uint32_t version);

// Reads a whole image file into image, sized exactly: nullptr, or
// MSG_TOO_LARGE for a file over IMAGE_SIZE_MAX bytes (seen before anything
// is read) or MSG_READ_ERROR. Never reads more than IMAGE_SIZE_MAX + 1 bytes.
const char* read_image_bytes(const std::string& path, std::vector<uint8_t>* image);
// The same, 1 on success.
int read_image_file(const std::string& path, std::vector<uint8_t>* image);

// The image the Open command accepted, as a value: the batch sends the file
// at path only while its bytes are these (the same size and digest).
struct OpenedImage {
  std::string path;
  uint32_t version = IMAGE_VERSION_NONE;
  uint32_t size = 0;
  Sha256 digest{};
};
OpenedImage opened_image_of(const std::string& path, const std::vector<uint8_t>& bytes,
                            uint32_t version);

// An image file read and checked. The one reader behind Open, the
// command-line tool's check and upgrade, and the batch that sends it.
struct ImageFile {
  std::vector<uint8_t> bytes;  // empty unless the file passed
  ImageCheck check{nullptr, IMAGE_VERSION_NONE};
  OpenedImage opened;  // its path alone unless the file passed
};
// Reads the file at path and runs the checks: nullptr when it passed, else
// the refusal (MSG_TOO_LARGE, said before anything is read, MSG_READ_ERROR,
// or the first check that failed).
const char* read_checked_image(const std::string& path, ImageFile* file);
// True when the bytes of two readings are one file: the same size, digest
// and version (a rebuilt image keeps its number).
bool same_image(const OpenedImage& a, const OpenedImage& b);

// What the Open command shows after load_image.
struct ImageLoad {
  int ok;
  const char* message;  // the error box's text when !ok
  std::string version_text;
  std::string date_text;
  std::string size_text;
  OpenedImage opened;  // its path alone when !ok
};
// Stores the path's folder as "LastDir", reads and checks the file, and on
// success sets the texts and the opened image.
ImageLoad load_image(const std::string& path);

// Local date and time as the stamp uses it.
struct LocalTime {
  int year, month, day, hour, minute, second;
  // Seconds east of UTC when the time was read: a summer time change during
  // a transfer moves the clock, not the transfer's length.
  int utc_offset = 0;
};
LocalTime local_time_now();
uint32_t stamp_value(const LocalTime& t);
// Writes the stamp field when the image starts with "ROZE" and holds the
// fixed header; at is the time to write (now when nullptr).
void stamp_header(uint8_t* image, size_t size, const LocalTime* at = nullptr);

inline uint16_t get_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t get_le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
