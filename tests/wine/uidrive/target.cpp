// A small window for the driver's own test: a checked list with icons and
// three columns, buttons, an edit, a message box, a modal dialog built in
// memory and accelerators. Everything it receives goes to the log file named
// by its first argument, one line per event.
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

enum : int {
  ID_LIST = 100,
  ID_ASK = 201,
  ID_DIALOG = 202,
  ID_EDIT = 203,
  ID_DISABLED = 204,
  ID_LOG = 205,
  ID_QUIT = 206,
  ID_FITS = 207,  // labels whose texts fit and do not: the layout check's own test
  ID_CUT = 208,
  ID_CUT_BUTTON = 209,
  ID_ASK_LABEL = 210,
  ID_DIALOG_EDIT = 301,
  CMD_ESC = 501,
  CMD_ALT_Q = 502,
  CMD_TAB = 503,
};

FILE* g_log = nullptr;
HWND g_list = nullptr;
int g_sort_descending = 0;

void log_line(const char* format, ...) {
  if (!g_log) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(g_log, format, args);
  va_end(args);
  std::fputc('\n', g_log);
  std::fflush(g_log);
}

std::vector<char> text_of(HWND h) {
  std::vector<char> buf(GetWindowTextLengthA(h) + 1, '\0');
  GetWindowTextA(h, buf.data(), static_cast<int>(buf.size()));
  return buf;
}

struct Row {
  const char* cells[3];
  int image;
};

const Row ROWS[] = {
    {{"beta", "2", "second"}, 0},
    {{"alpha", "1", "first"}, 1},
    {{"gamma", "3", "third"}, 2},
};

void fill_list(HWND list) {
  const char* headers[] = {"Name", "Value", "Note"};
  for (int c = 0; c < 3; ++c) {
    LVCOLUMNA col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<char*>(headers[c]);
    col.cx = 110;
    col.iSubItem = c;
    SendMessageA(list, LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&col));
  }
  HIMAGELIST images = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 3, 0);
  ImageList_AddIcon(images, LoadIcon(nullptr, IDI_APPLICATION));
  ImageList_AddIcon(images, LoadIcon(nullptr, IDI_WARNING));
  ImageList_AddIcon(images, LoadIcon(nullptr, IDI_ERROR));
  SendMessageA(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
  for (int r = 0; r < 3; ++r) {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = r;
    item.pszText = const_cast<char*>(ROWS[r].cells[0]);
    item.iImage = ROWS[r].image;
    SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    for (int c = 1; c < 3; ++c) {
      LVITEMA sub{};
      sub.iSubItem = c;
      sub.pszText = const_cast<char*>(ROWS[r].cells[c]);
      SendMessageA(list, LVM_SETITEMTEXTA, r, reinterpret_cast<LPARAM>(&sub));
    }
  }
  ListView_SetCheckState(list, 0, TRUE);
}

int CALLBACK compare_rows(LPARAM a, LPARAM b, LPARAM column) {
  char ta[64] = "", tb[64] = "";
  ListView_GetItemText(g_list, static_cast<int>(a), static_cast<int>(column), ta, sizeof ta);
  ListView_GetItemText(g_list, static_cast<int>(b), static_cast<int>(column), tb, sizeof tb);
  int order = std::strcmp(ta, tb);
  return g_sort_descending ? -order : order;
}

