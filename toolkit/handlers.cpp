#include "toolkit/handlers.h"

#include <cstring>

HandlerEntry handler_table[HANDLER_TABLE_SIZE];
HandlerEntry subclass_table[HANDLER_TABLE_SIZE];

namespace {

const WindowOps* window_ops = &default_window_ops;

constexpr unsigned int msg_create = 1;
constexpr unsigned int msg_destroy = 2;
constexpr unsigned int msg_setfocus = 7;
constexpr unsigned int msg_close = 16;
constexpr unsigned int msg_drawitem = 43;
constexpr unsigned int msg_notify = 78;
constexpr unsigned int msg_keydown = 256;
constexpr unsigned int msg_keyup = 257;
constexpr unsigned int msg_char = 258;
constexpr unsigned int msg_syskeydown = 260;
constexpr unsigned int msg_syskeyup = 261;
constexpr unsigned int msg_syschar = 262;
constexpr unsigned int msg_initdialog = 272;
constexpr unsigned int msg_command = 273;
constexpr unsigned int msg_timer = 275;
constexpr unsigned int msg_hscroll = 276;
constexpr unsigned int msg_vscroll = 277;
constexpr unsigned int msg_mousemove = 512;
constexpr unsigned int msg_lbuttondown = 513;
constexpr unsigned int msg_lbuttondblclk = 515;
constexpr unsigned int msg_rbuttondown = 516;
constexpr unsigned int msg_rbuttondblclk = 518;

WindowHandle reserved(std::uintptr_t marker) { return reinterpret_cast<WindowHandle>(marker); }

HandlerArg low_word(std::uintptr_t value) { return static_cast<HandlerArg>(value & 0xFFFF); }
HandlerArg high_word(std::uintptr_t value) { return static_cast<HandlerArg>((value >> 16) & 0xFFFF); }

bool id_matches(const HandlerEntry& entry, unsigned int message, std::uintptr_t wparam,
                bool dialog) {
  switch (message) {
    case msg_command:
      return entry.id == (wparam & 0xFFFF);
    case msg_notify:
    case msg_timer:
      return entry.id == wparam;
    case msg_drawitem:
      return dialog || entry.id == wparam;
    default:
      return true;
  }
}

// The first entry of the window that forwards everything or answers the
// message; -1 when there is none. Scans stop at the first never-used slot.
int find_handler(WindowHandle window, unsigned int message, std::uintptr_t wparam, bool dialog) {
  for (int slot = HANDLER_TABLE_SIZE - 1; slot >= 0; --slot) {
    const HandlerEntry& entry = handler_table[slot];
    if (entry.window == nullptr) break;
    if (entry.window != window) continue;
    if (entry.message == HANDLER_FORWARD) return slot;
    if (entry.message == message && id_matches(entry, message, wparam, dialog)) return slot;
  }
  return -1;
}

// Takes the highest pending creation handler. Unlike the other scans this one
// does not stop at a never-used slot: it looks at all of them.
CreationHandler take_pending_creation() {
  for (int slot = HANDLER_TABLE_SIZE - 1; slot >= 0; --slot) {
    HandlerEntry& entry = subclass_table[slot];
    if (entry.window != reserved(HANDLER_PENDING)) continue;
    // Freed before it runs, so a window created inside the handler does not
    // run it a second time.
    entry.window = reserved(HANDLER_FREED);
    return reinterpret_cast<CreationHandler>(entry.handler);
  }
  return nullptr;
}

std::intptr_t default_processing(WindowHandle window, unsigned int message, std::uintptr_t wparam,
                                 std::intptr_t lparam) {
  for (int slot = HANDLER_TABLE_SIZE - 1; slot >= 0; --slot) {
    const HandlerEntry& entry = subclass_table[slot];
    if (entry.window == nullptr) break;
    if (entry.window == window && entry.message == HANDLER_FORWARD)
      return window_ops->call_window_proc(entry.handler, window, message, wparam, lparam);
  }
  return window_ops->def_window_proc(window, message, wparam, lparam);
}

}  // namespace

void set_window_ops(const WindowOps* ops) { window_ops = ops ? ops : &default_window_ops; }

int clear_handler_tables() {
  std::memset(handler_table, 0, sizeof handler_table);
  std::memset(subclass_table, 0, sizeof subclass_table);
  return 1;
}

int find_free_entry(const HandlerEntry* table) {
  for (int slot = HANDLER_TABLE_SIZE - 1; slot >= 0; --slot) {
    if (table[slot].window == nullptr || table[slot].window == reserved(HANDLER_FREED)) return slot;
  }
  return -1;
}

int register_creation_handler(CreationHandler handler) {
  int slot = find_free_entry(subclass_table);
  if (slot < 0) return 0;
  subclass_table[slot] = {reserved(HANDLER_PENDING), 0, routine_address(handler), 0, 0};
  return 1;
}

