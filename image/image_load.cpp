#include <cstdio>
#include <new>

#include "settings/settings.h"
#include "image/image.h"
#include "platform/file_names.h"

const char* read_image_bytes(const std::string& path, std::vector<uint8_t>* image) {
  image->clear();
  uint64_t size = 0;
  if (!regular_file_size(path, &size)) return MSG_READ_ERROR;
  // Refused before it is read: a file of gigabytes is never taken in.
  if (size > IMAGE_SIZE_MAX) return MSG_TOO_LARGE;
  try {
    image->resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return MSG_READ_ERROR;
  }
  std::FILE* file = open_file(path, "rb");
  if (!file) {
    image->clear();
    return MSG_READ_ERROR;
  }
  size_t got = size ? std::fread(image->data(), 1, image->size(), file) : 0;
  // A file still being written has grown since its size was taken.
  bool more = std::fgetc(file) != EOF;
  std::fclose(file);
  if (got != image->size() || more) {
    image->clear();
    return MSG_READ_ERROR;
  }
  return nullptr;
}

int read_image_file(const std::string& path, std::vector<uint8_t>* image) {
  return read_image_bytes(path, image) ? 0 : 1;
}

OpenedImage opened_image_of(const std::string& path, const std::vector<uint8_t>& bytes,
                            uint32_t version) {
  OpenedImage opened;
  opened.path = path;
  opened.version = version;
  opened.size = static_cast<uint32_t>(bytes.size());
  opened.digest = sha256(bytes.data(), bytes.size());
  return opened;
}

ImageLoad load_image(const std::string& path) {
  ImageLoad load{};
  load.opened.path = path;
  image_version = IMAGE_VERSION_NONE;
  // Remembered before reading: a file that fails still sets the next folder.
  write_setting_path(SETTINGS_KEY, "LastDir", folder_of(path));

  std::vector<uint8_t> image;
  if (const char* refusal = read_image_bytes(path, &image)) {
    load.message = refusal;
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
  load.opened = opened_image_of(path, image, check.version);
  return load;
}
