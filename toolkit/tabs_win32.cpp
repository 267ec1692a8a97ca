#include <windows.h>
#include <commctrl.h>

#include "toolkit/builder.h"
#include "toolkit/tabs.h"

namespace {

// WS_CHILD | WS_VISIBLE | WS_TABSTOP | TCS_FOCUSNEVER | TCS_TOOLTIPS: the tab
// control never takes the focus when clicked and has a tooltip window.
constexpr std::uint32_t tab_control_style = 0x5001C000;

HWND selected_page(HWND tab_control) {
  int index = static_cast<int>(SendMessageA(tab_control, TCM_GETCURSEL, 0, 0));
  return get_tab_page(tab_control, index);
}

}  // namespace

WindowHandle create_tab_control(WindowHandle parent, std::uint32_t id_and_styles,
                                std::int32_t left, std::int32_t right, std::int32_t x_divisions,
                                std::int32_t top, std::int32_t bottom, std::int32_t y_divisions) {
  const std::uint32_t id = id_and_styles & 0xFFFF;
  const std::uint32_t extra_styles = (id_and_styles >> 16) & 0x7FFF;
  HWND tab = create_control(parent, WC_TABCONTROLA, nullptr, tab_control_style | extra_styles,
                            static_cast<std::int32_t>(id), left, right, x_divisions, top, bottom,
                            y_divisions);
  if (tab == nullptr) return nullptr;
  SendMessageA(tab, TCM_DELETEALLITEMS, 0, 0);
  subclass_window(parent);
  register_handlers(parent, {{WM_NOTIFY, on_tab_notify, id, 0}});
  subclass_window(tab);
  register_handlers(tab, {{WM_SETFOCUS, on_tab_focus, 0, 0}});
  return tab;
}

WindowHandle add_tab_page(WindowHandle tab_control, WindowHandle page, const char* caption) {
  char window_text[255] = "";
  if (caption == nullptr)
    caption = reinterpret_cast<const char*>(GetWindowLongPtrA(page, GWLP_USERDATA));
  if (caption == nullptr) {
    GetWindowTextA(page, window_text, sizeof window_text);
    caption = window_text;
  }
  const int id = static_cast<int>(GetWindowLongPtrA(page, GWLP_ID));

  HWND tips = reinterpret_cast<HWND>(SendMessageA(tab_control, TCM_GETTOOLTIPS, 0, 0));
  if (tips != nullptr) {
    TTTOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V1_SIZE;
    tool.hwnd = tab_control;
    tool.uId = static_cast<UINT_PTR>(id);
    tool.lpszText = const_cast<char*>(caption);
    SendMessageA(tips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  }

  TCITEMA item{};
  item.mask = TCIF_TEXT | TCIF_PARAM;
  item.pszText = const_cast<char*>(caption);
  item.lParam = reinterpret_cast<LPARAM>(page);
  SendMessageA(tab_control, TCM_INSERTITEMA, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&item));
  if (SendMessageA(tab_control, TCM_GETITEMCOUNT, 0, 0) > 1) ShowWindow(page, SW_HIDE);
  return page;
}

WindowHandle get_tab_page(WindowHandle tab_control, int index) {
  TCITEMA item{};
  item.mask = TCIF_PARAM;
  if (!SendMessageA(tab_control, TCM_GETITEMA, static_cast<WPARAM>(index),
                    reinterpret_cast<LPARAM>(&item)))
    return nullptr;
  return reinterpret_cast<HWND>(item.lParam);
}

int on_tab_notify(WindowHandle, HandlerArg, HandlerArg header, HandlerArg, HandlerArg) {
  const NMHDR* nm = reinterpret_cast<const NMHDR*>(header);
  if (nm == nullptr) return 1;
  HWND page = selected_page(nm->hwndFrom);
  if (page == nullptr) return 0;
  switch (nm->code) {
    case TCN_SELCHANGING:
      ShowWindow(page, SW_HIDE);
      return 0;
    case TCN_SELCHANGE:
      ShowWindow(page, SW_SHOW);
      SetFocus(page);
      return 0;
    default:
      return 1;
  }
}

int on_tab_focus(WindowHandle tab_control, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  if (HWND page = selected_page(tab_control)) SetFocus(page);
  return 0;
}

WindowHandle next_tab_stop(WindowHandle control) {
  HWND parent = GetParent(control);
  HWND first = GetNextDlgTabItem(parent, nullptr, FALSE);
  HWND next = GetNextDlgTabItem(parent, control, FALSE);
  return next == first ? nullptr : next;
}

void focus_next_tab_stop(WindowHandle control) {
  HWND w = control;
  for (;;) {
    HWND parent = GetParent(w);
    if (parent == nullptr) {
      // Without a child there is nothing to give the focus to; SetFocus(null)
      // would take it away from the window instead.
      if (HWND first = GetWindow(w, GW_CHILD)) SetFocus(first);
      return;
    }
    if (HWND next = next_tab_stop(w)) {
      SetFocus(next);
      return;
    }
    w = parent;
  }
}
