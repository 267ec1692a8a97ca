#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

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

// Dotted-quad order needs the address in host order.
uint32_t host_order(uint32_t ip_be) {
  uint8_t b[4];
  std::memcpy(b, &ip_be, 4);
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

int ordered(uint32_t a, uint32_t b, int after) {
  if (a > b) return after;
  if (a < b) return -after;
  return 0;
}

struct SortParam {
  int column;
  int sort_descending;
};

int compare_items(intptr_t a, intptr_t b, intptr_t param) {
  const SortParam* p = reinterpret_cast<const SortParam*>(param);
  return compare_rows(*reinterpret_cast<const DeviceRecord*>(a),
                      *reinterpret_cast<const DeviceRecord*>(b), p->column, p->sort_descending);
}

// A removed row's record: freed now unless someone still holds it.
void retire_record(DeviceTable& t, DeviceRecord* r) {
  if (!r) return;
  {
    std::lock_guard<std::mutex> lock(t.holds_mutex);
    if (t.holds.count(r)) {
      t.retired.push_back(r);
      return;
    }
  }
  delete r;
}

// Learns every row's record from the control; false when a row can't be read.
bool learn_rows(DeviceTable& t, int n) {
  t.rows_known = false;
  t.row_records.assign(n, nullptr);
  for (int i = 0; i < n; ++i) {
    intptr_t data = 0;
    if (!t.list->item_data(i, &data) || !data) return false;
    t.row_records[i] = reinterpret_cast<DeviceRecord*>(data);
  }
  t.rows_known = true;
  return true;
}

int first_known_row(const DeviceTable& t, uint32_t ip) {
  // The records are read, not remembered by address: the account dialog
  // changes a row's address in place.
  for (size_t i = 0; i < t.row_records.size(); ++i)
    if (t.row_records[i]->ip == ip) return static_cast<int>(i);
  return -1;
}

constexpr int ROW_UNKNOWN = -2;

// Asks the control row by row, as long as a row can't be learnt: the first
// unreadable row before the card's ends the search.
int scan_rows(DeviceTable& t, int n, uint32_t ip) {
  for (int i = 0; i < n; ++i) {
    DeviceRecord* row = row_record(t, i);
    if (!row) return ROW_UNKNOWN;
    if (row->ip == ip) return i;
  }
  return -1;
}

// The first row of address ip among n rows, -1 when there is none, or
// ROW_UNKNOWN when a row can't be read.
int find_row(DeviceTable& t, int n, uint32_t ip) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if ((!t.rows_known || static_cast<int>(t.row_records.size()) != n) && !learn_rows(t, n))
      return scan_rows(t, n, ip);
    int i = first_known_row(t, ip);
    if (n == 0) return -1;
    // One look at the control confirms what was learnt: the matched row, or
    // for a card not listed the last row, still holds the same record.
    int look = i < 0 ? n - 1 : i;
    intptr_t data = 0;
    if (!t.list->item_data(look, &data)) return scan_rows(t, n, ip);
    if (reinterpret_cast<DeviceRecord*>(data) == t.row_records[look]) return i;
    t.rows_known = false;
  }
  return scan_rows(t, n, ip);
}

}  // namespace

int row_icon(const DeviceRecord& r) {
  if (r.unreachable != 0) return ICON_NO_REPLY;
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
  if (!t.list) return 0;
  int small = t.list->small_icon_width();
  for (int c = 0; c < DEVICE_COLUMNS; ++c) {
    int width = COLUMNS[c].width + (c == 0 ? small : 0);
    if (t.list->insert_column(c, COLUMNS[c].header, width) < 0) return 0;
  }
  return t.list->attach_row_icons(ROW_ICON_RESOURCES, 3);
}

int row_count(DeviceTable& t) { return t.list ? t.list->item_count() : 0; }

DeviceRecord* row_record(DeviceTable& t, int row) {
  if (!t.list || row < 0 || row >= t.list->item_count()) return nullptr;
  intptr_t data = 0;
  if (!t.list->item_data(row, &data)) return nullptr;
  return reinterpret_cast<DeviceRecord*>(data);
}

void set_row_icon(DeviceTable& t, int row, int image) {
  if (t.list) t.list->set_item_image(row, image);
}

