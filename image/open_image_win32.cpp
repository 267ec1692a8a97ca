// The Open command: the open-file dialog, then the checks of load_image and
// the three information fields of the main panel.
#include <windows.h>

#include "toolkit/win32_handle.h"
#include "settings/settings.h"
#include "image/image.h"
#include "image/open_image.h"
#include "platform/file_names.h"
#include "toolkit/builder.h"

namespace {

// What the last Open read; only the path after one that failed.
OpenedImage opened;

ImageServices services;


// Labels and patterns, each NUL-terminated, and an empty text at the end.
const char IMAGE_FILTER[] = "Binary Files(*.bin)\0*.bin;*.bon\0All Files(*.*)\0*.*\0";

void show_load(const ImageLoad& load) {
  SetWindowTextA(hwnd(services.version), load.ok ? load.version_text.c_str() : "");
  SetWindowTextA(hwnd(services.date_code), load.ok ? load.date_text.c_str() : "");
  SetWindowTextA(hwnd(services.file_size), load.ok ? load.size_text.c_str() : "");
}

}  // namespace

void register_image_services(const ImageServices& given) { services = given; }

const OpenedImage& opened_image() { return opened; }

int open_image(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  std::string folder;
  if (!read_setting_path(SETTINGS_KEY, "LastDir", &folder)) folder.clear();
  char path[1024] = "";
  if (!choose_open_file(services.window.owner, path, sizeof path,
                        {{"INITDIR", folder.c_str()}, {"FILTER", IMAGE_FILTER}}) ||
      !path[0])
    return 0;

  // The field shows the path whole; the batch is given what was read.
  SetWindowTextW(hwnd(services.file_name), wide_text(path).c_str());
  // The fields are emptied and Upgrade disabled before the file is read.
  show_load(ImageLoad{});
  EnableWindow(hwnd(services.upgrade_button), FALSE);
  ImageLoad load = load_image(path);
  // Kept when the file fails too: Upgrade reads it again and names the fault.
  opened = load.opened;
  show_load(load);
  if (!load.ok) services.window.show_error(load.message);
  services.opened();
  return 0;
}
