// The Open command: the open-file dialog, then the checks of load_image and
// the three information fields of the main panel.
#include <windows.h>

#include "app/settings.h"
#include "app/ui.h"
#include "devices/device_table.h"
#include "image/image.h"
#include "platform/file_names.h"
#include "toolkit/builder.h"

namespace {

// What the last Open read; only the path after one that failed.
OpenedImage opened;

HWND panel(int index) { return reinterpret_cast<HWND>(ui.panel[index]); }

// Labels and patterns, each NUL-terminated, and an empty text at the end.
const char IMAGE_FILTER[] = "Binary Files(*.bin)\0*.bin;*.bon\0All Files(*.*)\0*.*\0";

void show_load(const ImageLoad& load) {
  SetWindowTextA(panel(PANEL_VERSION), load.ok ? load.version_text.c_str() : "");
  SetWindowTextA(panel(PANEL_DATE_CODE), load.ok ? load.date_text.c_str() : "");
  SetWindowTextA(panel(PANEL_FILE_SIZE), load.ok ? load.size_text.c_str() : "");
}

}  // namespace

const OpenedImage& opened_image() { return opened; }

int open_image(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  std::string folder;
  if (!read_setting_path(SETTINGS_KEY, "LastDir", &folder)) folder.clear();
  char path[1024] = "";
  if (!choose_open_file(ui.main_window, path, sizeof path,
                        {{"INITDIR", folder.c_str()}, {"FILTER", IMAGE_FILTER}}) ||
      !path[0])
    return 0;

  // The field shows the path whole; the batch is given what was read.
  SetWindowTextW(panel(PANEL_FILE_NAME), wide_text(path).c_str());
  // The fields are emptied and Upgrade disabled before the file is read.
  show_load(ImageLoad{});
  EnableWindow(panel(PANEL_UPGRADE), FALSE);
  ImageLoad load = load_image(path);
  // Kept when the file fails too: Upgrade reads it again and names the fault.
  opened = load.opened;
  show_load(load);
  if (!load.ok) show_error(load.message);
  update_upgrade_button(devices());
  return 0;
}