int show_row_texts(DeviceTable& t, int row, const DeviceRecord& r) {
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
  if (!t.list || row < 0 || row >= t.list->item_count()) return 0;
  char text[64];
  t.list->set_item_text(row, 0, cell_text(text, r, 0));
  return show_row_texts(t, row, r);
}

namespace {

// The merge of a record whose row (or -1: none) is known; n is the row count.
int merge_at(DeviceTable& t, int n, int i, std::unique_ptr<DeviceRecord> r, int copy_account) {
  if (i >= 0) {
    DeviceRecord* row = row_record(t, i);
    row->unreachable = r->unreachable;
    std::memcpy(row->mac, r->mac, sizeof row->mac);
    row->version = r->version;
    if (copy_account) {
      std::memcpy(row->user_name, r->user_name, sizeof row->user_name);
      std::memcpy(row->password, r->password, sizeof row->password);
    }
    set_row_icon(t, i, row_icon(*r));
    show_row_texts(t, i, *row);
    if (t.merged) t.merged(*r);
    return i;
  }
  if (n >= DEVICE_TABLE_LIMIT) {
    if (!t.full_told && t.full) t.full();
    t.full_told = true;
    return -1;
  }
  char text[64];
  int at = t.list->insert_item(n, cell_text(text, *r, 0), row_icon(*r),
                               reinterpret_cast<intptr_t>(r.get()));
  if (at < 0) return -1;
  t.full_told = false;
  DeviceRecord* owned = r.release();
  if (t.rows_known && at == n)
    t.row_records.push_back(owned);
  else
    t.rows_known = false;
  show_row_texts(t, at, *owned);
  if (t.merged) t.merged(*owned);
  return at;
}

}  // namespace

int merge_device(DeviceTable& t, std::unique_ptr<DeviceRecord> r, int copy_account) {
  if (!t.list || !r) return -1;
  int n = t.list->item_count();
  int i = find_row(t, n, r->ip);
  if (i == ROW_UNKNOWN) return -1;  // the incoming record is released on the way out
  return merge_at(t, n, i, std::move(r), copy_account);
}

void merge_devices(DeviceTable& t, std::vector<std::unique_ptr<DeviceRecord>>& records,
                   int copy_account) {
  if (!t.list) {
    records.clear();
    return;
  }
  // The rows are learnt once for the step and found by address in a map:
  // an imported list of any length merges in one pass. Nothing else touches
  // the rows during the step; a row that can't be read leaves each record
  // to the search of merge_device.
  int n = t.list->item_count();
  std::unordered_map<uint32_t, int> rows;
  bool indexed = n == 0 || (find_row(t, n, 0) != ROW_UNKNOWN && t.rows_known);
  if (indexed)
    for (int i = n - 1; i >= 0; --i) rows[t.row_records[static_cast<size_t>(i)]->ip] = i;
  // A new row makes the list rescale its scroll bar and repaint, which
  // costs as much as many merges: with the redraw held, that happens once
  // for all the new rows of the step. Updates in place are cheap as they are.
  bool hold = false;
  for (auto& r : records)
    if (r && (indexed ? !rows.count(r->ip) : find_row(t, n, r->ip) == -1)) hold = true;
  if (hold) t.list->hold_redraw(true);
  for (auto& r : records) {
    if (!r) continue;
    if (!indexed) {
      merge_device(t, std::move(r), copy_account);
      continue;
    }
    const uint32_t ip = r->ip;
    auto known = rows.find(ip);
    int count = t.list->item_count();
    int at = merge_at(t, count, known == rows.end() ? -1 : known->second, std::move(r), copy_account);
    if (at < 0 || (known == rows.end() && at != count)) {
      // The control put the row elsewhere (or refused it): the map no
      // longer says where rows are.
      indexed = false;
      continue;
    }
    rows.emplace(ip, at);
  }
  if (hold) t.list->hold_redraw(false);
  records.clear();
}

int count_checked_rows(ListControl* list) {
  if (!list) return 0;
  int n = list->item_count();
  int checked = 0;
  for (int i = 0; i < n; ++i)
    if ((list->item_state(i, STATE_CHECK_MASK) & STATE_CHECK_MASK) != STATE_UNCHECKED) ++checked;
  return checked;
}

