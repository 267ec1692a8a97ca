#include "toolkit/builder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

constexpr std::uint32_t WS_CHILD = 0x40000000;
constexpr std::uint32_t WS_EX_CLIENTEDGE = 0x200;
constexpr std::uint32_t WS_EX_STATICEDGE = 0x20000;

struct RectCase {
  const char* what;
  std::int32_t width, height;
  ControlRow row;
  ControlRect expected;
};

TEST(Builder, ControlGeometry) {
  const RectCase cases[] = {
      {"proportional", 800, 600, {"button", nullptr, 0, 1, 1, 54, 80, 0, 1, 2}, {10, 0, 530, 300}},
      {"pixels", 800, 600, {"button", nullptr, 0, 1, 10, 110, 0, 20, 45, 0}, {10, 20, 100, 25}},
      // Each edge is rounded by itself: neighbours sharing edge 1 of 3 meet.
      {"left third", 100, 100, {"static", nullptr, 0, 1, 0, 1, 3, 0, 1, 1}, {0, 0, 33, 100}},
      {"middle third", 100, 100, {"static", nullptr, 0, 1, 1, 2, 3, 0, 1, 1}, {33, 0, 33, 100}},
      {"right third", 100, 100, {"static", nullptr, 0, 1, 2, 3, 3, 0, 1, 1}, {66, 0, 34, 100}},
      // Signed division truncates toward zero.
      {"negative", 100, 100, {"static", nullptr, 0, 1, -1, 1, 3, -5, -1, 0}, {-33, -5, 66, 4}},
      {"negative divisions", 90, 90, {"static", nullptr, 0, 1, 1, 2, -3, 0, 0, 0}, {-30, 0, -30, 0}},
      // Extreme values wrap like 32-bit words instead of trapping.
      {"int min / -1", 1, 1, {"static", nullptr, 0, 1, INT_MIN, INT_MIN, -1, 0, 0, 0},
       {INT_MIN, 0, 0, 0}},
  };
  for (const RectCase& c : cases) {
    SCOPED_TRACE(c.what);
    ControlRect r = control_rect(c.width, c.height, c.row);
    EXPECT_EQ(r.x, c.expected.x);
    EXPECT_EQ(r.y, c.expected.y);
    EXPECT_EQ(r.width, c.expected.width);
    EXPECT_EQ(r.height, c.expected.height);
  }
}

TEST(Builder, ClEditIsAGroupBoxAroundAnEdit) {
  const ControlRow row{"CLEdit", "Version", 0x50010080, 0x1234, 0, 200, 0, 0, 60, 0};
  ControlPlan plan = plan_control(800, 600, row);
  ASSERT_EQ(plan.count, 2);
  const WindowPlan& group = plan.windows[0];
  EXPECT_STREQ(group.class_name, "button");
  EXPECT_STREQ(group.text, "Version");
  EXPECT_EQ(group.style, 0x10000007u | WS_CHILD);
  EXPECT_EQ(group.ex_style, 0u);
  EXPECT_EQ(group.id, 0xFFFF);
  EXPECT_EQ(group.rect.x, 0);
  EXPECT_EQ(group.rect.y, 0);
  EXPECT_EQ(group.rect.width, 200);
  EXPECT_EQ(group.rect.height, 60);
  const WindowPlan& edit = plan.windows[1];
  EXPECT_STREQ(edit.class_name, "edit");
  EXPECT_EQ(edit.text, nullptr);
  EXPECT_EQ(edit.style, 0x50010080u);
  EXPECT_EQ(edit.ex_style, WS_EX_CLIENTEDGE);
  EXPECT_EQ(edit.id, 0x1234);
  EXPECT_EQ(edit.rect.x, 7);
  EXPECT_EQ(edit.rect.y, 18);
  EXPECT_EQ(edit.rect.width, 183);
  EXPECT_EQ(edit.rect.height, 32);

  // Proportional rows are laid out first, then inset in pixels.
  plan = plan_control(800, 600, {"CLEdit", nullptr, 0, 1, 1, 2, 4, 1, 2, 3});
  EXPECT_EQ(plan.windows[0].rect.x, 200);
  EXPECT_EQ(plan.windows[0].rect.y, 200);
  EXPECT_EQ(plan.windows[1].rect.x, 207);
  EXPECT_EQ(plan.windows[1].rect.y, 218);
  EXPECT_EQ(plan.windows[1].rect.width, 183);
  EXPECT_EQ(plan.windows[1].rect.height, 172);
}

struct ClassCase {
  const char* class_name;
  std::int32_t id;
  const char* created_class;
  std::uint32_t ex_style;
  std::uint16_t control_id;
};

