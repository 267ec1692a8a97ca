#pragma once
// The table of known cards: one row per card address, its icon, its five
// cell texts, sorting, check boxes and selection. The logic works on a list
// control through a small port, so it runs on the real list view in the
// product and on an in-memory list without windows.
//
// Threads: the table and its records belong to the thread that owns the list
// control. Other threads hand their table work to that thread through a
// TableExecutor; nothing here takes a lock around rows.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "protocol/sysinfo.h"

// Row icons, in the order the image list is filled.
inline constexpr int ICON_NO_REPLY = 0;  // resource 104
inline constexpr int ICON_READY = 1;     // resource 103
inline constexpr int ICON_NO_WRITE = 2;  // resource 116
inline constexpr int ROW_ICON_RESOURCES[3] = {104, 103, 116};

// Row state bits as the list view reports them.
inline constexpr uint32_t STATE_SELECTED = 0x0002;
inline constexpr uint32_t STATE_CHECK_MASK = 0xF000;
inline constexpr uint32_t STATE_UNCHECKED = 0x1000;
inline constexpr uint32_t STATE_CHECKED = 0x2000;

// Grid lines, check boxes, full-row select.
inline constexpr uint32_t DEVICE_TABLE_EX_STYLE = 0x25;

// Main panel buttons whose enable state follows the table.
inline constexpr int BUTTON_MODIFY = 3;
inline constexpr int BUTTON_REMOVE = 4;
inline constexpr int BUTTON_UPGRADE = 11;

// The most cards the table holds; a flood of made-up replies stops here.
inline constexpr int DEVICE_TABLE_LIMIT = 65536;

inline constexpr int DEVICE_COLUMNS = 6;
inline constexpr int RESULT_COLUMN = 5;

struct ListPoint {
  int32_t x, y;
};
struct ListRect {
  int32_t left, top, right, bottom;
};

// Sort callback: item data of two rows and the caller's parameter.
using RowCompare = int (*)(intptr_t a, intptr_t b, intptr_t param);

// The list-control operations the table needs. Indexes are current row
// indexes (0 = top); they shift on delete and sort.
class ListControl {
 public:
  virtual ~ListControl() = default;
  virtual int insert_column(int index, const char* header, int width) = 0;  // centred text
  virtual int set_extended_style(uint32_t bits) = 0;
  // Builds the small image list from icon resources, in the given order.
  virtual int attach_row_icons(const int* resource_ids, int count) = 0;
  virtual int small_icon_width() = 0;
  virtual int item_count() = 0;
  virtual int selected_count() = 0;
  virtual int item_data(int index, intptr_t* data) = 0;  // 0 when the row can't be read
  virtual int insert_item(int index, const char* text, int image, intptr_t data) = 0;  // index or -1
  virtual int set_item_image(int index, int image) = 0;
  virtual int set_item_text(int index, int column, const char* text) = 0;
  virtual int set_item_checked(int index, bool on) = 0;
  // A cell's text into buf (cap bytes, NUL-terminated); 0 when unreadable.
  virtual int item_text(int index, int column, char* buf, int cap) = 0;
  // While held, the control does not repaint or rescale for each change;
  // releasing it shows all of them at once.
  virtual void hold_redraw(bool hold) = 0;
  virtual uint32_t item_state(int index, uint32_t mask) = 0;
  virtual int delete_item(int index) = 0;
  virtual int sort_items(RowCompare compare, intptr_t param) = 0;
  virtual int item_position(int index, ListPoint* client) = 0;
  virtual int item_icon_rect(int index, ListRect* client) = 0;
  virtual int client_to_screen(ListPoint* p) = 0;
};

// Enables and disables the main panel's buttons (EnableWindow in the product).
class ButtonPort {
 public:
  virtual ~ButtonPort() = default;
  virtual void enable_button(int id, int enabled) = 0;
};

// Runs one step on the thread that owns the table and waits for it; a call
// from that thread runs the step at once. Returns 0 when the step could not
// be run (the owner is gone), in which case it did not run.
class TableExecutor {
 public:
  virtual ~TableExecutor() = default;
  virtual int run(const std::function<void()>& step) = 0;
};

struct DeviceTable {
  ListControl* list = nullptr;
  ButtonPort* buttons = nullptr;  // may be null: no buttons to update
  int sort_descending = 0;        // one flag for every column, flipped after each sort
  // Told of every merged record, after the merge (on the table's thread).
  std::function<void(const DeviceRecord&)> merged;
  // Told once when a new card is refused because the table is full; again
  // only after a new card has found room since.
  std::function<void()> full;
  bool full_told = false;