int find_row(DeviceTable& t, uint32_t ip) {
  if (!t.list) return -1;
  int row = find_row(t, t.list->item_count(), ip);
  return row < 0 ? -1 : row;
}

int set_row_result(DeviceTable& t, uint32_t ip, const char* text) {
  int row = find_row(t, ip);
  DeviceRecord* r = row_record(t, row);
  if (!r) return 0;
  std::snprintf(r->result, sizeof r->result, "%s", text);
  t.list->set_item_text(row, RESULT_COLUMN, r->result);
  return 1;
}

void untick_rows(DeviceTable& t, const std::vector<uint32_t>& ips) {
  for (uint32_t ip : ips) {
    int row = find_row(t, ip);
    if (row >= 0) t.list->set_item_checked(row, false);
  }
  update_upgrade_button(t);
}

int row_at_cursor(ListControl* list, ListPoint screen) {
  if (!list) return -1;
  int n = list->item_count();
  if (n < 1) return -1;
  ListPoint bottom;
  ListRect icon;
  if (!list->item_position(n - 1, &bottom) || !list->item_icon_rect(n - 1, &icon)) return -1;
  // The icon rectangle's bottom spans the header and every row; divided by
  // n + 1 it is about one row's height.
  bottom.y += icon.bottom / (n + 1);
  list->client_to_screen(&bottom);
  if (screen.y > bottom.y) return -1;
  for (int i = n - 1; i >= 0; --i) {
    ListPoint p;
    if (!list->item_position(i, &p)) continue;
    list->client_to_screen(&p);
    if (screen.x >= p.x && screen.y > p.y) return i;
  }
  return -1;
}

void update_edit_buttons(DeviceTable& t) {
  if (!t.buttons) return;
  int any = t.list && t.list->selected_count() > 0;
  t.buttons->enable_button(BUTTON_MODIFY, any);
  t.buttons->enable_button(BUTTON_REMOVE, any);
}

void update_upgrade_button(DeviceTable& t) {
  if (!t.buttons) return;
  // The caption stays "Upgrade"; the count would change the button's width
  // needs and the operator sees the ticks anyway.
  t.buttons->enable_button(BUTTON_UPGRADE, count_checked_rows(t.list) > 0);
}

int remove_selected_rows(DeviceTable& t) {
  if (!t.list) return 0;
  t.rows_known = false;
  // From the end, so the indexes not yet visited stay valid.
  for (int i = t.list->item_count() - 1; i >= 0; --i) {
    if (!(t.list->item_state(i, STATE_SELECTED) & STATE_SELECTED)) continue;
    DeviceRecord* r = row_record(t, i);
    if (t.list->delete_item(i)) retire_record(t, r);
  }
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
      return ordered(host_order(a.ip), host_order(b.ip), after);
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
  if (!t.list) return;
  SortParam p{column, t.sort_descending};
  t.list->sort_items(compare_items, reinterpret_cast<intptr_t>(&p));
  t.rows_known = false;
  t.sort_descending = !t.sort_descending;
}

void hold_row_record(DeviceTable& t, DeviceRecord* r) {
  if (!r) return;
  std::lock_guard<std::mutex> lock(t.holds_mutex);
  ++t.holds[r];
}

void drop_row_record(DeviceTable& t, DeviceRecord* r) {
  if (!r) return;
  bool release = false;
  {
    std::lock_guard<std::mutex> lock(t.holds_mutex);
    auto it = t.holds.find(r);
    if (it == t.holds.end()) return;
    if (--it->second > 0) return;
    t.holds.erase(it);
    auto gone = std::find(t.retired.begin(), t.retired.end(), r);
    if (gone != t.retired.end()) {
      t.retired.erase(gone);
      release = true;
    }
  }
  if (release) delete r;
}

void release_device_records(DeviceTable& t) {
  t.rows_known = false;
  t.row_records.clear();
  if (t.list) {
    for (int i = t.list->item_count() - 1; i >= 0; --i) {
      intptr_t data = 0;
      int have = t.list->item_data(i, &data);
      t.list->delete_item(i);
      if (have) delete reinterpret_cast<DeviceRecord*>(data);
    }
  }
  std::lock_guard<std::mutex> lock(t.holds_mutex);
  for (DeviceRecord* r : t.retired) delete r;
  t.retired.clear();
  t.holds.clear();
}
