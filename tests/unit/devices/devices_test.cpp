#include <gtest/gtest.h>

#include <chrono>
#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "devices/card_list.h"
#include "devices/device_table.h"
#include "devices/status_line.h"
#include "protocol/packet.h"
#include "tests/support/table_doubles.h"

namespace {

struct FakeButtons : ButtonPort {
  std::map<int, int> enabled;
  void enable_button(int id, int on) override { enabled[id] = on; }
};

struct Table {
  MemoryList list;
  FakeButtons buttons;
  DeviceTable t;
  Table() {
    list.set_extended_style(DEVICE_TABLE_EX_STYLE);
    t.list = &list;
    t.buttons = &buttons;
    init_device_table(t);
  }
  ~Table() { release_device_records(t); }
  std::string text(int row, int col) const { return list.rows.at(row).texts[col]; }
  std::vector<std::string> column(int col) const {
    std::vector<std::string> out;
    for (const auto& r : list.rows) out.push_back(r.texts[col]);
    return out;
  }
};

TEST(DeviceTable, InitInsertsColumnsAndIconsInOrder) {
  Table tb;
  std::vector<int> widths;
  for (auto& c : tb.list.columns) widths.push_back(c.first);
  EXPECT_EQ(widths, (std::vector<int>{116, 110, 65, 85, 60, 150}));  // small icon 16 + 100
  EXPECT_EQ(tb.list.icons, (std::vector<int>{104, 103, 116}));
}

TEST(DeviceTable, MergeOfNewAddressAppendsRowOwningTheRecord) {
  Table tb;
  auto r = test_card("10.69.0.5", 0x3b, 0x0102);
  DeviceRecord* raw = r.get();
  EXPECT_EQ(merge_device(tb.t, std::move(r), 0), 0);
  ASSERT_EQ(tb.list.item_count(), 1);
  EXPECT_EQ(row_record(tb.t, 0), raw);
  EXPECT_EQ(tb.column(0), std::vector<std::string>{"10.69.0.5"});
  EXPECT_EQ(tb.text(0, 1), "00-0a-ff-10-20-3b");
  EXPECT_EQ(tb.text(0, 2), "1.02");
  EXPECT_EQ(tb.text(0, 3), "admin");
  EXPECT_EQ(tb.text(0, 4), "");
  EXPECT_EQ(tb.list.rows[0].image, ICON_READY);
  EXPECT_EQ(tb.list.item_state(0, 0xFFFF), STATE_UNCHECKED);
}

TEST(DeviceTable, MergeOfListedAddressUpdatesInPlaceAndKeepsAccount) {
  Table tb;
  merge_device(tb.t, test_card("10.69.0.5", 0x01, 0x0102), 0);
  merge_device(tb.t, test_card("10.69.0.6", 0x02, 0x0102), 0);
  DeviceRecord* row = row_record(tb.t, 0);
  std::strcpy(row->user_name, "operator");
  std::strcpy(row->password, "secret");
  row->filled = 7;

  auto update = test_card("10.69.0.5", 0x99, 0x010A, 1);
  std::strcpy(update->user_name, "admin");
  EXPECT_EQ(merge_device(tb.t, std::move(update), 0), 0);
  EXPECT_EQ(tb.list.item_count(), 2);
  EXPECT_EQ(row_record(tb.t, 0), row);
  EXPECT_EQ(row->mac[5], 0x99);
  EXPECT_EQ(row->version, 0x010Au);
  EXPECT_EQ(row->unanswered_queries, 1u);
  EXPECT_EQ(row->filled, 7);
  EXPECT_STREQ(row->user_name, "operator");
  EXPECT_STREQ(row->password, "secret");
  EXPECT_EQ(tb.list.rows[0].image, ICON_NO_REPLY);
  EXPECT_EQ(tb.text(0, 1), "00-0a-ff-10-20-99");
  EXPECT_EQ(tb.text(0, 2), "1.10");
  EXPECT_EQ(tb.text(0, 3), "operator");
}

TEST(DeviceTable, MergeWithAccountFlagOverwritesAccount) {
  Table tb;
  merge_device(tb.t, test_card("10.69.0.5", 0x01, 0x0102), 0);
  auto typed = test_card("10.69.0.5", 0x01, 0x0102);
  std::strcpy(typed->user_name, "root");
  std::strcpy(typed->password, "pw");
  merge_device(tb.t, std::move(typed), 1);
  EXPECT_STREQ(row_record(tb.t, 0)->user_name, "root");
  EXPECT_STREQ(row_record(tb.t, 0)->password, "pw");
  EXPECT_EQ(tb.text(0, 3), "root");
  EXPECT_EQ(tb.text(0, 4), "pw");
}

// The view keeps no record: the model is the table, with or without a view.
TEST(DeviceTable, ViewRefusingARowLeavesTheModelAsTheViewShowsIt) {
  Table tb;
  merge_device(tb.t, test_card("10.69.0.5", 0x01, 0x0102), 0);
  tb.list.refuse_inserts = true;
  EXPECT_EQ(merge_device(tb.t, test_card("10.69.0.9", 0x02, 0x0102), 0), -1);
  EXPECT_EQ(row_count(tb.t), 1);
  EXPECT_EQ(find_row(tb.t, text_to_ip("10.69.0.9")), -1);
  tb.list.refuse_inserts = false;
  EXPECT_EQ(merge_device(tb.t, test_card("10.69.0.9", 0x02, 0x0102), 0), 1);
  for (const auto& row : tb.list.rows) EXPECT_EQ(row.data, 0);  // no record in the items
}

TEST(DeviceTable, ModelWithoutAViewMergesSortsAndTellsItsListeners) {
  DeviceTable t;
  EXPECT_EQ(init_device_table(t), 1);
  std::vector<std::string> heard_a, heard_b;
  int a = subscribe_merges(t, [&](const DeviceRecord& r) { heard_a.push_back(ip_to_text(r.ip)); });
  subscribe_merges(t, [&](const DeviceRecord& r) { heard_b.push_back(ip_to_text(r.ip)); });
  for (const char* ip : {"10.0.0.3", "10.0.0.1", "10.0.0.2"}) merge_device(t, test_card(ip, 1, 1), 0);
  EXPECT_EQ(merge_device(t, test_card("10.0.0.1", 1, 0x0203), 0), 1);
  EXPECT_EQ(row_record(t, 1)->version, 0x0203u);
  unsubscribe_merges(t, a);
  merge_device(t, test_card("10.0.0.4", 1, 1), 0);
  EXPECT_EQ(heard_a, (std::vector<std::string>{"10.0.0.3", "10.0.0.1", "10.0.0.2", "10.0.0.1"}));
  EXPECT_EQ(heard_b.size(), 5u);
  sort_rows(t, 0);
  std::vector<std::string> order;
  for (int i = 0; i < row_count(t); ++i) order.push_back(ip_to_text(row_record(t, i)->ip));
  EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}));
  EXPECT_EQ(find_row(t, text_to_ip("10.0.0.3")), 2);
  EXPECT_TRUE(set_row_result(t, text_to_ip("10.0.0.3"), "OK"));
  EXPECT_STREQ(row_record(t, 2)->result, "OK");
  EXPECT_EQ(count_checked_rows(t), 0);
  release_device_records(t);
  EXPECT_EQ(row_count(t), 0);
  EXPECT_EQ(find_row(t, text_to_ip("10.0.0.3")), -1);
}

