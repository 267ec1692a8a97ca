#include <windows.h>
#include <commdlg.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "platform/file_names.h"
#include "toolkit/builder.h"

namespace {

constexpr DWORD panel_style = 0x10010000;  // WS_VISIBLE | WS_TABSTOP

HINSTANCE instance_of(HWND window) {
  return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
}

template <typename T>
T as(std::intptr_t value) {
  if constexpr (std::is_pointer_v<T>)
    return reinterpret_cast<T>(value);
  else
    return static_cast<T>(value);
}

std::wstring utf8_keyword(std::intptr_t value) {
  return value ? wide_text(reinterpret_cast<const char*>(value)) : std::wstring();
}

// Label and pattern texts, each NUL-terminated, then an empty text.
std::wstring filter_keyword(std::intptr_t value) {
  if (!value) return std::wstring();
  const char* text = reinterpret_cast<const char*>(value);
  size_t length = 0;
  while (text[length] || text[length + 1]) ++length;
  return wide_text(std::string(text, length + 2));
}

}  // namespace

WindowHandle create_keyword_window(InstanceHandle instance, const char* class_name,
                                   const KeywordValue* list, int count) {
  WindowKeywords v = default_window_keywords();
  v.window_proc = reinterpret_cast<std::intptr_t>(&DefWindowProcA);
  v.cursor = reinterpret_cast<std::intptr_t>(LoadCursorA(nullptr, IDC_ARROW));
  v.brush = reinterpret_cast<std::intptr_t>(GetStockObject(WHITE_BRUSH));
  apply_window_keywords(v, list, count);

  // One window per class: a second start only brings the first one forward.
  if (class_name != nullptr) {
    HWND existing = FindWindowA(class_name, nullptr);
    if (existing != nullptr && IsWindow(existing)) {
      if (v.show) SetForegroundWindow(existing);
      return nullptr;
    }
  }

  WNDCLASSA wc{};
  wc.style = as<UINT>(v.class_style);
  wc.lpfnWndProc = as<WNDPROC>(v.window_proc);
  wc.cbClsExtra = as<int>(v.class_extra);
  wc.cbWndExtra = as<int>(v.window_extra);
  wc.hInstance = instance;
  wc.hIcon = as<HICON>(v.icon);
  wc.hCursor = as<HCURSOR>(v.cursor);
  wc.hbrBackground = as<HBRUSH>(v.brush);
  wc.lpszMenuName = as<LPCSTR>(v.menu_name);
  wc.lpszClassName = class_name;
  if (!RegisterClassA(&wc)) return nullptr;

  HWND window = CreateWindowExA(as<DWORD>(v.ex_style), class_name, as<LPCSTR>(v.title),
                                as<DWORD>(v.style), as<int>(v.x), as<int>(v.y), as<int>(v.width),
                                as<int>(v.height), as<HWND>(v.parent), as<HMENU>(v.menu),
                                instance, as<LPVOID>(v.param));
  if (window == nullptr) return nullptr;
  if (v.show) {
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
  }
  return window;
}

WindowHandle create_keyword_window(InstanceHandle instance, const char* class_name,
                                   KeywordList list) {
  return create_keyword_window(instance, class_name, list.begin(), static_cast<int>(list.size()));
}

WindowHandle create_control(WindowHandle parent, const ControlRow& row) {
  RECT client{};
  GetClientRect(parent, &client);
  const ControlPlan plan = plan_control(client.right, client.bottom, row);
  HINSTANCE instance = instance_of(parent);
  HWND window = nullptr;
  // For "CLEdit" the group box comes first and its result does not count.
  for (int i = 0; i < plan.count; ++i) {
    const WindowPlan& w = plan.windows[i];
    window = CreateWindowExA(w.ex_style, w.class_name, w.text, w.style, w.rect.x, w.rect.y,
                             w.rect.width, w.rect.height, parent,
                             reinterpret_cast<HMENU>(static_cast<std::uintptr_t>(w.id)), instance,
                             nullptr);
  }
  return window;
}

WindowHandle create_control(WindowHandle parent, const char* class_name, const char* text,
                            std::uint32_t style, std::int32_t id, std::int32_t left,
                            std::int32_t right, std::int32_t x_divisions, std::int32_t top,
                            std::int32_t bottom, std::int32_t y_divisions) {
  return create_control(parent, ControlRow{class_name, text, style, id, left, right, x_divisions,
                                           top, bottom, y_divisions});
}

int on_panel_focus(WindowHandle panel, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  // A panel without a tab stop keeps the focus rather than dropping it.
  if (HWND first = GetNextDlgTabItem(panel, nullptr, FALSE)) SetFocus(first);
  return 0;
}

WindowHandle create_control_table(WindowHandle parent, WindowHandle* handles,
                                  const ControlRow* table) {
  const ControlRow& header = table[0];
  HWND panel = create_control(parent, "static", nullptr, panel_style, header.id, header.left,
                              header.right, header.x_divisions, header.top, header.bottom,
                              header.y_divisions);
  handles[0] = panel;
  if (panel == nullptr) return nullptr;
  // The caption for the panel's tab.
  SetWindowLongPtrA(panel, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(header.text));
  // A static window drops its children's WM_COMMAND and WM_NOTIFY; on the
  // shared procedure they reach the handlers registered for the panel.
  subclass_window(panel);
  register_handlers(panel, {{WM_SETFOCUS, on_panel_focus, 0, 0}});
  for (int k = 1; table[k].class_name != nullptr; ++k) {
    handles[k] = create_control(panel, table[k]);
    if (handles[k] == nullptr) return nullptr;
  }
  return panel;
}

char* choose_open_file(WindowHandle owner, char* buffer, int size, const KeywordValue* list,
                       int count) {
  OpenFileKeywords v = default_open_file_keywords();
  apply_open_file_keywords(v, list, count);
  if (buffer == nullptr || size <= 0) return nullptr;
  buffer[0] = 0;

  // The wide dialog, so that a folder outside the ANSI code page can be chosen.
  std::wstring title = utf8_keyword(v.title);
  std::wstring initial_dir = utf8_keyword(v.initial_dir);
  std::wstring filter = filter_keyword(v.filter);
  std::wstring file(static_cast<size_t>(size), L'\0');
  OPENFILENAMEW ofn{};
  // The layout without the places bar and its reserved members.
  ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
  ofn.hwndOwner = owner;
  ofn.hInstance = owner ? instance_of(owner) : nullptr;
  ofn.lpstrFilter = v.filter ? filter.c_str() : nullptr;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(size);
  ofn.lpstrInitialDir = v.initial_dir ? initial_dir.c_str() : nullptr;
  ofn.lpstrTitle = v.title ? title.c_str() : nullptr;
  ofn.Flags = as<DWORD>(v.flags);
  if (!GetOpenFileNameW(&ofn)) return nullptr;
  std::string chosen = utf8_text(file.c_str());
  if (chosen.size() >= static_cast<size_t>(size)) return nullptr;
  std::memcpy(buffer, chosen.c_str(), chosen.size() + 1);
  return buffer;
}

char* choose_open_file(WindowHandle owner, char* buffer, int size, KeywordList list) {
  return choose_open_file(owner, buffer, size, list.begin(), static_cast<int>(list.size()));
}
