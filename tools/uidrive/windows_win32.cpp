// Window queries and plain actions: finding windows, reading and setting
// texts, clicking buttons, answering message boxes.
#include "tools/uidrive/uidrive.h"

#include <cstdio>

#include "platform/file_names.h"

namespace {

constexpr UINT SEND_TIMEOUT_MS = 3000;
constexpr int POLL_MS = 20;
constexpr int MSGBOX_TEXT_ID = 0xFFFF;  // the message box's text static

std::string flag(int v) { return v ? "1" : "0"; }

BOOL CALLBACK collect_window(HWND hwnd, LPARAM lparam) {
  reinterpret_cast<std::vector<HWND>*>(lparam)->push_back(hwnd);
  return TRUE;
}

std::vector<HWND> top_level_windows() {
  std::vector<HWND> all;
  EnumWindows(collect_window, reinterpret_cast<LPARAM>(&all));
  return all;
}

std::vector<HWND> descendants(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, collect_window, reinterpret_cast<LPARAM>(&all));
  return all;
}

std::string caption(HWND hwnd) {
  // A top-level window's caption is kept by the window manager's side, so
  // GetWindowText answers even when the owner is busy in a long operation.
  char buf[1024] = "";
  GetWindowTextA(hwnd, buf, sizeof buf);
  return buf;
}

// "class:NAME" matches the class, "prefix:TEXT" the start of the title,
// "*" any message box, anything else the whole title.
int window_matches(HWND hwnd, const std::string& plan) {
  if (plan.rfind("class:", 0) == 0) return class_name(hwnd) == plan.substr(6);
  if (plan.rfind("prefix:", 0) == 0) return caption(hwnd).rfind(plan.substr(7), 0) == 0;
  return caption(hwnd) == plan;
}

int is_message_box(HWND hwnd) {
  return class_name(hwnd) == "#32770" && GetDlgItem(hwnd, MSGBOX_TEXT_ID) != nullptr;
}

std::vector<HWND> visible_matches(const std::string& plan, int message_boxes_only) {
  std::vector<HWND> found;
  for (HWND h : top_level_windows()) {
    if (!IsWindowVisible(h)) continue;
    if (message_boxes_only && !is_message_box(h)) continue;
    if (message_boxes_only && plan == "*") {
      found.push_back(h);
      continue;
    }
    if (window_matches(h, plan)) found.push_back(h);
  }
  return found;
}

HWND wait_for_window(const std::string& plan, long long timeout_ms, int message_boxes_only) {
  DWORD start = GetTickCount();
  for (;;) {
    std::vector<HWND> found = visible_matches(plan, message_boxes_only);
    if (!found.empty()) return found.front();
    if (static_cast<long long>(GetTickCount() - start) >= timeout_ms) return nullptr;
    Sleep(POLL_MS);
  }
}

int timeout_arg(const Args& args, size_t index, long long fallback, long long* ms) {
  long long v = fallback;
  if (args.size() > index && !parse_number(args[index], &v)) return 0;
  *ms = bounded_ms(v);
  return 1;
}

}  // namespace

std::string class_name(HWND hwnd) {
  char buf[256] = "";
  GetClassNameA(hwnd, buf, sizeof buf);
  return buf;
}

std::string window_text(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length))
    return caption(hwnd);
  std::string buf(length + 2, '\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                           SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &copied))
    return caption(hwnd);
  buf.resize(copied < buf.size() ? copied : buf.size() - 1);
  return buf.c_str();
}

int clickable(HWND hwnd, std::string* why) {
  for (HWND h = hwnd; h; h = GetAncestor(h, GA_PARENT)) {
    if (h == GetDesktopWindow()) break;
    if (!IsWindowVisible(h)) {
      *why = "hidden " + hwnd_text(h);
      return 0;
    }
    if (!IsWindowEnabled(h)) {
      *why = "disabled " + hwnd_text(h);
      return 0;
    }
  }
  return 1;
}

void settle(HWND hwnd) {
  // Posted messages are taken after sent ones, so one round trip is not
  // proof; a short pause and two round trips are, in practice, for a thread
  // that is not busy.
  DWORD_PTR result = 0;
  for (int i = 0; i < 2; ++i) {
    Sleep(40);
    if (!IsWindow(hwnd)) return;
    SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result);
  }
}