TEST(Builder, ClassNamesDecideExtendedStyleAndId) {
  const ClassCase cases[] = {
      {"edit", 7, "edit", WS_EX_CLIENTEDGE, 7},
      {"EDIT", 7, "EDIT", WS_EX_CLIENTEDGE, 7},
      {"SYSLISTVIEW32", -1, "SYSLISTVIEW32", WS_EX_CLIENTEDGE, 0xFFFF},
      {"classdaycontrol", 3, "classdaycontrol", WS_EX_CLIENTEDGE, 3},
      {"button", 0x00020003, "button", 0, 3},  // high bits mean nothing here
      {"cl_static", 0x00010005, "static", WS_EX_STATICEDGE | 1, 5},
      {"CL_STATIC", 5, "CL_STATIC", 0, 5},  // pseudo-classes are case-sensitive
      {"clEdit", 5, "clEdit", 0, 5},
  };
  for (const ClassCase& c : cases) {
    SCOPED_TRACE(c.class_name);
    ControlPlan plan = plan_control(100, 100, {c.class_name, "t", 0x10000000, c.id, 0, 1, 1, 0, 1, 1});
    ASSERT_EQ(plan.count, 1);
    EXPECT_STREQ(plan.windows[0].class_name, c.created_class);
    EXPECT_EQ(plan.windows[0].ex_style, c.ex_style);
    EXPECT_EQ(plan.windows[0].id, c.control_id);
    EXPECT_EQ(plan.windows[0].style, 0x10000000u | WS_CHILD);
  }
  // A null class name is handed on as it is (window creation then fails).
  ControlPlan plan = plan_control(100, 100, {nullptr, nullptr, 0, 1, 0, 1, 1, 0, 1, 1});
  ASSERT_EQ(plan.count, 1);
  EXPECT_EQ(plan.windows[0].class_name, nullptr);
}

TEST(Builder, KeywordMatching) {
  std::intptr_t a = 0, b = 0;
  const KeywordSlot table[] = {{"ALPHA", &a}, {"BETA", &b}, {"SYNONYM", &a}, {nullptr, nullptr}};

  EXPECT_EQ(match_keywords(table, 0, {{"alpha", 1}, {"UNKNOWN", 99}, {"Beta", 2}}), 2);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  // The later of two values stays; synonyms set the same variable.
  EXPECT_EQ(match_keywords(table, 0, {{"ALPHA", 3}, {"SYNONYM", 4}}), 2);
  EXPECT_EQ(a, 4);
  // Exact matching when asked for.
  EXPECT_EQ(match_keywords(table, 1, {{"alpha", 5}, {"BETA", 6}}), 1);
  EXPECT_EQ(a, 4);
  EXPECT_EQ(b, 6);
  // A null keyword ends the list.
  EXPECT_EQ(match_keywords(table, 0, {{"ALPHA", 7}, {nullptr, 0}, {"BETA", 8}}), 1);
  EXPECT_EQ(b, 6);
}

TEST(Builder, WindowAndOpenFileKeywords) {
  WindowKeywords vars = default_window_keywords();
  EXPECT_EQ(vars.style, 0x00CF0000);
  EXPECT_EQ(vars.x, static_cast<std::int32_t>(0x80000000u));
  EXPECT_EQ(vars.height, static_cast<std::int32_t>(0x80000000u));
  EXPECT_EQ(vars.show, 0);
  EXPECT_EQ(vars.title, 0);

  static const char first[] = "first", second[] = "second";
  const KeywordValue list[] = {{"title", first},  {"Title_Name", second}, {"WNDPROC", 0x10},
                               {"cs_func", 0x20}, {"OWNER", 0x30},        {"XPOS", 5},
                               {"CURSOR", 0x40},  {"CS_BRUSH", 0x50},     {"showoff", 1},
                               {"NOSUCH", 6},     {"WIDTH", 640}};
  EXPECT_EQ(apply_window_keywords(vars, list, 11), 10);
  EXPECT_EQ(vars.title, reinterpret_cast<std::intptr_t>(second));
  EXPECT_EQ(vars.window_proc, 0x20);
  EXPECT_EQ(vars.parent, 0x30);
  EXPECT_EQ(vars.x, 5);
  EXPECT_EQ(vars.y, static_cast<std::int32_t>(0x80000000u));
  EXPECT_EQ(vars.cursor, 0x40);
  EXPECT_EQ(vars.brush, 0x50);
  EXPECT_EQ(vars.show, 1);
  EXPECT_EQ(vars.width, 640);

  OpenFileKeywords open = default_open_file_keywords();
  EXPECT_EQ(open.flags, 0x81000);
  EXPECT_EQ(open.title, 0);
  const KeywordValue open_list[] = {{"initdir", second}, {"FLAGS", 0x1000}};
  EXPECT_EQ(apply_open_file_keywords(open, open_list, 2), 2);
  EXPECT_EQ(open.initial_dir, reinterpret_cast<std::intptr_t>(second));
  EXPECT_EQ(open.flags, 0x1000);
}

}  // namespace
