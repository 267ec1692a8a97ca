// mkimage OUT [--version MAJOR.MINOR|none] [--no-records] [--date MMDDYYYY]
//             [--size N [--seed N] | --body FILE] [--product HEX] [--broken KIND]
// Writes a firmware image file; KIND is one of magic, format, product,
// header-sum, body-sum, truncated, record-outside, looping-chain.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/image.h"
#include "tools/mkimage/image_maker.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: mkimage OUT [--version MAJOR.MINOR|none] [--no-records] [--date MMDDYYYY]\n"
               "               [--size N [--seed N] | --body FILE] [--product HEX] [--broken KIND]\n");
  return 2;
}

int parse_number(const char* text, unsigned long long* value, int base) {
  char* end = nullptr;
  if (!*text || *text == '-') return 0;
  *value = std::strtoull(text, &end, base);
  return *end == '\0';
}

int parse_version(const char* text, ImagePlan* plan) {
  if (!std::strcmp(text, "none")) {
    plan->has_version = false;
    return 1;
  }
  unsigned major = 0, minor = 0;
  char tail = 0;
  if (std::sscanf(text, "%u.%u%c", &major, &minor, &tail) != 2 || major > 255 || minor > 255)
    return 0;
  plan->version = static_cast<uint16_t>(major << 8 | minor);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return usage();
  const char* out = argv[1];
  ImagePlan plan;
  unsigned long long size = 0, seed = 1;
  const char* body_file = nullptr;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--no-records") {
      plan.has_records = false;
      continue;
    }
    if (!value) return usage();
    ++i;
    unsigned long long number = 0;
    if (arg == "--version") {
      if (!parse_version(value, &plan)) return usage();
    } else if (arg == "--date") {
      if (std::strlen(value) != 8) return usage();
      plan.date_code = value;
    } else if (arg == "--size") {
      if (!parse_number(value, &size, 10)) return usage();
    } else if (arg == "--seed") {
      if (!parse_number(value, &seed, 10)) return usage();
    } else if (arg == "--body") {
      body_file = value;
    } else if (arg == "--product") {
      if (!parse_number(value, &number, 16) || number > 0xFFFFFFFFull) return usage();
      plan.product = static_cast<uint32_t>(number);
    } else if (arg == "--broken") {
      if (!broken_from_name(value, &plan.broken)) return usage();
    } else {
      return usage();
    }
  }
  if (body_file) {
    if (!read_image_file(body_file, &plan.body)) {
      std::fprintf(stderr, "mkimage: cannot read %s\n", body_file);
      return 1;
    }
  } else {
    plan.body = make_body(static_cast<size_t>(size), static_cast<uint32_t>(seed));
  }
  std::vector<uint8_t> image = make_image(plan);
  std::FILE* file = std::fopen(out, "wb");
  if (!file) {
    std::fprintf(stderr, "mkimage: cannot write %s\n", out);
    return 1;
  }
  size_t written = image.empty() ? 0 : std::fwrite(image.data(), 1, image.size(), file);
  if (std::fclose(file) != 0 || written != image.size()) {
    std::fprintf(stderr, "mkimage: cannot write %s\n", out);
    return 1;
  }
  return 0;
}