std::string cmd_windows(const Args&) {
  std::string out;
  for (HWND h : top_level_windows()) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (!out.empty()) out += '|';
    out += join_fields({hwnd_text(h), std::to_string(pid), class_name(h), caption(h),
                        flag(IsWindowVisible(h)), flag(IsWindowEnabled(h))});
  }
  return ok(out);
}

std::string cmd_find(const Args& args) {
  long long ms = 0;
  if (args.empty() || !timeout_arg(args, 1, 0, &ms)) return err("usage: find TITLE|class:NAME|prefix:TEXT [TIMEOUT_MS]");
  return ok(hwnd_text(wait_for_window(args[0], ms, 0)));
}

std::string cmd_findall(const Args& args) {
  if (args.empty()) return err("usage: findall TITLE|class:NAME|prefix:TEXT");
  std::string out;
  for (HWND h : visible_matches(args[0], 0)) {
    if (!out.empty()) out += '|';
    out += hwnd_text(h);
  }
  return ok(out);
}

std::string cmd_gone(const Args& args) {
  long long ms = 0;
  if (args.empty() || !timeout_arg(args, 1, 0, &ms)) return err("usage: gone HWND TIMEOUT_MS");
  long long v = 0;
  if (!parse_number(args[0], &v)) return err("bad window handle");
  HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
  DWORD start = GetTickCount();
  for (;;) {
    if (!IsWindow(h) || !IsWindowVisible(h)) return ok("gone");
    if (static_cast<long long>(GetTickCount() - start) >= ms) return ok("present");
    Sleep(POLL_MS);
  }
}

std::string cmd_child(const Args& args) {
  HWND parent = nullptr;
  long long id = 0;
  if (args.size() < 2 || !parse_hwnd(args[0], &parent) || !parse_number(args[1], &id))
    return err("usage: child HWND ID [CLASS]");
  // Composite controls repeat an id inside (a combo box's edit): the class
  // picks the part meant.
  for (HWND h : descendants(parent))
    if (GetDlgCtrlID(h) == static_cast<int>(id) && (args.size() < 3 || class_name(h) == args[2]))
      return ok(hwnd_text(h));
  return ok("none");
}

std::string cmd_children(const Args& args) {
  HWND parent = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &parent)) return err("usage: children HWND");
  std::string out;
  for (HWND h : descendants(parent)) {
    char style[16];
    std::snprintf(style, sizeof style, "0x%08lx", static_cast<unsigned long>(GetWindowLongA(h, GWL_STYLE)));
    if (!out.empty()) out += '|';
    out += join_fields({hwnd_text(h), std::to_string(GetDlgCtrlID(h)), class_name(h), window_text(h),
                        flag(IsWindowVisible(h)), flag(IsWindowEnabled(h)), style,
                        hwnd_text(GetParent(h))});
  }
  return ok(out);
}

std::string cmd_text(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: text HWND");
  return ok(escape_field(window_text(h)));
}

std::string cmd_settext(const Args& args) {
  HWND h = nullptr;
  if (args.size() < 2 || !parse_hwnd(args[0], &h)) return err("usage: settext HWND TEXT");
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(args[1].c_str()), SMTO_ABORTIFHUNG,
                           SEND_TIMEOUT_MS, &result))
    return err("window does not answer");
  return ok();
}

// The same two in UTF-8, by the wide messages: names outside the ANSI code page.
std::string cmd_textw(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: textw HWND");
  DWORD_PTR length = 0;
  std::wstring buf;
  bool answered = SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length);
  if (answered) {
    buf.assign(length + 2, L'\0');
    answered = SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                                   SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, nullptr);
  }
  return answered ? ok(escape_field(utf8_text(buf.c_str()))) : err("window does not answer");
}

std::string cmd_settextw(const Args& args) {
  if (args.size() < 2) return err("usage: settextw HWND TEXT");
  std::wstring text = wide_text(args[1]);
  HWND h = nullptr;
  DWORD_PTR result = 0;
  if (!parse_hwnd(args[0], &h)) return err("usage: settextw HWND TEXT");
  bool answered = SendMessageTimeoutW(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                                      SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result);
  return answered ? ok() : err("window does not answer");
}

