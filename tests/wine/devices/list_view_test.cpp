// The device table on a real SysListView32 in a real window, under Wine.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devices/device_table.h"
#include "discovery/discovery.h"
#include "protocol/packet.h"
#include "tests/support/table_doubles.h"

namespace {

void pump(DWORD ms) {
  DWORD until = GetTickCount() + ms;
  MSG msg;
  while (static_cast<LONG>(until - GetTickCount()) > 0) {
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(10);
  }
}

// Saves the window as a BMP into the screenshot folder, if one is given.
void save_shot(HWND window, const char* name) {
  const char* folder = std::getenv("DAVERIDUR_SHOTS");
  if (!folder || !*folder) return;
  std::string path = std::string(folder[0] == '/' ? "Z:" : "") + folder + "/" + name;
  CreateDirectoryA((std::string(folder[0] == '/' ? "Z:" : "") + folder).c_str(), nullptr);
  RECT r;
  GetWindowRect(window, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  int stride = (w * 3 + 3) & ~3;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + stride * h;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&fh, sizeof fh, 1, f);
    std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
    std::fwrite(bits, stride, h, f);
    std::fclose(f);
  }
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
}

// The main window's part in handing table work to its thread.
LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (msg == table_step_message()) return run_queued_table_steps(hwnd);
  return DefWindowProcA(hwnd, msg, w, l);
}

class ListViewTest : public ::testing::Test {
 public:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    HINSTANCE inst = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = inst;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "DaveridurListTest";
    RegisterClassA(&wc);
    window = CreateWindowA("DaveridurListTest", "Device table", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                           40, 40, 520, 300, nullptr, nullptr, inst, nullptr);
    ASSERT_NE(window, nullptr);
    list = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                           WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | WS_GROUP |
                               LVS_REPORT | LVS_SHOWSELALWAYS,
                           8, 8, 490, 200, window, reinterpret_cast<HMENU>(1), inst, nullptr);
    ASSERT_NE(list, nullptr);
    upgrade = CreateWindowA("BUTTON", "Upgrade", WS_CHILD | WS_VISIBLE, 8, 215, 90, 24, window,
                            reinterpret_cast<HMENU>(11), inst, nullptr);
    modify = CreateWindowA("BUTTON", "Modify", WS_CHILD | WS_VISIBLE, 108, 215, 90, 24, window,
                           reinterpret_cast<HMENU>(3), inst, nullptr);
    remove = CreateWindowA("BUTTON", "Remove", WS_CHILD | WS_VISIBLE, 208, 215, 90, 24, window,
                           reinterpret_cast<HMENU>(4), inst, nullptr);
    handles.assign(18, nullptr);
    handles[1] = list;
    handles[3] = modify;
    handles[4] = remove;
    handles[11] = upgrade;
    control.reset(open_list_view(list, inst));
    buttons.reset(open_panel_buttons(handles.data(), static_cast<int>(handles.size())));
    table.list = control.get();
    table.buttons = buttons.get();
    control->set_extended_style(DEVICE_TABLE_EX_STYLE);
    ASSERT_EQ(init_device_table(table), 1);
  }

  void TearDown() override {
    release_device_records(table);
    DestroyWindow(window);
  }

  std::string text(int row, int col) {
    char buf[64] = "";
    LVITEMA item{};
    item.iSubItem = col;
    item.pszText = buf;
    item.cchTextMax = sizeof buf;
    SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return buf;
  }
  std::vector<std::string> addresses() {
    std::vector<std::string> out;
    for (int i = 0; i < row_count(table); ++i) out.push_back(text(i, 0));
    return out;
  }
  int image(int row) {
    LVITEMA item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return item.iImage;
  }
  void set_state(int row, UINT state, UINT mask) {
    LVITEMA item{};
    item.stateMask = mask;
    item.state = state;
    SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
  }
  void fill() {
    merge_device(table, test_card("192.168.1.10", 0x03, 0x0102, 0, 0), 0);
    merge_device(table, test_card("10.0.0.5", 0x01, 0x010A, 1, 0), 0);
    merge_device(table, test_card("192.168.1.2", 0x05, 0, 0, 1), 0);
    merge_device(table, test_card("10.69.0.7", 0x02, 0x0200, 0, 0), 0);
    merge_device(table, test_card("172.16.0.1", 0x04, 0x0101, 0, 0), 0);
  }

  HWND window = nullptr, list = nullptr, upgrade = nullptr, modify = nullptr, remove = nullptr;
  std::vector<void*> handles;
  std::unique_ptr<ListControl> control;
  std::unique_ptr<ButtonPort> buttons;
  DeviceTable table;
};