void on_list_notify(const NMHDR* hdr) {
  switch (hdr->code) {
    case LVN_ITEMCHANGED: {
      const NMLISTVIEW* nm = reinterpret_cast<const NMLISTVIEW*>(hdr);
      if (!(nm->uChanged & LVIF_STATE)) return;
      UINT changed = nm->uNewState ^ nm->uOldState;
      // The first state image arrives when the check boxes are switched on.
      if ((changed & LVIS_STATEIMAGEMASK) && (nm->uOldState & LVIS_STATEIMAGEMASK))
        log_line("check %d %u", nm->iItem, ((nm->uNewState & LVIS_STATEIMAGEMASK) >> 12) - 1);
      if (changed & LVIS_SELECTED) log_line("select %d %d", nm->iItem, (nm->uNewState & LVIS_SELECTED) ? 1 : 0);
      return;
    }
    case NM_DBLCLK: {
      // Where the cursor is, as the program under test reads it.
      POINT pt;
      GetCursorPos(&pt);
      ScreenToClient(g_list, &pt);
      LVHITTESTINFO hit{};
      hit.pt = pt;
      int row = static_cast<int>(SendMessageA(g_list, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
      log_line("dblclick %d", row);
      return;
    }
    case LVN_COLUMNCLICK: {
      const NMLISTVIEW* nm = reinterpret_cast<const NMLISTVIEW*>(hdr);
      SendMessageA(g_list, LVM_SORTITEMSEX, nm->iSubItem, reinterpret_cast<LPARAM>(compare_rows));
      log_line("sort %d %s", nm->iSubItem, g_sort_descending ? "down" : "up");
      g_sort_descending = !g_sort_descending;
      return;
    }
    case LVN_KEYDOWN:
      log_line("listkey %u", reinterpret_cast<const NMLVKEYDOWN*>(hdr)->wVKey);
      return;
  }
}

// A dialog template in memory: caption, one edit, OK and Cancel.
struct Template {
  std::vector<WORD> words;
  void align() {
    if (words.size() % 2) words.push_back(0);  // DWORD alignment of items
  }
  void dword(DWORD v) {
    words.push_back(LOWORD(v));
    words.push_back(HIWORD(v));
  }
  void text(const char* s) {
    while (*s) words.push_back(static_cast<WORD>(*s++));
    words.push_back(0);
  }
  void item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom, const char* label) {
    align();
    dword(style | WS_CHILD | WS_VISIBLE);
    dword(0);
    for (short v : {x, y, cx, cy}) words.push_back(static_cast<WORD>(v));
    words.push_back(id);
    words.push_back(0xFFFF);
    words.push_back(atom);
    text(label);
    words.push_back(0);  // no creation data
  }
};

std::vector<WORD> dialog_template() {
  Template t;
  t.dword(DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);
  t.dword(0);
  t.words.push_back(3);
  for (short v : {20, 20, 180, 70}) t.words.push_back(static_cast<WORD>(v));
  t.words.push_back(0);  // no menu
  t.words.push_back(0);  // default class
  t.text("uidrive dialog");
  t.words.push_back(8);
  t.text("MS Shell Dlg");
  t.item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 10, 10, 160, 14, ID_DIALOG_EDIT, 0x0081, "");
  t.item(BS_DEFPUSHBUTTON | WS_TABSTOP, 30, 40, 50, 14, IDOK, 0x0080, "OK");
  t.item(BS_PUSHBUTTON | WS_TABSTOP, 100, 40, 50, 14, IDCANCEL, 0x0080, "Cancel");
  return t.words;
}

INT_PTR CALLBACK dialog_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
  if (msg == WM_INITDIALOG) return TRUE;
  if (msg != WM_COMMAND) return FALSE;
  if (LOWORD(wp) == IDOK) {
    log_line("dialog ok %s", text_of(GetDlgItem(dlg, ID_DIALOG_EDIT)).data());
    EndDialog(dlg, IDOK);
    return TRUE;
  }
  if (LOWORD(wp) == IDCANCEL) {
    log_line("dialog cancel");
    EndDialog(dlg, IDCANCEL);
    return TRUE;
  }
  return FALSE;
}

struct Control {
  const char* cls;
  const char* text;
  DWORD style;
  int x, y, w, h, id;
};

