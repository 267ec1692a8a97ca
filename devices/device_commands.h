#pragma once
// The device table's commands and notifications in the product: Add,
// Modify, the list's notifications and its context menu. Windows build only.
#include <cstdint>
#include <functional>

#include "toolkit/handlers.h"
#include "toolkit/services.h"

struct DeviceTable;
struct DeviceRecord;
class Event;

// What the commands need, given once by the main window before any runs.
struct DevicesServices {
  WindowServices window;
  WindowHandle list = nullptr;  // the list view showing the table
  DeviceTable* table = nullptr;
  // Set while a modal step runs (the account and file dialogs).
  Event* modal_step = nullptr;
  std::function<void(uint32_t ip)> query_card;  // one direct query
  std::function<void()> scan_addresses;         // the menu's "Scan addresses..."
  std::function<void()> rollout;                // the menu's "Rollout..."
  // A row the list marks: its card runs a version older than the image open.
  std::function<bool(const DeviceRecord&)> behind;
};
void register_devices_services(const DevicesServices& services);
const DevicesServices& devices_services();

int add_device(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int modify_devices(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int on_device_notify(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
// The device list's context menu (WM_CONTEXTMENU to the page, and the menu
// key seen by the list).
int device_list_menu(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
void device_list_menu_from_keyboard();

// The context menu's commands, also on the main window's menu bar.
enum DeviceListCommand : unsigned {
  LIST_COMMAND_IMPORT = 1,
  LIST_COMMAND_EXPORT = 2,
  LIST_COMMAND_EXPORT_PASSWORDS = 3,
  LIST_COMMAND_REPORTS = 4,
  LIST_COMMAND_SCAN = 5,
  LIST_COMMAND_ROLLOUT = 6,
};
// The menu text of a command ("&Import cards..."), or null.
const char* device_list_command_text(unsigned command);
void run_device_list_command(unsigned command);
