#include <algorithm>
#include <cstdio>
#include <cstring>

#include "devices/device_table.h"
#include "protocol/packet.h"

namespace {

struct ColumnSpec {
  const char* header;
  int width;  // added to the small-icon width for column 0
};

const ColumnSpec COLUMNS[DEVICE_COLUMNS] = {
    {"IP Address", 100},
    {"Mac Address", 110},
    {"Version", 65},
    {"User name", 85},
    {"Password", 60},
    {"Result", 150},
};

int ordered(uint32_t a, uint32_t b, int after) {
  if (a > b) return after;
  if (a < b) return -after;
  return 0;
}

struct SortParam {
  const std::vector<std::shared_ptr<DeviceRecord>>* rows;  // as they were before the sort
  int column;
  int sort_descending;
};

// The view's items carry their row's index from before the sort.
int compare_items(intptr_t a, intptr_t b, intptr_t param) {
  const SortParam* p = reinterpret_cast<const SortParam*>(param);
  return compare_rows(*(*p->rows)[static_cast<size_t>(a)], *(*p->rows)[static_cast<size_t>(b)],
                      p->column, p->sort_descending);
}

void tell_listeners(DeviceTable& t, const DeviceRecord& r) {
  // By index, each one held while it is told: a listener may subscribe or
  // leave while it is told (one that joins hears this merge too).
  ++t.telling;
  for (size_t i = 0; i < t.listeners.size(); ++i)
    if (std::shared_ptr<const MergeListener> tell = t.listeners[i].tell) (*tell)(r);
  --t.telling;
}

}  // namespace

int row_icon(const DeviceRecord& r) {
  if (r.unanswered_queries != 0) return ICON_NO_REPLY;
  if (r.write_refused == 0) return ICON_READY;
  return ICON_NO_WRITE;
}

const char* version_text(char* buf, uint32_t version) {
  if (version == 0)
    std::snprintf(buf, 16, "--.--");
  else
    std::snprintf(buf, 16, "%d.%02d", int(version >> 8 & 0xFF), int(version & 0xFF));
  return buf;
}

const char* cell_text(char* buf, const DeviceRecord& r, int column) {
  switch (column) {
    case 0:
      std::snprintf(buf, 32, "%s", ip_to_text(r.ip));
      break;
    case 1:
      mac_to_text(buf, r.mac);
      break;
    case 2:
      version_text(buf, r.version);
      break;
    // The account fields are fixed 32-byte slots; never read past them.
    case 3:
      std::snprintf(buf, 32, "%.*s", int(sizeof r.user_name), r.user_name);
      break;
    case 4:
      std::snprintf(buf, 32, "%.*s", int(sizeof r.password), r.password);
      break;
    case RESULT_COLUMN:
      std::snprintf(buf, 64, "%.*s", int(sizeof r.result), r.result);
      break;
    default:
      buf[0] = '\0';
  }
  return buf;
}

int init_device_table(DeviceTable& t) {
  if (!t.list) return 1;
  int small = t.list->small_icon_width();
  for (int c = 0; c < DEVICE_COLUMNS; ++c) {
    int width = COLUMNS[c].width + (c == 0 ? small : 0);
    if (t.list->insert_column(c, COLUMNS[c].header, width) < 0) return 0;
  }
  return t.list->attach_row_icons(ROW_ICON_RESOURCES, 3);
}

int row_count(const DeviceTable& t) { return static_cast<int>(t.rows.size()); }

DeviceRecord* row_record(DeviceTable& t, int row) {
  if (row < 0 || row >= row_count(t)) return nullptr;
  return t.rows[static_cast<size_t>(row)].get();
}

std::shared_ptr<DeviceRecord> hold_row(DeviceTable& t, int row) {
  if (row < 0 || row >= row_count(t)) return nullptr;
  return t.rows[static_cast<size_t>(row)];
}

void reindex_rows(DeviceTable& t) {
  t.by_address.clear();
  for (int i = row_count(t) - 1; i >= 0; --i) t.by_address[t.rows[static_cast<size_t>(i)]->ip] = i;
}

int subscribe_merges(DeviceTable& t, MergeListener tell) {
  // Those that left go, unless a merge is going through the list.
  if (t.telling == 0)
    std::erase_if(t.listeners, [](const DeviceTable::Listener& l) { return !l.tell; });
  int id = t.next_listener++;
  t.listeners.push_back({id, std::make_shared<const MergeListener>(std::move(tell))});
  return id;
}

