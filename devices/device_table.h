#pragma once
// The table of known cards: one row per card address, its icon, its five
// cell texts, sorting, check boxes and selection. The model (the records, by
// address and in display order) is the table; a list control, reached
// through a small port, shows it: the list view in the product, none in the
// command-line tool, an in-memory double in tests.
//
// Threads: the table and its records belong to the thread that owns it (the
// list view's, where there is one). Other threads hand their table work to that thread through a
// TableExecutor; nothing here takes a lock around rows.
#include <cstdint>
#include <functional>
#include <memory>
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

// The main panel's controls. Each one's id is also its index among the
// panel's handles, so one number names both; the panel's table of rows is
// checked against this order where it is written.
enum PanelControl : int {
  PANEL_PAGE = 0,  // the page itself, the table's header row
  PANEL_LIST,
  PANEL_ADD,
  PANEL_MODIFY,
  PANEL_REMOVE,
  PANEL_DISCOVER,
  PANEL_VERSION,
  PANEL_DATE_CODE,
  PANEL_FILE_SIZE,
  PANEL_OPEN,
  PANEL_FILE_NAME,
  PANEL_UPGRADE,
  PANEL_LIST_FRAME,  // " UPS List ", created with id 13
  PANEL_IMAGE_FRAME,
  PANEL_VERSION_LABEL,
  PANEL_DATE_CODE_LABEL,
  PANEL_FILE_SIZE_LABEL,
  PANEL_FILE_NAME_LABEL,
  PANEL_HANDLES,
};
static_assert(PANEL_UPGRADE == 11 && PANEL_HANDLES == 18, "the panel's ids are the operator's");

// Main panel buttons whose enable state follows the table.
inline constexpr int BUTTON_MODIFY = PANEL_MODIFY;
inline constexpr int BUTTON_REMOVE = PANEL_REMOVE;
inline constexpr int BUTTON_UPGRADE = PANEL_UPGRADE;
inline constexpr int BUTTON_DISCOVER = PANEL_DISCOVER;
inline constexpr int BUTTON_OPEN = PANEL_OPEN;

// The most cards the table holds; a flood of made-up replies stops here.
inline constexpr int DEVICE_TABLE_LIMIT = 65536;

inline constexpr int DEVICE_COLUMNS = 6;
inline constexpr int RESULT_COLUMN = 5;

// Sort callback: item data of two rows and the caller's parameter.
using RowCompare = int (*)(intptr_t a, intptr_t b, intptr_t param);

// The list-control operations the table's view needs. Indexes are current
// row indexes (0 = top); they shift on delete and sort. The control shows
// rows; it keeps no record: an item's data is used only as the key of a
// sort, to learn where the control put each row.
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
  virtual int set_item_data(int index, intptr_t data) = 0;
  virtual int insert_item(int index, const char* text, int image) = 0;  // index or -1
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
  // Stable: rows that compare equal keep their order.
  virtual int sort_items(RowCompare compare, intptr_t param) = 0;
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

using MergeListener = std::function<void(const DeviceRecord&)>;

// The table of cards: the model owns the records, in display order, with an
// index by address; a list control, when there is one, shows them row for
// row (row i of the control is rows[i]). The command-line tool has the
// model alone.
struct DeviceTable {
  ListControl* list = nullptr;    // may be null: no view
  ButtonPort* buttons = nullptr;  // may be null: no buttons to update
  int sort_descending = 0;        // one flag for every column, flipped after each sort
  // Told once when a new card is refused because the table is full; again
  // only after a new card has found room since.
  std::function<void()> full;
  bool full_told = false;
  // A run holds its cards: Upgrade, Remove, Discover and Open are refused
  // (and greyed) meanwhile; looking, sorting and the menu's lists stay.
  bool run_holds = false;

