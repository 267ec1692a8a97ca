#pragma once
// The program's process-wide interface state: the main window and its
// children, the main panel's handles in table order, and the services the
// commands share. Windows build only.
#include <memory>

#include "toolkit/builder.h"
#include "toolkit/handlers.h"

struct DeviceTable;
struct DiscoveryService;
class TableExecutor;

// Indexes into ui.panel, in main panel table order.
enum PanelIndex {
  PANEL_PAGE = 0,
  PANEL_LIST = 1,
  PANEL_ADD = 2,
  PANEL_MODIFY = 3,
  PANEL_REMOVE = 4,
  PANEL_DISCOVER = 5,
  PANEL_VERSION = 6,
  PANEL_DATE_CODE = 7,
  PANEL_FILE_SIZE = 8,
  PANEL_OPEN = 9,
  PANEL_FILE_NAME = 10,
  PANEL_UPGRADE = 11,
  PANEL_HANDLES = 18,
};

struct Ui {
  InstanceHandle instance = nullptr;
  WindowHandle main_window = nullptr;
  WindowHandle tab_control = nullptr;
  WindowHandle quit_button = nullptr;
  WindowHandle panel[PANEL_HANDLES] = {};
};
extern Ui ui;

// The device table behind the list control, the discovery service and the
// way worker threads hand table steps to the interface thread.
DeviceTable& devices();
DiscoveryService& discovery();
TableExecutor& table_executor();

inline constexpr const char* PRODUCT_NAME = "Daveridur";
inline constexpr const char* CONFIRM_TITLE = "Daveridur -- Confirmation";
inline constexpr const char* INFORMATION_TITLE = "Daveridur -- Information";

// Message boxes owned by the main window and kept on top.
int ask_operator(const char* text);                       // Yes/No; 1 for Yes
void show_error(const char* text);                        // error icon, OK
void show_information(const char* text);                  // information icon, OK

// The checks after " OK.": a one-second timer on the main window; a card's
// line is handed over from any thread.
void start_upgrade_verifier(WindowHandle main_window);
struct Report;
struct CardResult;
struct Journal;
void verify_upgraded_card(const std::shared_ptr<Report>& report, const CardResult& card);
// A batch's kept report: the same timer writes it again while it is behind,
// shows "Report not saved: ..." in the Result column of the cards it could
// not save, and in the report box while that is open.
void keep_journal(const std::shared_ptr<Journal>& journal);
// Logoff and shutdown while a batch runs: the system is asked to wait, and
// a session that ends anyway aborts the transfers with their lines.
void guard_session_end(WindowHandle main_window);

// The batch's progress on the main window's taskbar button (any thread);
// paused while a question is open. Nothing where the shell lacks it.
void start_taskbar_progress(WindowHandle main_window);
struct BatchProgress;
void show_taskbar_progress(const BatchProgress& progress);
void taskbar_question(bool open);

// The commands of the main panel (registered by the main window).
int add_device(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int modify_devices(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int remove_rows_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int discover_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int open_image(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
// The image the last Open accepted (path, version, size, digest).
struct OpenedImage;
const OpenedImage& opened_image();
int upgrade_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int on_device_notify(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
// The device list's context menu (WM_CONTEXTMENU to the page, and the menu
// key seen by the list).
int device_list_menu(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
void device_list_menu_from_keyboard();
