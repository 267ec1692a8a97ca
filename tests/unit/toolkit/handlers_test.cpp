#include "toolkit/handlers.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

WindowHandle handle(std::uintptr_t value) { return reinterpret_cast<WindowHandle>(value); }

const WindowHandle w1 = handle(0x1001), w2 = handle(0x1002), w3 = handle(0x1003);

constexpr unsigned int WM_CREATE = 1, WM_SETFOCUS = 7, WM_CLOSE = 16, WM_DRAWITEM = 43,
                       WM_NOTIFY = 78, WM_INITDIALOG = 272, WM_COMMAND = 273, WM_TIMER = 275;

constexpr std::intptr_t DEF_RESULT = 0xDEF;
constexpr std::intptr_t CALL_RESULT = 0xCA11;

// ---- fake window operations ----

struct OpCall {
  char op;  // 'd' DefWindowProc, 'c' CallWindowProc
  std::uintptr_t procedure;
  WindowHandle window;
  unsigned int message;
};
std::vector<OpCall> op_calls;
std::map<WindowHandle, std::uintptr_t> procedures;
bool fail_set = false;

std::intptr_t fake_def(WindowHandle w, unsigned int m, std::uintptr_t, std::intptr_t) {
  op_calls.push_back({'d', 0, w, m});
  return DEF_RESULT;
}
std::intptr_t fake_call(std::uintptr_t p, WindowHandle w, unsigned int m, std::uintptr_t,
                        std::intptr_t) {
  op_calls.push_back({'c', p, w, m});
  return CALL_RESULT;
}
std::uintptr_t fake_get(WindowHandle w) { return procedures[w]; }
std::uintptr_t fake_set(WindowHandle w, std::uintptr_t p) {
  if (fail_set) return 0;
  std::uintptr_t old = procedures[w];
  procedures[w] = p;
  return old;
}
const WindowOps fake_ops = {fake_def, fake_call, fake_get, fake_set};

// ---- recording handlers ----

struct HandlerCall {
  char tag;
  WindowHandle window;
  HandlerArg a[4];
};
std::vector<HandlerCall> handler_calls;
int handler_result = 0;

int handler_a(WindowHandle w, HandlerArg a1, HandlerArg a2, HandlerArg a3, HandlerArg a4) {
  handler_calls.push_back({'a', w, {a1, a2, a3, a4}});
  return handler_result;
}
int handler_b(WindowHandle w, HandlerArg a1, HandlerArg a2, HandlerArg a3, HandlerArg a4) {
  handler_calls.push_back({'b', w, {a1, a2, a3, a4}});
  return handler_result;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_handler_tables();
    set_window_ops(&fake_ops);
    op_calls.clear();
    procedures.clear();
    handler_calls.clear();
    handler_result = 0;
    fail_set = false;
  }
  void TearDown() override { set_window_ops(nullptr); }
};

bool is_marker(const HandlerEntry& e, std::uintptr_t marker) { return e.window == handle(marker); }

TEST_F(Registry, GroupsTakeDescendingSlotsAndFreedSlotsAreReusedFromTheTop) {
  ASSERT_EQ(register_handlers(w1, {{WM_CLOSE, handler_a, 0, 0},
                                   {WM_COMMAND, handler_b, 2, 0},
                                   {WM_SETFOCUS, handler_a, 0, 0x8000}}),
            1);
  EXPECT_EQ(handler_table[255].window, w1);
  EXPECT_EQ(handler_table[255].message, WM_CLOSE);
  EXPECT_EQ(handler_table[254].message, WM_COMMAND);
  EXPECT_EQ(handler_table[254].id, 2u);
  EXPECT_EQ(handler_table[254].handler, routine_address(handler_b));
  EXPECT_EQ(handler_table[253].flags, 0x8000u);
  EXPECT_EQ(handler_table[252].window, nullptr);
  EXPECT_EQ(find_free_entry(handler_table), 252);

  ASSERT_EQ(register_handlers(w2, {{WM_CLOSE, handler_b, 0, 0}, {WM_TIMER, handler_b, 9, 0}}), 1);
  remove_handlers(w1);
  for (int slot = 253; slot <= 255; ++slot) EXPECT_TRUE(is_marker(handler_table[slot], HANDLER_FREED));
  EXPECT_EQ(handler_table[252].window, w2);

  // A message of 0 after the first group ends the list.
  ASSERT_EQ(register_handlers(w3, {{WM_CLOSE, handler_a, 0, 0}, {0, handler_a, 0, 0},
                                   {WM_TIMER, handler_a, 0, 0}}),
            1);
  EXPECT_EQ(handler_table[255].window, w3);
  EXPECT_TRUE(is_marker(handler_table[254], HANDLER_FREED));

  // w2 now also sits above its older WM_CLOSE entry: the higher one wins.
  ASSERT_EQ(register_handlers(w2, {{WM_CLOSE, handler_a, 0, 0}}), 1);
  EXPECT_EQ(handler_table[254].window, w2);
  shared_window_proc(w2, WM_CLOSE, 0, 0);
  ASSERT_EQ(handler_calls.size(), 1u);
  EXPECT_EQ(handler_calls[0].tag, 'a');

  // A removed window's messages all get the default processing.
  EXPECT_EQ(shared_window_proc(w1, WM_CLOSE, 0, 0), DEF_RESULT);
  EXPECT_EQ(handler_calls.size(), 1u);
}