TEST_F(ListViewTest, ColumnsStylesAndIcons) {
  EXPECT_EQ(SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), 0x25);
  const char* headers[] = {"IP Address", "Mac Address", "Version", "User name", "Password"};
  const int widths[] = {GetSystemMetrics(SM_CXSMICON) + 100, 110, 65, 85, 60};
  for (int c = 0; c < 5; ++c) {
    char buf[32] = "";
    LVCOLUMNA col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    col.pszText = buf;
    col.cchTextMax = sizeof buf;
    ASSERT_TRUE(SendMessageA(list, LVM_GETCOLUMNA, c, reinterpret_cast<LPARAM>(&col)));
    EXPECT_STREQ(buf, headers[c]);
    EXPECT_EQ(col.cx, widths[c]);
    if (c > 0) {  // the first column is always left-aligned by the control
      EXPECT_EQ(col.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_CENTER);
    }
  }
  HIMAGELIST images =
      reinterpret_cast<HIMAGELIST>(SendMessageA(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
  ASSERT_NE(images, nullptr);
  EXPECT_EQ(ImageList_GetImageCount(images), 3);
}

TEST_F(ListViewTest, MergeShowsTextsIconsAndUncheckedBoxes) {
  fill();
  merge_device(table, test_card("10.0.0.5", 0x09, 0x010A, 0, 0), 0);  // answers now
  ASSERT_EQ(row_count(table), 5);
  EXPECT_EQ(text(0, 0), "192.168.1.10");
  EXPECT_EQ(text(0, 1), "00-0a-ff-10-20-03");
  EXPECT_EQ(text(0, 2), "1.02");
  EXPECT_EQ(text(0, 3), "admin");
  EXPECT_EQ(text(1, 1), "00-0a-ff-10-20-09");
  EXPECT_EQ(text(1, 2), "1.10");
  EXPECT_EQ(text(2, 2), "--.--");
  EXPECT_EQ(image(0), ICON_READY);
  EXPECT_EQ(image(1), ICON_READY);
  EXPECT_EQ(image(2), ICON_NO_WRITE);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(SendMessageA(list, LVM_GETITEMSTATE, i, 0xF000), 0x1000) << i;
  set_row_icon(table, 3, ICON_NO_REPLY);
  EXPECT_EQ(image(3), ICON_NO_REPLY);
  EXPECT_EQ(row_record(table, 5), nullptr);
}

// New rows arrive many per step with the redraw held: the list must come
// back visible, whole and painting.
TEST_F(ListViewTest, ABatchOfNewRowsIsShownWhole) {
  fill();
  std::vector<std::unique_ptr<DeviceRecord>> batch;
  for (int i = 1; i <= 40; ++i)
    batch.push_back(test_card(("10.1.0." + std::to_string(i)).c_str(), 0x10, 0x0100 + i, 0, 0));
  batch.push_back(test_card("10.0.0.5", 0x0b, 0x0300, 0, 0));
  merge_devices(table, batch, 0);
  ASSERT_EQ(row_count(table), 45);
  EXPECT_EQ(text(44, 2), "1.40");
  EXPECT_EQ(text(1, 1), "00-0a-ff-10-20-0b");
  EXPECT_TRUE(IsWindowVisible(list));
  RECT dirty{};
  InvalidateRect(list, nullptr, FALSE);
  EXPECT_TRUE(GetUpdateRect(list, &dirty, FALSE));  // redraw is on again
  char cell[16];
  EXPECT_EQ(control->item_text(45, 0, cell, sizeof cell), 0);
}

TEST_F(ListViewTest, CheckBoxesDriveTheUpgradeButton) {
  update_upgrade_button(table);
  EXPECT_FALSE(IsWindowEnabled(upgrade));
  fill();
  EXPECT_EQ(count_checked_rows(table), 0);
  set_state(1, INDEXTOSTATEIMAGEMASK(2), LVIS_STATEIMAGEMASK);
  set_state(3, INDEXTOSTATEIMAGEMASK(2), LVIS_STATEIMAGEMASK);
  EXPECT_EQ(count_checked_rows(table), 2);
  update_upgrade_button(table);
  EXPECT_TRUE(IsWindowEnabled(upgrade));
  set_state(1, INDEXTOSTATEIMAGEMASK(1), LVIS_STATEIMAGEMASK);
  set_state(3, INDEXTOSTATEIMAGEMASK(1), LVIS_STATEIMAGEMASK);
  update_upgrade_button(table);
  EXPECT_FALSE(IsWindowEnabled(upgrade));
}

TEST_F(ListViewTest, SortKeepsRecordsWithTheirRows) {
  fill();
  sort_rows(table, 0);
  EXPECT_EQ(addresses(), (std::vector<std::string>{"10.0.0.5", "10.69.0.7", "172.16.0.1",
                                                   "192.168.1.2", "192.168.1.10"}));
  sort_rows(table, 0);
  EXPECT_EQ(addresses(), (std::vector<std::string>{"192.168.1.10", "192.168.1.2", "172.16.0.1",
                                                   "10.69.0.7", "10.0.0.5"}));
  sort_rows(table, 1);  // ascending again, by MAC
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(row_record(table, i)->mac[5], i + 1);
    EXPECT_EQ(text(i, 0), ip_to_text(row_record(table, i)->ip));
  }
}

