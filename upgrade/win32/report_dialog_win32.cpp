// A batch's report that a message box cannot show whole: dialog 120, with
// the counts per outcome and the report's text in a read-only field that
// scrolls, selects and copies, OK, and "Open report" for the kept report's page.
#include <windows.h>
#include <shellapi.h>

#include "platform/file_names.h"
#include "resources/resource.h"
#include "toolkit/services.h"
#include "upgrade/pages/report_box.h"
#include "upgrade/win32/report_dialog.h"

namespace {

const UINT SHOW_TOP_MESSAGE = WM_APP + 1;
const UINT WIDEN_MESSAGE = WM_APP + 2;

struct ReportDialog {
  std::string text;  // in the system's code page, lines ending in CR LF
  std::string kept_path;  // UTF-8; empty when no file was written
  bool warning = false;  // a halt, a stop or a card failed: the warning icon
};

void open_kept_file(HWND dialog, const std::string& path) {
  std::wstring wide = wide_text(path);
  if (reinterpret_cast<INT_PTR>(ShellExecuteW(dialog, L"open", wide.c_str(), nullptr, nullptr,
                                              SW_SHOWNORMAL)) <= 32)
    MessageBoxA(dialog, "The report cannot be opened.", "Daveridur -- Confirmation",
                MB_OK | MB_ICONERROR);
}

INT_PTR CALLBACK report_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrA(dialog, DWLP_USER, lparam);
      const auto* data = reinterpret_cast<const ReportDialog*>(lparam);
      SendDlgItemMessageA(
          dialog, IDC_REPORT_ICON, STM_SETICON,
          reinterpret_cast<WPARAM>(LoadIconA(nullptr, data->warning ? IDI_WARNING : IDI_INFORMATION)),
          0);
      SetDlgItemTextA(dialog, IDC_REPORT_TEXT, data->text.c_str());
      // From the top, the counts first: once the field is shown, as Wine
      // scrolls it to its caret at the end of the text on showing it.
      PostMessageA(dialog, SHOW_TOP_MESSAGE, 0, 0);
      EnableWindow(GetDlgItem(dialog, IDC_REPORT_OPEN), !data->kept_path.empty());
      // On top like the message box it stands for.
      SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      SetFocus(GetDlgItem(dialog, IDOK));
      return FALSE;  // the focus is set
    }
    case SHOW_TOP_MESSAGE:
      SendDlgItemMessageA(dialog, IDC_REPORT_TEXT, EM_SETSEL, 0, 0);
      SendDlgItemMessageA(dialog, IDC_REPORT_TEXT, WM_VSCROLL, SB_TOP, 0);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
        case IDCANCEL:
          EndDialog(dialog, IDOK);
          return TRUE;
        case IDC_REPORT_OPEN: {
          const auto* data = reinterpret_cast<const ReportDialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
          if (data) open_kept_file(dialog, data->kept_path);
          return TRUE;
        }
      }
      return FALSE;
    default:
      return FALSE;
  }
}

// The report box's "Open report": the message box's Help button, relabelled
// as the box shows, its click taken by the box's window procedure in place
// of the help the box would ask for. One box at a time on this thread.
struct ReportBox {
  HHOOK hook = nullptr;
  WNDPROC box_proc = nullptr;
  const std::string* page = nullptr;
};
thread_local ReportBox report_box;

