// The main window: caption, tab control, the "Firmware Upgrade" page built
// from the main panel table, the command wiring and the quit sequence.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <iterator>
#include <memory>

#include "toolkit/win32_handle.h"
#include "app/main_window.h"
#include "app/ui.h"
#include "daveridur_version.h"
#include "devices/device_commands.h"
#include "devices/device_table.h"
#include "discovery/discovery.h"
#include "discovery/discovery_commands.h"
#include "image/open_image.h"
#include "toolkit/tabs.h"
#include "upgrade/win32/upgrade_commands.h"

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
// The Upgrade command's run while one goes.
UpgradeRunHolder upgrade_runs;
std::unique_ptr<ButtonPort> panel_buttons;

// One row of the page's table: where it goes among the handles, then the
// control. The header row (PANEL_PAGE) is filled in by build_main_panel.
struct PanelRow {
  PanelControl at;
  ControlRow row;
};

constexpr int NO_ID = -1;
constexpr int LIST_FRAME_ID = 13;

constexpr PanelRow PANEL_ROWS[] = {
    {PANEL_PAGE, {}},
    {PANEL_LIST, {.class_name = "SysListView32", .text = nullptr, .style = 0x10830009, .id = PANEL_LIST,
                  .left = 1, .right = 54, .x_divisions = 80, .top = 9, .bottom = 69, .y_divisions = 80}},
    {PANEL_ADD, {.class_name = "button", .text = "Add", .style = 0x10030000, .id = PANEL_ADD,
                 .left = 15, .right = 24, .x_divisions = 80, .top = 70, .bottom = 77, .y_divisions = 80}},
    {PANEL_MODIFY, {.class_name = "button", .text = "Modify", .style = 0x18010000, .id = PANEL_MODIFY,
                    .left = 25, .right = 34, .x_divisions = 80, .top = 70, .bottom = 77, .y_divisions = 80}},
    {PANEL_REMOVE, {.class_name = "button", .text = "Remove", .style = 0x18030000, .id = PANEL_REMOVE,
                    .left = 35, .right = 44, .x_divisions = 80, .top = 70, .bottom = 77, .y_divisions = 80}},
    {PANEL_DISCOVER, {.class_name = "button", .text = "Discover", .style = 0x10030000, .id = PANEL_DISCOVER,
                      .left = 45, .right = 54, .x_divisions = 80, .top = 70, .bottom = 77, .y_divisions = 80}},
    {PANEL_VERSION, {.class_name = "edit", .text = nullptr, .style = 0x10800802, .id = PANEL_VERSION,
                     .left = 68, .right = 79, .x_divisions = 80, .top = 12, .bottom = 19, .y_divisions = 80}},
    {PANEL_DATE_CODE, {.class_name = "edit", .text = nullptr, .style = 0x10800802, .id = PANEL_DATE_CODE,
                       .left = 68, .right = 79, .x_divisions = 80, .top = 21, .bottom = 28, .y_divisions = 80}},
    {PANEL_FILE_SIZE, {.class_name = "edit", .text = nullptr, .style = 0x10800802, .id = PANEL_FILE_SIZE,
                       .left = 68, .right = 79, .x_divisions = 80, .top = 29, .bottom = 36, .y_divisions = 80}},
    {PANEL_OPEN, {.class_name = "button", .text = "Open", .style = 0x10010000, .id = PANEL_OPEN,
                  .left = 70, .right = 79, .x_divisions = 80, .top = 45, .bottom = 53, .y_divisions = 80}},
    {PANEL_FILE_NAME, {.class_name = "edit", .text = nullptr, .style = 0x10800882, .id = PANEL_FILE_NAME,
                       .left = 58, .right = 79, .x_divisions = 80, .top = 55, .bottom = 63, .y_divisions = 80}},
    {PANEL_UPGRADE, {.class_name = "button", .text = "Upgrade", .style = 0x18010000, .id = PANEL_UPGRADE,
                     .left = 69, .right = 79, .x_divisions = 80, .top = 71, .bottom = 78, .y_divisions = 80}},
    {PANEL_LIST_FRAME, {.class_name = "button", .text = " UPS List ", .style = 0x10000007, .id = LIST_FRAME_ID,
                        .left = 0, .right = 55, .x_divisions = 80, .top = 2, .bottom = 78, .y_divisions = 80}},
    {PANEL_IMAGE_FRAME, {.class_name = "button", .text = " Image Information ", .style = 0x10000007, .id = NO_ID,
                         .left = 56, .right = 80, .x_divisions = 80, .top = 2, .bottom = 67, .y_divisions = 80}},
    {PANEL_VERSION_LABEL, {.class_name = "static", .text = "Version No", .style = 0x10000002, .id = NO_ID,
                           .left = 57, .right = 67, .x_divisions = 80, .top = 12, .bottom = 20, .y_divisions = 80}},
    {PANEL_DATE_CODE_LABEL, {.class_name = "static", .text = "Date Code", .style = 0x10000002, .id = NO_ID,
                             .left = 57, .right = 67, .x_divisions = 80, .top = 20, .bottom = 28, .y_divisions = 80}},
    {PANEL_FILE_SIZE_LABEL, {.class_name = "static", .text = "File Size", .style = 0x10000002, .id = NO_ID,
                             .left = 57, .right = 67, .x_divisions = 80, .top = 28, .bottom = 36, .y_divisions = 80}},
    {PANEL_FILE_NAME_LABEL, {.class_name = "static", .text = "File Name", .style = 0x10000000, .id = NO_ID,
                             .left = 57, .right = 67, .x_divisions = 80, .top = 45, .bottom = 53, .y_divisions = 80}},
};

