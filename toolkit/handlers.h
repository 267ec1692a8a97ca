// Message handlers: one shared window procedure and one shared dialog
// procedure route every message to handlers registered per window, per
// message and (for WM_COMMAND, WM_NOTIFY, WM_TIMER, WM_DRAWITEM) per id.
//
// The tables, scans and cracking are portable; the four window operations
// they need sit behind WindowOps so that they run without a window system.
#pragma once

#include <cstdint>
#include <initializer_list>

// The same type as HWND in the Windows headers (STRICT handles), so that
// Win32 code passes its handles straight through.
struct HWND__;
using WindowHandle = HWND__*;

// Handler arguments and results, pointer-sized like WPARAM / LPARAM.
using HandlerArg = std::intptr_t;

// Every message handler has this one signature; the arguments it receives
// for each message are those of crack_message, unused trailing ones are 0.
// Result 0: handled; anything else: let the default processing run.
using MessageHandler = int (*)(WindowHandle window, HandlerArg a1, HandlerArg a2,
                               HandlerArg a3, HandlerArg a4);

// Parked creation handler, run at WM_CREATE with (window, wParam, lParam =
// the creation parameters), where non-zero lets the creation go on, or at
// WM_INITDIALOG with (dialog, wParam, lParam), where the result is the
// dialog's WM_INITDIALOG result.
using CreationHandler = std::intptr_t (*)(WindowHandle window, std::uintptr_t wparam,
                                          std::intptr_t lparam);

// A window or dialog procedure, as WNDPROC / DLGPROC in the 64-bit build.
using WindowProcedure = std::intptr_t (*)(WindowHandle window, unsigned int message,
                                          std::uintptr_t wparam, std::intptr_t lparam);

struct HandlerEntry {
  WindowHandle window;    // 0 never used, HANDLER_FREED, HANDLER_PENDING or the owner
  std::uint32_t message;  // HANDLER_FORWARD: handler is a window procedure
  std::uintptr_t handler; // MessageHandler, CreationHandler or WindowProcedure
  std::uint32_t id;       // control / timer id for the id-carrying messages
  std::uint32_t flags;    // HANDLER_FINAL_RESULT or 0
};

constexpr int HANDLER_TABLE_SIZE = 256;
constexpr std::uintptr_t HANDLER_FREED = 0xABADBEED;
constexpr std::uintptr_t HANDLER_PENDING = 0xABADBEEF;
constexpr std::uint32_t HANDLER_FORWARD = 0xFFFFFFFF;
constexpr std::uint32_t HANDLER_FINAL_RESULT = 0x8000;

extern HandlerEntry handler_table[HANDLER_TABLE_SIZE];
extern HandlerEntry subclass_table[HANDLER_TABLE_SIZE];

// One group of a register_handlers call.
struct HandlerGroup {
  std::uint32_t message;
  MessageHandler handler;
  std::uint32_t id;
  std::uint32_t flags;
};

// The window operations the registry needs; 0 from either window-procedure
// operation means failure.
struct WindowOps {
  std::intptr_t (*def_window_proc)(WindowHandle, unsigned int, std::uintptr_t, std::intptr_t);
  std::intptr_t (*call_window_proc)(std::uintptr_t procedure, WindowHandle, unsigned int,
                                    std::uintptr_t, std::intptr_t);
  std::uintptr_t (*get_window_proc)(WindowHandle);
  std::uintptr_t (*set_window_proc)(WindowHandle, std::uintptr_t procedure);
};

// The Win32 operations in the Windows build, inert ones natively.
extern const WindowOps default_window_ops;
// Replaces the operations (tests install fakes); null restores the default.
void set_window_ops(const WindowOps* ops);

int clear_handler_tables();
int find_free_entry(const HandlerEntry* table);
int register_creation_handler(CreationHandler handler);
// Stores each group in the highest free slot, in list order; a message of 0
// after the first group ends the list. 0 when the table ran out (the groups
// stored up to then stay).
int register_handlers(WindowHandle window, std::initializer_list<HandlerGroup> groups);
int register_handlers(WindowHandle window, const HandlerGroup* groups, int count);
int remove_handlers(WindowHandle window);
int subclass_window(WindowHandle window);
int crack_message(MessageHandler handler, WindowHandle window, unsigned int message,
                  std::uintptr_t wparam, std::intptr_t lparam);

std::intptr_t shared_window_proc(WindowHandle window, unsigned int message,
                                 std::uintptr_t wparam, std::intptr_t lparam);
std::intptr_t shared_dialog_proc(WindowHandle dialog, unsigned int message,
                                 std::uintptr_t wparam, std::intptr_t lparam);

// Routine addresses as the tables store them.
template <typename Routine>
inline std::uintptr_t routine_address(Routine routine) {
  return reinterpret_cast<std::uintptr_t>(routine);
}
