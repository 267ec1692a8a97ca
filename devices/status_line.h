#pragma once
// The main window's status line under the device list: how many cards, how
// many run a version older than the image opened, how many failed in the
// last run, and whether Upgrade runs in waves. Portable.
#include <cstdint>
#include <string>

struct DeviceRecord;
struct DeviceTable;

struct StatusFigures {
  int cards = 0;
  bool image_open = false;
  uint32_t image_version = 0;  // major * 256 + minor, when image_open
  int behind = 0;              // cards older than the image
  int failed = 0;              // cards that failed in the last run
  bool waves = false;
};

// A card that answered with a version older than the image's: a row the
// list marks. Unanswered cards (version 0) are not known to be behind.
bool row_behind(const DeviceRecord& record, bool image_open, uint32_t image_version);
// The figures the table gives (cards, behind); failed and waves are the
// caller's.
StatusFigures table_figures(const DeviceTable& table, bool image_open, uint32_t image_version);
// "412 cards · 380 behind 1.05 · 3 failed · waves on", in UTF-8: the
// version part only with an image open, the failures only after a run
// that had some.
std::string status_line_text(const StatusFigures& figures);
