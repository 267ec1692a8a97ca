#include "upgrade/report_box.h"

#include <map>

namespace {

// A few words per outcome, without the report line's punctuation.
std::string count_label(const CardResult& card) {
  if (outcome_is_ok(card.outcome)) return "OK";
  switch (card.outcome) {
    case CardOutcome::card_error:
      return "card error";
    case CardOutcome::skipped_version:
      return "skipped";
    default:
      break;
  }
  std::string words = result_column_text(card);
  while (!words.empty() && (words.back() == '.' || words.back() == '!' || words.back() == ' '))
    words.pop_back();
  return words;
}

// The order of the enumeration, with every OK outcome as ok.
int count_order(CardOutcome outcome) {
  return outcome_is_ok(outcome) ? 0 : static_cast<int>(outcome);
}

}  // namespace

size_t text_line_count(const std::string& text) {
  size_t lines = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    ++lines;
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return lines;
}

bool report_fits_box(size_t card_lines, size_t text_lines, int line_height, int chrome,
                     int work_area_height) {
  if (card_lines > REPORT_BOX_CARD_LINES) return false;
  long long height = static_cast<long long>(text_lines) * line_height + chrome;
  return height <= work_area_height;
}

std::string report_counts_line(const std::vector<CardResult>& cards) {
  std::map<int, std::pair<std::string, size_t>> counts;
  for (const CardResult& card : cards) {
    auto& entry = counts[count_order(card.outcome)];
    if (entry.second++ == 0) entry.first = count_label(card);
  }
  std::string line = std::to_string(cards.size()) + (cards.size() == 1 ? " card" : " cards");
  const char* separator = ": ";
  for (const auto& [order, entry] : counts) {
    line += separator + std::to_string(entry.second) + " " + entry.first;
    separator = ", ";
  }
  return line;
}
