#pragma once
// Test doubles of the device table's ports: an in-memory list control and a
// thread standing in for the interface thread; and a card's record to merge.
// For tests and benchmarks only.
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "devices/device_table.h"

// In-memory list with the list view's row, state and sort semantics, for
// native builds and tests. The geometry is that of a report view with equal
// row heights: the header counts as one row.
class MemoryList : public ListControl {
 public:
  struct Row {
    char texts[DEVICE_COLUMNS][64];
    int image;
    uint32_t state;
    intptr_t data;
  };
  int row_height = 17;
  ListPoint origin{100, 200};  // client (0,0) on the screen
  std::vector<Row> rows;
  std::vector<std::pair<int, int>> columns;  // (width, header length)
  std::vector<int> icons;
  uint32_t ex_style = 0;
  int fail_data_at = -1;  // item_data fails for this index (tests)

  int insert_column(int index, const char* header, int width) override;
  int set_extended_style(uint32_t bits) override;
  int attach_row_icons(const int* resource_ids, int count) override;
  int small_icon_width() override { return 16; }
  int item_count() override { return static_cast<int>(rows.size()); }
  int selected_count() override;
  int item_data(int index, intptr_t* data) override;
  int insert_item(int index, const char* text, int image, intptr_t data) override;
  int set_item_image(int index, int image) override;
  int set_item_text(int index, int column, const char* text) override;
  int item_text(int index, int column, char* buf, int cap) override;
  void hold_redraw(bool hold) override { redraw_held += hold ? 1 : -1; }
  int redraw_held = 0;
  int text_writes = 0;  // set_item_text calls that reached a row
  uint32_t item_state(int index, uint32_t mask) override;
  int delete_item(int index) override;
  int sort_items(RowCompare compare, intptr_t param) override;
  int item_position(int index, ListPoint* client) override;
  int item_icon_rect(int index, ListRect* client) override;
  int client_to_screen(ListPoint* p) override;

  // What the operator does with the mouse.
  void set_checked(int index, bool on);
  void set_selected(int index, bool on);
};

// A thread of its own standing in for the product's interface thread: runs
// the steps handed to it one at a time, in order. Also measures the longest
// step, which is how long a merge keeps the owner busy.
class ExecutorThread : public TableExecutor {
 public:
  ExecutorThread();
  ~ExecutorThread() override;  // finishes queued steps, then ends the thread
  int run(const std::function<void()>& step) override;
  int64_t longest_step_ns() const;
  void reset_longest_step();
  struct State;

 private:
  std::shared_ptr<State> state_;
};

// A filled record of a card: MAC 00-0a-ff-10-20-<mac_last>, user "admin".
std::unique_ptr<DeviceRecord> test_card(const char* ip, uint8_t mac_last, uint32_t version,
                                        uint32_t unreachable = 0, int32_t write_refused = 0);
