// The Discover command: a nine-second countdown dialog that sends two
// broadcasts and blinks an icon, then one refresh pass over every card.
#include <windows.h>

#include "app/ui.h"
#include "discovery/discovery.h"
#include "resources/resource.h"
#include "toolkit/handlers.h"

namespace {

const UINT_PTR DISCOVERY_TIMER = 13192;
int discovery_countdown = 0;

HWND hwnd(WindowHandle w) { return reinterpret_cast<HWND>(w); }

int discovery_cancel(WindowHandle dialog, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  EndDialog(hwnd(dialog), 0);
  remove_handlers(dialog);
  return 0;
}

int discovery_tick(WindowHandle dialog, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  if (discovery_countdown > 0) {
    int remembered = discovery_countdown--;
    if (remembered % 4 == 0) send_broadcast_request(discovery());
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

int discover_command(WindowHandle window, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  Event& busy = busy_event(discovery());
  busy.set();
  register_creation_handler(discovery_dialog_init);
  DialogBoxParamA(reinterpret_cast<HINSTANCE>(ui.instance), MAKEINTRESOURCEA(IDD_DISCOVERY),
                  hwnd(window), reinterpret_cast<DLGPROC>(shared_dialog_proc), 0);
  refresh_pass(*discovery().state);
  busy.reset();
  return 0;
}
