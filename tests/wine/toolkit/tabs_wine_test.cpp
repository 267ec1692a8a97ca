// Tab pages and Tab-key focus movement with real windows, on a window built
// the way the program's main window is: window -> tab control and a Quit
// button; tab control -> pages; page -> its controls.
#include "tests/wine/toolkit/wine_helpers.h"
#include "toolkit/tabs.h"

namespace {

constexpr DWORD tab_stop = WS_VISIBLE | WS_TABSTOP;

const char first_caption[] = "Cards";
const ControlRow first_page[] = {
    {nullptr, first_caption, 0, 0, 2, 98, 100, 14, 97, 100},
    {"button", "Add", tab_stop | BS_PUSHBUTTON, 301, 2, 20, 100, 4, 16, 100},
    {"CLEdit", "Version", tab_stop | ES_AUTOHSCROLL, 302, 22, 60, 100, 2, 30, 100},
    {"cl_static", "not a tab stop", WS_VISIBLE, 303, 62, 98, 100, 4, 16, 100},
    {"SysListView32", nullptr, tab_stop | LVS_REPORT, 304, 2, 98, 100, 34, 84, 100},
    {"button", "Open", tab_stop | BS_PUSHBUTTON, 305, 78, 98, 100, 86, 98, 100},
    {},
};
const ControlRow second_page[] = {
    {nullptr, nullptr, 0, 1, 2, 98, 100, 14, 97, 100},
    {"button", "Second", tab_stop | BS_PUSHBUTTON, 401, 2, 30, 100, 4, 16, 100},
    {"edit", nullptr, tab_stop, 402, 32, 90, 100, 4, 16, 100},
    {},
};

class TabPages : public ToolkitWindows {
 protected:
  void SetUp() override {
    ToolkitWindows::SetUp();
    static int serial;
    const std::string class_name = "ToolkitTabs" + std::to_string(++serial);
    main = keep(create_keyword_window(
        self(), class_name.c_str(),
        {{"WNDPROC", &shared_window_proc}, {"TITLE", "Toolkit tabs"}, {"XPOS", 30}, {"YPOS", 30},
         {"WIDTH", 640}, {"HEIGHT", 480}, {"SHOWOFF", 1}}));
    ASSERT_NE(main, nullptr);
    tab = create_tab_control(main, 200 | (TCS_HOTTRACK << 16), 1, 99, 100, 1, 86, 100);
    ASSERT_NE(tab, nullptr);
    quit = create_control(main, "button", "Quit", tab_stop | BS_PUSHBUTTON, 2, 80, 99, 100, 88, 98, 100);
    ASSERT_NE(create_control_table(tab, page1, first_page), nullptr);
    ASSERT_NE(create_control_table(tab, page2, second_page), nullptr);
    SetWindowTextA(page2[0], "Options");
    EXPECT_EQ(add_tab_page(tab, page1[0], nullptr), page1[0]);
    EXPECT_EQ(add_tab_page(tab, page2[0], nullptr), page2[0]);
    SetForegroundWindow(main);
    pump();
  }