int register_handlers(WindowHandle window, const HandlerGroup* groups, int count) {
  for (int i = 0; i < count; ++i) {
    const HandlerGroup& group = groups[i];
    if (i > 0 && group.message == 0) break;
    int slot = find_free_entry(handler_table);
    if (slot < 0) return 0;
    handler_table[slot] = {window, group.message, routine_address(group.handler), group.id,
                           group.flags};
  }
  return 1;
}

int register_handlers(WindowHandle window, std::initializer_list<HandlerGroup> groups) {
  return register_handlers(window, groups.begin(), static_cast<int>(groups.size()));
}

int remove_handlers(WindowHandle window) {
  for (int slot = HANDLER_TABLE_SIZE - 1; slot >= 0; --slot) {
    HandlerEntry& entry = handler_table[slot];
    if (entry.window == nullptr) break;
    if (entry.window == window) entry.window = reserved(HANDLER_FREED);
  }
  return 1;
}

int subclass_window(WindowHandle window) {
  int slot = find_free_entry(subclass_table);
  if (slot < 0) return 0;
  std::uintptr_t previous = window_ops->get_window_proc(window);
  if (previous == 0) return 0;
  std::uintptr_t shared = routine_address(&shared_window_proc);
  if (previous == shared) return 1;
  if (window_ops->set_window_proc(window, shared) == 0) return 0;
  subclass_table[slot] = {window, HANDLER_FORWARD, previous, 0, 0};
  return 1;
}

int crack_message(MessageHandler handler, WindowHandle window, unsigned int message,
                  std::uintptr_t wparam, std::intptr_t lparam) {
  const HandlerArg w = static_cast<HandlerArg>(wparam);
  const std::uintptr_t l = static_cast<std::uintptr_t>(lparam);
  switch (message) {
    case msg_destroy:
    case msg_close:
      return handler(window, 0, 0, 0, 0);
    case msg_setfocus:
    case msg_timer:
      return handler(window, w, 0, 0, 0);
    case msg_drawitem:
    case msg_notify:
      return handler(window, w, lparam, 0, 0);
    case msg_keydown:
    case msg_syskeydown:
      return handler(window, w, 1, low_word(l), high_word(l));
    case msg_keyup:
    case msg_syskeyup:
      return handler(window, w, 0, low_word(l), high_word(l));
    case msg_char:
    case msg_syschar:
      return handler(window, w, low_word(l), 0, 0);
    case msg_command:
      return handler(window, low_word(wparam), lparam, high_word(wparam), 0);
    case msg_hscroll:
    case msg_vscroll:
      return handler(window, lparam, low_word(wparam), high_word(wparam), 0);
    case msg_mousemove:
      return handler(window, low_word(l), high_word(l), w, 0);
    case msg_lbuttondown:
    case msg_rbuttondown:
      return handler(window, 0, low_word(l), high_word(l), w);
    case msg_lbuttondblclk:
    case msg_rbuttondblclk:
      return handler(window, 1, low_word(l), high_word(l), w);
    default:
      return handler(window, static_cast<HandlerArg>(message), w, lparam, 0);
  }
}

namespace {

// What the handler registered for a message did; found is false when none is.
struct HandlerRun {
  bool found;
  bool forwarded;  // to a stored window procedure, whose result is final
  std::intptr_t result;
  std::uint32_t flags;
};

HandlerRun run_registered(WindowHandle window, unsigned int message, std::uintptr_t wparam,
                          std::intptr_t lparam, bool dialog) {
  int slot = find_handler(window, message, wparam, dialog);
  if (slot < 0) return {false, false, 0, 0};
  // A copy: the handler may register or remove entries.
  const HandlerEntry entry = handler_table[slot];
  if (entry.message == HANDLER_FORWARD)
    return {true, true, window_ops->call_window_proc(entry.handler, window, message, wparam, lparam),
            entry.flags};
  return {true, false,
          crack_message(reinterpret_cast<MessageHandler>(entry.handler), window, message, wparam,
                        lparam),
          entry.flags};
}

}  // namespace

std::intptr_t shared_window_proc(WindowHandle window, unsigned int message, std::uintptr_t wparam,
                                 std::intptr_t lparam) {
  HandlerRun run = run_registered(window, message, wparam, lparam, false);
  if (run.found) {
    if (run.forwarded || (run.flags & HANDLER_FINAL_RESULT) || run.result == 0) return run.result;
  } else if (message == msg_create) {
    if (CreationHandler creation = take_pending_creation())
      return creation(window, wparam, lparam) ? 0 : -1;
  }
  return default_processing(window, message, wparam, lparam);
}

std::intptr_t shared_dialog_proc(WindowHandle dialog, unsigned int message, std::uintptr_t wparam,
                                 std::intptr_t lparam) {
  HandlerRun run = run_registered(dialog, message, wparam, lparam, true);
  if (run.found) return run.forwarded ? run.result : (run.result == 0 ? 1 : 0);
  if (message == msg_initdialog) {
    if (CreationHandler creation = take_pending_creation()) return creation(dialog, wparam, lparam);
  }
  return 0;
}
