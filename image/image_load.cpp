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

const char* read_checked_image(const std::string& path, ImageFile* file) {
  *file = ImageFile{};
  file->opened.path = path;
  // Too large is said before the file is read.
  std::vector<uint8_t> bytes;
  file->check.message = read_image_bytes(path, &bytes);
  if (!file->check.message) file->check = validate_image_bytes(bytes.data(), bytes.size());
  if (file->check.message) return file->check.message;
  file->opened = opened_image_of(path, bytes, file->check.version);
  file->bytes = std::move(bytes);
  return nullptr;
}

bool same_image(const OpenedImage& a, const OpenedImage& b) {
  return a.version == b.version && a.size == b.size && a.digest == b.digest;
}

ImageLoad load_image(const std::string& path) {
  ImageLoad load{};
  load.opened.path = path;
  // Remembered before reading: a file that fails still sets the next folder.
  write_setting_path(SETTINGS_KEY, "LastDir", folder_of(path));

  ImageFile file;
  if (const char* refusal = read_checked_image(path, &file)) {
    load.message = refusal;
    return load;
  }
  load.ok = 1;
  load.version_text = image_version_text(file.check.version);
  load.date_text =
      format_date_code(reinterpret_cast<const char*>(file.bytes.data()) + IMAGE_DATE_CODE_AT);
  load.size_text = format_size(static_cast<uint32_t>(file.bytes.size()), 0);
  load.opened = file.opened;
  return load;
}
