#include "tools/mkimage/image_maker.h"

#include <cstring>

#include "image/image.h"

namespace {

const uint16_t FILLER_AT = 32;
const uint16_t VERSION_AT = 56;
const uint16_t BALANCE_AT = FILLER_AT + 2;  // inside the record's uninterpreted bytes

struct BrokenName {
  const char* name;
  Broken kind;
};
const BrokenName BROKEN_NAMES[] = {
    {"magic", Broken::magic},
    {"format", Broken::format},
    {"product", Broken::product},
    {"header-sum", Broken::header_sum},
    {"body-sum", Broken::body_sum},
    {"truncated", Broken::truncated},
    {"record-outside", Broken::record_outside},
    {"looping-chain", Broken::looping_chain},
};

void put_record(uint8_t* r, uint16_t next, uint16_t tag, uint16_t value) {
  put_le16(r + RECORD_NEXT_AT, next);
  put_le16(r + RECORD_TAG_AT, tag);
  put_le16(r + RECORD_VALUE_AT, value);
}

}  // namespace

std::vector<uint8_t> make_image(const ImagePlan& plan) {
  std::vector<uint8_t> image(MAKER_HEADER_LENGTH + plan.body.size(), 0);
  if (!plan.body.empty())
    std::memcpy(image.data() + MAKER_HEADER_LENGTH, plan.body.data(), plan.body.size());
  uint8_t* h = image.data();
  std::memcpy(h + IMAGE_MAGIC_AT, IMAGE_MAGIC, 4);
  put_le16(h + IMAGE_FORMAT_AT, IMAGE_FORMAT);
  put_le16(h + IMAGE_HEADER_LENGTH_AT, MAKER_HEADER_LENGTH);
  put_le16(h + IMAGE_HAS_RECORDS_AT, plan.has_records ? 1 : 0);
  put_le16(h + IMAGE_FIRST_RECORD_AT, FILLER_AT);
  put_le32(h + IMAGE_PRODUCT_AT, plan.product);
  for (size_t i = 0; i < 8 && i < plan.date_code.size(); ++i)
    h[IMAGE_DATE_CODE_AT + i] = static_cast<uint8_t>(plan.date_code[i]);

  put_record(h + FILLER_AT, VERSION_AT, 0x0001, 0);
  if (plan.broken == Broken::looping_chain)
    put_record(h + VERSION_AT, FILLER_AT, 0x0002, 0);
  else if (plan.has_version)
    put_record(h + VERSION_AT, MAKER_HEADER_LENGTH, RECORD_TAG_VERSION, plan.version);
  else
    put_record(h + VERSION_AT, MAKER_HEADER_LENGTH, 0x0002, 0);
  if (plan.broken == Broken::record_outside)
    put_le16(h + IMAGE_FIRST_RECORD_AT, MAKER_HEADER_LENGTH - RECORD_SIZE + 4);

  uint32_t body_sum = 0u - body_word_sum(h + MAKER_HEADER_LENGTH, plan.body.size());
  if (plan.broken == Broken::body_sum) body_sum += 1;
  put_le32(h + IMAGE_BODY_SUM_AT, body_sum);

  if (plan.broken == Broken::magic) std::memcpy(h + IMAGE_MAGIC_AT, "USHB", 4);
  if (plan.broken == Broken::format) put_le16(h + IMAGE_FORMAT_AT, 0x0100);
  if (plan.broken == Broken::product) put_le32(h + IMAGE_PRODUCT_AT, 0x00020004);

  h[BALANCE_AT] = static_cast<uint8_t>(0u - header_byte_sum(h, MAKER_HEADER_LENGTH));
  if (plan.broken == Broken::header_sum) h[BALANCE_AT] += 1;
  if (plan.broken == Broken::truncated) image.resize(MAKER_HEADER_LENGTH - 20);
  return image;
}

std::vector<uint8_t> make_body(size_t size, uint32_t seed) {
  std::vector<uint8_t> body(size);
  uint32_t x = seed * 2654435761u + 1;
  if (x == 0) x = 1;  // xorshift stays at 0
  for (auto& b : body) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return body;
}

int broken_from_name(const std::string& name, Broken* broken) {
  for (const auto& entry : BROKEN_NAMES) {
    if (name == entry.name) {
      *broken = entry.kind;
      return 1;
    }
  }
  return 0;
}
