// The device list's context menu: card lists in and out through the common
// open and save dialogs (wide file names), the reports folder, and the scan
// of address ranges, and how Upgrade runs (the rollout dialog).
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <cstring>
#include <memory>

#include "settings/settings.h"
#include "devices/card_list.h"
#include "devices/device_commands.h"
#include "devices/device_table.h"
#include "platform/event.h"
#include "platform/file_names.h"
#include "platform/files.h"

namespace {

enum MenuCommand : UINT {
  MENU_IMPORT = LIST_COMMAND_IMPORT,
  MENU_EXPORT = LIST_COMMAND_EXPORT,
  MENU_EXPORT_PASSWORDS = LIST_COMMAND_EXPORT_PASSWORDS,
  MENU_REPORTS = LIST_COMMAND_REPORTS,
  MENU_SCAN = LIST_COMMAND_SCAN,
  MENU_ROLLOUT = LIST_COMMAND_ROLLOUT,
};

struct MenuItem {
  UINT id;
  const char* text;
};

const MenuItem MENU_ITEMS[] = {
    {MENU_IMPORT, "&Import cards..."},
    {MENU_EXPORT, "&Export cards..."},
    {MENU_EXPORT_PASSWORDS, "Export cards with &passwords..."},
    {MENU_REPORTS, "Open &reports folder"},
    {MENU_SCAN, "&Scan addresses..."},
    {MENU_ROLLOUT, "R&ollout..."},
};

// The folder the list dialogs start in: UTF-8 bytes, stored as binary so
// that no code page conversion touches them.
const char* const LIST_FOLDER_SETTING = "LastListDir";
const uint32_t SETTING_BINARY = 3;

HWND list_window() { return reinterpret_cast<HWND>(devices_services().list); }
HWND main_window() { return reinterpret_cast<HWND>(devices_services().window.owner); }
void error_box(const char* text) { devices_services().window.show_error(text); }

// Files are UTF-8; the table's texts are in the ANSI code page.
std::string to_table_text(const std::string& utf8) { return utf8_to_ansi(utf8); }
std::string to_file_text(const std::string& ansi) { return ansi_to_utf8(ansi); }

std::string list_folder() {
  char folder[2048] = "";
  uint32_t type = SETTING_BINARY;
  if (!read_setting(SETTINGS_KEY, LIST_FOLDER_SETTING, folder, sizeof folder - 1, &type)) return "";
  return folder;
}

// The common dialog; the chosen path in UTF-8, or false when cancelled.
bool choose_list_file(bool save, std::string* path) {
  const wchar_t filter[] = L"CSV Files (*.csv)\0*.csv\0All Files (*.*)\0*.*\0";
  wchar_t file[MAX_PATH * 4] = L"";
  std::wstring folder = wide_text(list_folder());
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = main_window();
  ofn.lpstrFilter = filter;
  ofn.lpstrFile = file;
  ofn.nMaxFile = static_cast<DWORD>(std::size(file));
  ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  ofn.lpstrDefExt = L"csv";
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
              (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST);
  // A modal step: the refresh pass waits, as for the account dialog.
  Event& modal_step = *devices_services().modal_step;
  modal_step.set();
  BOOL chosen = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  // A run that holds the cards keeps its own step until its report.
  const DeviceTable* table = devices_services().table;
  if (!table || !table->run_holds) modal_step.reset();
  if (!chosen || !file[0]) return false;
  *path = utf8_text(file);
  std::string chosen_folder = utf8_text(std::wstring(file, ofn.nFileOffset ? ofn.nFileOffset - 1 : 0).c_str());
  write_setting(SETTINGS_KEY, LIST_FOLDER_SETTING, chosen_folder.c_str(),
                static_cast<uint32_t>(chosen_folder.size() + 1), SETTING_BINARY);
  return true;
}

void import_cards() {
  std::string path, text, reason;
  if (!choose_list_file(false, &path)) return;
  if (!read_file_text(path, CARD_LIST_FILE_MAX, &text, &reason)) {
    error_box(("Cards not imported: " + reason).c_str());
    return;
  }
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list(text, &cards, &errors);
  // As the account dialog's OK, for every line: the row added or updated,
  // then the card asked. One merge for the whole list.
  DeviceTable& table = *devices_services().table;
  std::vector<std::unique_ptr<DeviceRecord>> records =
      listed_card_records(table, cards, default_account(), to_table_text);
  merge_devices(table, records, 1);
  for (const CardLine& card : cards) devices_services().query_card(card.ip);
  update_upgrade_button(table);
  if (!errors.empty()) error_box(to_table_text(card_list_errors_text(errors)).c_str());
}

void export_cards(bool with_passwords) {
  std::string path, reason;
  if (!choose_list_file(true, &path)) return;
  std::vector<DeviceRecord> rows;
  DeviceTable& table = *devices_services().table;
  for (int row = 0; row < row_count(table); ++row)
    if (const DeviceRecord* r = row_record(table, row)) rows.push_back(*r);
  if (!write_file_whole(path, to_file_text(write_card_list(rows, with_passwords)), &reason))
    error_box(("Cards not exported: " + reason).c_str());
}

void open_reports_folder() {
  std::string folder = reports_folder(), reason;
  if (!make_folder_path(folder, &reason)) {
    error_box(("Cannot open the reports folder: " + reason).c_str());
    return;
  }
  ShellExecuteW(main_window(), L"open", wide_text(folder).c_str(), nullptr, nullptr,
                SW_SHOWNORMAL);
}

// From the keyboard the menu opens below the focused row, or at the list's
// top left corner.
POINT keyboard_menu_point() {
  HWND list = list_window();
  POINT at{0, 0};
  int focused = static_cast<int>(SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  RECT r{};
  r.left = LVIR_LABEL;
  if (focused >= 0 && SendMessageA(list, LVM_GETITEMRECT, focused, reinterpret_cast<LPARAM>(&r)))
    at = POINT{r.left, r.bottom};
  ClientToScreen(list, &at);
  return at;
}

bool menu_open = false;

void run_menu(POINT at) {
  if (menu_open) return;
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  for (const MenuItem& item : MENU_ITEMS) AppendMenuA(menu, MF_STRING, item.id, item.text);
  menu_open = true;
  UINT chosen = static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                                 at.x, at.y, 0, list_window(), nullptr));
  menu_open = false;
  DestroyMenu(menu);
  run_device_list_command(chosen);
}

}  // namespace

int device_list_menu(WindowHandle, HandlerArg, HandlerArg source, HandlerArg where, HandlerArg) {
  if (reinterpret_cast<HWND>(source) != list_window()) return 1;
  POINT at{static_cast<short>(LOWORD(where)), static_cast<short>(HIWORD(where))};
  if (where == -1 || (LOWORD(where) == 0xFFFF && HIWORD(where) == 0xFFFF)) at = keyboard_menu_point();
  run_menu(at);
  return 0;
}

void device_list_menu_from_keyboard() { run_menu(keyboard_menu_point()); }

const char* device_list_command_text(unsigned command) {
  for (const MenuItem& item : MENU_ITEMS)
    if (item.id == command) return item.text;
  return nullptr;
}

void run_device_list_command(unsigned command) {
  switch (command) {
    case MENU_IMPORT:
      import_cards();
      return;
    case MENU_EXPORT:
      export_cards(false);
      return;
    case MENU_EXPORT_PASSWORDS:
      export_cards(true);
      return;
    case MENU_REPORTS:
      open_reports_folder();
      return;
    case MENU_SCAN:
      devices_services().scan_addresses();
      return;
    case MENU_ROLLOUT:
      devices_services().rollout();
      return;
    default:
      return;
  }
}
