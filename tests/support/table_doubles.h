#pragma once
// What the device-table tests share: the in-memory list with failure
// injection and counters, and a card's record to merge. For tests and
// benchmarks only.
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "devices/device_table.h"

// A list control held in memory, with the list view's row, state and sort
// semantics: what the table's view does, without windows.
class InMemoryList : public ListControl {
 public:
  struct Row {
    char texts[DEVICE_COLUMNS][64];
    int image;
    uint32_t state;
    intptr_t data;
  };
  std::vector<Row> rows;
  std::vector<std::pair<int, int>> columns;  // (width, header length)
  std::vector<int> icons;
  uint32_t ex_style = 0;

  int insert_column(int index, const char* header, int width) override;
  int set_extended_style(uint32_t bits) override;
  int attach_row_icons(const int* resource_ids, int count) override;
  int small_icon_width() override { return 16; }
  int item_count() override { return static_cast<int>(rows.size()); }
  int selected_count() override;
  int item_data(int index, intptr_t* data) override;
  int set_item_data(int index, intptr_t data) override;
  int insert_item(int index, const char* text, int image) override;
  int set_item_image(int index, int image) override;
  int set_item_text(int index, int column, const char* text) override;
  int set_item_checked(int index, bool on) override {
    set_checked(index, on);
    return index >= 0 && index < item_count();
  }
  int item_text(int index, int column, char* buf, int cap) override;
  void hold_redraw(bool) override {}
  uint32_t item_state(int index, uint32_t mask) override;
  int delete_item(int index) override;
  int sort_items(RowCompare compare, intptr_t param) override;

  // What the operator does with the mouse.
  void set_checked(int index, bool on);
  void set_selected(int index, bool on);
};

// The in-memory list with what tests look at: a row whose data cannot be read back,
// how often a cell was written, whether the redraw is held.
class MemoryList : public InMemoryList {
 public:
  int fail_data_at = -1;  // item_data fails for this index
  bool refuse_inserts = false;  // insert_item fails
  int text_writes = 0;    // set_item_text calls that reached a row
  int redraw_held = 0;

  int item_data(int index, intptr_t* data) override {
    return index == fail_data_at ? 0 : InMemoryList::item_data(index, data);
  }
  int insert_item(int index, const char* text, int image) override {
    return refuse_inserts ? -1 : InMemoryList::insert_item(index, text, image);
  }
  int set_item_text(int index, int column, const char* text) override {
    int written = InMemoryList::set_item_text(index, column, text);
    text_writes += written;
    return written;
  }
  void hold_redraw(bool hold) override { redraw_held += hold ? 1 : -1; }
};

// A filled record of a card: MAC 00-0a-ff-10-20-<mac_last>, user "admin".
std::unique_ptr<DeviceRecord> test_card(const char* ip, uint8_t mac_last, uint32_t version,
                                        uint32_t unanswered_queries = 0, int32_t write_refused = 0);