std::string cmd_click(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: click HWND");
  std::string why;
  if (!clickable(h, &why)) return err(why);
  // Posted, so that a modal loop the click opens does not hold the driver.
  if (!PostMessageA(h, BM_CLICK, 0, 0)) return err("post failed");
  settle(h);
  return ok();
}

std::string cmd_enabled(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: enabled HWND");
  return ok(flag(IsWindowEnabled(h)));
}

std::string cmd_visible(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: visible HWND");
  return ok(flag(IsWindowVisible(h)));
}

std::string cmd_checked(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: checked HWND");
  return ok(flag(SendMessageA(h, BM_GETCHECK, 0, 0) == BST_CHECKED));
}

std::string cmd_rect(const Args& args) {
  HWND h = nullptr;
  RECT r{};
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: rect HWND");
  if (!GetWindowRect(h, &r)) return err("no rectangle");
  char buf[64];
  std::snprintf(buf, sizeof buf, "%ld\t%ld\t%ld\t%ld", r.left, r.top, r.right, r.bottom);
  return ok(buf);
}

std::string cmd_msgbox(const Args& args) {
  long long ms = 0;
  if (args.empty() || !timeout_arg(args, 1, 0, &ms)) return err("usage: msgbox TITLE|* [TIMEOUT_MS]");
  HWND box = wait_for_window(args[0], ms, 1);
  if (!box) return ok("none");
  std::string out = join_fields({hwnd_text(box), window_text(GetDlgItem(box, MSGBOX_TEXT_ID)), caption(box)});
  for (HWND h : descendants(box)) {
    if (class_name(h) != "Button" || !IsWindowVisible(h)) continue;
    out.append(1, '|').append(join_fields({std::to_string(GetDlgCtrlID(h)), window_text(h)}));
  }
  return ok(out);
}

std::string cmd_answer(const Args& args) {
  HWND dialog = nullptr;
  long long id = 0;
  if (args.size() < 2 || !parse_hwnd(args[0], &dialog) || !parse_number(args[1], &id))
    return err("usage: answer HWND BUTTON_ID");
  HWND button = GetDlgItem(dialog, static_cast<int>(id));
  // The answer usually ends the dialog: wait on its owner, which outlives it.
  HWND owner = GetWindow(dialog, GW_OWNER);
  std::string why;
  if (button && !clickable(button, &why)) return err(why);
  if (button) {
    if (!PostMessageA(button, BM_CLICK, 0, 0)) return err("post failed");
  } else if (!PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0)) {
    return err("post failed");
  }
  settle(owner ? owner : dialog);
  return ok();
}

std::string cmd_close(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: close HWND");
  // What the close box does: the system command, not a bare WM_CLOSE.
  if (!PostMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0)) return err("post failed");
  settle(h);
  return ok();
}

std::string cmd_session(const Args& args) {
  HWND h = nullptr;
  if (args.size() < 2 || !parse_hwnd(args[0], &h) || (args[1] != "query" && args[1] != "end"))
    return err("usage: session HWND query|end");
  // What the system sends each top-level window at logoff: the question,
  // then the end, each waited for (the end as long as the system would).
  DWORD_PTR result = 0;
  const bool query = args[1] == "query";
  if (!SendMessageTimeoutA(h, query ? WM_QUERYENDSESSION : WM_ENDSESSION, query ? 0 : TRUE,
                           ENDSESSION_LOGOFF, SMTO_NORMAL, 20000, &result))
    return err("no answer");
  return ok(query ? (result ? "1" : "0") : "ended");
}

namespace {

HANDLE held_file = INVALID_HANDLE_VALUE;

}  // namespace

std::string cmd_hold(const Args& args) {
  if (held_file != INVALID_HANDLE_VALUE) {
    CloseHandle(held_file);
    held_file = INVALID_HANDLE_VALUE;
  }
  if (args.empty()) return ok("released");
  // As a spreadsheet holds an open file: others may read it, nobody may
  // replace or delete it.
  held_file = CreateFileW(wide_text(args[0]).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held_file == INVALID_HANDLE_VALUE) return err("cannot open " + args[0]);
  return ok("held");
}