// A listener that leaves while it is told, and one that joins then, do not
// disturb the others of the same merge.
TEST(DeviceTable, ListenersMayLeaveAndJoinWhileTold) {
  Table tb;
  std::vector<int> told;
  int first = 0;
  first = subscribe_merges(tb.t, [&](const DeviceRecord&) {
    told.push_back(1);
    unsubscribe_merges(tb.t, first);
    subscribe_merges(tb.t, [&](const DeviceRecord&) { told.push_back(3); });
  });
  subscribe_merges(tb.t, [&](const DeviceRecord&) { told.push_back(2); });
  merge_device(tb.t, test_card("10.0.0.1", 1, 1), 0);
  merge_device(tb.t, test_card("10.0.0.1", 1, 2), 0);
  EXPECT_EQ(told, (std::vector<int>{1, 2, 3, 2, 3}));
}

TEST(DeviceTable, IconRule) {
  struct Case {
    uint32_t unanswered_queries;
    int32_t write_refused;
    int icon;
  } cases[] = {
      {2, 0, ICON_NO_REPLY}, {1, 1, ICON_NO_REPLY}, {0, 1, ICON_NO_WRITE}, {0, 0, ICON_READY}};
  for (const Case& c : cases) {
    auto r = test_card("10.0.0.1", 1, 1, c.unanswered_queries, c.write_refused);
    EXPECT_EQ(row_icon(*r), c.icon) << c.unanswered_queries << "/" << c.write_refused;
  }
}

TEST(DeviceTable, VersionTexts) {
  struct Case {
    uint32_t version;
    const char* text;
  } cases[] = {{0x0102, "1.02"}, {0x010A, "1.10"}, {0, "--.--"}, {556, "2.44"}, {0x1FF05, "255.05"}};
  char buf[16];
  for (const Case& c : cases) EXPECT_STREQ(version_text(buf, c.version), c.text);
}

TEST(DeviceTable, RefreshRowRewritesAllCellsAndRefusesOffRange) {
  Table tb;
  merge_device(tb.t, test_card("10.69.0.5", 0x01, 0x0102), 0);
  DeviceRecord* row = row_record(tb.t, 0);
  row->ip = text_to_ip("10.69.0.77");
  EXPECT_EQ(refresh_row(tb.t, 0, *row), 1);
  EXPECT_EQ(tb.text(0, 0), "10.69.0.77");
  EXPECT_EQ(refresh_row(tb.t, 1, *row), 0);
  EXPECT_EQ(refresh_row(tb.t, -1, *row), 0);
  EXPECT_EQ(row_record(tb.t, 1), nullptr);
  EXPECT_EQ(row_record(tb.t, -1), nullptr);
}

TEST(DeviceTable, SortByAddressFlipsDirectionEachTime) {
  Table tb;
  for (const char* ip : {"192.168.1.10", "10.0.0.5", "192.168.1.2"})
    merge_device(tb.t, test_card(ip, 1, 1), 0);
  sort_rows(tb.t, 0);
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"10.0.0.5", "192.168.1.2", "192.168.1.10"}));
  sort_rows(tb.t, 0);
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"192.168.1.10", "192.168.1.2", "10.0.0.5"}));
}