void unsubscribe_merges(DeviceTable& t, int id) {
  // Cleared, not erased: the merge that tells the listeners may be under way.
  for (auto& l : t.listeners)
    if (l.id == id) l.tell.reset();
}

void set_row_icon(DeviceTable& t, int row, int image) {
  if (t.list) t.list->set_item_image(row, image);
}

int show_row_texts(DeviceTable& t, int row, const DeviceRecord& r) {
  if (!t.list) return 1;
  char text[64];
  char shown[64];
  // Most merges bring what the row already shows; an unchanged cell is not
  // written, so the control neither repaints nor reports it.
  for (int c = 1; c < DEVICE_COLUMNS; ++c) {
    cell_text(text, r, c);
    if (t.list->item_text(row, c, shown, sizeof shown) && std::strcmp(shown, text) == 0) continue;
    t.list->set_item_text(row, c, text);
  }
  return 1;
}

int refresh_row(DeviceTable& t, int row, const DeviceRecord& r) {
  if (row < 0 || row >= row_count(t)) return 0;
  reindex_rows(t);
  if (!t.list) return 1;
  char text[64];
  t.list->set_item_text(row, 0, cell_text(text, r, 0));
  return show_row_texts(t, row, r);
}

int merge_device(DeviceTable& t, std::unique_ptr<DeviceRecord> r, int copy_account) {
  if (!r) return -1;
  int i = find_row(t, r->ip);
  if (i >= 0) {
    DeviceRecord* row = row_record(t, i);
    row->unanswered_queries = r->unanswered_queries;
    std::memcpy(row->mac, r->mac, sizeof row->mac);
    row->version = r->version;
    if (copy_account) {
      std::memcpy(row->user_name, r->user_name, sizeof row->user_name);
      std::memcpy(row->password, r->password, sizeof row->password);
    }
    set_row_icon(t, i, row_icon(*r));
    show_row_texts(t, i, *row);
    tell_listeners(t, *r);
    return i;
  }
  int n = row_count(t);
  if (n >= DEVICE_TABLE_LIMIT) {
    if (!t.full_told && t.full) t.full();
    t.full_told = true;
    return -1;
  }
  int at = n;
  if (t.list) {
    char text[64];
    at = t.list->insert_item(n, cell_text(text, *r, 0), row_icon(*r));
    if (at < 0 || at > n) return -1;
  }
  t.full_told = false;
  std::shared_ptr<DeviceRecord> owned(std::move(r));
  t.rows.insert(t.rows.begin() + at, owned);
  if (at == n)
    t.by_address.emplace(owned->ip, at);
  else
    reindex_rows(t);  // the view put it before other rows: they moved down
  show_row_texts(t, at, *owned);
  tell_listeners(t, *owned);
  return at;
}

void merge_devices(DeviceTable& t, std::vector<std::unique_ptr<DeviceRecord>>& records,
                   int copy_account) {
  // A new row makes the list rescale its scroll bar and repaint, which
  // costs as much as many merges: with the redraw held, that happens once
  // for all the new rows of the step. Updates in place are cheap as they are.
  bool hold = false;
  if (t.list)
    for (auto& r : records)
      if (r && find_row(t, r->ip) < 0) hold = true;
  if (hold) t.list->hold_redraw(true);
  for (auto& r : records)
    if (r) merge_device(t, std::move(r), copy_account);
  if (hold) t.list->hold_redraw(false);
  records.clear();
}

int count_checked_rows(DeviceTable& t) {
  if (!t.list) return 0;
  int n = t.list->item_count();
  int checked = 0;
  for (int i = 0; i < n; ++i)
    if ((t.list->item_state(i, STATE_CHECK_MASK) & STATE_CHECK_MASK) != STATE_UNCHECKED) ++checked;
  return checked;
}

int find_row(const DeviceTable& t, uint32_t ip) {
  auto it = t.by_address.find(ip);
  return it == t.by_address.end() ? -1 : it->second;
}

int set_row_result(DeviceTable& t, uint32_t ip, const char* text) {
  int row = find_row(t, ip);
  DeviceRecord* r = row_record(t, row);
  if (!r) return 0;
  std::snprintf(r->result, sizeof r->result, "%s", text);
  if (t.list) t.list->set_item_text(row, RESULT_COLUMN, r->result);
  return 1;
}

void untick_rows(DeviceTable& t, const std::vector<uint32_t>& ips, bool ticked) {
  for (uint32_t ip : ips) {
    int row = find_row(t, ip);
    if (row >= 0 && t.list) t.list->set_item_checked(row, ticked);
  }
  update_upgrade_button(t);
}

