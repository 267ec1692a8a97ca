#include <windows.h>
#include <commctrl.h>

#include "devices/device_table.h"

namespace {

struct SortCall {
  RowCompare compare;
  intptr_t param;
};

int CALLBACK sort_trampoline(LPARAM a, LPARAM b, LPARAM call) {
  const SortCall* c = reinterpret_cast<const SortCall*>(call);
  return c->compare(a, b, c->param);
}

class ListView : public ListControl {
 public:
  ListView(HWND hwnd, HINSTANCE instance) : hwnd_(hwnd), instance_(instance) {}

  int insert_column(int index, const char* header, int width) override {
    LVCOLUMNA col{};
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    col.fmt = LVCFMT_CENTER;
    // Widths are given for 96 dots per inch: at a larger scale the texts
    // are larger and so are the columns.
    int dpi = 96;
    if (HDC dc = GetDC(nullptr)) {
      dpi = GetDeviceCaps(dc, LOGPIXELSX);
      ReleaseDC(nullptr, dc);
    }
    col.cx = MulDiv(width, dpi, 96);
    col.pszText = const_cast<char*>(header);
    col.iSubItem = index;
    return static_cast<int>(send(LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&col)));
  }

  int set_extended_style(uint32_t bits) override {
    send(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, bits);
    return 1;
  }

  int attach_row_icons(const int* resource_ids, int count) override {
    int cx = GetSystemMetrics(SM_CXSMICON);
    int cy = GetSystemMetrics(SM_CYSMICON);
    HIMAGELIST images = ImageList_Create(cx, cy, ILC_COLOR, 0, 2);
    if (!images) return 0;
    int added = 0;
    for (int i = 0; i < count; ++i) {
      HICON icon = static_cast<HICON>(
          LoadImageA(instance_, MAKEINTRESOURCEA(resource_ids[i]), IMAGE_ICON, cx, cy, 0));
      if (icon && ImageList_AddIcon(images, icon) >= 0) ++added;
      if (icon) DestroyIcon(icon);
    }
    // The list view does not own a small image list unless told; it lives
    // as long as the program, like the control.
    send(LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
    return added == count;
  }

  int small_icon_width() override { return GetSystemMetrics(SM_CXSMICON); }
  int item_count() override { return static_cast<int>(send(LVM_GETITEMCOUNT, 0, 0)); }
  int selected_count() override { return static_cast<int>(send(LVM_GETSELECTEDCOUNT, 0, 0)); }

  int item_data(int index, intptr_t* data) override {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = index;
    if (!send(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return 0;
    *data = item.lParam;
    return 1;
  }

  int set_item_data(int index, intptr_t data) override {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = index;
    item.lParam = data;
    return send(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item)) != 0;
  }

  int insert_item(int index, const char* text, int image) override {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = index;
    item.pszText = const_cast<char*>(text);
    item.iImage = image;
    return static_cast<int>(send(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
  }

  int set_item_image(int index, int image) override {
    LVITEMA item{};
    item.mask = LVIF_IMAGE;
    item.iItem = index;
    item.iImage = image;
    return send(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item)) != 0;
  }

  int set_item_text(int index, int column, const char* text) override {
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text);
    return send(LVM_SETITEMTEXTA, index, reinterpret_cast<LPARAM>(&item)) != 0;
  }

  int set_item_checked(int index, bool on) override {
    LVITEMA item{};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(on ? 2 : 1);
    return send(LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&item)) != 0;
  }

  int item_text(int index, int column, char* buf, int cap) override {
    if (cap < 1) return 0;
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = buf;
    item.cchTextMax = cap;
    buf[0] = '\0';
    if (index < 0 || index >= item_count()) return 0;
    send(LVM_GETITEMTEXTA, index, reinterpret_cast<LPARAM>(&item));
    buf[cap - 1] = '\0';
    return 1;
  }

  void hold_redraw(bool hold) override {
    // Turning the redraw back on shows a hidden window on some systems:
    // a list not on screen is left alone.
    if (hold) {
      redraw_held_ = IsWindowVisible(hwnd_) != FALSE;
      if (redraw_held_) send(WM_SETREDRAW, FALSE, 0);
      return;
    }
    if (!redraw_held_) return;
    redraw_held_ = false;
    send(WM_SETREDRAW, TRUE, 0);
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
  }

  uint32_t item_state(int index, uint32_t mask) override {
    return static_cast<uint32_t>(send(LVM_GETITEMSTATE, index, mask));
  }

  int delete_item(int index) override { return send(LVM_DELETEITEM, index, 0) != 0; }

  int sort_items(RowCompare compare, intptr_t param) override {
    SortCall call{compare, param};
    return send(LVM_SORTITEMS, reinterpret_cast<WPARAM>(&call),
                reinterpret_cast<LPARAM>(&sort_trampoline)) != 0;
  }

 private:
  LRESULT send(UINT msg, WPARAM w, LPARAM l) { return SendMessageA(hwnd_, msg, w, l); }

  HWND hwnd_;
  HINSTANCE instance_;
  bool redraw_held_ = false;
};

class PanelButtons : public ButtonPort {
 public:
  PanelButtons(void* const* handles, int count) : handles_(handles), count_(count) {}
  void enable_button(int id, int enabled) override {
    if (id >= 0 && id < count_ && handles_[id])
      EnableWindow(static_cast<HWND>(handles_[id]), enabled ? TRUE : FALSE);
  }

 private:
  void* const* handles_;
  int count_;
};

}  // namespace

ListControl* open_list_view(void* hwnd, void* instance) {
  return new ListView(static_cast<HWND>(hwnd), static_cast<HINSTANCE>(instance));
}

ButtonPort* open_panel_buttons(void* const* handles, int count) {
  return new PanelButtons(handles, count);
}