TEST_F(Registry, FullTablesRefuseTheNextEntry) {
  std::vector<HandlerGroup> groups(255, HandlerGroup{WM_CLOSE, handler_a, 0, 0});
  ASSERT_EQ(register_handlers(w1, groups.data(), 255), 1);
  EXPECT_EQ(find_free_entry(handler_table), 0);

  // The 256th entry is stored, the 257th refused and the rest dropped.
  EXPECT_EQ(register_handlers(w2, {{WM_TIMER, handler_b, 1, 0}, {WM_TIMER, handler_b, 2, 0}}), 0);
  EXPECT_EQ(handler_table[0].window, w2);
  EXPECT_EQ(handler_table[0].id, 1u);
  EXPECT_EQ(find_free_entry(handler_table), -1);
  EXPECT_EQ(register_handlers(w3, {{WM_CLOSE, handler_b, 0, 0}}), 0);

  for (int i = 0; i < 256; ++i) subclass_table[i].window = w3;
  procedures[w1] = 0x5000;
  EXPECT_EQ(register_creation_handler(nullptr), 0);
  EXPECT_EQ(subclass_window(w1), 0);
  EXPECT_EQ(procedures[w1], 0x5000u);
}

struct IdCase {
  unsigned int message;
  std::uint32_t id;
  std::uintptr_t wparam;
  bool window_match;
  bool dialog_match;
};

TEST_F(Registry, IdMatchingPerMessageAndProcedure) {
  const IdCase cases[] = {
      {WM_COMMAND, 2, 0x00010002, true, true},  // accelerator command 2
      {WM_COMMAND, 2, 0x00000003, false, false},
      {WM_NOTIFY, 5, 5, true, true},
      {WM_NOTIFY, 5, 0x00010005, false, false},  // all bits, not the low word
      {WM_TIMER, 13192, 13192, true, true},
      {WM_TIMER, 13192, 13193, false, false},
      {WM_DRAWITEM, 4, 4, true, true},
      {WM_DRAWITEM, 4, 9, false, true},  // dialogs do not look at the id
      {WM_CLOSE, 99, 0, true, true},     // nor does anyone for other messages
  };
  for (const IdCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "message " << c.message << " wparam " << c.wparam);
    SetUp();
    register_handlers(w1, {{c.message, handler_a, c.id, 0}});
    handler_result = 0;
    std::intptr_t result = shared_window_proc(w1, c.message, c.wparam, 0);
    EXPECT_EQ(result, c.window_match ? 0 : DEF_RESULT);
    EXPECT_EQ(handler_calls.size(), c.window_match ? 1u : 0u);
    handler_calls.clear();
    EXPECT_EQ(shared_dialog_proc(w1, c.message, c.wparam, 0), c.dialog_match ? 1 : 0);
    EXPECT_EQ(handler_calls.size(), c.dialog_match ? 1u : 0u);
  }
}

struct CrackCase {
  unsigned int message;
  HandlerArg a1, a2, a3, a4;
};

