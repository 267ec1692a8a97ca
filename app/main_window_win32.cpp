// The main window: caption, tab control, the "Firmware Upgrade" page built
// from the main panel table, the command wiring and the quit sequence.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "toolkit/win32_handle.h"
#include "app/main_window.h"
#include "app/ui.h"
#include "daveridur_version.h"
#include "devices/device_commands.h"
#include "devices/device_table.h"
#include "devices/status_line.h"
#include "platform/file_names.h"
#include "settings/settings.h"
#include "discovery/discovery.h"
#include "discovery/discovery_commands.h"
#include "image/open_image.h"
#include "toolkit/tabs.h"
#include "upgrade/win32/upgrade_commands.h"

Ui ui;

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace {

const char* const PRODUCT_TITLE = "Duravore MX-2 SNMP/WEB Card Firmware Upgrade Utility ";
const int TAB_CONTROL_ID = 1000;
const int QUIT_BUTTON_ID = 2;
const int FOCUS_NEXT_COMMAND = 40001;
// Says that the list is full, once the step that found it so has ended: a
// message box inside a table step would hold the thread that handed it over.
const UINT_PTR FULL_NOTICE_TIMER = 0x3100;
// The status line follows the table, the image and the rollout setting.
const UINT_PTR STATUS_TIMER = 0x3101;
const UINT STATUS_INTERVAL_MS = 500;
const int STATUS_LINE_ID = 1001;

// The menu bar's commands: the device list's own (their numbers plus
// MENU_LIST_BASE) and the page's buttons (plus MENU_BUTTON_BASE).
const int MENU_LIST_BASE = 41000;
const int MENU_BUTTON_BASE = 41100;

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
  w.ask_default_no = [](const char* text) {
    return MessageBoxA(hwnd(ui.main_window), text, CONFIRM_TITLE,
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_TOPMOST) == IDYES;
  };
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

// ---- The menu bar ----

struct MenuEntry {
  int id;  // 0: a separator
  const char* text;  // null: the device list command's own text
};

const MenuEntry CARDS_MENU[] = {
    {MENU_BUTTON_BASE + PANEL_ADD, "&Add card..."},
    {MENU_BUTTON_BASE + PANEL_MODIFY, "&Modify..."},
    {MENU_BUTTON_BASE + PANEL_REMOVE, "Re&move"},
    {MENU_BUTTON_BASE + PANEL_DISCOVER, "&Discover"},
    {0, nullptr},
    {MENU_LIST_BASE + LIST_COMMAND_SCAN, nullptr},
    {0, nullptr},
    {MENU_LIST_BASE + LIST_COMMAND_IMPORT, nullptr},
    {MENU_LIST_BASE + LIST_COMMAND_EXPORT, nullptr},
    {MENU_LIST_BASE + LIST_COMMAND_EXPORT_PASSWORDS, nullptr},
};
const MenuEntry UPGRADE_MENU[] = {
    {MENU_BUTTON_BASE + PANEL_OPEN, "Open &image..."},
    {MENU_LIST_BASE + LIST_COMMAND_ROLLOUT, nullptr},
    {MENU_BUTTON_BASE + PANEL_UPGRADE, "&Upgrade the ticked cards"},
    {0, nullptr},
    {MENU_LIST_BASE + LIST_COMMAND_REPORTS, nullptr},
};

template <size_t N>
HMENU make_popup(const MenuEntry (&entries)[N]) {
  HMENU popup = CreatePopupMenu();
  for (const MenuEntry& e : entries) {
    if (!e.id) {
      AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    const char* text = e.text ? e.text : device_list_command_text(static_cast<unsigned>(e.id - MENU_LIST_BASE));
    AppendMenuA(popup, MF_STRING, static_cast<UINT_PTR>(e.id), text);
  }
  return popup;
}

// A button's command from the menu is the button's click, refused as the
// button refuses it: greyed, it does nothing.
int on_menu_command(WindowHandle, HandlerArg id, HandlerArg, HandlerArg, HandlerArg) {
  if (id >= MENU_BUTTON_BASE && id < MENU_BUTTON_BASE + PANEL_HANDLES) {
    const int control = static_cast<int>(id - MENU_BUTTON_BASE);
    HWND button = hwnd(ui.panel[control]);
    if (button && IsWindowEnabled(button))
      SendMessageA(hwnd(ui.panel[PANEL_PAGE]), WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
                   reinterpret_cast<LPARAM>(button));
    return 0;
  }
  if (id > MENU_LIST_BASE && id < MENU_BUTTON_BASE)
    run_device_list_command(static_cast<unsigned>(id - MENU_LIST_BASE));
  return 0;
}

// The buttons' items grey as the buttons do.
int on_menu_open(WindowHandle, HandlerArg, HandlerArg menu, HandlerArg, HandlerArg) {
  for (const MenuEntry& e : CARDS_MENU) {
    if (e.id < MENU_BUTTON_BASE) continue;
    HWND button = hwnd(ui.panel[e.id - MENU_BUTTON_BASE]);
    EnableMenuItem(reinterpret_cast<HMENU>(menu), static_cast<UINT>(e.id),
                   MF_BYCOMMAND | (button && IsWindowEnabled(button) ? MF_ENABLED : MF_GRAYED));
  }
  for (const MenuEntry& e : UPGRADE_MENU) {
    if (e.id < MENU_BUTTON_BASE) continue;
    HWND button = hwnd(ui.panel[e.id - MENU_BUTTON_BASE]);
    EnableMenuItem(reinterpret_cast<HMENU>(menu), static_cast<UINT>(e.id),
                   MF_BYCOMMAND | (button && IsWindowEnabled(button) ? MF_ENABLED : MF_GRAYED));
  }
  return 0;
}

void register_menu_commands(WindowHandle window) {
  for (const MenuEntry& e : CARDS_MENU)
    if (e.id) register_handlers(window, {{WM_COMMAND, on_menu_command, static_cast<std::uint32_t>(e.id), 0}});
  for (const MenuEntry& e : UPGRADE_MENU)
    if (e.id) register_handlers(window, {{WM_COMMAND, on_menu_command, static_cast<std::uint32_t>(e.id), 0}});
  register_handlers(window, {{WM_INITMENUPOPUP, on_menu_open, 0, 0}});
}

// ---- Sizing ----

// Where each control was put at the window's first size; a larger window
// gives its extra room to the list, and the controls around it keep their
// size and their distance from the edge they face.
enum class Anchor { grow, move, move_right, grow_right_move_down };

struct Placed {
  WindowHandle* handle;
  Anchor anchor;
  RECT at;
};

POINT smallest_window{0, 0};
SIZE first_client{0, 0};
Placed placed[PANEL_HANDLES + 3];
int placed_count = 0;
WindowHandle status_line = nullptr;

void remember_place(WindowHandle* handle, Anchor anchor) {
  HWND window = hwnd(*handle);
  if (!window || placed_count >= static_cast<int>(std::size(placed))) return;
  RECT r{};
  GetWindowRect(window, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(window), reinterpret_cast<POINT*>(&r), 2);
  placed[placed_count++] = {handle, anchor, r};
}

Anchor panel_anchor(int control) {
  switch (control) {
    case PANEL_PAGE:
    case PANEL_LIST:
    case PANEL_LIST_FRAME:
      return Anchor::grow;
    case PANEL_ADD:
    case PANEL_MODIFY:
    case PANEL_REMOVE:
    case PANEL_DISCOVER:
    case PANEL_UPGRADE:
      return Anchor::move;
    default:
      return Anchor::move_right;  // the image's fields and their frame
  }
}

void remember_layout(WindowHandle window) {
  RECT client{};
  GetClientRect(hwnd(window), &client);
  first_client = {client.right, client.bottom};
  placed_count = 0;
  remember_place(&ui.tab_control, Anchor::grow);
  remember_place(&ui.quit_button, Anchor::move);
  remember_place(&status_line, Anchor::grow_right_move_down);
  for (int i = 0; i < PANEL_HANDLES; ++i) remember_place(&ui.panel[i], panel_anchor(i));
}

int on_main_size(WindowHandle window, HandlerArg, HandlerArg kind, HandlerArg, HandlerArg) {
  if (kind == SIZE_MINIMIZED || placed_count == 0) return 0;
  RECT client{};
  GetClientRect(hwnd(window), &client);
  const int dx = std::max(0L, client.right - first_client.cx);
  const int dy = std::max(0L, client.bottom - first_client.cy);
  for (int i = 0; i < placed_count; ++i) {
    const Placed& p = placed[i];
    RECT r = p.at;
    switch (p.anchor) {
      case Anchor::grow:
        r.right += dx;
        r.bottom += dy;
        break;
      case Anchor::move:
        OffsetRect(&r, dx, dy);
        break;
      case Anchor::move_right:
        OffsetRect(&r, dx, 0);
        break;
      case Anchor::grow_right_move_down:
        r.right += dx;
        OffsetRect(&r, 0, dy);
        break;
    }
    SetWindowPos(hwnd(*p.handle), nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // The group boxes draw only their edges: what they leave behind goes.
  RedrawWindow(hwnd(window), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  return 0;
}

int on_min_max_info(WindowHandle, HandlerArg, HandlerArg, HandlerArg info, HandlerArg) {
  auto* mm = reinterpret_cast<MINMAXINFO*>(info);
  if (smallest_window.x > 0) mm->ptMinTrackSize = smallest_window;
  return 0;
}

// Another monitor's scale: the size the system proposes.
int on_dpi_changed(WindowHandle window, HandlerArg, HandlerArg, HandlerArg suggested, HandlerArg) {
  const RECT* r = reinterpret_cast<const RECT*>(suggested);
  SetWindowPos(hwnd(window), nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  return 0;
}

// ---- The status line ----

int on_status_timer(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  const OpenedImage& image = opened_image();
  const bool image_open = !image.path.empty() && image.version != IMAGE_VERSION_NONE;
  StatusFigures f = table_figures(device_table, image_open, image.version);
  f.failed = last_run_failures();
  f.waves = read_rollout_setting().waves;
  const std::wstring text = wide_text(status_line_text(f));
  wchar_t shown[256] = L"";
  GetWindowTextW(hwnd(status_line), shown, static_cast<int>(std::size(shown)));
  if (text != shown) SetWindowTextW(hwnd(status_line), text.c_str());
  // A new figure may change which rows are marked.
  static uint32_t marked_for = 0;
  const uint32_t now_for = image_open ? image.version : 0;
  if (now_for != marked_for) {
    marked_for = now_for;
    InvalidateRect(hwnd(ui.panel[PANEL_LIST]), nullptr, FALSE);
  }
  return 0;
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
  devices.behind = [](const DeviceRecord& r) {
    const OpenedImage& image = opened_image();
    return row_behind(r, !image.path.empty() && image.version != IMAGE_VERSION_NONE, image.version);
  };
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
                             {WM_TIMER, on_status_timer, STATUS_TIMER, 0},
                             {WM_SIZE, on_main_size, 0, 0},
                             {WM_GETMINMAXINFO, on_min_max_info, 0, 0},
                             {WM_DPICHANGED, on_dpi_changed, 0, 0},
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
  // Under the list, left of Quit: one line, vertically centred, cut with an
  // ellipsis rather than wrapped.
  status_line = create_control(window, "static", "", WS_VISIBLE | SS_CENTERIMAGE | SS_ENDELLIPSIS | SS_NOPREFIX,
                               STATUS_LINE_ID, 1, 105, 120, 111, 119, 120);
  register_menu_commands(window);
  remember_layout(window);
  on_status_timer(window, 0, 0, 0, 0);
  SetTimer(hwnd(window), STATUS_TIMER, STATUS_INTERVAL_MS, nullptr);
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
                           {WM_NOTIFY, on_device_notify, PANEL_LIST, HANDLER_FINAL_RESULT},
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

HMENU__* create_main_menu() {
  HMENU bar = CreateMenu();
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(make_popup(CARDS_MENU)), "&Cards");
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(make_popup(UPGRADE_MENU)), "&Upgrade");
  return bar;
}

void set_smallest_main_window(int width, int height) { smallest_window = {width, height}; }
