// Entry: the socket library, the toolkit, the main window and the message
// loop with the accelerators.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include "app/main_window.h"
#include "app/ui.h"
#include "platform/udp.h"
#include "resources/resource.h"
#include "upgrade/win32/upgrade_commands.h"

namespace {

struct Placement {
  int x, y, width, height;
};

// The window as first made: a title bar, system menu and minimise box, no
// sizing border, no menu. Its size gives the client area every control is
// placed in.
const DWORD FIXED_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
// The window as it is: it sizes and maximises, and has the menu bar.
const DWORD MAIN_STYLE = WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;

// The same client area under the sizing border and the menu bar: the
// window grows by their height and width, and the controls stay where the
// fixed window had them.
void keep_client_area(int* width, int* height) {
  RECT fixed{0, 0, 0, 0};
  RECT sizing{0, 0, 0, 0};
  AdjustWindowRectEx(&fixed, FIXED_STYLE, FALSE, 0);
  AdjustWindowRectEx(&sizing, MAIN_STYLE | WS_CAPTION, TRUE, 0);
  *width += (sizing.right - sizing.left) - (fixed.right - fixed.left);
  *height += (sizing.bottom - sizing.top) - (fixed.bottom - fixed.top);
}

// Sized from the caption-button height and the screen font, placed as if it
// were 700 x 340 on the desktop.
Placement main_window_placement() {
  int h = GetSystemMetrics(SM_CYSIZE);
  int w = 7;
  HWND desktop = GetDesktopWindow();
  if (HDC dc = GetDC(desktop)) {
    TEXTMETRICA tm;
    if (GetTextMetricsA(dc, &tm)) w = tm.tmAveCharWidth;
    ReleaseDC(desktop, dc);
  }
  RECT area{0, 0, 0, 0};
  GetClientRect(desktop, &area);
  Placement at{(area.right - 700) / 2, (area.bottom - 340) / 2, h * w * 88 / 18, h * 340 / 18};
  keep_client_area(&at.width, &at.height);
  // At a large scale the window is larger than the one it is placed as:
  // it stays on the screen.
  at.x = std::max(0, std::min(at.x, static_cast<int>(area.right) - at.width));
  at.y = std::max(0, std::min(at.y, static_cast<int>(area.bottom) - at.height));
  return at;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Without the socket library there is nothing the program can do.
  if (!net_startup()) return 0;
  clear_handler_tables();
  InitCommonControls();
  register_creation_handler(on_main_create);

  Placement at = main_window_placement();
  set_smallest_main_window(at.width, at.height);
  ui.instance = reinterpret_cast<InstanceHandle>(instance);
  WindowHandle main = create_keyword_window(
      ui.instance, MAIN_WINDOW_CLASS,
      {{"CAPITAL", PRODUCT_NAME},
       {"WNDPROC", routine_address(shared_window_proc)},
       {"STYLE", MAIN_STYLE},
       {"MENU", create_main_menu()},
       {"SHOWOFF", 1},
       {"BRUSH", GetStockObject(LTGRAY_BRUSH)},
       {"XPOS", at.x},
       {"YPOS", at.y},
       {"WIDTH", at.width},
       {"HEIGHT", at.height}});
  // No window: creation failed, or the running instance was brought forward.
  if (!main) {
    net_cleanup();
    return 0;
  }

  HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCELERATORS));
  MSG msg;
  HWND main_hwnd = reinterpret_cast<HWND>(ui.main_window);
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    // While a batch runs the main window is disabled, and its keys (Esc and
    // Alt+Q would ask to quit in the middle of the transfers) with it.
    if (upgrade_dialog_message(&msg)) continue;
    if (accelerators && IsWindowEnabled(main_hwnd) &&
        TranslateAcceleratorA(main_hwnd, accelerators, &msg))
      continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  net_cleanup();
  // A discovery thread left inside a table step after the bounded stop, or
  // a batch still running, must not see the program's objects destroyed
  // under it: the process ends here, as a whole.
  ExitProcess(0);
}