  // Each row's record in display order, kept beside the control so that a
  // merge finds a card's row without asking the control row by row. Learnt
  // again from the control after a sort or a removal, or when its length no
  // longer matches the control's.
  std::vector<DeviceRecord*> row_records;
  bool rows_known = false;

  // Records of removed rows that a dialog or a batch still holds.
  std::mutex holds_mutex;
  std::unordered_map<DeviceRecord*, int> holds;
  std::vector<DeviceRecord*> retired;
};

// Icon rule: unreachable -> ICON_NO_REPLY, else write refused -> ICON_NO_WRITE,
// else ICON_READY.
int row_icon(const DeviceRecord& r);

// Cell text of column 1..5 (column 0 is the address) into buf (>= 64 bytes).
const char* cell_text(char* buf, const DeviceRecord& r, int column);
// "%d.%02d", or "--.--" for version 0, into buf (>= 16 bytes).
const char* version_text(char* buf, uint32_t version);

// Columns, widths, headers and the row icons. 1 on success.
int init_device_table(DeviceTable& t);

// Merges a card's record by address. The table owns the record from here on:
// it becomes a new row's record, or its fields are copied into the existing
// row's record (the account only when copy_account is non-zero) and it is
// released. Returns the row index, or -1 when a row could not be read or a
// new card finds the table full (DEVICE_TABLE_LIMIT rows).
int merge_device(DeviceTable& t, std::unique_ptr<DeviceRecord> r, int copy_account);
// Merges the records one by one, in order, as one step; empties the list.
void merge_devices(DeviceTable& t, std::vector<std::unique_ptr<DeviceRecord>>& records,
                   int copy_account);

void set_row_icon(DeviceTable& t, int row, int image);
// Cells 1..5; a cell that already shows its text is left alone.
int show_row_texts(DeviceTable& t, int row, const DeviceRecord& r);
int refresh_row(DeviceTable& t, int row, const DeviceRecord& r);     // cells 0..5; 0 off range
DeviceRecord* row_record(DeviceTable& t, int row);                   // null off range
int row_count(DeviceTable& t);

int count_checked_rows(ListControl* list);
// The row of a card address, or -1.
int find_row(DeviceTable& t, uint32_t ip);
// The card's Result cell (cut to fit); 0 when the address has no row.
int set_row_result(DeviceTable& t, uint32_t ip, const char* text);
// Unticks the rows of these addresses; the others keep their ticks.
void untick_rows(DeviceTable& t, const std::vector<uint32_t>& ips);
int row_at_cursor(ListControl* list, ListPoint screen);  // -1 when none
void update_edit_buttons(DeviceTable& t);
void update_upgrade_button(DeviceTable& t);
int remove_selected_rows(DeviceTable& t);

// Negative, 0 or positive; ascending while sort_descending is 0.
int compare_rows(const DeviceRecord& a, const DeviceRecord& b, int column, int sort_descending);
void sort_rows(DeviceTable& t, int column);

// A dialog or an upgrade batch that keeps a row's record beyond one step
// holds it; a record whose row is removed meanwhile is released at the last
// drop instead of at the removal. Callable from any thread.
void hold_row_record(DeviceTable& t, DeviceRecord* r);
void drop_row_record(DeviceTable& t, DeviceRecord* r);

// Releases every record (rows and removed ones) at the end of the program;
// the rows themselves are left to the control.
void release_device_records(DeviceTable& t);

// A list control held in memory, with the list view's row, state and sort
// semantics, for a front without windows (the command-line tool). The
// geometry is that of a report view with equal row heights: the header
// counts as one row.
class InMemoryList : public ListControl {
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
  int set_item_checked(int index, bool on) override {
    set_checked(index, on);
    return index >= 0 && index < item_count();
  }
  int item_text(int index, int column, char* buf, int cap) override;
  void hold_redraw(bool) override {}
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

// A thread of its own that owns the table where no window's thread does
// (the command-line tool, the tests): runs the steps handed to it one at a
// time, in order. Also measures the longest step, which is how long a merge
// keeps the owner busy.
class TableThread : public TableExecutor {
 public:
  TableThread();
  ~TableThread() override;  // finishes queued steps, then ends the thread
  int run(const std::function<void()>& step) override;
  int64_t longest_step_ns() const;
  void reset_longest_step();
  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Win32 adapters (Windows build only). The list view is a SysListView32
// window; the buttons are looked up among the panel's handles by id.
ListControl* open_list_view(void* hwnd, void* instance);
// handles[id] is the button with that id (the main panel handles).
ButtonPort* open_panel_buttons(void* const* handles, int count);
