// The module's services as the main window gave them, and the stored
// settings that did not read back, told once each.
#include <windows.h>

#include <string>

#include "platform/file_names.h"
#include "settings/settings.h"
#include "upgrade/win32/upgrade_commands.h"

namespace {

// Settings are read on other threads too (a refresh pass, a dialog): their
// problems are looked for once a second, apart from the session timers.
const UINT_PTR SETTINGS_TIMER = 0x3000;
const UINT SETTINGS_EVERY_MS = 1000;

UpgradeServices services;

int on_settings_timer(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  show_setting_problems();
  return 0;
}

}  // namespace

void show_setting_problems() {
  // The box waits for the operator while the timer goes on ticking.
  static bool showing = false;
  if (showing) return;
  showing = true;
  for (const std::string& text : take_setting_problems())
    services.window.show_information(utf8_to_ansi("Settings: " + text + ".").c_str());
  showing = false;
}

void register_upgrade_services(const UpgradeServices& given) { services = given; }
const UpgradeServices& upgrade_services() { return services; }

void watch_setting_problems(WindowHandle main_window) {
  register_handlers(main_window, {{WM_TIMER, on_settings_timer, SETTINGS_TIMER, 0}});
  SetTimer(reinterpret_cast<HWND>(main_window), SETTINGS_TIMER, SETTINGS_EVERY_MS, nullptr);
}
