#include <cstdio>
#include <new>

#include "app/settings.h"
#include "image/image.h"
#include "platform/file_names.h"

int read_image_file(const std::string& path, std::vector<uint8_t>* image) {
  image->clear();
  uint64_t size = 0;
  if (!regular_file_size(path, &size)) return 0;
  // Beyond 4 GB the checks and the transfer would only see part of the file.
  if (size > 0xFFFFFFFFu) return 0;
  try {
    image->resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  std::FILE* file = open_file(path, "rb");
  if (!file) {
    image->clear();
    return 0;
  }
  size_t got = size ? std::fread(image->data(), 1, image->size(), file) : 0;
  std::fclose(file);
  if (got != image->size()) {
    image->clear();
    return 0;
  }
  return 1;
}

ImageLoad load_image(const std::string& path) {
  ImageLoad load{0, nullptr, "", "", ""};
  image_version = IMAGE_VERSION_NONE;
  // Remembered before reading: a file that fails still sets the next folder.
  write_setting_path(SETTINGS_KEY, "LastDir", folder_of(path));

  std::vector<uint8_t> image;
  if (!read_image_file(path, &image)) {
    load.message = MSG_READ_ERROR;
    return load;
  }
  ImageCheck check = check_image(image.data(), image.size());
  if (check.message) {
    load.message = check.message;
    return load;
  }
  image_version = check.version;
  load.ok = 1;
  load.version_text = image_version_text(check.version);
  load.date_text = format_date_code(reinterpret_cast<const char*>(image.data()) + IMAGE_DATE_CODE_AT);
  load.size_text = format_size(static_cast<uint32_t>(image.size()), 0);
  return load;
}