TEST_F(Registry, CrackingGivesEachMessageItsArguments) {
  const std::uintptr_t wp = 0x12345678;
  const std::intptr_t lp = 0xFEDCBA98;  // high and low words both above 0x7FFF
  const HandlerArg w = 0x12345678, l = 0xFEDCBA98;
  const CrackCase cases[] = {
      {2, 0, 0, 0, 0},                   // WM_DESTROY
      {16, 0, 0, 0, 0},                  // WM_CLOSE
      {7, w, 0, 0, 0},                   // WM_SETFOCUS
      {275, w, 0, 0, 0},                 // WM_TIMER
      {43, w, l, 0, 0},                  // WM_DRAWITEM
      {78, w, l, 0, 0},                  // WM_NOTIFY
      {256, w, 1, 0xBA98, 0xFEDC},       // WM_KEYDOWN
      {260, w, 1, 0xBA98, 0xFEDC},       // WM_SYSKEYDOWN
      {257, w, 0, 0xBA98, 0xFEDC},       // WM_KEYUP
      {261, w, 0, 0xBA98, 0xFEDC},       // WM_SYSKEYUP
      {258, w, 0xBA98, 0, 0},            // WM_CHAR
      {262, w, 0xBA98, 0, 0},            // WM_SYSCHAR
      {273, 0x5678, l, 0x1234, 0},       // WM_COMMAND
      {276, l, 0x5678, 0x1234, 0},       // WM_HSCROLL
      {277, l, 0x5678, 0x1234, 0},       // WM_VSCROLL
      {512, 0xBA98, 0xFEDC, w, 0},       // WM_MOUSEMOVE
      {513, 0, 0xBA98, 0xFEDC, w},       // WM_LBUTTONDOWN
      {516, 0, 0xBA98, 0xFEDC, w},       // WM_RBUTTONDOWN
      {515, 1, 0xBA98, 0xFEDC, w},       // WM_LBUTTONDBLCLK
      {518, 1, 0xBA98, 0xFEDC, w},       // WM_RBUTTONDBLCLK
      {1, 1, w, l, 0},                   // WM_CREATE: the general row
      {259, 259, w, l, 0},               // WM_DEADCHAR
      {514, 514, w, l, 0},               // WM_LBUTTONUP
      {517, 517, w, l, 0},               // WM_RBUTTONUP
  };
  for (const CrackCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "message " << c.message);
    handler_calls.clear();
    handler_result = 42;
    EXPECT_EQ(crack_message(handler_a, w1, c.message, wp, lp), 42);
    ASSERT_EQ(handler_calls.size(), 1u);
    EXPECT_EQ(handler_calls[0].window, w1);
    EXPECT_EQ(handler_calls[0].a[0], c.a1);
    EXPECT_EQ(handler_calls[0].a[1], c.a2);
    EXPECT_EQ(handler_calls[0].a[2], c.a3);
    EXPECT_EQ(handler_calls[0].a[3], c.a4);
  }
}

TEST_F(Registry, HandlerResultsAndTheFinalResultBit) {
  // Empty tables: everything goes to the default processing.
  EXPECT_EQ(shared_window_proc(w1, WM_CLOSE, 0, 0), DEF_RESULT);

  register_handlers(w1, {{WM_CLOSE, handler_a, 0, 0}, {WM_TIMER, handler_a, 7, HANDLER_FINAL_RESULT}});
  op_calls.clear();
  handler_result = 0;  // handled: the window stays open
  EXPECT_EQ(shared_window_proc(w1, WM_CLOSE, 0, 0), 0);
  EXPECT_TRUE(op_calls.empty());
  handler_result = 3;  // not handled: default processing
  EXPECT_EQ(shared_window_proc(w1, WM_CLOSE, 0, 0), DEF_RESULT);
  ASSERT_EQ(op_calls.size(), 1u);
  EXPECT_EQ(op_calls[0].op, 'd');

  op_calls.clear();
  handler_result = 3;
  EXPECT_EQ(shared_window_proc(w1, WM_TIMER, 7, 0), 3);
  handler_result = -5;
  EXPECT_EQ(shared_window_proc(w1, WM_TIMER, 7, 0), -5);
  EXPECT_TRUE(op_calls.empty());
}

