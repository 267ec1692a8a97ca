#include <windows.h>

#include "toolkit/handlers.h"

namespace {

// The shared procedures are installed as WNDPROC / DLGPROC; their portable
// signatures must be exactly those.
static_assert(sizeof(LRESULT) == sizeof(std::intptr_t) && sizeof(WPARAM) == sizeof(std::uintptr_t));
[[maybe_unused]] const WNDPROC window_proc_check = shared_window_proc;
[[maybe_unused]] const DLGPROC dialog_proc_check = shared_dialog_proc;

std::intptr_t def_window_proc(WindowHandle window, unsigned int message, std::uintptr_t wparam,
                              std::intptr_t lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

std::intptr_t call_window_proc(std::uintptr_t procedure, WindowHandle window, unsigned int message,
                               std::uintptr_t wparam, std::intptr_t lparam) {
  return CallWindowProcA(reinterpret_cast<WNDPROC>(procedure), window, message, wparam, lparam);
}

std::uintptr_t get_window_proc(WindowHandle window) {
  return static_cast<std::uintptr_t>(GetWindowLongPtrA(window, GWLP_WNDPROC));
}

std::uintptr_t set_window_proc(WindowHandle window, std::uintptr_t procedure) {
  return static_cast<std::uintptr_t>(
      SetWindowLongPtrA(window, GWLP_WNDPROC, static_cast<LONG_PTR>(procedure)));
}

}  // namespace

const WindowOps default_window_ops = {def_window_proc, call_window_proc, get_window_proc,
                                      set_window_proc};
