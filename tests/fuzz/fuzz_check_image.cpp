#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "image/image.h"

// The checks on untrusted file bytes: no read outside the buffer, no endless
// chain walk, a version only for images that pass, and a stamp that touches
// nothing but its own field.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);
  ImageCheck check = validate_image_bytes(image.data(), image.size());
  if (check.message && check.version != IMAGE_VERSION_NONE) __builtin_trap();
  if (check.version != IMAGE_VERSION_NONE && check.version > 0xFFFF) __builtin_trap();
  if (check.message && std::strcmp(check.message, MSG_ILLEGAL_FORMAT) &&
      std::strcmp(check.message, MSG_BAD_CHECKSUM))
    __builtin_trap();

  const LocalTime at{2000, 6, 15, 10, 30, 45};
  stamp_header(image.data(), image.size(), &at);
  for (size_t i = 0; i < size; ++i)
    if ((i < IMAGE_STAMP_AT || i >= IMAGE_STAMP_AT + 4) && image[i] != data[i]) __builtin_trap();
  if (size >= 8) {
    std::string date = format_date_code(reinterpret_cast<const char*>(data));
    if (date != "N/A" && date.size() > 11) __builtin_trap();
  }
  return 0;
}
