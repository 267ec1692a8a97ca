// The account dialog (one card's address and account, edited in place) and
// the Add and Modify commands that run it.
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "settings/settings.h"
#include "devices/account_dialog.h"
#include "devices/device_commands.h"
#include "devices/device_table.h"
#include "platform/event.h"
#include "protocol/address.h"
#include "protocol/packet.h"
#include "resources/resource.h"

namespace {

DevicesServices services;

void error_box(const char* text) { services.window.show_error(text); }

DeviceRecord* dialog_record(HWND dialog) {
  return reinterpret_cast<DeviceRecord*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

void show_address(HWND dialog, uint32_t ip) { SetDlgItemTextA(dialog, IDC_ACCOUNT_IP, ip_to_text(ip)); }

// The address field lost the focus: keep a valid address, refuse anything
// else (naming the text, never read another way) and put the previous one back.
void store_address(HWND dialog, DeviceRecord* r) {
  char text[255];
  GetDlgItemTextA(dialog, IDC_ACCOUNT_IP, text, sizeof text);
  strip_blanks(text, text);
  // The address the dialog shows, untouched (the proposal may be no card's,
  // as on a computer without a network): judged at OK, not on the way to
  // Cancel.
  if (std::strcmp(text, ip_to_text(r->ip)) == 0) return;
  uint32_t ip = 0;
  std::string why;
  if (read_card_address(text, &ip, &why)) {
    r->ip = ip;
    // The record may be a listed row's: its address is found anew.
    reindex_rows(*services.table);
    show_address(dialog, ip);
    return;
  }
  error_box(("Bad IP address\r\n\r\n" + why).c_str());
  show_address(dialog, r->ip);
  SetFocus(GetDlgItem(dialog, IDC_ACCOUNT_IP));
}

// At most 30 characters, as the edit is read with a 31-byte limit.
void store_field(HWND dialog, int id, char* field) {
  char text[31];
  GetDlgItemTextA(dialog, id, text, sizeof text);
  std::strcpy(field, text);
}

void init_account_dialog(HWND dialog, DeviceRecord* r) {
  SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(r));
  if (!r->filled) {
    r->ip = host_network_address();
    set_user_name(r, default_account().c_str());
  }
  show_address(dialog, r->ip);
  SetDlgItemTextA(dialog, IDC_ACCOUNT_USER, r->user_name);
  SetDlgItemTextA(dialog, IDC_ACCOUNT_PASSWORD, r->password);
  SetFocus(GetDlgItem(dialog, IDC_ACCOUNT_IP));
}

// The edit that has the focus loses it as the dialog goes away; by then the
// dialog lets go of the record, so Esc and the close box store nothing and a
// late "Bad IP address" cannot appear.
void close_account_dialog(HWND dialog, int result) {
  SetWindowLongPtrA(dialog, DWLP_USER, 0);
  EndDialog(dialog, result);
}

void confirm_account(HWND dialog, DeviceRecord* r, HWND button) {
  // Taking the focus makes the field that still has it store itself first.
  SetFocus(button);
  // The address must be a card's, the one proposed included.
  uint32_t ip = 0;
  std::string why;
  if (!read_card_address(ip_to_text(r->ip), &ip, &why)) {
    error_box(("Bad IP address\r\n\r\n" + why).c_str());
    SetFocus(GetDlgItem(dialog, IDC_ACCOUNT_IP));
    return;
  }
  r->filled = 1;
  r->unanswered_queries = 1;
  write_setting(SETTINGS_KEY, "LastAccount", r->user_name,
                static_cast<uint32_t>(std::strlen(r->user_name) + 1), SETTING_TEXT);
  close_account_dialog(dialog, 1);
}

INT_PTR CALLBACK account_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    init_account_dialog(dialog, reinterpret_cast<DeviceRecord*>(lparam));
    return FALSE;  // the focus is set
  }
  if (message != WM_COMMAND) return FALSE;
  DeviceRecord* r = dialog_record(dialog);
  if (!r) return FALSE;
  int id = LOWORD(wparam);
  int code = HIWORD(wparam);
  if (code == EN_KILLFOCUS) {
    if (id == IDC_ACCOUNT_IP) store_address(dialog, r);
    if (id == IDC_ACCOUNT_USER) store_field(dialog, id, r->user_name);
    if (id == IDC_ACCOUNT_PASSWORD) store_field(dialog, id, r->password);
    return TRUE;
  }
  if (id == IDOK) {
    confirm_account(dialog, r, lparam ? reinterpret_cast<HWND>(lparam) : GetDlgItem(dialog, IDOK));
    return TRUE;
  }
  if (id == IDCANCEL) {
    close_account_dialog(dialog, 0);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void register_devices_services(const DevicesServices& given) { services = given; }
const DevicesServices& devices_services() { return services; }

int edit_account(DeviceRecord* record) {
  Event& modal_step = *services.modal_step;
  modal_step.set();
  INT_PTR result = DialogBoxParamA(reinterpret_cast<HINSTANCE>(services.window.instance),
                                   MAKEINTRESOURCEA(IDD_ACCOUNT),
                                   reinterpret_cast<HWND>(services.window.owner), account_proc,
                                   reinterpret_cast<LPARAM>(record));
  // A run that holds the cards keeps its own step until its report.
  if (!services.table || !services.table->run_holds) modal_step.reset();
  return result == 1;
}

int add_device(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  auto record = std::make_unique<DeviceRecord>();
  std::memset(record.get(), 0, sizeof(DeviceRecord));
  if (!edit_account(record.get())) return 0;
  uint32_t ip = record->ip;
  merge_device(*services.table, std::move(record), 1);
  services.query_card(ip);
  return 0;
}

int modify_devices(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  DeviceTable& table = *services.table;
  for (int row = row_count(table) - 1; row >= 0; --row) {
    if (!(table.list->item_state(row, STATE_SELECTED) & STATE_SELECTED)) continue;
    edit_row(row);
  }
  return 0;
}

int edit_row(int row) {
  DeviceTable& table = *services.table;
  // Held for the dialog: the row may go meanwhile, its record stays.
  std::shared_ptr<DeviceRecord> record = hold_row(table, row);
  if (!record) return 0;
  int confirmed = edit_account(record.get());
  // Rows are only appended while a dialog is open, so the index still holds.
  if (confirmed && row_record(table, row) == record.get()) {
    refresh_row(table, row, *record);
    services.query_card(record->ip);
  }
  return confirmed;
}
