// Without a window system: no default processing, no window procedures to
// read or replace; stored procedures are called directly.
#include "toolkit/handlers.h"

namespace {

std::intptr_t no_default(WindowHandle, unsigned int, std::uintptr_t, std::intptr_t) { return 0; }

std::intptr_t call_directly(std::uintptr_t procedure, WindowHandle window, unsigned int message,
                            std::uintptr_t wparam, std::intptr_t lparam) {
  return reinterpret_cast<WindowProcedure>(procedure)(window, message, wparam, lparam);
}

std::uintptr_t no_procedure(WindowHandle) { return 0; }
std::uintptr_t no_replacement(WindowHandle, std::uintptr_t) { return 0; }

}  // namespace

const WindowOps default_window_ops = {no_default, call_directly, no_procedure, no_replacement};
