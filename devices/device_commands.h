#pragma once
// The device table's commands and notifications in the product: Add,
// Modify, the list's notifications and its context menu. Windows build only.
#include <cstdint>
#include <functional>

#include "toolkit/handlers.h"
#include "toolkit/services.h"

struct DeviceTable;
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
