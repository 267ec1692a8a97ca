#pragma once
// How a batch's report is shown: the message box while it fits the screen,
// else a dialog with the same text in a scrolling field, headed by the
// counts per outcome.
#include <cstddef>
#include <string>
#include <vector>

#include "upgrade/record/results.h"
#include "upgrade/run/run.h"

// Past this many card lines the report goes to the dialog, whatever the
// screen: a box of more is a list nobody reads line by line.
inline constexpr size_t REPORT_BOX_CARD_LINES = 30;

// The lines of a text whose lines end in CR LF (a last line without one
// counts too).
size_t text_line_count(const std::string& text);
// True when the message box can show the report: at most
// REPORT_BOX_CARD_LINES card lines, and its lines of line_height pixels with
// the box's caption, margins and button row (chrome) no taller than the
// work area.
bool report_fits_box(size_t card_lines, size_t text_lines, int line_height, int chrome,
                     int work_area_height);
// "200 cards: 190 applied, 6 transfer failed, 4 No connection": the
// cards' verdicts in their order, each with its label.
std::string report_counts_line(const std::vector<CardResult>& cards);

// "3 of 4 cards applied, 1 failed, 0 not started, 0 skipped": where the
// cards stand; a card still being checked is counted apart (", 1 being
// checked"), as its check has not said yet.
std::string report_tally_line(const std::vector<CardResult>& cards);
// Cards that failed: the report box's warning icon.
int failed_cards(const std::vector<CardResult>& cards);
// The text with the tally line after the card lines, before the kept
// file's line ("Report ...") when there is one.
std::string with_tally_line(const std::string& text, const std::vector<CardResult>& cards);

// The report box's text of a run: the halt line, or "Stopped by the
// operator: N cards not started.", first; the card lines; the kept file's
// status last.
std::string report_box_text(const RunSummary& summary);
