#include "toolkit/builder.h"

#include <cstring>

namespace {

constexpr std::uint32_t ws_child = 0x40000000;
constexpr std::uint32_t ws_ex_client_edge = 0x200;
constexpr std::uint32_t ws_ex_static_edge = 0x20000;
constexpr std::uint32_t group_box_style = 0x10000007;  // WS_VISIBLE | BS_GROUPBOX
constexpr std::intptr_t cw_use_default = static_cast<std::int32_t>(0x80000000u);

bool same_text(const char* a, const char* b) {
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

bool same_text_nocase(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
    if (ca != cb) return false;
    if (ca == 0) return true;
  }
}

// Layout works in signed 32-bit words; the wide intermediate keeps extreme
// values from overflowing (and INT_MIN / -1 from trapping), wrapping instead.
std::int32_t wrap32(std::int64_t value) { return static_cast<std::int32_t>(value); }

std::int32_t scale_edge(std::int32_t edge, std::int32_t extent, std::int32_t divisions) {
  std::int32_t product = wrap32(std::int64_t{edge} * extent);
  return wrap32(std::int64_t{product} / divisions);
}

void axis(std::int32_t low, std::int32_t high, std::int32_t divisions, std::int32_t extent,
          std::int32_t& start, std::int32_t& length) {
  if (divisions != 0) {
    start = scale_edge(low, extent, divisions);
    length = wrap32(std::int64_t{scale_edge(high, extent, divisions)} - start);
  } else {
    start = low;
    length = wrap32(std::int64_t{high} - low);
  }
}

WindowPlan plan_window(std::int32_t client_width, std::int32_t client_height,
                       const ControlRow& row) {
  WindowPlan plan{row.class_name, row.text, row.style | ws_child, 0,
                  static_cast<std::uint16_t>(row.id), control_rect(client_width, client_height, row)};
  if (same_text_nocase(row.class_name, "edit") || same_text_nocase(row.class_name, "SysListView32") ||
      same_text_nocase(row.class_name, "ClassDAYControl"))
    plan.ex_style = ws_ex_client_edge;
  if (same_text(row.class_name, "cl_static")) {
    plan.class_name = "static";
    plan.ex_style = (static_cast<std::uint32_t>(row.id) >> 16) | ws_ex_static_edge;
  }
  return plan;
}

}  // namespace

int match_keywords(const KeywordSlot* table, int case_sensitive, const KeywordValue* list,
                   int count) {
  int matched = 0;
  for (int i = 0; i < count && list[i].keyword != nullptr; ++i) {
    for (const KeywordSlot* slot = table; slot->keyword != nullptr; ++slot) {
      bool equal = case_sensitive ? same_text(slot->keyword, list[i].keyword)
                                  : same_text_nocase(slot->keyword, list[i].keyword);
      if (!equal) continue;
      *slot->target = list[i].value;
      ++matched;
      break;
    }
  }
  return matched;
}

int match_keywords(const KeywordSlot* table, int case_sensitive, KeywordList list) {
  return match_keywords(table, case_sensitive, list.begin(), static_cast<int>(list.size()));
}

WindowKeywords default_window_keywords() {
  WindowKeywords vars{};
  vars.style = 0x00CF0000;  // WS_OVERLAPPEDWINDOW
  vars.x = vars.y = vars.width = vars.height = cw_use_default;
  return vars;
}

int apply_window_keywords(WindowKeywords& vars, const KeywordValue* list, int count) {
  const KeywordSlot table[] = {
      {"CS_STYLE", &vars.class_style},   {"CS_FUNC", &vars.window_proc},
      {"WNDPROC", &vars.window_proc},    {"CS_CLSEXTRA", &vars.class_extra},
      {"CS_WNDEXTRA", &vars.window_extra}, {"ICON", &vars.icon},
      {"CS_ICON", &vars.icon},           {"CURSOR", &vars.cursor},
      {"CS_CURSOR", &vars.cursor},       {"BRUSH", &vars.brush},
      {"CS_BRUSH", &vars.brush},         {"CS_MENUNAME", &vars.menu_name},
      {"CAPITAL", &vars.title},          {"TITLE", &vars.title},
      {"TITLE_NAME", &vars.title},       {"STYLE", &vars.style},
      {"WS_STYLE", &vars.style},         {"EXSTYLE", &vars.ex_style},
      {"WS_EXSTYLE", &vars.ex_style},    {"XPOS", &vars.x},
      {"YPOS", &vars.y},                 {"WIDTH", &vars.width},
      {"HEIGHT", &vars.height},          {"PARENT", &vars.parent},
      {"OWNER", &vars.parent},           {"MENU", &vars.menu},
      {"PARAM", &vars.param},            {"SHOWOFF", &vars.show},
      {nullptr, nullptr},
  };
  return match_keywords(table, 0, list, count);
}

OpenFileKeywords default_open_file_keywords() {
  OpenFileKeywords vars{};
  vars.flags = 0x81000;  // OFN_EXPLORER | OFN_FILEMUSTEXIST
  return vars;
}

int apply_open_file_keywords(OpenFileKeywords& vars, const KeywordValue* list, int count) {
  const KeywordSlot table[] = {
      {"TITLE", &vars.title},   {"INITDIR", &vars.initial_dir}, {"FILTER", &vars.filter},
      {"FLAGS", &vars.flags},   {nullptr, nullptr},
  };
  return match_keywords(table, 0, list, count);
}

ControlRect control_rect(std::int32_t client_width, std::int32_t client_height,
                         const ControlRow& row) {
  ControlRect rect{};
  axis(row.left, row.right, row.x_divisions, client_width, rect.x, rect.width);
  axis(row.top, row.bottom, row.y_divisions, client_height, rect.y, rect.height);
  return rect;
}

ControlPlan plan_control(std::int32_t client_width, std::int32_t client_height,
                         const ControlRow& row) {
  ControlPlan plan{};
  if (!same_text(row.class_name, "CLEdit")) {
    plan.count = 1;
    plan.windows[0] = plan_window(client_width, client_height, row);
    return plan;
  }
  // An edit inside a captioned group box: 7 pixels in from the left, 10 from
  // the right, 18 below the top (under the caption) and 10 above the bottom.
  const ControlRect r = control_rect(client_width, client_height, row);
  const std::int32_t right = wrap32(std::int64_t{r.x} + r.width);
  const std::int32_t bottom = wrap32(std::int64_t{r.y} + r.height);
  const ControlRow group{"button", row.text, group_box_style, -1, r.x, right, 0, r.y, bottom, 0};
  const ControlRow edit{"edit", nullptr, row.style, row.id,
                        wrap32(std::int64_t{r.x} + 7), wrap32(std::int64_t{right} - 10), 0,
                        wrap32(std::int64_t{r.y} + 18), wrap32(std::int64_t{bottom} - 10), 0};
  plan.count = 2;
  plan.windows[0] = plan_window(client_width, client_height, group);
  plan.windows[1] = plan_window(client_width, client_height, edit);
  return plan;
}