std::intptr_t some_procedure(WindowHandle, unsigned int, std::uintptr_t, std::intptr_t) { return 0; }

TEST_F(Registry, ForwardingRecordsAndSubclassing) {
  procedures[w1] = 0x7000;
  ASSERT_EQ(subclass_window(w1), 1);
  EXPECT_EQ(procedures[w1], routine_address(&shared_window_proc));
  EXPECT_EQ(subclass_table[255].window, w1);
  EXPECT_EQ(subclass_table[255].message, HANDLER_FORWARD);
  EXPECT_EQ(subclass_table[255].handler, 0x7000u);

  // Already on the shared procedure: nothing recorded.
  ASSERT_EQ(subclass_window(w1), 1);
  EXPECT_EQ(subclass_table[254].window, nullptr);

  // Unhandled and not-handled messages go to the control's own procedure.
  register_handlers(w1, {{WM_COMMAND, handler_a, 4, 0}});
  handler_result = 1;
  EXPECT_EQ(shared_window_proc(w1, WM_COMMAND, 4, 0), CALL_RESULT);
  EXPECT_EQ(shared_window_proc(w1, WM_CLOSE, 0, 0), CALL_RESULT);
  ASSERT_EQ(op_calls.size(), 2u);
  EXPECT_EQ(op_calls[1].op, 'c');
  EXPECT_EQ(op_calls[1].procedure, 0x7000u);
  // Dialogs do not consult the subclass table.
  EXPECT_EQ(shared_dialog_proc(w1, WM_CLOSE, 0, 0), 0);

  // A forwarding record in the handler table takes every message it reaches first.
  const std::uintptr_t forward = routine_address(&some_procedure);
  handler_table[find_free_entry(handler_table)] = {w1, HANDLER_FORWARD, forward, 0, 0};
  op_calls.clear();
  handler_calls.clear();
  EXPECT_EQ(shared_window_proc(w1, WM_COMMAND, 4, 0), CALL_RESULT);  // the match above wins
  EXPECT_EQ(handler_calls.size(), 1u);
  EXPECT_EQ(shared_window_proc(w1, WM_CLOSE, 0, 0), CALL_RESULT);
  EXPECT_EQ(shared_dialog_proc(w1, WM_CLOSE, 0, 0), CALL_RESULT);
  EXPECT_EQ(op_calls.back().procedure, forward);

  // Failures leave the control and the table alone.
  EXPECT_EQ(subclass_window(w2), 0);  // no procedure to read
  procedures[w3] = 0x8000;
  fail_set = true;
  EXPECT_EQ(subclass_window(w3), 0);
  EXPECT_EQ(procedures[w3], 0x8000u);
  EXPECT_EQ(subclass_table[254].window, nullptr);
}

// ---- creation handlers ----

struct CreationCall {
  char tag;
  WindowHandle window;
  std::uintptr_t wparam;
  std::intptr_t lparam;
  bool entry_freed_before;
};
std::vector<CreationCall> creation_calls;
std::intptr_t creation_result = 1;
int pending_slot = -1;

std::intptr_t record_creation(char tag, WindowHandle w, std::uintptr_t wp, std::intptr_t lp) {
  bool freed = pending_slot >= 0 && is_marker(subclass_table[pending_slot], HANDLER_FREED);
  creation_calls.push_back({tag, w, wp, lp, freed});
  return creation_result;
}
std::intptr_t creation_inner(WindowHandle w, std::uintptr_t wp, std::intptr_t lp) {
  return record_creation('i', w, wp, lp);
}
std::intptr_t creation_outer(WindowHandle w, std::uintptr_t wp, std::intptr_t lp) {
  record_creation('o', w, wp, lp);
  // A window created inside the creation handler.
  shared_window_proc(w2, WM_CREATE, 0, 0x222);
  return creation_result;
}

class Creation : public Registry {
 protected:
  void SetUp() override {
    Registry::SetUp();
    creation_calls.clear();
    creation_result = 1;
    pending_slot = -1;
  }
};

