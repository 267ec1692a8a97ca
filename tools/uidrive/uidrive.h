// uidrive: operates another program's windows from outside its process, one
// command per input line, one answer line per command ("OK ..." / "ERR ...").
// Arguments are separated by tabs (or by spaces when the line has no tab);
// every field is escaped so that an answer always stays on one line: fields
// are joined by tabs, records by '|'.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

using Args = std::vector<std::string>;

// Answer texts.
std::string ok(const std::string& payload = "");
std::string err(const std::string& message);

// Field codec: backslash escapes for '\\', tab, CR, LF and '|'/control bytes.
std::string escape_field(const std::string& text);
std::string unescape_field(const std::string& text);
// Splits a command line into unescaped fields (the command name first).
Args split_line(const std::string& line);
std::string join_fields(const std::vector<std::string>& fields);  // escaped, tab-joined

int parse_number(const std::string& text, long long* value);  // decimal or 0x hex
int parse_hwnd(const std::string& text, HWND* hwnd);           // must name a live window
std::string hwnd_text(HWND hwnd);                              // "0x1a2b" or "none"

// Bounded waits: every wait in the driver is capped at this.
constexpr long long MAX_WAIT_MS = 120000;
long long bounded_ms(long long ms);

// Window text read through messages (works across processes).
std::string window_text(HWND hwnd);
std::string class_name(HWND hwnd);
// Posted input has been handled: gives the target's thread time to take the
// posted messages and answers once it is pumping again.
void settle(HWND hwnd);
// The window and all its ancestors are enabled and visible, as a person
// needs to click it.
int clickable(HWND hwnd, std::string* why);

// Commands, one function each: args exclude the command name.
std::string cmd_windows(const Args& args);
std::string cmd_find(const Args& args);
std::string cmd_findall(const Args& args);
std::string cmd_gone(const Args& args);
std::string cmd_child(const Args& args);
std::string cmd_children(const Args& args);
std::string cmd_text(const Args& args);
std::string cmd_settext(const Args& args);
std::string cmd_textw(const Args& args);
std::string cmd_settextw(const Args& args);
std::string cmd_click(const Args& args);
std::string cmd_enabled(const Args& args);
std::string cmd_visible(const Args& args);
std::string cmd_checked(const Args& args);  // a check box: 1 when ticked
std::string cmd_rect(const Args& args);
std::string cmd_msgbox(const Args& args);
std::string cmd_answer(const Args& args);
std::string cmd_close(const Args& args);
std::string cmd_session(const Args& args);
std::string cmd_hold(const Args& args);
// The window to a new outer size (as dragging its border does), or
// maximised / restored (the caption buttons' system commands).
std::string cmd_resize(const Args& args);
std::string cmd_maximize(const Args& args);
// The menu bar: each item as "bar text", then its popup's items as
// "bar text/item text" with their id and state (grey, separator); one
// record ("", 0, "unreadable") where another process's menu cannot be read.
std::string cmd_menu(const Args& args);
// A menu item chosen: WM_COMMAND with its id, posted as the menu does.
std::string cmd_menucmd(const Args& args);
// WM_NULL round trips to a window for a while: each one's milliseconds.
std::string cmd_latency(const Args& args);

std::string cmd_focus(const Args& args);
std::string cmd_setfocus(const Args& args);
std::string cmd_foreground(const Args& args);
std::string cmd_key(const Args& args);
std::string cmd_press(const Args& args);
std::string cmd_type(const Args& args);

std::string cmd_rows(const Args& args);
std::string cmd_count(const Args& args);
std::string cmd_check(const Args& args);
std::string cmd_select(const Args& args);
std::string cmd_dblclick(const Args& args);
std::string cmd_rclick(const Args& args);
std::string cmd_header(const Args& args);

std::string cmd_shot(const Args& args);
std::string cmd_fit(const Args& args);
// The system message icon a dialog shows: error, question, warning,
// information or none, then how many pixels each would change.
std::string cmd_icon(const Args& args);
