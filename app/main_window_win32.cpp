// The main window: caption, tab control, the "Firmware Upgrade" page built
// from the main panel table, the command wiring and the quit sequence.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <memory>

#include "app/main_window.h"
#include "app/ui.h"
#include "daveridur_version.h"
#include "devices/device_table.h"
#include "discovery/discovery.h"
#include "toolkit/tabs.h"

Ui ui;

namespace {

const char* const PRODUCT_TITLE = "Duravore MX-2 SNMP/WEB Card Firmware Upgrade Utility ";
const int TAB_CONTROL_ID = 1000;
const int QUIT_BUTTON_ID = 2;
const int FOCUS_NEXT_COMMAND = 40001;
// Says that the list is full, once the step that found it so has ended: a
// message box inside a table step would hold the thread that handed it over.
const UINT_PTR FULL_NOTICE_TIMER = 0x3100;

DeviceTable device_table;
DiscoveryService discovery_service;
std::unique_ptr<TableExecutor> executor;
std::unique_ptr<ButtonPort> panel_buttons;

// The page's controls, in handle-array order. The header row is filled in
// by build_main_panel.
ControlRow main_panel_table[] = {
    {nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0},
    {"SysListView32", nullptr, 0x10830009, 1, 1, 54, 80, 9, 69, 80},
    {"button", "Add", 0x10030000, 2, 15, 24, 80, 70, 77, 80},
    {"button", "Modify", 0x18010000, 3, 25, 34, 80, 70, 77, 80},
    {"button", "Remove", 0x18030000, 4, 35, 44, 80, 70, 77, 80},
    {"button", "Discover", 0x10030000, 5, 45, 54, 80, 70, 77, 80},
    {"edit", nullptr, 0x10800802, 6, 68, 79, 80, 12, 19, 80},
    {"edit", nullptr, 0x10800802, 7, 68, 79, 80, 21, 28, 80},
    {"edit", nullptr, 0x10800802, 8, 68, 79, 80, 29, 36, 80},
    {"button", "Open", 0x10010000, 9, 70, 79, 80, 45, 53, 80},
    {"edit", nullptr, 0x10800882, 10, 58, 79, 80, 55, 63, 80},
    {"button", "Upgrade", 0x18010000, 11, 69, 79, 80, 71, 78, 80},
    {"button", " UPS List ", 0x10000007, 13, 0, 55, 80, 2, 78, 80},
    {"button", " Image Information ", 0x10000007, -1, 56, 80, 80, 2, 67, 80},
    {"static", "Version No", 0x10000002, -1, 57, 67, 80, 12, 20, 80},
    {"static", "Date Code", 0x10000002, -1, 57, 67, 80, 20, 28, 80},
    {"static", "File Size", 0x10000002, -1, 57, 67, 80, 28, 36, 80},
    {"static", "File Name", 0x10000000, -1, 57, 67, 80, 45, 53, 80},
    {nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0},
};

// Worker threads queue their table steps with this window and wake it with
// a sent message that carries nothing; it runs what is queued.
int on_table_step(WindowHandle window, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  return static_cast<int>(run_queued_table_steps(window));
}

HWND hwnd(WindowHandle w) { return reinterpret_cast<HWND>(w); }

int on_full_notice(WindowHandle window, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  KillTimer(hwnd(window), FULL_NOTICE_TIMER);
  char text[160];
  std::snprintf(text, sizeof text,
                "The UPS list is full: it holds %d cards. No more cards are added to it.",
                DEVICE_TABLE_LIMIT);
  show_error(text);
  return 0;
}

}  // namespace

DeviceTable& devices() { return device_table; }
DiscoveryService& discovery() { return discovery_service; }
TableExecutor& table_executor() { return *executor; }

int ask_operator(const char* text) {
  return MessageBoxA(hwnd(ui.main_window), text, CONFIRM_TITLE,
                     MB_YESNO | MB_ICONQUESTION | MB_TOPMOST) == IDYES;
}

void show_error(const char* text) {
  MessageBoxA(hwnd(ui.main_window), text, CONFIRM_TITLE, MB_OK | MB_ICONERROR | MB_TOPMOST);
}

void show_information(const char* text) {
  MessageBoxA(hwnd(ui.main_window), text, INFORMATION_TITLE,
              MB_OK | MB_ICONINFORMATION | MB_TOPMOST);
}

