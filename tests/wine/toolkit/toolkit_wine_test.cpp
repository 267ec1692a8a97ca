// The toolkit with real windows: keyword windows, control tables, handlers
// on subclassed panels, a dialog on the shared dialog procedure,
// the single-instance rule and the open-file dialog.
#include "tests/wine/toolkit/wine_helpers.h"

#include <dlgs.h>

#include "platform/file_names.h"

namespace {

// ---- keyword window and control table ----

struct {
  int calls;
  HWND window;
  void* params;
} created;
int close_calls, close_result;

int on_close(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  ++close_calls;
  return close_result;
}

std::intptr_t on_main_create(WindowHandle w, std::uintptr_t, std::intptr_t lparam) {
  ++created.calls;
  created.window = w;
  created.params = reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams;
  register_handlers(w, {{WM_CLOSE, on_close, 0, 0}});
  return 1;
}

struct CommandCall {
  HWND window;
  HandlerArg id, control, code;
};
std::vector<CommandCall> commands;

int on_command(WindowHandle w, HandlerArg id, HandlerArg control, HandlerArg code, HandlerArg) {
  commands.push_back({w, id, control, code});
  return 0;
}

const char panel_caption[] = "Controls";
const ControlRow control_table[] = {
    {nullptr, panel_caption, 0, 7, 0, 1, 1, 0, 1, 1},
    {"button", "Apply", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 101, 1, 21, 80, 10, 40, 0},
    {"CLEdit", "Version", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, 102, 22, 54, 80, 0, 60, 0},
    {"cl_static", "Ready", WS_VISIBLE | SS_LEFT, 0x00010103, 56, 79, 80, 20, 40, 0},
    {"SysListView32", nullptr, WS_VISIBLE | WS_TABSTOP | LVS_REPORT, 104, 1, 79, 80, 70, 200, 0},
    {"edit", "free", WS_VISIBLE | WS_TABSTOP, -1, 1, 40, 80, 210, 235, 0},
    {nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0},
};

TEST_F(ToolkitWindows, KeywordWindowControlTableAndHandlers) {
  static int marker;
  created = {};
  close_calls = close_result = 0;
  commands.clear();
  ASSERT_EQ(register_creation_handler(on_main_create), 1);
  HWND main = keep(create_keyword_window(
      self(), "ToolkitTestMain",
      {{"WNDPROC", &shared_window_proc}, {"title", "Toolkit test"}, {"XPOS", 20}, {"YPOS", 20},
       {"WIDTH", 660}, {"HEIGHT", 460}, {"PARAM", &marker}, {"SHOWOFF", 1}}));
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(created.calls, 1);
  EXPECT_EQ(created.window, main);
  EXPECT_EQ(created.params, &marker);
  EXPECT_EQ(text_of(main), "Toolkit test");
  EXPECT_TRUE(IsWindowVisible(main));
  EXPECT_EQ(GetWindowLongA(main, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);

  HWND handles[7] = {};
  HWND panel = create_control_table(main, handles, control_table);
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(handles[0], panel);
  EXPECT_EQ(GetParent(panel), main);
  EXPECT_EQ(GetDlgCtrlID(panel), 7);
  EXPECT_EQ(reinterpret_cast<const char*>(GetWindowLongPtrA(panel, GWLP_USERDATA)), panel_caption);
  EXPECT_EQ(GetWindowLongPtrA(panel, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&shared_window_proc));
  RECT main_client, panel_client;
  GetClientRect(main, &main_client);
  GetClientRect(panel, &panel_client);
  EXPECT_EQ(panel_client.right, main_client.right);
  EXPECT_EQ(panel_client.bottom, main_client.bottom);

  for (int k = 1; k <= 5; ++k) {
    SCOPED_TRACE(k);
    ASSERT_NE(handles[k], nullptr);
    EXPECT_EQ(GetParent(handles[k]), panel);
    ControlPlan plan = plan_control(panel_client.right, panel_client.bottom, control_table[k]);
    const WindowPlan& made = plan.windows[plan.count - 1];
    expect_rect(handles[k], made.rect);
    EXPECT_EQ(GetDlgCtrlID(handles[k]), made.id);
    // The system may add WS_EX_WINDOWEDGE of its own.
    DWORD ex_style = static_cast<DWORD>(GetWindowLongA(handles[k], GWL_EXSTYLE));
    EXPECT_EQ(ex_style & made.ex_style, made.ex_style);
    EXPECT_EQ(ex_style & WS_EX_CLIENTEDGE, made.ex_style & WS_EX_CLIENTEDGE);
  }
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(handles[2], GWL_EXSTYLE)) & WS_EX_CLIENTEDGE,
            static_cast<DWORD>(WS_EX_CLIENTEDGE));
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(handles[4], GWL_EXSTYLE)) & WS_EX_CLIENTEDGE,
            static_cast<DWORD>(WS_EX_CLIENTEDGE));
  EXPECT_EQ(GetDlgCtrlID(handles[5]), 0xFFFF);

  // CLEdit: a group box with the caption, just above the edit in Z order.
  HWND group = GetWindow(handles[2], GW_HWNDPREV);
  EXPECT_STRCASEEQ(class_of(group).c_str(), "button");
  EXPECT_EQ(text_of(group), "Version");
  RECT g = rect_in_parent(group), e = rect_in_parent(handles[2]);
  EXPECT_EQ(e.left - g.left, 7);
  EXPECT_EQ(g.right - e.right, 10);
  EXPECT_EQ(e.top - g.top, 18);
  EXPECT_EQ(g.bottom - e.bottom, 10);

  // cl_static: a static with a sunken edge and the id's high word as ex-style.
  EXPECT_STRCASEEQ(class_of(handles[3]).c_str(), "static");
  DWORD ex = static_cast<DWORD>(GetWindowLongA(handles[3], GWL_EXSTYLE));
  EXPECT_TRUE(ex & WS_EX_STATICEDGE);
  EXPECT_TRUE(ex & WS_EX_DLGMODALFRAME);
  EXPECT_EQ(GetDlgCtrlID(handles[3]), 0x103);

  // The panel's controls report to handlers registered for the panel.
  register_handlers(panel, {{WM_COMMAND, on_command, 101, 0}});
  SendMessageA(handles[1], BM_CLICK, 0, 0);
  pump();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].window, panel);
  EXPECT_EQ(commands[0].id, 101);
  EXPECT_EQ(commands[0].control, reinterpret_cast<HandlerArg>(handles[1]));
  EXPECT_EQ(commands[0].code, BN_CLICKED);

  save_screenshot(main, "toolkit-controls.bmp");

  // WM_CLOSE handled (0) keeps the window; not handled lets it be destroyed.
  SendMessageA(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(close_calls, 1);
  EXPECT_TRUE(IsWindow(main));
  close_result = 1;
  SendMessageA(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(close_calls, 2);
  EXPECT_FALSE(IsWindow(main));
}

std::intptr_t refuse_creation(WindowHandle, std::uintptr_t, std::intptr_t) { return 0; }

TEST_F(ToolkitWindows, RefusedCreationAndFailedTables) {
  register_creation_handler(refuse_creation);
  EXPECT_EQ(create_keyword_window(self(), "ToolkitRefused", {{"WNDPROC", &shared_window_proc}}),
            nullptr);
  EXPECT_EQ(find_free_entry(subclass_table), 255);  // the entry was freed all the same

  HWND main = keep(create_keyword_window(self(), "ToolkitTables", {{"WIDTH", 300}, {"HEIGHT", 200}}));
  ASSERT_NE(main, nullptr);
  // A header followed at once by the end row: just the panel.
  const ControlRow empty[] = {{nullptr, nullptr, 0, 1, 0, 1, 1, 0, 1, 1}, {}};
  HWND handles[3] = {};
  HWND panel = create_control_table(main, handles, empty);
  EXPECT_NE(panel, nullptr);
  EXPECT_EQ(GetWindow(panel, GW_CHILD), nullptr);
  // The first control that cannot be made stops the table.
  const ControlRow broken[] = {{nullptr, nullptr, 0, 2, 0, 1, 1, 0, 1, 1},
                               {"button", "ok", WS_VISIBLE, 1, 0, 10, 0, 0, 10, 0},
                               {"NoSuchClass", nullptr, 0, 2, 0, 10, 0, 0, 10, 0},
                               {"button", "never", WS_VISIBLE, 3, 0, 10, 0, 0, 10, 0},
                               {}};
  HWND sentinel = reinterpret_cast<HWND>(1);
  HWND more[4] = {nullptr, nullptr, sentinel, sentinel};
  EXPECT_EQ(create_control_table(main, more, broken), nullptr);
  EXPECT_NE(more[1], nullptr);
  EXPECT_EQ(more[2], nullptr);
  EXPECT_EQ(more[3], sentinel);
  // A null class name: no single-instance test, and registration fails.
  EXPECT_EQ(create_keyword_window(self(), nullptr, {{"TITLE", "x"}}), nullptr);
}

// ---- single instance ----

HWND foreground_after_pump() {
  pump();
  return GetForegroundWindow();
}

TEST_F(ToolkitWindows, SecondWindowOfAClassBringsTheFirstForward) {
  HWND first = keep(create_keyword_window(
      self(), "ToolkitSingle",
      {{"TITLE", "First"}, {"XPOS", 40}, {"YPOS", 40}, {"WIDTH", 300}, {"HEIGHT", 200}, {"SHOWOFF", 1}}));
  ASSERT_NE(first, nullptr);
  HWND other = keep(create_keyword_window(
      self(), "ToolkitOther",
      {{"TITLE", "Other"}, {"XPOS", 80}, {"YPOS", 80}, {"WIDTH", 300}, {"HEIGHT", 200}, {"SHOWOFF", 1}}));
  ASSERT_NE(other, nullptr);
  SetForegroundWindow(other);
  EXPECT_EQ(foreground_after_pump(), other);

  EXPECT_EQ(create_keyword_window(self(), "ToolkitSingle", {{"TITLE", "Second"}}), nullptr);
  EXPECT_EQ(foreground_after_pump(), other);  // without SHOWOFF nothing moves
  EXPECT_EQ(create_keyword_window(self(), "ToolkitSingle", {{"TITLE", "Second"}, {"SHOWOFF", 1}}),
            nullptr);
  EXPECT_EQ(foreground_after_pump(), first);
  EXPECT_EQ(FindWindowA(nullptr, "Second"), nullptr);
}

// ---- dialog on the shared dialog procedure ----

// A dialog template in memory: an OK button first, then an edit.
std::vector<WORD> dialog_template() {
  std::vector<WORD> t;
  auto dword = [&](DWORD v) {
    t.push_back(LOWORD(v));
    t.push_back(HIWORD(v));
  };
  auto text = [&](const char* s) {
    while (*s) t.push_back(static_cast<WORD>(static_cast<unsigned char>(*s++)));
    t.push_back(0);
  };
  auto item = [&](DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom,
                  const char* title) {
    if (t.size() % 2) t.push_back(0);  // items start on a DWORD boundary
    dword(style | WS_CHILD | WS_VISIBLE);
    dword(0);
    for (short v : {x, y, cx, cy}) t.push_back(static_cast<WORD>(v));
    t.push_back(id);
    t.push_back(0xFFFF);
    t.push_back(atom);
    text(title);
    t.push_back(0);
  };
  dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
  dword(0);
  t.push_back(2);
  for (short v : {10, 10, 180, 80}) t.push_back(static_cast<WORD>(v));
  t.push_back(0);  // no menu
  t.push_back(0);  // the standard dialog class
  text("Toolkit dialog");
  item(BS_DEFPUSHBUTTON | WS_TABSTOP, 10, 50, 50, 14, IDOK, 0x0080, "OK");
  item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 10, 10, 150, 14, 1001, 0x0081, "");
  return t;
}