void update_edit_buttons(DeviceTable& t) {
  if (!t.buttons) return;
  int any = t.list && t.list->selected_count() > 0;
  t.buttons->enable_button(BUTTON_MODIFY, any);
  t.buttons->enable_button(BUTTON_REMOVE, any && !t.run_holds);
}

void update_upgrade_button(DeviceTable& t) {
  if (!t.buttons) return;
  // The caption stays "Upgrade"; the count would change the button's width
  // needs and the operator sees the ticks anyway.
  t.buttons->enable_button(BUTTON_UPGRADE, count_checked_rows(t) > 0 && !t.run_holds);
}

void hold_for_run(DeviceTable& t, bool holds) {
  t.run_holds = holds;
  update_upgrade_button(t);
  update_edit_buttons(t);
  if (!t.buttons) return;
  t.buttons->enable_button(BUTTON_DISCOVER, !holds);
  t.buttons->enable_button(BUTTON_OPEN, !holds);
}

int remove_selected_rows(DeviceTable& t) {
  if (!t.list || t.run_holds) return 0;
  // From the end, so the indexes not yet visited stay valid. A record a
  // dialog or a batch holds lives on with its holder.
  bool removed = false;
  for (int i = t.list->item_count() - 1; i >= 0; --i) {
    if (!(t.list->item_state(i, STATE_SELECTED) & STATE_SELECTED)) continue;
    if (!t.list->delete_item(i)) continue;
    if (i < row_count(t)) t.rows.erase(t.rows.begin() + i);
    removed = true;
  }
  if (removed) reindex_rows(t);
  // The list reports the selection change before the rows go, while the
  // checked rows still count: the buttons are set again afterwards.
  update_upgrade_button(t);
  update_edit_buttons(t);
  return 0;
}

int compare_rows(const DeviceRecord& a, const DeviceRecord& b, int column, int sort_descending) {
  int after = sort_descending ? -1 : 1;
  switch (column) {
    case 0:
      return ordered(host_address(a.ip), host_address(b.ip), after);
    case 1:
      for (int i = 0; i < 6; ++i)
        if (a.mac[i] != b.mac[i]) return ordered(a.mac[i], b.mac[i], after);
      return 0;
    case 2:
      return ordered(a.version, b.version, after);
    case RESULT_COLUMN: {
      int c = std::strncmp(a.result, b.result, sizeof a.result);
      return c > 0 ? after : c < 0 ? -after : 0;
    }
    default:
      return 0;
  }
}

void sort_rows(DeviceTable& t, int column) {
  std::vector<std::shared_ptr<DeviceRecord>> before = t.rows;
  if (t.list) {
    // The control sorts its own rows, so the ticks, the selection and the
    // focus go with them; each item carries its row's index for the sort,
    // and where the control put it gives the model its new order.
    const int n = t.list->item_count();
    for (int i = 0; i < n; ++i) t.list->set_item_data(i, i);
    SortParam p{&before, column, t.sort_descending};
    t.list->sort_items(compare_items, reinterpret_cast<intptr_t>(&p));
    bool read = n == row_count(t);
    for (int i = 0; read && i < n; ++i) {
      intptr_t was = -1;
      read = t.list->item_data(i, &was) && was >= 0 && was < n;
      if (read) t.rows[static_cast<size_t>(i)] = before[static_cast<size_t>(was)];
    }
    if (!read) {
      // The control's order could not be read back: the model sorts itself
      // alike and every row is shown again.
      t.rows = before;
      std::stable_sort(t.rows.begin(), t.rows.end(), [&](const auto& a, const auto& b) {
        return compare_rows(*a, *b, column, t.sort_descending) < 0;
      });
      char text[64];
      for (int i = 0; i < row_count(t); ++i) {
        const DeviceRecord& r = *t.rows[static_cast<size_t>(i)];
        t.list->set_item_text(i, 0, cell_text(text, r, 0));
        show_row_texts(t, i, r);
        set_row_icon(t, i, row_icon(r));
      }
    }
  } else {
    std::stable_sort(t.rows.begin(), t.rows.end(), [&](const auto& a, const auto& b) {
      return compare_rows(*a, *b, column, t.sort_descending) < 0;
    });
  }
  reindex_rows(t);
  t.sort_descending = !t.sort_descending;
}

void release_device_records(DeviceTable& t) {
  if (t.list)
    for (int i = t.list->item_count() - 1; i >= 0; --i) t.list->delete_item(i);
  t.rows.clear();
  t.by_address.clear();
}
