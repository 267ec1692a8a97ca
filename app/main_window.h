#pragma once
// The main window: its creation handler, the page with the main panel, and
// the quit sequence.
#include "toolkit/handlers.h"

inline constexpr const char* MAIN_WINDOW_CLASS = "DaveridurClassName";

std::intptr_t on_main_create(WindowHandle window, std::uintptr_t wparam, std::intptr_t lparam);
WindowHandle build_main_panel(WindowHandle tab_control, int id, int left, int right,
                              int x_divisions, int top, int bottom, int y_divisions);
int confirm_quit(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int close_main(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int focus_next(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
int remove_rows_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);

// The menu bar: the device list's commands, the page's buttons, the Rollout
// and Scan dialogs and the reports folder.
struct HMENU__;
HMENU__* create_main_menu();
// The window is never made smaller than it opens (its outer size).
void set_smallest_main_window(int width, int height);
