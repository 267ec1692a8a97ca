// Tab control with one page window per tab, page switching and focus
// forwarding by registered handlers, and Tab-key focus movement across
// nested windows (toolkit windows are not dialogs and get none from the
// system). Windows build only.
#pragma once

#include <cstdint>

#include "toolkit/handlers.h"

// id_and_styles: low 16 bits the control id, bits 16..30 extra tab-control
// styles. Geometry as for create_control.
WindowHandle create_tab_control(WindowHandle parent, std::uint32_t id_and_styles,
                                std::int32_t left, std::int32_t right, std::int32_t x_divisions,
                                std::int32_t top, std::int32_t bottom, std::int32_t y_divisions);

// Inserts a tab for the page at the index of the page's control id. The
// caption is the given text, else the page's user data as text, else the
// page's window text. Pages after the first are hidden.
WindowHandle add_tab_page(WindowHandle tab_control, WindowHandle page, const char* caption);

// The page stored in the tab item at index, or null.
WindowHandle get_tab_page(WindowHandle tab_control, int index);

// WM_NOTIFY handler on the tab control's parent: hides the page before the
// selection changes, shows and focuses the new one after.
int on_tab_notify(WindowHandle window, HandlerArg id, HandlerArg header, HandlerArg, HandlerArg);
// WM_SETFOCUS handler on the tab control: passes the focus to the page.
int on_tab_focus(WindowHandle tab_control, HandlerArg previous_focus, HandlerArg, HandlerArg,
                 HandlerArg);

// The next tab stop after the control among its siblings, or null when the
// search wraps round.
WindowHandle next_tab_stop(WindowHandle control);
// Moves the focus to the next tab stop, climbing to the parents when a level
// is exhausted and starting again at the top-level window's first child.
void focus_next_tab_stop(WindowHandle control);