TEST(DeviceTable, SortOnAnotherColumnGoesOppositeToThePreviousSort) {
  Table tb;
  merge_device(tb.t, test_card("10.0.0.1", 0x02, 3), 0);
  merge_device(tb.t, test_card("10.0.0.2", 0x03, 1), 0);
  merge_device(tb.t, test_card("10.0.0.3", 0x01, 2), 0);
  sort_rows(tb.t, 0);  // ascending by address
  sort_rows(tb.t, 1);  // so descending by MAC
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"10.0.0.2", "10.0.0.1", "10.0.0.3"}));
  sort_rows(tb.t, 2);  // ascending by version
  EXPECT_EQ(tb.column(2), (std::vector<std::string>{"0.01", "0.02", "0.03"}));
}

TEST(DeviceTable, CompareRows) {
  auto a = test_card("10.0.0.1", 0x10, 5);
  auto b = test_card("10.0.0.1", 0x11, 5);
  EXPECT_LT(compare_rows(*a, *b, 1, 0), 0);
  EXPECT_GT(compare_rows(*a, *b, 1, 1), 0);
  EXPECT_EQ(compare_rows(*a, *a, 1, 0), 0);
  EXPECT_EQ(compare_rows(*a, *b, 0, 0), 0);
  EXPECT_EQ(compare_rows(*a, *b, 2, 0), 0);
  EXPECT_EQ(compare_rows(*a, *b, 3, 0), 0);
  // Bytes compare unsigned.
  b->mac[0] = 0x80;
  EXPECT_LT(compare_rows(*a, *b, 1, 0), 0);
}

TEST(DeviceTable, MergeAfterSortAppendsUntilTheNextSort) {
  Table tb;
  merge_device(tb.t, test_card("10.0.0.3", 1, 1), 0);
  merge_device(tb.t, test_card("10.0.0.1", 1, 1), 0);
  sort_rows(tb.t, 0);
  merge_device(tb.t, test_card("10.0.0.2", 1, 1), 0);
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"10.0.0.1", "10.0.0.3", "10.0.0.2"}));
  sort_rows(tb.t, 0);  // descending now
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"10.0.0.3", "10.0.0.2", "10.0.0.1"}));
}

TEST(DeviceTable, RemoveSelectedRows) {
  Table tb;
  for (int i = 0; i < 5; ++i) {
    std::string ip = "10.0.0." + std::to_string(i);
    merge_device(tb.t, test_card(ip.c_str(), 1, 1), 0);
  }
  remove_selected_rows(tb.t);
  EXPECT_EQ(tb.list.item_count(), 5);
  tb.list.set_selected(1, true);
  tb.list.set_selected(3, true);
  tb.list.set_checked(3, true);  // the only checked row goes too
  update_upgrade_button(tb.t);
  ASSERT_EQ(tb.buttons.enabled[BUTTON_UPGRADE], 1);
  EXPECT_EQ(remove_selected_rows(tb.t), 0);
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"10.0.0.0", "10.0.0.2", "10.0.0.4"}));
  EXPECT_EQ(row_count(tb.t), 3);
  EXPECT_EQ(tb.buttons.enabled[BUTTON_UPGRADE], 0);
  EXPECT_EQ(tb.buttons.enabled[BUTTON_REMOVE], 0);
}

// Past the bound a new card is refused and the operator told once; a card
// already listed is still updated, and once one finds room again the next
// refusal is told again.
TEST(DeviceTable, HoldsAtMostTheLimitAndTellsOnceWhenFull) {
  Table tb;
  int told = 0;
  tb.t.full = [&] { ++told; };
  std::vector<std::unique_ptr<DeviceRecord>> fleet;
  for (int i = 0; i < DEVICE_TABLE_LIMIT; ++i) {
    auto r = test_card("10.0.0.1", 1, 1);
    r->ip = htonl(0x0A000000u + uint32_t(i) + 1);
    fleet.push_back(std::move(r));
  }
  merge_devices(tb.t, fleet, 0);
  EXPECT_EQ(merge_device(tb.t, test_card("10.1.0.1", 1, 1), 0), -1);
  EXPECT_EQ(merge_device(tb.t, test_card("10.1.0.2", 1, 1), 0), -1);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(tb.list.item_count(), DEVICE_TABLE_LIMIT);
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.1", 1, 0x0203), 0), 0);
  EXPECT_EQ(tb.text(0, 2), "2.03");
  EXPECT_EQ(told, 1);

  tb.list.set_selected(7, true);
  remove_selected_rows(tb.t);
  EXPECT_EQ(merge_device(tb.t, test_card("10.1.0.3", 1, 1), 0), DEVICE_TABLE_LIMIT - 1);
  EXPECT_EQ(merge_device(tb.t, test_card("10.1.0.4", 1, 1), 0), -1);
  EXPECT_EQ(told, 2);
}

TEST(DeviceTable, RemovedRecordLivesUntilItsLastHolderDrops) {
  Table tb;
  merge_device(tb.t, test_card("10.0.0.1", 1, 1), 0);
  std::shared_ptr<DeviceRecord> batch = hold_row(tb.t, 0);
  std::weak_ptr<DeviceRecord> seen = batch;
  std::shared_ptr<DeviceRecord> dialog = hold_row(tb.t, 0);
  EXPECT_EQ(hold_row(tb.t, 1), nullptr);
  tb.list.set_selected(0, true);
  remove_selected_rows(tb.t);
  EXPECT_EQ(tb.list.item_count(), 0);
  EXPECT_EQ(row_count(tb.t), 0);
  EXPECT_EQ(batch->ip, text_to_ip("10.0.0.1"));  // still readable by the holders
  batch.reset();
  EXPECT_FALSE(seen.expired());
  dialog.reset();
  EXPECT_TRUE(seen.expired());
}

