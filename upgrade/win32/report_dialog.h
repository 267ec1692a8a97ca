#pragma once
// The product's long report (Windows build only): dialog 120 in place of the
// message box when the box cannot show it whole (upgrade/report_box.h).
#include <string>
#include <vector>

#include "upgrade/record/results.h"

// The rule of report_fits_box with this screen's message font and work area.
bool report_fits_message_box(const std::string& text, size_t card_lines);
// The counts line, then text; returns when the operator closed it, false
// when the dialog could not be made. owner is the main window. A warning
// (a halt, a stop) has the warning icon and text's first line above the
// counts; failures (a card failed) only the icon.
bool show_report_dialog(void* instance, void* owner, const std::string& text,
                        const std::vector<CardResult>& cards, const std::string& kept_path,
                        bool warning = false, bool failures = false);
