// What the device table's list control reports to the page: the Delete key,
// column clicks, check-box and selection changes, double clicks, and the
// drawing of each row (the rows behind the image open are tinted). The
// result is the page's answer to the notification.
#include <windows.h>
#include <commctrl.h>

#include "devices/account_dialog.h"
#include "devices/device_commands.h"
#include "devices/device_table.h"

namespace {

// A pale amber under a row whose card runs an older version than the image.
const COLORREF BEHIND_ROW_COLOUR = RGB(255, 236, 179);

}  // namespace

int on_device_notify(WindowHandle, HandlerArg, HandlerArg header, HandlerArg, HandlerArg) {
  const NMHDR* h = reinterpret_cast<const NMHDR*>(header);
  DeviceTable& table = *devices_services().table;
  switch (h->code) {
    case LVN_KEYDOWN: {
      WORD key = reinterpret_cast<const NMLVKEYDOWN*>(h)->wVKey;
      if (key == VK_APPS) {
        device_list_menu_from_keyboard();
        return 0;
      }
      if (key != VK_DELETE) return 0;
      remove_selected_rows(table);
      return 0;
    }
    case LVN_COLUMNCLICK: {
      int column = reinterpret_cast<const NMLISTVIEW*>(h)->iSubItem;
      if (column <= 2 || column == RESULT_COLUMN)
        sort_rows(table, column);
      else
        open_batch_setting(column);
      return 0;
    }
    case LVN_ITEMCHANGED:
      // The buttons follow the rows' states only. A new icon or text is
      // reported too, and counting every row for each would make a merge
      // cost as much as the table is long.
      if (!(reinterpret_cast<const NMLISTVIEW*>(h)->uChanged & LVIF_STATE)) return 0;
      update_upgrade_button(table);
      update_edit_buttons(table);
      return 0;
    case NM_DBLCLK: {
      // The notification names the row under the click; -1 below the rows.
      int row = reinterpret_cast<const NMITEMACTIVATE*>(h)->iItem;
      if (row >= 0 && row < row_count(table)) edit_row(row);
      return 0;
    }
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(h));
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage != CDDS_ITEMPREPAINT) return CDRF_DODEFAULT;
      const auto& behind = devices_services().behind;
      const DeviceRecord* record = row_record(table, static_cast<int>(draw->nmcd.dwItemSpec));
      if (!record || !behind || !behind(*record)) return CDRF_DODEFAULT;
      draw->clrTextBk = BEHIND_ROW_COLOUR;
      return CDRF_NEWFONT;
    }
    default:
      return 0;
  }
}
