// The Discover command: a nine-second countdown dialog that sends two
// broadcasts and blinks an icon, then one refresh pass over every card.
#include <windows.h>

#include "toolkit/win32_handle.h"
#include "discovery/discovery.h"
#include "discovery/discovery_commands.h"
#include "resources/resource.h"
#include "toolkit/handlers.h"

namespace {

DiscoveryServices services;

DiscoveryService& service() { return *services.service; }

const UINT_PTR DISCOVERY_TIMER = 13192;
int discovery_countdown = 0;


int discovery_cancel(WindowHandle dialog, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  EndDialog(hwnd(dialog), 0);
  remove_handlers(dialog);
  return 0;
}

int discovery_tick(WindowHandle dialog, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  if (discovery_countdown > 0) {
    int remembered = discovery_countdown--;
    if (remembered % 4 == 0) send_broadcast_request(service());
    bool odd = discovery_countdown % 2 != 0;
    ShowWindow(GetDlgItem(hwnd(dialog), IDC_DISCOVERY_ICON_B), odd ? SW_HIDE : SW_SHOW);
    ShowWindow(GetDlgItem(hwnd(dialog), IDC_DISCOVERY_ICON_A), odd ? SW_SHOW : SW_HIDE);
    return 0;
  }
  KillTimer(hwnd(dialog), DISCOVERY_TIMER);
  EndDialog(hwnd(dialog), 1);
  remove_handlers(dialog);
  return 0;
}

std::intptr_t discovery_dialog_init(WindowHandle dialog, std::uintptr_t, std::intptr_t) {
  char caption[64];
  wsprintfA(caption, "%s -- Discovering UPS", PRODUCT_NAME);
  SetWindowTextA(hwnd(dialog), caption);
  discovery_countdown = 8;
  SetTimer(hwnd(dialog), DISCOVERY_TIMER, 1000, nullptr);
  register_handlers(dialog, {{WM_COMMAND, discovery_cancel, IDCANCEL, 0},
                             {WM_TIMER, discovery_tick, DISCOVERY_TIMER, 0}});
  return 1;
}

}  // namespace

void register_discovery_services(const DiscoveryServices& given) { services = given; }
const DiscoveryServices& discovery_services() { return services; }

int discover_command(WindowHandle window, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  Event& modal_step = modal_step_event(service());
  modal_step.set();
  register_creation_handler(discovery_dialog_init);
  DialogBoxParamA(reinterpret_cast<HINSTANCE>(services.window.instance), MAKEINTRESOURCEA(IDD_DISCOVERY),
                  hwnd(window), reinterpret_cast<DLGPROC>(shared_dialog_proc), 0);
  refresh_pass(*service().state);
  modal_step.reset();
  return 0;
}
