#include "upgrade/pages/report_box.h"

#include <map>


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
  std::map<Verdict, size_t> counts;
  for (const CardResult& card : cards) ++counts[card.verdict];
  std::string line = std::to_string(cards.size()) + (cards.size() == 1 ? " card" : " cards");
  const char* separator = ": ";
  for (const auto& [verdict, n] : counts) {
    line += separator + std::to_string(n) + " " + verdict_rules(verdict).label;
    separator = ", ";
  }
  return line;
}

namespace {

int tally_of(const std::vector<CardResult>& cards, VerdictTally tally) {
  int n = 0;
  for (const CardResult& card : cards)
    if (card.verdict != Verdict::checking && verdict_tally(card.verdict) == tally) ++n;
  return n;
}

}  // namespace

int failed_cards(const std::vector<CardResult>& cards) { return tally_of(cards, VerdictTally::failed); }

std::string report_tally_line(const std::vector<CardResult>& cards) {
  int checking = 0;
  for (const CardResult& card : cards)
    if (card.verdict == Verdict::checking) ++checking;
  const int skipped = tally_of(cards, VerdictTally::skipped);
  const int planned = static_cast<int>(cards.size()) - skipped;
  std::string line = std::to_string(tally_of(cards, VerdictTally::applied)) + " of " +
                     std::to_string(planned) + (planned == 1 ? " card" : " cards") + " applied, " +
                     std::to_string(failed_cards(cards)) + " failed, " +
                     std::to_string(tally_of(cards, VerdictTally::not_started)) + " not started, " +
                     std::to_string(skipped) + " skipped";
  if (checking) line += ", " + std::to_string(checking) + " being checked";
  return line;
}

std::string with_tally_line(const std::string& text, const std::vector<CardResult>& cards) {
  const std::string line = report_tally_line(cards) + "\r\n";
  size_t last = text.rfind("\r\n");
  const size_t last_start = last == std::string::npos ? 0 : last + 2;
  if (last_start < text.size() && text.compare(last_start, 7, "Report ") == 0)
    return text.substr(0, last_start) + line + text.substr(last_start);
  if (!text.empty() && last_start < text.size()) return text + "\r\n" + line.substr(0, line.size() - 2);
  return text + line.substr(0, line.size() - 2);
}

std::string report_box_text(const RunSummary& s) {
  std::string text = s.lines;
  if (s.stopped) {
    int not_started = 0;
    for (const CardResult& card : s.cards)
      if (card.outcome == CardOutcome::not_started) ++not_started;
    text = "Stopped by the operator: " + cards_words(not_started) + " not started.\r\n" + text;
  } else if (s.rollout.halted) {
    text = halt_line(s.rollout, s.cards) + "\r\n" + text;
  }
  return text + s.kept_status;
}