TEST(DeviceTable, DropOfAListedRecordKeepsIt) {
  Table tb;
  merge_device(tb.t, test_card("10.0.0.1", 1, 1), 0);
  DeviceRecord* r = row_record(tb.t, 0);
  hold_row(tb.t, 0).reset();
  EXPECT_EQ(row_record(tb.t, 0), r);
  EXPECT_EQ(r->ip, text_to_ip("10.0.0.1"));
}

TEST(DeviceTable, CheckedCountAndUpgradeButton) {
  Table tb;
  EXPECT_EQ(count_checked_rows(tb.t), 0);
  update_upgrade_button(tb.t);
  EXPECT_EQ(tb.buttons.enabled[BUTTON_UPGRADE], 0);
  for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) merge_device(tb.t, test_card(ip, 1, 1), 0);
  tb.list.set_checked(0, true);
  tb.list.set_checked(2, true);
  EXPECT_EQ(count_checked_rows(tb.t), 2);
  update_upgrade_button(tb.t);
  EXPECT_EQ(tb.buttons.enabled[BUTTON_UPGRADE], 1);
  // A row with no state image at all is not "unchecked".
  tb.list.rows[1].state = 0;
  EXPECT_EQ(count_checked_rows(tb.t), 3);
}

TEST(DeviceTable, EditButtonsFollowTheSelection) {
  Table tb;
  update_edit_buttons(tb.t);
  EXPECT_EQ(tb.buttons.enabled[BUTTON_MODIFY], 0);
  EXPECT_EQ(tb.buttons.enabled[BUTTON_REMOVE], 0);
  merge_device(tb.t, test_card("10.0.0.1", 1, 1), 0);
  tb.list.set_selected(0, true);
  update_edit_buttons(tb.t);
  EXPECT_EQ(tb.buttons.enabled[BUTTON_MODIFY], 1);
  EXPECT_EQ(tb.buttons.enabled[BUTTON_REMOVE], 1);
}

// While a run holds the cards, Upgrade, Remove, Discover and Open are grey
// whatever the ticks and the selection, and nothing is removed; Modify
// stays; afterwards the buttons follow the table again.
TEST(DeviceTable, ARunHoldsItsCards) {
  Table tb;
  for (const char* ip : {"10.0.0.1", "10.0.0.2"}) merge_device(tb.t, test_card(ip, 1, 1), 0);
  tb.list.set_checked(0, true);
  tb.list.set_selected(1, true);
  hold_for_run(tb.t, true);
  update_edit_buttons(tb.t);  // a selection change meanwhile
  update_upgrade_button(tb.t);
  for (int id : {BUTTON_UPGRADE, BUTTON_REMOVE, BUTTON_DISCOVER, BUTTON_OPEN})
    EXPECT_EQ(tb.buttons.enabled[id], 0) << id;
  EXPECT_EQ(tb.buttons.enabled[BUTTON_MODIFY], 1);
  EXPECT_EQ(remove_selected_rows(tb.t), 0);
  EXPECT_EQ(row_count(tb.t), 2);
  hold_for_run(tb.t, false);
  for (int id : {BUTTON_UPGRADE, BUTTON_REMOVE, BUTTON_DISCOVER, BUTTON_OPEN})
    EXPECT_EQ(tb.buttons.enabled[id], 1) << id;
}

// Sorting moves the ticks and the selection with their rows, and the model
// follows the control's order: a tick on a card stays that card's.
TEST(DeviceTable, SortKeepsTicksSelectionAndModelWithTheirRows) {
  Table tb;
  merge_device(tb.t, test_card("10.0.0.2", 0x02, 3), 0);
  merge_device(tb.t, test_card("10.0.0.3", 0x01, 1), 0);
  merge_device(tb.t, test_card("10.0.0.1", 0x03, 2), 0);
  tb.list.set_checked(0, true);   // 10.0.0.2
  tb.list.set_selected(1, true);  // 10.0.0.3
  sort_rows(tb.t, 0);
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ip_to_text(row_record(tb.t, i)->ip), tb.text(i, 0));
  EXPECT_EQ(tb.list.item_state(1, STATE_CHECK_MASK), STATE_CHECKED);
  EXPECT_EQ(tb.list.item_state(2, STATE_SELECTED), STATE_SELECTED);
  EXPECT_EQ(find_row(tb.t, text_to_ip("10.0.0.3")), 2);
  // A control whose order cannot be read back: the model sorts itself the
  // same way and every row is shown again from it.
  tb.list.fail_data_at = 1;
  sort_rows(tb.t, 2);  // descending by version: 3, 1, 2 -> .2, .1, .3
  tb.list.fail_data_at = -1;
  EXPECT_EQ(tb.column(2), (std::vector<std::string>{"0.03", "0.02", "0.01"}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ip_to_text(row_record(tb.t, i)->ip), tb.text(i, 0));
}