// The box sized its buttons for "Help": the relabelled one grows to its
// text, the row moving left by half of it to stay centred.
void widen_to_text(HWND box, HWND button) {
  char text[32];
  const int length = GetWindowTextA(button, text, sizeof text);
  // The message font, as the box draws its buttons' text in it.
  NONCLIENTMETRICSA metrics;
  metrics.cbSize = sizeof metrics;
  HFONT font = SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)
                   ? CreateFontIndirectA(&metrics.lfMessageFont)
                   : nullptr;
  HDC dc = GetDC(button);
  HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
  SIZE size{};
  GetTextExtentPoint32A(dc, text, length, &size);
  SelectObject(dc, old);
  ReleaseDC(button, dc);
  if (font) DeleteObject(font);
  RECT own;
  GetWindowRect(button, &own);
  // Room for the text, the button's frame and its focus rectangle.
  const int grow = size.cx + 24 - (own.right - own.left);
  if (grow <= 0) return;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char name[16];
    GetClassNameA(child, name, sizeof name);
    if (lstrcmpiA(name, "Button") != 0) continue;
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
    SetWindowPos(child, nullptr, r.left - grow / 2, r.top,
                 r.right - r.left + (child == button ? grow : 0), r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

LRESULT CALLBACK report_box_proc(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  if ((message == WM_COMMAND && LOWORD(wparam) == IDHELP) || message == WM_HELP) {
    if (report_box.page) open_kept_file(box, *report_box.page);
    return 0;
  }
  if (message == WIDEN_MESSAGE) {
    if (HWND help = GetDlgItem(box, IDHELP)) widen_to_text(box, help);
    return 0;
  }
  return CallWindowProcA(report_box.box_proc, box, message, wparam, lparam);
}

LRESULT CALLBACK report_box_hook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE && !report_box.box_proc) {
    HWND box = reinterpret_cast<HWND>(wparam);
    HWND help = GetDlgItem(box, IDHELP);
    if (help) {
      SetWindowTextA(help, "Open report");
      report_box.box_proc = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(report_box_proc)));
      // Once the box has laid out its buttons (it may do so after this).
      PostMessageA(box, WIDEN_MESSAGE, 0, 0);
    }
  }
  return CallNextHookEx(report_box.hook, code, wparam, lparam);
}

}  // namespace

void show_report_box(void* owner, const std::string& text, bool warning,
                     const std::string& page_path) {
  report_box = ReportBox{};
  report_box.page = &page_path;
  report_box.hook = SetWindowsHookExA(WH_CBT, report_box_hook, nullptr, GetCurrentThreadId());
  const UINT icon = warning ? MB_ICONWARNING : MB_ICONINFORMATION;
  MessageBoxA(static_cast<HWND>(owner), text.c_str(), INFORMATION_TITLE,
              MB_OK | icon | MB_TOPMOST | (report_box.hook ? MB_HELP : 0));
  if (report_box.hook) UnhookWindowsHookEx(report_box.hook);
  report_box = ReportBox{};
}

bool report_fits_message_box(const std::string& text, size_t card_lines) {
  // The message box's lines and the room it has: the message font's line
  // height; its caption, frame, margins and button row; the work area.
  NONCLIENTMETRICSA metrics;
  metrics.cbSize = sizeof metrics;
  int line_height = 16;
  if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    HFONT font = CreateFontIndirectA(&metrics.lfMessageFont);
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICA tm;
    if (GetTextMetricsA(dc, &tm)) line_height = tm.tmHeight;
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
  }
  RECT work = {0, 0, 0, GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  const int chrome = GetSystemMetrics(SM_CYCAPTION) + 2 * GetSystemMetrics(SM_CYFIXEDFRAME) +
                     4 * line_height + 2 * GetSystemMetrics(SM_CYEDGE) + 40;
  return report_fits_box(card_lines, text_line_count(text), line_height, chrome,
                         work.bottom - work.top);
}

bool show_report_dialog(void* instance, void* owner, const std::string& text,
                        const std::vector<CardResult>& cards, const std::string& kept_path,
                        bool warning, bool failures) {
  // A halt or a stop says so before the counts.
  std::string shown = report_counts_line(cards) + "\r\n" + text;
  const size_t first_end = text.find("\r\n");
  if (warning && first_end != std::string::npos)
    shown = text.substr(0, first_end + 2) + report_counts_line(cards) + "\r\n" + text.substr(first_end + 2);
  ReportDialog data{shown, kept_path, warning || failures};
  return DialogBoxParamA(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEA(IDD_REPORT),
                         static_cast<HWND>(owner), report_proc, reinterpret_cast<LPARAM>(&data)) != -1;
}
