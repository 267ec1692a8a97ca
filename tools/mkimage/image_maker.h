#pragma once
// Builds firmware image files for tests and the demo: valid ones and each
// kind of broken one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Every broken kind, and the message load_image gives it.
enum class Broken {
  none,
  magic,           // "USHB" in place of "ROZE"
  format,          // format word 0x0100
  product,         // product code 0x00020004
  header_sum,      // header bytes sum to 1
  body_sum,        // body_sum off by one
  truncated,       // cut inside the header
  record_outside,  // the first record reaches past the header
  looping_chain,   // the record chain loops without a version record
};

struct ImagePlan {
  uint32_t product = 0x00010004;
  bool has_records = true;     // has_records field
  bool has_version = true;     // a version record in the chain
  uint16_t version = 0x0102;
  std::string date_code = "06152000";  // 8 characters, written as given
  std::vector<uint8_t> body;
  Broken broken = Broken::none;
};

// The header is 80 bytes: the fixed fields, a filler record at 32 that also
// carries the byte balancing the header sum, and the version record at 56.
inline constexpr uint16_t MAKER_HEADER_LENGTH = 80;

std::vector<uint8_t> make_image(const ImagePlan& plan);
// size bytes of a repeatable pseudo-random body.
std::vector<uint8_t> make_body(size_t size, uint32_t seed);
// "magic", "format", ... as on mkimage's command line; 0 when unknown.
int broken_from_name(const std::string& name, Broken* broken);