// The window's answer time: WM_NULL sent every INTERVAL ms for MS ms, each
// round trip timed; a window that does not answer within 10 s counts 10 s.
std::string cmd_latency(const Args& args) {
  HWND h = nullptr;
  long long span = 0, interval = 0;
  if (args.size() < 3 || !parse_hwnd(args[0], &h) || !parse_number(args[1], &span) ||
      !parse_number(args[2], &interval) || interval < 1)
    return err("usage: latency HWND MS INTERVAL_MS");
  LARGE_INTEGER frequency, start;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const double until = static_cast<double>(bounded_ms(span));
  std::vector<std::string> samples;
  for (;;) {
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    if (1000.0 * (before.QuadPart - start.QuadPart) / frequency.QuadPart >= until) break;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(h, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &result);
    QueryPerformanceCounter(&after);
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", 1000.0 * (after.QuadPart - before.QuadPart) / frequency.QuadPart);
    samples.push_back(text);
    if (!IsWindow(h)) break;
    Sleep(static_cast<DWORD>(interval));
  }
  return ok(join_fields(samples));
}

std::string cmd_resize(const Args& args) {
  HWND h = nullptr;
  long long width = 0, height = 0;
  if (args.size() < 3 || !parse_hwnd(args[0], &h) || !parse_number(args[1], &width) ||
      !parse_number(args[2], &height))
    return err("usage: resize HWND WIDTH HEIGHT");
  // Sent as the sizing loop ends: WM_GETMINMAXINFO and WM_SIZE reach the
  // window before the answer.
  if (!SetWindowPos(h, nullptr, 0, 0, static_cast<int>(width), static_cast<int>(height),
                    SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE))
    return err("not resized");
  settle(h);
  return ok();
}

std::string cmd_maximize(const Args& args) {
  HWND h = nullptr;
  if (args.size() < 2 || !parse_hwnd(args[0], &h) || (args[1] != "on" && args[1] != "off"))
    return err("usage: maximize HWND on|off");
  if (args[1] == "on" && !(GetWindowLongA(h, GWL_STYLE) & WS_MAXIMIZEBOX))
    return err("no maximise box");
  if (!PostMessageA(h, WM_SYSCOMMAND, args[1] == "on" ? SC_MAXIMIZE : SC_RESTORE, 0))
    return err("post failed");
  settle(h);
  return ok(IsZoomed(h) ? "1" : "0");
}

std::string cmd_menu(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: menu HWND");
  HMENU bar = GetMenu(h);
  if (!bar) return ok();
  // Where menus live in their own process (Wine), the bar is seen but not
  // its items.
  if (GetMenuItemCount(bar) < 0) return ok(join_fields({"", "0", "unreadable"}));
  std::string out;
  auto add = [&](const std::string& path, UINT id, UINT state) {
    if (!out.empty()) out += '|';
    std::string flags = (state & MF_SEPARATOR) ? "separator" : (state & (MF_GRAYED | MF_DISABLED)) ? "grey" : "";
    out += join_fields({path, std::to_string(id), flags});
  };
  auto text_of = [](HMENU menu, int i) {
    char text[256] = "";
    GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
    return std::string(text);
  };
  for (int i = 0; i < GetMenuItemCount(bar); ++i) {
    const std::string top = text_of(bar, i);
    add(top, 0, GetMenuState(bar, static_cast<UINT>(i), MF_BYPOSITION) & ~0xFF00u);
    HMENU popup = GetSubMenu(bar, i);
    if (!popup) continue;
    // The popup's items grey or not as the window decides on opening it.
    SendMessageA(h, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup), MAKELPARAM(i, FALSE));
    for (int k = 0; k < GetMenuItemCount(popup); ++k)
      add(top + "/" + text_of(popup, k), GetMenuItemID(popup, k), GetMenuState(popup, static_cast<UINT>(k), MF_BYPOSITION));
  }
  return ok(out);
}

std::string cmd_menucmd(const Args& args) {
  HWND h = nullptr;
  long long id = 0;
  if (args.size() < 2 || !parse_hwnd(args[0], &h) || !parse_number(args[1], &id))
    return err("usage: menucmd HWND ID");
  std::string why;
  if (!clickable(h, &why)) return err(why);
  if (!PostMessageA(h, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), 0), 0)) return err("post failed");
  settle(h);
  return ok();
}
