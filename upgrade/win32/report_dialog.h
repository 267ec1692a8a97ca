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
// The report box: the message box the report always was (its text, the
// information caption, the information or warning icon, OK), with a second
// button, "Open report", that opens the page at page_path in the default
// browser and leaves the box open.
void show_report_box(void* owner, const std::string& text, bool warning,
                     const std::string& page_path);
