// Window and control builder: top-level windows from keyword lists, controls
// from rows of ten numbers and texts with proportional layout, panels from
// control tables, and the open-file dialog from keywords.
//
// Keyword matching and the layout arithmetic are portable; the functions
// that create windows exist in the Windows build only.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "toolkit/handlers.h"

struct HINSTANCE__;
using InstanceHandle = HINSTANCE__*;

// One keyword of a keyword table; a null keyword ends the table. Several
// keywords may set the same variable.
struct KeywordSlot {
  const char* keyword;
  std::intptr_t* target;
};

// One pair of a keyword/value list; a null keyword ends the list. Values are
// numbers, handles, texts or routine addresses, each one pointer-sized word.
struct KeywordValue {
  const char* keyword;
  std::intptr_t value;

  template <std::integral I>
  KeywordValue(const char* k, I v) : keyword(k), value(static_cast<std::intptr_t>(v)) {}
  KeywordValue(const char* k, std::nullptr_t) : keyword(k), value(0) {}
  template <typename T>
  KeywordValue(const char* k, T* p) : keyword(k), value(reinterpret_cast<std::intptr_t>(p)) {}
};

using KeywordList = std::initializer_list<KeywordValue>;

// Stores each pair's value through the first slot whose keyword equals the
// pair's (ASCII case-insensitive when case_sensitive is 0); unknown keywords
// are skipped. Returns the number of pairs that set a variable.
int match_keywords(const KeywordSlot* table, int case_sensitive, const KeywordValue* list,
                   int count);
int match_keywords(const KeywordSlot* table, int case_sensitive, KeywordList list);

// The variables of create_keyword_window.
struct WindowKeywords {
  std::intptr_t class_style, window_proc, class_extra, window_extra, icon, cursor, brush,
      menu_name, title, style, ex_style, x, y, width, height, parent, menu, param, show;
};
// The defaults that need no window system: window_proc, cursor and brush are
// left 0 for the caller to fill in before apply_window_keywords.
WindowKeywords default_window_keywords();
int apply_window_keywords(WindowKeywords& vars, const KeywordValue* list, int count);

// The variables of choose_open_file.
struct OpenFileKeywords {
  std::intptr_t title, initial_dir, filter, flags;
};
OpenFileKeywords default_open_file_keywords();
int apply_open_file_keywords(OpenFileKeywords& vars, const KeywordValue* list, int count);

// One row of a control table. A table is a header row (the panel: text, id
// and geometry), the control rows, and a row with a null class_name.
struct ControlRow {
  const char* class_name;
  const char* text;
  std::uint32_t style;
  std::int32_t id;  // low 16 bits: control id; high 16 bits: extra ex-style for "cl_static"
  std::int32_t left, right, x_divisions;  // x_divisions 0: pixels
  std::int32_t top, bottom, y_divisions;  // y_divisions 0: pixels
};

struct ControlRect {
  std::int32_t x, y, width, height;
};

// Edges in 1/divisions of the client size, or pixels with divisions 0.
ControlRect control_rect(std::int32_t client_width, std::int32_t client_height,
                         const ControlRow& row);

// One window as create_control makes it.
struct WindowPlan {
  const char* class_name;
  const char* text;
  std::uint32_t style;
  std::uint32_t ex_style;
  std::uint16_t id;
  ControlRect rect;
};

// What create_control makes of a row: one window, or for "CLEdit" a group
// box and an edit (the last window is the control returned).
struct ControlPlan {
  int count;
  WindowPlan windows[2];
};
ControlPlan plan_control(std::int32_t client_width, std::int32_t client_height,
                         const ControlRow& row);

// ---- Windows build only ----

WindowHandle create_keyword_window(InstanceHandle instance, const char* class_name,
                                   KeywordList list);
WindowHandle create_keyword_window(InstanceHandle instance, const char* class_name,
                                   const KeywordValue* list, int count);
WindowHandle create_control(WindowHandle parent, const char* class_name, const char* text,
                            std::uint32_t style, std::int32_t id, std::int32_t left,
                            std::int32_t right, std::int32_t x_divisions, std::int32_t top,
                            std::int32_t bottom, std::int32_t y_divisions);
WindowHandle create_control(WindowHandle parent, const ControlRow& row);
// handles receives the panel and then one window per control row.
WindowHandle create_control_table(WindowHandle parent, WindowHandle* handles,
                                  const ControlRow* table);
// WM_SETFOCUS handler of panels: passes the focus to the first tab stop.
int on_panel_focus(WindowHandle panel, HandlerArg previous_focus, HandlerArg, HandlerArg,
                   HandlerArg);
// The open-file dialog. Texts, the folder and the chosen path are UTF-8; a
// path that does not fit in size bytes counts as no choice.
char* choose_open_file(WindowHandle owner, char* buffer, int size, KeywordList list);
char* choose_open_file(WindowHandle owner, char* buffer, int size, const KeywordValue* list,
                       int count);
