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

// The in-memory list with what tests look at: a row that cannot be read,
// how often a cell was written, whether the redraw is held.
class MemoryList : public InMemoryList {
 public:
  int fail_data_at = -1;  // item_data fails for this index
  int text_writes = 0;    // set_item_text calls that reached a row
  int redraw_held = 0;

  int item_data(int index, intptr_t* data) override {
    return index == fail_data_at ? 0 : InMemoryList::item_data(index, data);
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
                                        uint32_t unreachable = 0, int32_t write_refused = 0);