struct {
  int init_calls;
  std::intptr_t init_lparam;
  HWND dialog;
  int focus_id;
} dialog_run;

// Timers come after the dialog is shown, once its focus has settled.
int on_dialog_timer(WindowHandle dialog, HandlerArg timer, HandlerArg, HandlerArg, HandlerArg) {
  KillTimer(dialog, static_cast<UINT_PTR>(timer));
  dialog_run.focus_id = GetDlgCtrlID(GetFocus());
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return 0;
}

int on_dialog_ok(WindowHandle dialog, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  EndDialog(dialog, 77);
  remove_handlers(dialog);
  return 0;
}

std::intptr_t on_dialog_init(WindowHandle dialog, std::uintptr_t, std::intptr_t lparam) {
  ++dialog_run.init_calls;
  dialog_run.init_lparam = lparam;
  dialog_run.dialog = dialog;
  register_handlers(dialog, {{WM_COMMAND, on_dialog_ok, IDOK, 0}, {WM_TIMER, on_dialog_timer, 1, 0}});
  SetFocus(GetDlgItem(dialog, 1001));
  SetTimer(dialog, 1, 50, nullptr);
  return FALSE;  // the focus is set: the dialog manager must leave it there
}

TEST_F(ToolkitWindows, DialogRunsOnTheSharedDialogProcedure) {
  dialog_run = {};
  std::vector<WORD> t = dialog_template();
  ASSERT_EQ(register_creation_handler(on_dialog_init), 1);
  INT_PTR result = DialogBoxIndirectParamA(self(), reinterpret_cast<LPCDLGTEMPLATEA>(t.data()),
                                           nullptr, shared_dialog_proc, 0x5150);
  EXPECT_EQ(result, 77);
  EXPECT_EQ(dialog_run.init_calls, 1);
  EXPECT_EQ(dialog_run.init_lparam, 0x5150);
  EXPECT_EQ(dialog_run.focus_id, 1001);
  for (const HandlerEntry& e : handler_table) EXPECT_NE(e.window, dialog_run.dialog);
  EXPECT_EQ(find_free_entry(subclass_table), 255);
}