TEST_F(Creation, PendingHandlerRunsOnceAndIsFreedBeforeItRuns) {
  ASSERT_EQ(register_creation_handler(creation_outer), 1);
  EXPECT_TRUE(is_marker(subclass_table[255], HANDLER_PENDING));
  EXPECT_EQ(subclass_table[255].message, 0u);
  pending_slot = 255;

  EXPECT_EQ(shared_window_proc(w1, WM_CREATE, 0, 0x111), 0);
  ASSERT_EQ(creation_calls.size(), 1u);  // the nested WM_CREATE found nothing parked
  EXPECT_EQ(creation_calls[0].window, w1);
  EXPECT_EQ(creation_calls[0].lparam, 0x111);
  EXPECT_TRUE(creation_calls[0].entry_freed_before);
  ASSERT_EQ(op_calls.size(), 1u);
  EXPECT_EQ(op_calls[0].window, w2);  // default processing of the inner window

  // The next WM_CREATE finds nothing pending.
  op_calls.clear();
  EXPECT_EQ(shared_window_proc(w3, WM_CREATE, 0, 0), DEF_RESULT);
  EXPECT_EQ(creation_calls.size(), 1u);
}

TEST_F(Creation, NestedCreationTakesTheNextParkedHandler) {
  register_creation_handler(creation_outer);
  register_creation_handler(creation_inner);
  shared_window_proc(w1, WM_CREATE, 0, 0x111);
  ASSERT_EQ(creation_calls.size(), 2u);
  EXPECT_EQ(creation_calls[0].tag, 'o');
  EXPECT_EQ(creation_calls[1].tag, 'i');
  EXPECT_EQ(creation_calls[1].window, w2);
  EXPECT_EQ(creation_calls[1].lparam, 0x222);
}

TEST_F(Creation, RefusedCreationAndSearchOverEverySlot) {
  // A pending entry below never-used slots is still found.
  subclass_table[10] = {handle(HANDLER_PENDING), 0, routine_address(&creation_inner), 0, 0};
  pending_slot = 10;
  creation_result = 0;
  EXPECT_EQ(shared_window_proc(w1, WM_CREATE, 0, 0), -1);
  ASSERT_EQ(creation_calls.size(), 1u);
  EXPECT_TRUE(creation_calls[0].entry_freed_before);
  EXPECT_TRUE(op_calls.empty());

  // A registered WM_CREATE handler comes before any parked one.
  register_creation_handler(creation_inner);
  register_handlers(w3, {{WM_CREATE, handler_a, 0, 0}});
  EXPECT_EQ(shared_window_proc(w3, WM_CREATE, 0, 0), 0);
  EXPECT_EQ(creation_calls.size(), 1u);
  EXPECT_TRUE(is_marker(subclass_table[255], HANDLER_PENDING));
}

TEST_F(Creation, DialogResults) {
  // Empty tables: every dialog message yields 0.
  EXPECT_EQ(shared_dialog_proc(w1, WM_INITDIALOG, 0, 0), 0);
  EXPECT_EQ(shared_dialog_proc(w1, WM_COMMAND, 1, 0), 0);
  EXPECT_TRUE(op_calls.empty());

  // The init handler's result goes back unchanged, whatever it is.
  register_creation_handler(creation_inner);
  pending_slot = 255;
  creation_result = 0;
  EXPECT_EQ(shared_dialog_proc(w1, WM_INITDIALOG, 0x33, 0x44), 0);
  register_creation_handler(creation_inner);
  creation_result = 5;
  EXPECT_EQ(shared_dialog_proc(w1, WM_INITDIALOG, 0x33, 0x44), 5);
  ASSERT_EQ(creation_calls.size(), 2u);
  EXPECT_EQ(creation_calls[1].wparam, 0x33u);
  EXPECT_EQ(creation_calls[1].lparam, 0x44);

  register_handlers(w1, {{WM_COMMAND, handler_a, 1, HANDLER_FINAL_RESULT}});
  handler_result = 0;
  EXPECT_EQ(shared_dialog_proc(w1, WM_COMMAND, 1, 0), 1);
  handler_result = 9;  // the final-result bit means nothing to dialogs
  EXPECT_EQ(shared_dialog_proc(w1, WM_COMMAND, 1, 0), 0);
  handler_calls.clear();
  remove_handlers(w1);
  EXPECT_EQ(shared_dialog_proc(w1, WM_COMMAND, 1, 0), 0);
  EXPECT_TRUE(handler_calls.empty());
}

}  // namespace