const Control CONTROLS[] = {
    {"Button", "Ask", BS_PUSHBUTTON | WS_TABSTOP, 450, 10, 100, 24, ID_ASK},
    {"Button", "Dialog", BS_PUSHBUTTON | WS_TABSTOP, 450, 40, 100, 24, ID_DIALOG},
    {"Edit", "", ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 10, 180, 200, 22, ID_EDIT},
    {"Button", "Disabled", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 450, 70, 100, 24, ID_DISABLED},
    {"Button", "Log", BS_PUSHBUTTON | WS_TABSTOP, 220, 180, 100, 24, ID_LOG},
    {"Button", "Quit", BS_PUSHBUTTON | WS_TABSTOP, 450, 100, 100, 24, ID_QUIT},
    {"Static", "Fits", SS_RIGHT, 330, 180, 100, 18, ID_FITS},
    {"Static", "Far too long a label", SS_LEFT, 330, 200, 60, 18, ID_CUT},
    {"Button", "A wide caption", BS_PUSHBUTTON, 450, 130, 40, 24, ID_CUT_BUTTON},
    {"Static", "Ask", SS_LEFT, 330, 220, 60, 18, ID_ASK_LABEL},
};

void on_command(HWND hwnd, int id) {
  switch (id) {
    case ID_ASK: {
      int answer = MessageBoxA(hwnd, "Sure ?", "uidrive question", MB_YESNO | MB_ICONQUESTION);
      log_line("ask %s", answer == IDYES ? "yes" : answer == IDNO ? "no" : "other");
      return;
    }
    case ID_DIALOG: {
      std::vector<WORD> t = dialog_template();
      INT_PTR r = DialogBoxIndirectParamA(GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(t.data()), hwnd,
                                          dialog_proc, 0);
      log_line("dialog ended %d", static_cast<int>(r));
      return;
    }
    case ID_LOG:
      log_line("edit %s", text_of(GetDlgItem(hwnd, ID_EDIT)).data());
      return;
    case ID_QUIT:
      DestroyWindow(hwnd);
      return;
    case CMD_ESC: log_line("accel esc"); return;
    case CMD_ALT_Q: log_line("accel altq"); return;
    case CMD_TAB: {
      HWND next = GetNextDlgTabItem(hwnd, GetFocus(), FALSE);
      SetFocus(next);
      log_line("focus %d", GetDlgCtrlID(next));
      return;
    }
  }
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: {
      g_list = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS, 10, 10, 420, 150, hwnd,
                               reinterpret_cast<HMENU>(ID_LIST), nullptr, nullptr);
      SendMessageA(g_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
      fill_list(g_list);
      for (const Control& c : CONTROLS)
        CreateWindowExA(0, c.cls, c.text, WS_CHILD | WS_VISIBLE | c.style, c.x, c.y, c.w, c.h, hwnd,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), nullptr, nullptr);
      return 0;
    }
    case WM_COMMAND:
      on_command(hwnd, LOWORD(wp));
      return 0;
    case WM_NOTIFY:
      if (reinterpret_cast<const NMHDR*>(lp)->idFrom == ID_LIST) on_list_notify(reinterpret_cast<const NMHDR*>(lp));
      return 0;
    case WM_CLOSE:
      log_line("close");
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      log_line("destroyed");
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  if (__argc > 1) g_log = std::fopen(__argv[1], "a");
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSA wc{};
  wc.lpfnWndProc = window_proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = "UidriveTarget";
  RegisterClassA(&wc);
  HWND main = CreateWindowExA(0, "UidriveTarget", "uidrive target", WS_OVERLAPPEDWINDOW, 40, 40, 600, 260, nullptr,
                              nullptr, instance, nullptr);
  if (!main) return 1;
  ShowWindow(main, SW_SHOW);
  UpdateWindow(main);
  SetFocus(GetDlgItem(main, ID_EDIT));
  log_line("ready");
  ACCEL keys[] = {
      {FVIRTKEY, VK_ESCAPE, CMD_ESC},
      {FVIRTKEY | FALT, 'Q', CMD_ALT_Q},
      {FVIRTKEY, VK_TAB, CMD_TAB},
  };
  HACCEL accel = CreateAcceleratorTableA(keys, 3);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    // Accelerators go to the main window whichever control has the focus.
    if (TranslateAcceleratorA(main, accel, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  DestroyAcceleratorTable(accel);
  if (g_log) std::fclose(g_log);
  return 0;
}