// ---- open-file dialog ----

HWND find_thread_dialog(const char* title) {
  struct Search {
    const char* title;
    HWND found;
  } search{title, nullptr};
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        if (class_of(w) == "#32770" && text_of(w) == s->title) {
          s->found = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string file_to_pick;
int dialog_polls;

void CALLBACK drive_open_dialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = find_thread_dialog("Pick an image");
  if (dialog == nullptr) {
    if (++dialog_polls > 500) KillTimer(nullptr, timer);
    return;
  }
  KillTimer(nullptr, timer);
  if (file_to_pick.empty()) {
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    return;
  }
  // The file-name box is a combo box (cmb13) in the explorer-style dialog.
  std::wstring name = wide_text(file_to_pick);
  SetDlgItemTextW(dialog, cmb13, name.c_str());
  SetDlgItemTextW(dialog, edt1, name.c_str());
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
}

TEST_F(ToolkitWindows, OpenFileDialogCancelledAndChosen) {
  char buffer[MAX_PATH] = "stale";
  file_to_pick.clear();
  dialog_polls = 0;
  SetTimer(nullptr, 0, 20, drive_open_dialog);
  EXPECT_EQ(choose_open_file(nullptr, buffer, sizeof buffer,
                             {{"TITLE", "Pick an image"}, {"FILTER", "Images\0*.bin\0All\0*.*\0"}}),
            nullptr);
  EXPECT_EQ(buffer[0], 0);

  // Folder names outside the ANSI code page come back whole, in UTF-8:
  // "прошивка" and "固件".
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  for (const char* sub : {"", "\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0\\",
                          "\xE5\x9B\xBA\xE4\xBB\xB6\\"}) {
    std::string folder = utf8_text(temp) + sub;
    CreateDirectoryW(wide_text(folder).c_str(), nullptr);
    file_to_pick = folder + "toolkit-image.bin";
    HANDLE f = CreateFileW(wide_text(file_to_pick).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << file_to_pick;
    CloseHandle(f);
    dialog_polls = 0;
    SetTimer(nullptr, 0, 20, drive_open_dialog);
    char* chosen = choose_open_file(nullptr, buffer, sizeof buffer,
                                    {{"TITLE", "Pick an image"}, {"INITDIR", folder.c_str()}});
    ASSERT_EQ(chosen, buffer) << file_to_pick;
    EXPECT_STRCASEEQ(buffer, file_to_pick.c_str());
    DeleteFileW(wide_text(file_to_pick).c_str());
  }
}

}  // namespace
