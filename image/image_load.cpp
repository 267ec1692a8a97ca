#include <sys/stat.h>

#include <cstdio>
#include <new>

#include "app/settings.h"
#include "image/image.h"

int read_image_file(const std::string& path, std::vector<uint8_t>* image) {
  image->clear();
  // The size from the directory entry, by the same narrow name fopen takes.
#ifdef _WIN32
  struct _stat64 entry;
  if (_stat64(path.c_str(), &entry) != 0 || !(entry.st_mode & _S_IFREG)) return 0;
#else
  struct stat entry;
  if (stat(path.c_str(), &entry) != 0 || !S_ISREG(entry.st_mode)) return 0;
#endif
  // Beyond 4 GB the checks and the transfer would only see part of the file.
  uint64_t size = static_cast<uint64_t>(entry.st_size);
  if (size > 0xFFFFFFFFu) return 0;
  try {
    image->resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
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
  write_setting_text(SETTINGS_KEY, "LastDir", folder_of(path).c_str());

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
