// The report of a batch: its lines, one result per line, and the kept file.
#include "platform/files.h"
#include "upgrade/upgrade.h"

namespace {

// Rewrites the kept file; under the report's lock.
bool write_kept(Report* report, std::string* reason) {
  return write_file_whole(report->path, report_csv(report->cards), reason);
}

}  // namespace

void report_card_start(Report* report, const CardResult& card) {
  std::lock_guard<std::mutex> lock(report->mutex);
  report->starting.push_back(card);
}

void report_card(Report* report, const char* ip_text, uint32_t ip, CardOutcome outcome,
                 const std::string& message, uint32_t bytes_sent) {
  const LocalTime now = report->clock ? report->clock() : local_time_now();
  const char* tail = outcome_line(outcome);
  const std::string shown = outcome == CardOutcome::card_error ? card_message_text(message) : message;
  const std::string line = std::string(ip_text) + (tail ? std::string(tail) : " " + shown + "\r\n");
  CardResult card;
  {
    std::lock_guard<std::mutex> lock(report->mutex);
    report->text += line;
    auto& starting = report->starting;
    auto it = starting.begin();
    while (it != starting.end() && it->ip != ip) ++it;
    if (it != starting.end()) {
      card = *it;
      starting.erase(it);
    } else {
      card.ip = ip;
      card.started = now;
    }
    card.ended = now;
    card.outcome = outcome;
    card.message = outcome == CardOutcome::card_error ? message : "";
    card.bytes_sent = bytes_sent;
    report->cards.push_back(card);
  }
  if (report->card_done) report->card_done(card);
}

bool report_check(Report* report, uint32_t ip, CardOutcome outcome, uint32_t answered_version,
                  int seconds) {
  std::lock_guard<std::mutex> lock(report->mutex);
  for (CardResult& card : report->cards) {
    if (card.ip != ip || card.outcome != CardOutcome::ok) continue;
    card.outcome = outcome;
    card.answered_version = answered_version;
    card.verified_seconds = seconds;
    // A file that cannot be written again keeps its earlier state; the
    // report box has already said where it is.
    if (!report->path.empty()) write_kept(report, nullptr);
    return true;
  }
  return false;
}

std::string keep_report(Report* report, const std::string& folder, const LocalTime& start) {
  std::lock_guard<std::mutex> lock(report->mutex);
  std::string reason;
  const std::string path = join_path(folder, report_file_name(start));
  if (!make_folder_path(folder, &reason)) return "Report not saved: " + reason;
  report->path = path;
  if (!write_kept(report, &reason)) {
    report->path.clear();
    return "Report not saved: " + reason;
  }
  return "Report saved: " + path;
}

std::vector<CardResult> report_cards(Report* report) {
  std::lock_guard<std::mutex> lock(report->mutex);
  return report->cards;
}
