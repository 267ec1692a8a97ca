// The batch setting dialog: one user name or password for the selected rows,
// or for every row whose field is still empty.
#include <windows.h>

#include <cstring>

#include "toolkit/win32_handle.h"
#include "devices/account_dialog.h"
#include "devices/device_commands.h"
#include "devices/device_table.h"
#include "resources/resource.h"
#include "toolkit/handlers.h"

namespace {

const int USER_NAME_COLUMN = 3;
int batch_column = 4;
HWND batch_edit = nullptr;


int batch_ok(WindowHandle dialog, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  DeviceTable& table = *devices_services().table;
  int selected = table.list->selected_count();
  char text[32];
  GetWindowTextA(batch_edit, text, sizeof text);
  for (int row = row_count(table) - 1; row >= 0; --row) {
    DeviceRecord* r = row_record(table, row);
    if (!r) continue;
    if (selected > 0 && !(table.list->item_state(row, STATE_SELECTED) & STATE_SELECTED)) continue;
    char* field = batch_column == USER_NAME_COLUMN ? r->user_name : r->password;
    if (selected > 0 || field[0] == '\0') {
      std::strcpy(field, text);
      show_row_texts(table, row, *r);
    }
  }
  EndDialog(hwnd(dialog), 1);
  remove_handlers(dialog);
  return 0;
}

int batch_cancel(WindowHandle dialog, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  EndDialog(hwnd(dialog), 0);
  remove_handlers(dialog);
  return 0;
}

std::intptr_t batch_dialog_init(WindowHandle dialog, std::uintptr_t, std::intptr_t column) {
  register_handlers(dialog, {{WM_COMMAND, batch_ok, IDOK, 0}, {WM_COMMAND, batch_cancel, IDCANCEL, 0}});
  batch_column = static_cast<int>(column);
  batch_edit = GetDlgItem(hwnd(dialog), IDC_BATCH_EDIT);
  // The fields hold 31 characters; the edit takes no more.
  SendMessageA(batch_edit, EM_LIMITTEXT, 31, 0);
  SetWindowTextA(hwnd(dialog), "Daveridur -- Batch Setting");
  if (batch_column == USER_NAME_COLUMN) SetDlgItemTextA(hwnd(dialog), IDC_BATCH_LABEL, "Account : ");
  SetFocus(batch_edit);
  return 0;
}

}  // namespace

void open_batch_setting(int column) {
  const DevicesServices& services = devices_services();
  if (row_count(*services.table) == 0) return;
  register_creation_handler(batch_dialog_init);
  DialogBoxParamA(reinterpret_cast<HINSTANCE>(services.window.instance),
                  MAKEINTRESOURCEA(IDD_BATCH_SETTING), reinterpret_cast<HWND>(services.window.owner),
                  reinterpret_cast<DLGPROC>(shared_dialog_proc), column);
}