std::intptr_t on_main_create(WindowHandle window, std::uintptr_t, std::intptr_t) {
  ui.main_window = window;
  char caption[160];
  std::snprintf(caption, sizeof caption, "%s -- %s %s (Build %s)", PRODUCT_NAME, PRODUCT_TITLE,
                DAVERIDUR_VERSION_TEXT, DAVERIDUR_BUILD_TEXT);
  SetWindowTextA(hwnd(window), caption);

  ui.tab_control = create_tab_control(window, TAB_CONTROL_ID, 1, 119, 120, 2, 108, 120);
  executor.reset(open_window_executor(window));
  register_handlers(window, {{WM_CLOSE, confirm_quit, 0, 0},
                             {WM_COMMAND, close_main, QUIT_BUTTON_ID, 0},
                             {WM_COMMAND, focus_next, FOCUS_NEXT_COMMAND, 0},
                             {WM_SETFOCUS, focus_next, 0, 0},
                             {WM_TIMER, on_full_notice, FULL_NOTICE_TIMER, 0},
                             {table_step_message(), on_table_step, 0, HANDLER_FINAL_RESULT}});

  WindowHandle page = build_main_panel(ui.tab_control, 0, 1, 79, 80, 9, 79, 80);
  if (page) {
    add_tab_page(ui.tab_control, page, "Firmware Upgrade");
  } else {
    // Without its page the window still opens, with the tab alone.
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>("Firmware Upgrade");
    SendMessageA(hwnd(ui.tab_control), TCM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }

  ui.quit_button =
      create_control(window, "button", "Quit", 0x10010000, QUIT_BUTTON_ID, 106, 119, 120, 111, 119, 120);
  return 1;
}

WindowHandle build_main_panel(WindowHandle tab_control, int id, int left, int right,
                              int x_divisions, int top, int bottom, int y_divisions) {
  ControlRow& header = main_panel_table[0];
  header.id = id;
  header.left = left;
  header.right = right;
  header.x_divisions = x_divisions;
  header.top = top;
  header.bottom = bottom;
  header.y_divisions = y_divisions;

  DiscoveryPorts ports;
  ports.table = &device_table;
  ports.executor = executor.get();
  ports.stop = std::make_shared<Event>(true);
  if (!start_discovery(discovery_service, ports)) return nullptr;

  if (!create_control_table(tab_control, ui.panel, main_panel_table)) return nullptr;
  WindowHandle page = ui.panel[PANEL_PAGE];
  register_handlers(page, {{WM_COMMAND, add_device, 2, 0},
                           {WM_COMMAND, modify_devices, 3, 0},
                           {WM_COMMAND, remove_rows_command, 4, 0},
                           {WM_COMMAND, discover_command, 5, 0},
                           {WM_COMMAND, open_image, 9, 0},
                           {WM_COMMAND, upgrade_command, 11, 0},
                           {WM_NOTIFY, on_device_notify, 1, 0},
                           {WM_CONTEXTMENU, device_list_menu, 0, 0}});

  device_table.list = open_list_view(ui.panel[PANEL_LIST], ui.instance);
  panel_buttons.reset(open_panel_buttons(reinterpret_cast<void* const*>(ui.panel), PANEL_HANDLES));
  device_table.buttons = panel_buttons.get();
  device_table.list->set_extended_style(DEVICE_TABLE_EX_STYLE);
  device_table.full = [] { SetTimer(hwnd(ui.main_window), FULL_NOTICE_TIMER, 1, nullptr); };
  init_device_table(device_table);
  start_upgrade_verifier(ui.main_window);
  guard_session_end(ui.main_window);
  start_taskbar_progress(ui.main_window);
  return page;
}

int confirm_quit(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  if (ask_operator("Are you sure to quit ?")) {
    stop_discovery(discovery_service);
    PostQuitMessage(0);
  }
  return 0;
}

int close_main(WindowHandle window, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  SendMessageA(hwnd(window), WM_CLOSE, 0, 0);
  return 0;
}

int focus_next(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  focus_next_tab_stop(reinterpret_cast<WindowHandle>(GetFocus()));
  return 0;
}

int remove_rows_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  remove_selected_rows(device_table);
  return 0;
}
