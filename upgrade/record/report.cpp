// The report of a batch: its lines, one result per line, and the journal.
#include "platform/files.h"
#include "upgrade/record/journal.h"

namespace {

CardResult started_card(const CardResult& card) {
  CardResult sending = card;
  sending.outcome = CardOutcome::sending;
  return sending;
}

}  // namespace

void report_append(Report* report, const std::string& line) {
  report->text += line;
}

std::string report_text(Report* report) {
  return report->text;
}

void report_card_start(Report* report, const CardResult& card) {
  std::shared_ptr<Journal> journal;
  {
    report->starting.push_back(card);
    journal = report->journal;
  }
  if (journal) journal_update(journal.get(), started_card(card));
}

void report_card_queue(Report* report, const CardResult& card) {
  report->starting.push_back(card);
}

void report_card(Report* report, const char* ip_text, uint32_t ip, CardOutcome outcome,
                 const std::string& message, uint32_t bytes_sent) {
  const LocalTime now = report->clock ? report->clock() : local_time_now();
  // A card not started for another reason than a halt names it.
  const bool own_reason = outcome == CardOutcome::not_started && !message.empty();
  const char* tail = own_reason ? nullptr : outcome_line(outcome);
  // A skipped_done card's message is the report's name, kept with the card.
  const bool keeps_message =
      outcome == CardOutcome::card_error || outcome == CardOutcome::skipped_done || own_reason;
  const std::string shown = outcome == CardOutcome::card_error     ? card_message_text(message)
                            : outcome == CardOutcome::skipped_done ? skipped_done_text(message)
                            : own_reason ? not_started_text(message)
                                         : message;
  const std::string line = std::string(ip_text) + (tail ? std::string(tail) : " " + shown + "\r\n");
  CardResult card;
  std::shared_ptr<Journal> journal;
  {
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
    card.message = keeps_message ? message : "";
    card.bytes_sent = bytes_sent;
    card.verdict = verdict_of(card, report->checks);
    report->cards.push_back(card);
    journal = report->journal;
  }
  // On disk before anyone is told of the line.
  if (journal) journal_update(journal.get(), card);
  if (report->card_done) report->card_done(card);
}

namespace {

// The card's row that is from, now outcome; the kept file and the run hear of it.
bool change_check(Report* report, uint32_t ip, CardOutcome from, CardOutcome outcome,
                  uint32_t answered_version, const int* seconds, const std::string& message) {
  CardResult card;
  std::shared_ptr<Journal> journal;
  {
    auto it = report->cards.begin();
    while (it != report->cards.end() && (it->ip != ip || it->outcome != from)) ++it;
    if (it == report->cards.end()) return false;
    it->outcome = outcome;
    it->answered_version = answered_version;
    if (seconds) it->verified_seconds = *seconds;
    it->message = outcome == CardOutcome::not_applied ? message : "";
    it->verdict = verdict_of(*it, report->checks);
    card = *it;
    journal = report->journal;
  }
  // A file that cannot be written now is tried again later.
  if (journal) journal_update(journal.get(), card);
  if (report->checked) report->checked(card);
  return true;
}

}  // namespace

bool report_check(Report* report, uint32_t ip, CardOutcome outcome, uint32_t answered_version,
                  int seconds, const std::string& message) {
  return change_check(report, ip, CardOutcome::ok, outcome, answered_version, &seconds, message);
}

bool report_recheck(Report* report, uint32_t ip, CardOutcome outcome, uint32_t answered_version,
                    const std::string& message) {
  return change_check(report, ip, CardOutcome::applied, outcome, answered_version, nullptr,
                      message);
}

std::string keep_report(Report* report, const std::string& folder, const LocalTime& start) {
  std::shared_ptr<Journal> journal;
  {
    if (!report->journal) {
      report->journal = std::make_shared<Journal>();
      report->journal->cards = report->cards;
    }
    journal = report->journal;
  }
  bool kept;
  {
    kept = !journal->path.empty();
  }
  std::string reason;
  if (!kept && !journal_start_kept(journal.get(), folder, start, journal_cards(journal.get()),
                                   &reason))
    return "Report not saved: " + reason;
  const std::string status = journal_status(journal.get());
  report->path = journal->path;
  return status;
}

std::vector<CardResult> report_cards(Report* report) {
  return report->cards;
}