  void click_tab(int index) {
    RECT r{};
    SendMessageA(tab, TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(&r));
    LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    SendMessageA(tab, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageA(tab, WM_LBUTTONUP, 0, at);
    pump();
  }

  std::string item_text(int index) {
    char text[64] = "";
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(tab, TCM_GETITEMA, index, reinterpret_cast<LPARAM>(&item));
    return text;
  }

  HWND main = nullptr, tab = nullptr, quit = nullptr;
  HWND page1[7] = {}, page2[4] = {};
};

TEST_F(TabPages, PagesCaptionsAndTips) {
  DWORD style = static_cast<DWORD>(GetWindowLongA(tab, GWL_STYLE));
  EXPECT_EQ(style & 0x5001C000, 0x5001C000u);
  EXPECT_TRUE(style & TCS_HOTTRACK);
  EXPECT_EQ(GetDlgCtrlID(tab), 200);
  // The window already runs the shared procedure: only the tab control and
  // the two panels were subclassed.
  int records = 0;
  for (const HandlerEntry& e : subclass_table) {
    EXPECT_NE(e.window, main);
    if (e.message == HANDLER_FORWARD) ++records;
  }
  EXPECT_EQ(records, 3);

  ASSERT_EQ(SendMessageA(tab, TCM_GETITEMCOUNT, 0, 0), 2);
  EXPECT_EQ(item_text(0), "Cards");    // from the panel's user data
  EXPECT_EQ(item_text(1), "Options");  // from the window text
  EXPECT_EQ(get_tab_page(tab, 0), page1[0]);
  EXPECT_EQ(get_tab_page(tab, 1), page2[0]);
  EXPECT_EQ(get_tab_page(tab, 5), nullptr);
  EXPECT_TRUE(IsWindowVisible(page1[0]));
  EXPECT_FALSE(IsWindowVisible(page2[0]));

  HWND tips = reinterpret_cast<HWND>(SendMessageA(tab, TCM_GETTOOLTIPS, 0, 0));
  ASSERT_NE(tips, nullptr);
  EXPECT_EQ(SendMessageA(tips, TTM_GETTOOLCOUNT, 0, 0), 2);

  // Codes other than the two selection codes are left to the default processing.
  NMHDR other{tab, 200, static_cast<UINT>(NM_CLICK)};
  EXPECT_EQ(on_tab_notify(main, 200, reinterpret_cast<HandlerArg>(&other), 0, 0), 1);

  save_screenshot(main, "toolkit-tabs.bmp");
}

TEST_F(TabPages, ClickingATabSwitchesPagesAndFocus) {
  click_tab(1);
  EXPECT_EQ(SendMessageA(tab, TCM_GETCURSEL, 0, 0), 1);
  EXPECT_FALSE(IsWindowVisible(page1[0]));
  EXPECT_TRUE(IsWindowVisible(page2[0]));
  EXPECT_EQ(GetFocus(), page2[1]);  // the page passed the focus to its first tab stop

  click_tab(0);
  EXPECT_TRUE(IsWindowVisible(page1[0]));
  EXPECT_FALSE(IsWindowVisible(page2[0]));
  EXPECT_EQ(GetFocus(), page1[1]);
}

TEST_F(TabPages, TabWalksTheTabStopsAndWraps) {
  SetFocus(page1[1]);
  ASSERT_EQ(GetFocus(), page1[1]);
  // Add, the CLEdit's edit, the list, Open, then Quit on the window, then
  // round to the tab control, which passes the focus down to Add again.
  const HWND expected[] = {page1[2], page1[4], page1[5], quit, page1[1], page1[2]};
  for (HWND next : expected) {
    focus_next_tab_stop(GetFocus());
    EXPECT_EQ(GetFocus(), next) << "focus on id " << GetDlgCtrlID(GetFocus());
  }

  EXPECT_EQ(next_tab_stop(page1[5]), nullptr);  // last tab stop of the page
  EXPECT_EQ(next_tab_stop(page1[0]), nullptr);  // the only visible page
  EXPECT_EQ(next_tab_stop(tab), quit);

  SetFocus(quit);
  focus_next_tab_stop(main);  // a top-level window: its first child
  EXPECT_EQ(GetFocus(), page1[1]);
}

TEST_F(ToolkitWindows, PageWithIdZeroGoesBeforeThePagesPresent) {
  HWND main = keep(create_keyword_window(self(), "ToolkitTabOrder",
                                         {{"WNDPROC", &shared_window_proc}, {"WIDTH", 300}, {"HEIGHT", 200}}));
  ASSERT_NE(main, nullptr);
  HWND tab = create_tab_control(main, 9, 0, 1, 1, 0, 1, 1);
  ASSERT_NE(tab, nullptr);
  HWND later = create_control(tab, "static", "later", WS_VISIBLE, 3, 0, 10, 0, 20, 40, 0);
  HWND zero = create_control(tab, "static", "zero", WS_VISIBLE, 0, 0, 10, 0, 20, 40, 0);
  add_tab_page(tab, later, "Later");
  add_tab_page(tab, zero, nullptr);
  EXPECT_EQ(get_tab_page(tab, 0), zero);
  EXPECT_EQ(get_tab_page(tab, 1), later);
  // The window itself is not shown: look at the pages' own style.
  EXPECT_TRUE(GetWindowLongA(later, GWL_STYLE) & WS_VISIBLE);
  EXPECT_FALSE(GetWindowLongA(zero, GWL_STYLE) & WS_VISIBLE);
}

}  // namespace