// Every row where its handle goes, and every control that commands or
// notifications are told by id created with that id.
constexpr bool panel_rows_in_order() {
  if (std::size(PANEL_ROWS) != PANEL_HANDLES) return false;
  for (int i = 0; i < PANEL_HANDLES; ++i) {
    const PanelRow& r = PANEL_ROWS[i];
    if (r.at != i) return false;
    if (i > PANEL_PAGE && i <= PANEL_UPGRADE && r.row.id != i) return false;
  }
  return true;
}
static_assert(panel_rows_in_order(), "the main panel's rows must follow PanelControl");

// The table create_control_table reads: the rows, then an empty one.
ControlRow main_panel_table[PANEL_HANDLES + 1] = {};

void fill_main_panel_table() {
  for (int i = 0; i < PANEL_HANDLES; ++i) main_panel_table[i] = PANEL_ROWS[i].row;
  main_panel_table[PANEL_HANDLES] = ControlRow{};
}

// Worker threads queue their table steps with this window and wake it with
// a sent message that carries nothing; it runs what is queued.
int on_table_step(WindowHandle window, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  return static_cast<int>(run_queued_table_steps(window));
}


int on_full_notice(WindowHandle window, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  KillTimer(hwnd(window), FULL_NOTICE_TIMER);
  char text[160];
  std::snprintf(text, sizeof text,
                "The UPS list is full: it holds %d cards. No more cards are added to it.",
                DEVICE_TABLE_LIMIT);
  show_error(text);
  return 0;
}

WindowServices window_services() {
  WindowServices w;
  w.instance = ui.instance;
  w.owner = ui.main_window;
  w.ask = ask_operator;
  w.show_error = show_error;
  w.show_information = show_information;
  return w;
}

void query_card(uint32_t ip) { query_device(discovery_service, ip); }

void quit_program() {
  stop_discovery(discovery_service);
  PostQuitMessage(0);
}

// While a run holds its cards the buttons that would change them are grey;
// a key or a late click is refused the same way.
int discover_unless_held(WindowHandle w, HandlerArg a, HandlerArg b, HandlerArg c, HandlerArg d) {
  return device_table.run_holds ? 0 : discover_command(w, a, b, c, d);
}

int open_unless_held(WindowHandle w, HandlerArg a, HandlerArg b, HandlerArg c, HandlerArg d) {
  return device_table.run_holds ? 0 : open_image(w, a, b, c, d);
}

// Each module gets what its commands need, once, before any of them runs.
void register_module_services() {
  DevicesServices devices;
  devices.window = window_services();
  devices.list = ui.panel[PANEL_LIST];
  devices.table = &device_table;
  devices.modal_step = &modal_step_event(discovery_service);
  devices.query_card = query_card;
  devices.scan_addresses = scan_addresses_command;
  devices.rollout = rollout_command;
  register_devices_services(devices);

  DiscoveryServices discovery;
  discovery.window = window_services();
  discovery.service = &discovery_service;
  register_discovery_services(discovery);

  ImageServices image;
  image.window = window_services();
  image.version = ui.panel[PANEL_VERSION];
  image.date_code = ui.panel[PANEL_DATE_CODE];
  image.file_size = ui.panel[PANEL_FILE_SIZE];
  image.file_name = ui.panel[PANEL_FILE_NAME];
  image.upgrade_button = ui.panel[PANEL_UPGRADE];
  image.opened = [] { update_upgrade_button(device_table); };
  register_image_services(image);

  UpgradeServices upgrade;
  upgrade.window = window_services();
  upgrade.table = &device_table;
  upgrade.executor = executor.get();
  upgrade.modal_step = &modal_step_event(discovery_service);
  upgrade.query_card = query_card;
  upgrade.runs = &upgrade_runs;
  upgrade.quit = quit_program;
  register_upgrade_services(upgrade);
}

}  // namespace

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
  fill_main_panel_table();
  ControlRow& header = main_panel_table[PANEL_PAGE];
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
  register_module_services();
  register_handlers(page, {{WM_COMMAND, add_device, PANEL_ADD, 0},
                           {WM_COMMAND, modify_devices, PANEL_MODIFY, 0},
                           {WM_COMMAND, remove_rows_command, PANEL_REMOVE, 0},
                           {WM_COMMAND, discover_unless_held, PANEL_DISCOVER, 0},
                           {WM_COMMAND, open_unless_held, PANEL_OPEN, 0},
                           {WM_COMMAND, upgrade_command, PANEL_UPGRADE, 0},
                           {WM_NOTIFY, on_device_notify, PANEL_LIST, 0},
                           {WM_CONTEXTMENU, device_list_menu, 0, 0}});

  device_table.list = open_list_view(ui.panel[PANEL_LIST], ui.instance);
  panel_buttons.reset(open_panel_buttons(reinterpret_cast<void* const*>(ui.panel), PANEL_HANDLES));
  device_table.buttons = panel_buttons.get();
  device_table.list->set_extended_style(DEVICE_TABLE_EX_STYLE);
  device_table.full = [] { SetTimer(hwnd(ui.main_window), FULL_NOTICE_TIMER, 1, nullptr); };
  init_device_table(device_table);
  watch_setting_problems(ui.main_window);
  guard_session_end(ui.main_window);
  start_taskbar_progress(&upgrade_runs, ui.main_window);
  return page;
}

int confirm_quit(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  // A run is asked about by name; a stopped one quits after its report.
  switch (ask_quit_during_run()) {
    case RunQuit::stay:
    case RunQuit::after_report:
      return 0;
    case RunQuit::no_run:
      break;
  }
  if (ask_operator("Are you sure to quit ?")) quit_program();
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
