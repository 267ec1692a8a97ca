// The in-memory list control of the tests: the list view's row, state and
// sort semantics, without windows.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/support/table_doubles.h"

namespace {

bool in_range(const std::vector<InMemoryList::Row>& rows, int index) {
  return index >= 0 && index < static_cast<int>(rows.size());
}

}  // namespace

int InMemoryList::insert_column(int index, const char* header, int width) {
  if (index < 0 || index > static_cast<int>(columns.size())) return -1;
  columns.insert(columns.begin() + index, {width, static_cast<int>(std::strlen(header))});
  return index;
}

int InMemoryList::set_extended_style(uint32_t bits) {
  ex_style = bits;
  return 1;
}

int InMemoryList::attach_row_icons(const int* resource_ids, int count) {
  icons.assign(resource_ids, resource_ids + count);
  return 1;
}

int InMemoryList::selected_count() {
  return static_cast<int>(
      std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.state & 0x0002; }));
}

int InMemoryList::item_data(int index, intptr_t* data) {
  if (!in_range(rows, index)) return 0;
  *data = rows[index].data;
  return 1;
}

int InMemoryList::set_item_data(int index, intptr_t data) {
  if (!in_range(rows, index)) return 0;
  rows[index].data = data;
  return 1;
}

int InMemoryList::insert_item(int index, const char* text, int image) {
  if (index < 0) return -1;
  // Like the list view: an index past the end appends.
  index = std::min(index, static_cast<int>(rows.size()));
  Row r{};
  std::snprintf(r.texts[0], sizeof r.texts[0], "%s", text);
  r.image = image;
  // A list with check boxes gives every new row the unchecked state image.
  r.state = (ex_style & 0x04) ? 0x1000 : 0;
  rows.insert(rows.begin() + index, r);
  return index;
}

int InMemoryList::set_item_image(int index, int image) {
  if (!in_range(rows, index)) return 0;
  rows[index].image = image;
  return 1;
}

int InMemoryList::set_item_text(int index, int column, const char* text) {
  if (!in_range(rows, index) || column < 0 || column >= DEVICE_COLUMNS) return 0;
  std::snprintf(rows[index].texts[column], sizeof rows[index].texts[column], "%s", text);
  return 1;
}

int InMemoryList::item_text(int index, int column, char* buf, int cap) {
  if (!in_range(rows, index) || column < 0 || column >= DEVICE_COLUMNS || cap < 1) return 0;
  std::snprintf(buf, cap, "%s", rows[index].texts[column]);
  return 1;
}

uint32_t InMemoryList::item_state(int index, uint32_t mask) {
  return in_range(rows, index) ? rows[index].state & mask : 0;
}

int InMemoryList::delete_item(int index) {
  if (!in_range(rows, index)) return 0;
  rows.erase(rows.begin() + index);
  return 1;
}

int InMemoryList::sort_items(RowCompare compare, intptr_t param) {
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    return compare(a.data, b.data, param) < 0;
  });
  return 1;
}

void InMemoryList::set_checked(int index, bool on) {
  if (!in_range(rows, index)) return;
  rows[index].state = (rows[index].state & ~0xF000u) | (on ? 0x2000u : 0x1000u);
}

void InMemoryList::set_selected(int index, bool on) {
  if (!in_range(rows, index)) return;
  rows[index].state = on ? rows[index].state | 0x0002u : rows[index].state & ~0x0002u;
}