// The row of an address must be found again after everything that moves
// rows or changes a row's address: a stale lookup updates the wrong card or
// lists one twice.
TEST(DeviceTable, MergeFindsTheRowAfterSortRemovalAndAddressEdits) {
  Table tb;
  for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}) merge_device(tb.t, test_card(ip, 1, 1), 0);
  auto version_of = [&](const char* ip) {
    for (size_t i = 0; i < tb.list.rows.size(); ++i)
      if (tb.text(static_cast<int>(i), 0) == ip) return tb.text(static_cast<int>(i), 2);
    return std::string("not listed");
  };
  sort_rows(tb.t, 0);
  sort_rows(tb.t, 0);  // descending: 4, 3, 2, 1
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.4", 1, 0x0201), 0), 0);
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.1", 1, 0x0202), 0), 3);
  EXPECT_EQ(version_of("10.0.0.4"), "2.01");
  EXPECT_EQ(version_of("10.0.0.1"), "2.02");

  tb.list.set_selected(1, true);  // 10.0.0.3
  remove_selected_rows(tb.t);
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.2", 1, 0x0203), 0), 1);
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.3", 1, 0x0204), 0), 3);  // listed anew, at the end
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"10.0.0.4", "10.0.0.2", "10.0.0.1", "10.0.0.3"}));

  // The account dialog writes a new address into the row's record, then
  // has the index follow, before (or without) the row's texts following.
  row_record(tb.t, 0)->ip = text_to_ip("10.0.0.9");
  reindex_rows(tb.t);
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.9", 1, 0x0205), 0), 0);
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.4", 1, 0x0206), 0), 4);
  // So does refresh_row, which shows the new address.
  row_record(tb.t, 1)->ip = text_to_ip("10.0.0.8");
  refresh_row(tb.t, 1, *row_record(tb.t, 1));
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.8", 1, 0x0207), 0), 1);
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.2", 1, 0x0208), 0), 5);
  EXPECT_EQ(tb.list.item_count(), 6);
  EXPECT_EQ(row_count(tb.t), 6);
  // An address typed that another row already has: the first row is the
  // card's, as it always was, until one of the two goes.
  row_record(tb.t, 4)->ip = text_to_ip("10.0.0.9");
  refresh_row(tb.t, 4, *row_record(tb.t, 4));
  EXPECT_EQ(merge_device(tb.t, test_card("10.0.0.9", 1, 0x0209), 0), 0);
  EXPECT_EQ(tb.text(0, 2), "2.09");
}

TEST(DeviceTable, CellsAreWrittenWhenTheirTextChangesOnly) {
  Table tb;
  merge_device(tb.t, test_card("10.0.0.1", 1, 0x0102), 0);
  int before = tb.list.text_writes;
  merge_device(tb.t, test_card("10.0.0.1", 1, 0x0102), 0);
  EXPECT_EQ(tb.list.text_writes, before);
  merge_device(tb.t, test_card("10.0.0.1", 1, 0x0103), 0);
  EXPECT_EQ(tb.list.text_writes, before + 1);
  // What the control shows is compared, not what the record held before.
  std::strcpy(tb.list.rows[0].texts[3], "someone");
  std::strcpy(row_record(tb.t, 0)->password, "typed");
  merge_device(tb.t, test_card("10.0.0.1", 1, 0x0103), 0);
  EXPECT_EQ(tb.text(0, 3), "admin");
  EXPECT_EQ(tb.text(0, 4), "typed");
}

