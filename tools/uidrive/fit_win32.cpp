// Whether texts fit their windows: each control's text measured in the font
// it is drawn with, against the room the control gives it, and a top-level
// window's caption against its title bar. What a picture shows as a cut or
// wrapped label, as numbers a test can compare.
#include "tools/uidrive/uidrive.h"

#include <cstdio>
#include <memory>

namespace {

// The room a control's frame and its drawing leave for the text, in pixels
// (the common controls' own insets, rounded up).
constexpr int BUTTON_INSET = 6;     // push button: edge and focus rectangle
constexpr int CHECK_INSET = 18;     // check box or radio button: the box and its gap
constexpr int GROUP_INSET = 16;     // group box: the caption starts one char in
constexpr int EDIT_INSET = 2;       // edit: the caret beside the last character

struct Font {
  HFONT font = nullptr;
  bool owned = false;
  ~Font() {
    if (owned) DeleteObject(font);
  }
};

// The control's font is a handle of its own process, which Wine answers
// to another process as none. The program's controls are given no font
// (the system font) or their dialog template's "System" 10, the same face;
// a message box draws its text and buttons in the message font.
void control_font(bool message_box, Font* out) {
  NONCLIENTMETRICSA metrics;
  metrics.cbSize = sizeof metrics;
  if (message_box && SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    out->font = CreateFontIndirectA(&metrics.lfMessageFont);
    out->owned = out->font != nullptr;
  }
  if (!out->font) out->font = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
}

struct Extent {
  int width = 0;
  int height = 0;
};

Extent measure(HFONT font, const std::string& text, UINT format, int wrap_width) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  RECT r = {0, 0, wrap_width > 0 ? wrap_width : 0, 0};
  DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &r, format | DT_CALCRECT);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return {r.right - r.left, r.bottom - r.top};
}

struct Fit {
  Extent need;
  Extent room;
  bool measured = false;
};

Fit control_fit(HWND h, bool message_box) {
  Fit fit;
  const std::string cls = class_name(h);
  const std::string text = window_text(h);
  const LONG style = GetWindowLongA(h, GWL_STYLE);
  RECT client;
  GetClientRect(h, &client);
  fit.room = {client.right - client.left, client.bottom - client.top};
  if (text.empty()) return fit;
  Font font;
  control_font(message_box, &font);
  if (_stricmp(cls.c_str(), "Button") == 0) {
    const LONG kind = style & BS_TYPEMASK;
    int inset = BUTTON_INSET;
    if (kind == BS_GROUPBOX)
      inset = GROUP_INSET;
    else if (kind == BS_CHECKBOX || kind == BS_AUTOCHECKBOX || kind == BS_RADIOBUTTON ||
             kind == BS_AUTORADIOBUTTON || kind == BS_3STATE || kind == BS_AUTO3STATE)
      inset = CHECK_INSET;
    fit.need = measure(font.font, text, DT_SINGLELINE, 0);
    fit.need.width += inset;
    if (kind == BS_GROUPBOX) fit.need.height = 0;  // the caption sits on the frame
  } else if (_stricmp(cls.c_str(), "Static") == 0) {
    if ((style & SS_TYPEMASK) > SS_RIGHT) return fit;  // icons, frames, pictures
    // A static wraps its text at the control's width as it draws it: the
    // text fits when the wrapped lines are no wider and no taller.
    const UINT format = DT_WORDBREAK | DT_EXPANDTABS | (style & SS_NOPREFIX ? DT_NOPREFIX : 0) |
                        (style & SS_EDITCONTROL ? DT_EDITCONTROL : 0);
    fit.need = measure(font.font, text, format, fit.room.width);
  } else if (_stricmp(cls.c_str(), "Edit") == 0) {
    if (style & ES_MULTILINE) return fit;  // scrolls: any text has its room
    DWORD margins = static_cast<DWORD>(SendMessageA(h, EM_GETMARGINS, 0, 0));
    fit.need = measure(font.font, text, DT_SINGLELINE | DT_NOPREFIX, 0);
    fit.need.width += LOWORD(margins) + HIWORD(margins) + EDIT_INSET;
    // The row height is the layout's; a field a pixel shorter than the font
    // only loses the blank bottom row of the descent.
    fit.need.height = 0;
  } else {
    return fit;  // lists, tabs, bars: not a single text
  }
  fit.measured = true;
  return fit;
}

// A top-level window's caption between its icon and its caption buttons.
Fit caption_fit(HWND h) {
  Fit fit;
  const LONG style = GetWindowLongA(h, GWL_STYLE);
  const LONG ex_style = GetWindowLongA(h, GWL_EXSTYLE);
  if ((style & WS_CAPTION) != WS_CAPTION) return fit;
  const std::string text = window_text(h);
  NONCLIENTMETRICSA metrics;
  metrics.cbSize = sizeof metrics;
  if (text.empty() || !SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
    return fit;
  RECT window;
  GetWindowRect(h, &window);
  int room = window.right - window.left - 2 * GetSystemMetrics(SM_CXFIXEDFRAME) - 4;
  if (style & WS_SYSMENU) {
    int buttons = (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) ? 3 : 1;
    room -= buttons * GetSystemMetrics(SM_CXSIZE);
    if (!(ex_style & WS_EX_DLGMODALFRAME)) room -= GetSystemMetrics(SM_CXSMICON) + 4;
  }
  HFONT font = CreateFontIndirectA(&metrics.lfCaptionFont);
  fit.need = measure(font, text, DT_SINGLELINE | DT_NOPREFIX, 0);
  DeleteObject(font);
  fit.need.height = 0;
  fit.room = {room, GetSystemMetrics(SM_CYCAPTION)};
  fit.measured = true;
  return fit;
}

BOOL CALLBACK collect(HWND hwnd, LPARAM lparam) {
  reinterpret_cast<std::vector<HWND>*>(lparam)->push_back(hwnd);
  return TRUE;
}

std::string fit_record(HWND h, int id, const std::string& cls, const Fit& f) {
  return join_fields({hwnd_text(h), std::to_string(id), cls, window_text(h), std::to_string(f.need.width),
                      std::to_string(f.room.width), std::to_string(f.need.height),
                      std::to_string(f.room.height)});
}

}  // namespace

// The window's caption (id -1, class "caption") and every visible control
// with a text: hwnd, id, class, text, needed width, room, needed height, room.
std::string cmd_fit(const Args& args) {
  HWND top = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &top)) return err("usage: fit HWND");
  std::string out;
  Fit caption = caption_fit(top);
  if (caption.measured) out = fit_record(top, -1, "caption", caption);
  const bool message_box = class_name(top) == "#32770" && GetDlgItem(top, 0xFFFF) != nullptr;
  std::vector<HWND> all;
  EnumChildWindows(top, collect, reinterpret_cast<LPARAM>(&all));
  for (HWND h : all) {
    if (!IsWindowVisible(h)) continue;
    Fit f = control_fit(h, message_box);
    if (!f.measured) continue;
    if (!out.empty()) out += '|';
    out += fit_record(h, GetDlgCtrlID(h), class_name(h), f);
  }
  return ok(out);
}
