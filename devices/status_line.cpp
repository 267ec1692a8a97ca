#include "devices/status_line.h"

#include "devices/device_table.h"

bool row_behind(const DeviceRecord& record, bool image_open, uint32_t image_version) {
  return image_open && record.version != 0 && record.version < image_version;
}

StatusFigures table_figures(const DeviceTable& table, bool image_open, uint32_t image_version) {
  StatusFigures f;
  f.cards = row_count(table);
  f.image_open = image_open;
  f.image_version = image_version;
  for (const auto& row : table.rows)
    if (row && row_behind(*row, image_open, image_version)) ++f.behind;
  return f;
}

std::string status_line_text(const StatusFigures& f) {
  const char* const dot = " \xC2\xB7 ";  // a middle dot between the parts
  std::string text = std::to_string(f.cards) + (f.cards == 1 ? " card" : " cards");
  if (f.image_open) {
    char version[16];
    text += dot + std::to_string(f.behind) + " behind " + version_text(version, f.image_version);
  }
  if (f.failed > 0) text += dot + std::to_string(f.failed) + " failed";
  text += dot;
  text += f.waves ? "waves on" : "waves off";
  return text;
}