TEST_F(ListViewTest, RemoveSelectedRowsAndEditButtons) {
  fill();
  update_edit_buttons(table);
  EXPECT_FALSE(IsWindowEnabled(modify));
  EXPECT_FALSE(IsWindowEnabled(remove));
  set_state(1, LVIS_SELECTED, LVIS_SELECTED);
  set_state(3, LVIS_SELECTED, LVIS_SELECTED);
  update_edit_buttons(table);
  EXPECT_TRUE(IsWindowEnabled(modify));
  EXPECT_TRUE(IsWindowEnabled(remove));
  remove_selected_rows(table);
  EXPECT_EQ(addresses(),
            (std::vector<std::string>{"192.168.1.10", "192.168.1.2", "172.16.0.1"}));
  update_edit_buttons(table);
  EXPECT_FALSE(IsWindowEnabled(remove));
}

// The control sorts its own rows: ticks and the selection go with them, and
// the model takes the order the control chose.
TEST_F(ListViewTest, SortMovesTicksWithTheirRowsAndScreenshot) {
  fill();
  std::string ticked = text(2, 0);
  std::string selected = text(4, 0);
  set_state(2, INDEXTOSTATEIMAGEMASK(2), LVIS_STATEIMAGEMASK);
  set_state(4, LVIS_SELECTED, LVIS_SELECTED);
  sort_rows(table, 0);
  int n = row_count(table);
  ASSERT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), n);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(text(i, 0), ip_to_text(row_record(table, i)->ip)) << i;
    bool is_ticked = SendMessageA(list, LVM_GETITEMSTATE, i, LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
    EXPECT_EQ(is_ticked, text(i, 0) == ticked) << i;
    bool is_selected = SendMessageA(list, LVM_GETITEMSTATE, i, LVIS_SELECTED) != 0;
    EXPECT_EQ(is_selected, text(i, 0) == selected) << i;
  }
  EXPECT_EQ(find_row(table, row_record(table, 3)->ip), 3);
  pump(300);
  save_shot(window, "devices_list_view.bmp");
}

TEST_F(ListViewTest, MergesFromAnotherThreadRunOnTheWindowsThread) {
  std::unique_ptr<TableExecutor> executor(open_window_executor(window));
  DWORD ran_on = 0;
  bool finished = false;
  HANDLE worker = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* self = static_cast<ListViewTest*>(p);
        std::unique_ptr<TableExecutor> ex(open_window_executor(self->window));
        for (int i = 1; i <= 3; ++i) {
          std::string ip = "10.69.0." + std::to_string(i);
          auto r = test_card(ip.c_str(), static_cast<uint8_t>(i), 0x0102, 0, 0);
          ex->run([&] { merge_device(self->table, std::move(r), 0); });
        }
        return 0;
      },
      this, 0, nullptr);
  ASSERT_NE(worker, nullptr);
  // The window's thread keeps serving sent messages while it waits.
  while (MsgWaitForMultipleObjects(1, &worker, FALSE, 5000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_OBJECT_0);
  CloseHandle(worker);
  EXPECT_EQ(addresses(), (std::vector<std::string>{"10.69.0.1", "10.69.0.2", "10.69.0.3"}));
  // A call on the window's own thread runs at once.
  EXPECT_EQ(executor->run([&] {
    ran_on = GetCurrentThreadId();
    finished = true;
  }),
            1);
  EXPECT_TRUE(finished);
  EXPECT_EQ(ran_on, GetCurrentThreadId());
}

}  // namespace