TEST(DeviceTable, MergeOfManyRecordsKeepsTheirOrderAndRedrawsOnce) {
  Table tb;
  std::vector<std::unique_ptr<DeviceRecord>> batch;
  for (int i = 0; i < 10; ++i) batch.push_back(test_card(("10.0.0." + std::to_string(i % 4)).c_str(), 1, i + 1));
  merge_devices(tb.t, batch, 0);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(tb.list.redraw_held, 0);
  EXPECT_EQ(tb.column(0), (std::vector<std::string>{"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(tb.column(2), (std::vector<std::string>{"0.09", "0.10", "0.07", "0.08"}));  // the last of each wins
}

TEST(Executor, RunsStepsOnItsOwnThreadInOrderAndInlineFromThatThread) {
  TableThread ex;
  std::vector<int> seen;
  std::thread::id where;
  EXPECT_EQ(ex.run([&] {
    where = std::this_thread::get_id();
    seen.push_back(1);
    ex.run([&] { seen.push_back(2); });  // nested: must not deadlock
  }),
            1);
  std::thread other([&] { ex.run([&] { seen.push_back(3); }); });
  other.join();
  EXPECT_NE(where, std::this_thread::get_id());
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  EXPECT_GT(ex.longest_step_ns(), 0);
}

TEST(DeviceTable, ResultCellsRetryTicksAndMerges) {
  Table tb;
  std::vector<uint32_t> merged;
  subscribe_merges(tb.t, [&](const DeviceRecord& r) { merged.push_back(r.version); });
  for (auto [ip, last] : {std::pair{"10.69.0.1", 1}, {"10.69.0.2", 2}, {"10.69.0.3", 3}})
    merge_device(tb.t, test_card(ip, static_cast<uint8_t>(last), 0x0100), 0);
  merge_device(tb.t, test_card("10.69.0.2", 2, 0x0105), 0);
  EXPECT_EQ(merged, (std::vector<uint32_t>{0x0100, 0x0100, 0x0100, 0x0105}));
  for (int i = 0; i < 3; ++i) tb.list.set_checked(i, true);

  EXPECT_EQ(tb.column(RESULT_COLUMN), (std::vector<std::string>{"", "", ""}));
  EXPECT_TRUE(set_row_result(tb.t, text_to_ip("10.69.0.3"), "Timeout."));
  EXPECT_TRUE(set_row_result(tb.t, text_to_ip("10.69.0.1"), std::string(80, 'x').c_str()));
  EXPECT_FALSE(set_row_result(tb.t, text_to_ip("10.69.0.9"), "OK"));
  EXPECT_EQ(tb.text(0, RESULT_COLUMN), std::string(63, 'x'));
  // A later reply keeps the result.
  merge_device(tb.t, test_card("10.69.0.3", 3, 0x0100), 0);
  EXPECT_EQ(tb.text(2, RESULT_COLUMN), "Timeout.");
  sort_rows(tb.t, RESULT_COLUMN);
  EXPECT_EQ(tb.column(RESULT_COLUMN), (std::vector<std::string>{"", "Timeout.", std::string(63, 'x')}));

  untick_rows(tb.t, {text_to_ip("10.69.0.2"), text_to_ip("10.69.0.9")});
  std::map<std::string, bool> ticked;
  for (const auto& row : tb.list.rows) ticked[row.texts[0]] = (row.state & STATE_CHECK_MASK) == STATE_CHECKED;
  EXPECT_EQ(ticked, (std::map<std::string, bool>{{"10.69.0.1", true}, {"10.69.0.2", false}, {"10.69.0.3", true}}));
  EXPECT_EQ(tb.buttons.enabled[BUTTON_UPGRADE], 1);
}

TEST(CardList, ImportKeepsGoodLinesAndNamesTheBadOnes) {
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list("# routed subnet\r\n10.70.0.1\r\n\r\n 10.70.0.2 , ops,\"p,w\"\r\n10.70.0.300,x\r\n"
                 "0.0.0.0\r\n10.70.0.3," + std::string(31, 'u') + "\r\n10.70.0.4,u," +
                     std::string(30, 'p') + "\r\n\"10.70.0.5\n",
                 &cards, &errors);
  ASSERT_EQ(cards.size(), 3u);
  EXPECT_EQ(cards[0].ip, text_to_ip("10.70.0.1"));
  EXPECT_FALSE(cards[0].has_user);
  EXPECT_EQ(cards[1].line, 4);
  EXPECT_EQ(cards[1].user, "ops");
  EXPECT_EQ(cards[1].password, "p,w");
  EXPECT_EQ(cards[2].password.size(), 30u);
  std::string text = card_list_errors_text(errors);
  EXPECT_EQ(text,
            "These lines were not added:\r\n"
            "Line 5: \"10.70.0.300\" is not an address: four numbers 0-255 separated by dots, "
            "without leading zeros\r\n"
            "Line 6: \"0.0.0.0\" cannot be a card: it is an address of this network (0.0.0.0/8)\r\n"
            "Line 7: user name longer than 30 characters\r\nLine 9: quote not closed\r\n");
}

// One line of a list, read strictly: taken as it is, or refused with the
// reason; never read as another address or account.
struct LineCase {
  const char* name;
  std::string text;
  const char* ip;  // nullptr: refused
  std::string user_or_reason;
  std::string password = "";
};

class CardListLine : public testing::TestWithParam<LineCase> {};

TEST_P(CardListLine, TakenOrRefusedOnItsLine) {
  const LineCase& c = GetParam();
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list("10.70.0.1\n" + c.text + "\n10.70.0.2\n", &cards, &errors);
  std::vector<uint32_t> ips;
  for (const CardLine& card : cards) ips.push_back(card.ip);
  if (!c.ip) {
    EXPECT_EQ(ips, (std::vector<uint32_t>{text_to_ip("10.70.0.1"), text_to_ip("10.70.0.2")}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].line, 2);
    EXPECT_EQ(errors[0].reason, c.user_or_reason);
    return;
  }
  EXPECT_TRUE(errors.empty()) << errors[0].reason;
  ASSERT_EQ(cards.size(), 3u);
  EXPECT_EQ(cards[1].line, 2);
  EXPECT_EQ(cards[1].ip, text_to_ip(c.ip));
  EXPECT_EQ(cards[1].user, c.user_or_reason);
  EXPECT_EQ(cards[1].password, c.password);
}

const std::string NOT_ADDRESS =
    "\" is not an address: four numbers 0-255 separated by dots, without leading zeros";

INSTANTIATE_TEST_SUITE_P(
    Lines, CardListLine,
    testing::Values(
        LineCase{"plain", "10.70.0.9,ops,pw", "10.70.0.9", "ops", "pw"},
        LineCase{"blanks_dropped", " 10.70. 0.9 ,ops", "10.70.0.9", "ops"},
        LineCase{"zero_padded", "10.70.0.010,ops,pw", nullptr, "\"10.70.0.010" + NOT_ADDRESS},
        LineCase{"hex", "0x0A.70.0.9", nullptr, "\"0x0A.70.0.9" + NOT_ADDRESS},
        LineCase{"short_form", "10.70.9", nullptr, "\"10.70.9" + NOT_ADDRESS},
        LineCase{"loopback", "127.0.0.1", nullptr, "\"127.0.0.1\" cannot be a card: it is a loopback address"},
        LineCase{"multicast", "224.0.0.1", nullptr,
                 "\"224.0.0.1\" cannot be a card: it is a multicast address"},
        LineCase{"broadcast", "255.255.255.255", nullptr,
                 "\"255.255.255.255\" cannot be a card: it is the broadcast address"},
        LineCase{"nul_in_password", std::string("10.70.0.9,ops,p\0w", 17), nullptr,
                 "control character in the password"},
        LineCase{"escape_in_user", "10.70.0.9,o\x1bps", nullptr, "control character in the user name"},
        LineCase{"c1_in_extra_field", "10.70.0.9,ops,pw,\xC2\x9B", nullptr,
                 "control character in field 4"},
        LineCase{"tab_in_address", "10.70.0.9\t,ops", nullptr, "control character in the IP address"},
        LineCase{"at_in_user", "10.70.0.9,op@s,pw", nullptr, "user name contains '@'"},
        LineCase{"at_in_password", "10.70.0.9,ops,p@w", nullptr, "password contains '@'"},
        LineCase{"longest_account", "10.70.0.9," + std::string(30, 'u') + "," + std::string(30, 'p'),
                 "10.70.0.9", std::string(30, 'u'), std::string(30, 'p')},
        LineCase{"password_too_long", "10.70.0.9,u," + std::string(31, 'p'), nullptr,
                 "password longer than 30 characters"},
        LineCase{"guard_quote_removed", "10.70.0.9,'-ops,'=pw", "10.70.0.9", "-ops", "=pw"},
        LineCase{"other_quote_kept", "10.70.0.9,'ops,'x", "10.70.0.9", "'ops", "'x"},
        // A text of its own that began with ' was written with a second one.
        LineCase{"doubled_quote_reads_as_one", "10.70.0.9,''ops,''=pw", "10.70.0.9", "'ops", "'=pw"},
        LineCase{"guarded_at_still_refused", "10.70.0.9,'@ops", nullptr, "user name contains '@'"},
        LineCase{"utf8_password", "10.70.0.9,ops,p\xC3\xA9", "10.70.0.9", "ops", "p\xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.name); });

// A file whose lines end with a CR alone (older Mac editors) is as many
// records as lines, with their numbers; a CR inside quotes stays in the field.
TEST(CardList, LoneCrEndsALine) {
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list("ip,user,password\r10.70.0.1,a,1\r10.70.0.010,b,2\r\r10.70.0.3,c,3\r", &cards,
                 &errors);
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0].line, 2);
  EXPECT_EQ(cards[1].line, 5);
  EXPECT_EQ(cards[1].user, "c");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].line, 3);
}

// 20 000 listed rows and a list of 40 000 lines: in one pass this takes
// about 0.1 s here, with a search of the rows per line about 4 s (far more
// under the sanitizers), so the bound below tells the two apart.
TEST(CardList, ImportMergesInOnePassKeepingKnownAccounts) {
  MemoryList list;
  DeviceTable t;
  t.list = &list;
  init_device_table(t);
  const int n = 20000;
  std::string text;
  std::vector<std::unique_ptr<DeviceRecord>> listed;
  for (int i = 0; i < n; ++i) {
    std::string ip = "10.71." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    listed.push_back(test_card(ip.c_str(), 1, 0x0100));
    std::strcpy(listed.back()->password, "old");
    text += ip + ",ops\n";  // a user name, no password: the row keeps its own
    text += "10.72." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + "\n";
  }
  merge_devices(t, listed, 1);
  text += "10.72.0.1,late,pw\n10.72.0.1\n";  // a card listed again keeps that account
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list(text, &cards, &errors);
  ASSERT_TRUE(errors.empty());
  auto started = std::chrono::steady_clock::now();
  auto records = listed_card_records(t, cards, "admin", [](const std::string& s) { return s; });
  merge_devices(t, records, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  ASSERT_EQ(row_count(t), 2 * n);
  const DeviceRecord* kept = row_record(t, find_row(t, text_to_ip("10.71.0.1")));
  EXPECT_STREQ(kept->user_name, "ops");
  EXPECT_STREQ(kept->password, "old");
  EXPECT_EQ(kept->unanswered_queries, 1u);  // asked again, as after the account dialog
  const DeviceRecord* added = row_record(t, find_row(t, text_to_ip("10.72.0.2")));
  EXPECT_STREQ(added->user_name, "admin");
  EXPECT_STREQ(added->password, "");
  const DeviceRecord* again = row_record(t, find_row(t, text_to_ip("10.72.0.1")));
  EXPECT_STREQ(again->user_name, "late");
  EXPECT_STREQ(again->password, "pw");
  release_device_records(t);
}

// The account fields hold CARD_LIST_FIELD_MAX characters: that many are
// taken, one more is refused. A user name is trimmed, a password is taken
// as it is.
TEST(CardList, AccountFieldsUpToTheirLimit) {
  const std::string max(CARD_LIST_FIELD_MAX, 'u'), over(CARD_LIST_FIELD_MAX + 1, 'u');
  struct Case {
    std::string line;
    bool taken;
    std::string user, password, reason;
  };
  const Case cases[] = {
      {"10.70.0.1," + max, true, max, "", ""},
      {"10.70.0.1," + over, false, "", "", "user name longer than 30 characters"},
      {"10.70.0.1,  " + max + "  ", true, max, "", ""},
      {"10.70.0.1,u," + max, true, "u", max, ""},
      {"10.70.0.1,u," + over, false, "", "", "password longer than 30 characters"},
      {"10.70.0.1, ops , p w ", true, "ops", " p w ", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<CardLine> cards;
    std::vector<CardLineError> errors;
    read_card_list(c.line + "\r\n", &cards, &errors);
    ASSERT_EQ(cards.size(), c.taken ? 1u : 0u);
    if (c.taken) {
      EXPECT_TRUE(errors.empty());
      EXPECT_EQ(cards[0].user, c.user);
      EXPECT_EQ(cards[0].password, c.password);
    } else {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0].line, 1);
      EXPECT_EQ(errors[0].reason, c.reason);
    }
  }
}

// Without a header the columns are ip, user, password; with one they are
// found by name, in any order and case. A column a line lacks is not given
// (the command line's account applies); an empty one is given empty.
TEST(CardList, ColumnsByPositionOrByHeader) {
  struct Case {
    std::string text;
    bool has_user, has_password;
    std::string user, password;
  };
  const Case cases[] = {
      {"10.70.0.1\r\n", false, false, "", ""},
      {"10.70.0.1,ops\r\n", true, false, "ops", ""},
      {"10.70.0.1,,\r\n", true, true, "", ""},
      {"10.70.0.1,ops,pw\r\n", true, true, "ops", "pw"},
      {" IP ,Password,User\r\n10.70.0.1,pw,ops\r\n", true, true, "ops", "pw"},
      {"ip,mac,version,user\r\n10.70.0.1,00-0a-ff-10-20-07,1.02,ops\r\n", true, false, "ops", ""},
      {"ip,password\n10.70.0.1,pw\n", false, true, "", "pw"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<CardLine> cards;
    std::vector<CardLineError> errors;
    read_card_list(c.text, &cards, &errors);
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].ip, text_to_ip("10.70.0.1"));
    EXPECT_EQ(cards[0].has_user, c.has_user);
    EXPECT_EQ(cards[0].has_password, c.has_password);
    EXPECT_EQ(cards[0].user, c.user);
    EXPECT_EQ(cards[0].password, c.password);
  }
}

TEST(CardList, AddressesThatAreNoCard) {
  for (const char* ip : {"0.0.0.0", "255.255.255.255", "10.70.0.256", "", "card7"}) {
    std::vector<CardLine> cards;
    std::vector<CardLineError> errors;
    read_card_list(std::string("# list\r\n") + ip + ",ops\r\n10.70.0.9\r\n", &cards, &errors);
    ASSERT_EQ(errors.size(), 1u) << ip;
    EXPECT_EQ(errors[0].line, 2) << ip;
    ASSERT_EQ(cards.size(), 1u) << ip;
    EXPECT_EQ(cards[0].line, 3) << ip;
  }
}

// The box names the first twenty lines and counts the rest.
TEST(CardList, ErrorTextShowsTwentyLinesAndCountsTheRest) {
  for (int count : {1, 20, 21, 45}) {
    std::vector<CardLineError> errors;
    for (int i = 1; i <= count; ++i) errors.push_back({i, "bad"});
    std::string expected = "These lines were not added:\r\n";
    for (int i = 1; i <= count && i <= 20; ++i) expected += "Line " + std::to_string(i) + ": bad\r\n";
    if (count > 20) expected += "... and " + std::to_string(count - 20) + " more\r\n";
    EXPECT_EQ(card_list_errors_text(errors), expected) << count;
  }
}

TEST(CardList, ExportReadsBackByItsHeader) {
  std::vector<DeviceRecord> rows = {*test_card("10.69.0.7", 7, 0x0102), *test_card("10.69.0.8", 8, 0)};
  std::strcpy(rows[1].user_name, "o,\"ps\"");
  std::strcpy(rows[1].password, "secret");
  EXPECT_EQ(write_card_list(rows, false),
            "ip,mac,version,user\r\n10.69.0.7,00-0a-ff-10-20-07,1.02,admin\r\n"
            "10.69.0.8,00-0a-ff-10-20-08,--.--,\"o,\"\"ps\"\"\"\r\n");
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list(write_card_list(rows, true), &cards, &errors);
  EXPECT_TRUE(errors.empty());
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[1].ip, rows[1].ip);
  EXPECT_EQ(cards[1].user, "o,\"ps\"");
  EXPECT_EQ(cards[1].password, "secret");

  // An account that could be read as a formula is written with the quote.
  std::strcpy(rows[0].user_name, "=cmd|' /C calc'!A0");
  std::strcpy(rows[0].password, "-pw");
  EXPECT_EQ(write_card_list({rows[0]}, true),
            "ip,mac,version,user,password\r\n10.69.0.7,00-0a-ff-10-20-07,1.02,'=cmd|' /C calc'!A0,'-pw\r\n");
}

}  // namespace

namespace {

TEST(StatusLine, CardsBehindTheImageFailuresAndWaves) {
  Table tb;
  merge_device(tb.t, test_card("10.69.0.5", 0x3b, 0x0102), 0);
  merge_device(tb.t, test_card("10.69.0.6", 0x3c, 0x0105), 0);
  merge_device(tb.t, test_card("10.69.0.7", 0x3d, 0), 0);  // never answered: not known behind
  StatusFigures f = table_figures(tb.t, true, 0x0105);
  EXPECT_EQ(f.cards, 3);
  EXPECT_EQ(f.behind, 1);
  f.failed = 2;
  f.waves = true;
  EXPECT_EQ(status_line_text(f), "3 cards \xC2\xB7 1 behind 1.05 \xC2\xB7 2 failed \xC2\xB7 waves on");
  // No image: nothing is behind, and no failures no part.
  StatusFigures none = table_figures(tb.t, false, 0);
  EXPECT_EQ(none.behind, 0);
  EXPECT_EQ(status_line_text(none), "3 cards \xC2\xB7 waves off");
}

}  // namespace