  // Each row's record in display order. A dialog or a batch that keeps one
  // beyond a step holds a copy of its pointer: a row removed meanwhile
  // frees its record at the last holder's drop.
  std::vector<std::shared_ptr<DeviceRecord>> rows;
  // The first row of each address. Rows move on sort and removal, and the
  // account dialog writes a new address into a row's record: each of these
  // builds the index again (reindex_rows).
  std::unordered_map<uint32_t, int> by_address;

  // Told of every merged record, after the merge (on the table's thread),
  // in the order they subscribed.
  struct Listener {
    int id;
    std::shared_ptr<const MergeListener> tell;  // null once unsubscribed
  };
  std::vector<Listener> listeners;
  int next_listener = 1;
  int telling = 0;  // merges telling their listeners right now
};

// Adds a listener of the table's merges; the returned id takes it off again.
// Both on the table's thread.
int subscribe_merges(DeviceTable& t, MergeListener tell);
void unsubscribe_merges(DeviceTable& t, int id);

// Icon rule: unanswered queries -> ICON_NO_REPLY, else write refused ->
// ICON_NO_WRITE, else ICON_READY.
int row_icon(const DeviceRecord& r);

// Cell text of column 1..5 (column 0 is the address) into buf (>= 64 bytes).
const char* cell_text(char* buf, const DeviceRecord& r, int column);
// "%d.%02d", or "--.--" for version 0, into buf (>= 16 bytes).
const char* version_text(char* buf, uint32_t version);

// Columns, widths, headers and the row icons. 1 on success; with no view,
// nothing to do (1).
int init_device_table(DeviceTable& t);

// Merges a card's record by address. The table owns the record from here on:
// it becomes a new row's record, or its fields are copied into the existing
// row's record (the account only when copy_account is non-zero) and it is
// released. Returns the row index, or -1 when the view refused the row or a
// new card finds the table full (DEVICE_TABLE_LIMIT rows).
int merge_device(DeviceTable& t, std::unique_ptr<DeviceRecord> r, int copy_account);
// Merges the records one by one, in order, as one step; empties the list.
void merge_devices(DeviceTable& t, std::vector<std::unique_ptr<DeviceRecord>>& records,
                   int copy_account);

void set_row_icon(DeviceTable& t, int row, int image);
// Cells 1..5; a cell that already shows its text is left alone.
int show_row_texts(DeviceTable& t, int row, const DeviceRecord& r);
// Cells 0..5, after the account dialog changed the row's record (its
// address too: the index follows); 0 off range.
int refresh_row(DeviceTable& t, int row, const DeviceRecord& r);
DeviceRecord* row_record(DeviceTable& t, int row);  // null off range
// The row's record, shared: it outlives the row's removal while held.
std::shared_ptr<DeviceRecord> hold_row(DeviceTable& t, int row);
int row_count(const DeviceTable& t);
// Builds the address index again from the rows.
void reindex_rows(DeviceTable& t);

// Rows whose check box is not cleared (a row without one counts); 0 with
// no view.
int count_checked_rows(DeviceTable& t);
// The row of a card address, or -1.
int find_row(const DeviceTable& t, uint32_t ip);
// The card's Result cell (cut to fit); 0 when the address has no row.
int set_row_result(DeviceTable& t, uint32_t ip, const char* text);
// Unticks the rows of these addresses (ticks them: ticked); the others keep
// their ticks.
void untick_rows(DeviceTable& t, const std::vector<uint32_t>& ips, bool ticked = false);
void update_edit_buttons(DeviceTable& t);
void update_upgrade_button(DeviceTable& t);
// Sets run_holds and every button it greys.
void hold_for_run(DeviceTable& t, bool holds);
// Removes nothing while a run holds the cards.
int remove_selected_rows(DeviceTable& t);

// Negative, 0 or positive; ascending while sort_descending is 0.
int compare_rows(const DeviceRecord& a, const DeviceRecord& b, int column, int sort_descending);
void sort_rows(DeviceTable& t, int column);

// Empties the table, rows and view, at the end of its owner. Records still
// held live on with their holders.
void release_device_records(DeviceTable& t);

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
