// The kept record of a batch, written whole at every change.
#include <chrono>

#include "platform/files.h"
#include "upgrade/journal.h"

namespace {

const int KEPT_NAME_TRIES = 1000;  // "_2" to "_1000" after the plain name

const char SAVED[] = "Report saved: ";
const char NOT_SAVED[] = "Report not saved: ";

int64_t now_ms(Journal* j) {
  if (j->clock_ms) return j->clock_ms();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string file_text(Journal* j) { return report_csv(j->cards); }

void mark(Journal* j, size_t i, bool unsaved) {
  if (j->unsaved[i] != unsaved) j->renoted[i] = true;
  j->unsaved[i] = unsaved;
}

// Under the lock. changed: the card whose state this write carries, or -1.
bool write_locked(Journal* j, long changed) {
  if (j->path.empty()) return true;
  std::string reason;
  const std::string text = file_text(j);
  bool ok = j->write ? j->write(j->path, text, &reason) : write_file_whole(j->path, text, &reason);
  if (ok) {
    j->failure.clear();
    for (size_t i = 0; i < j->cards.size(); ++i) mark(j, i, false);
    return true;
  }
  // Every card noted so far stays noted, with the latest reason.
  if (reason != j->failure)
    for (size_t i = 0; i < j->cards.size(); ++i)
      if (j->unsaved[i]) j->renoted[i] = true;
  j->failure = reason.empty() ? "write failed" : reason;
  j->failed_ms = now_ms(j);
  if (changed >= 0) mark(j, static_cast<size_t>(changed), true);
  return false;
}

void set_cards(Journal* j, const std::vector<CardResult>& cards) {
  j->cards = cards;
  j->unsaved.assign(cards.size(), false);
  j->renoted.assign(cards.size(), false);
  j->failure.clear();
}

}  // namespace

bool journal_start(Journal* journal, const std::string& path, const std::vector<CardResult>& cards,
                   std::string* reason) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  set_cards(journal, cards);
  journal->path = path;
  if (write_locked(journal, -1)) return true;
  if (reason) *reason = journal->failure;
  journal->path.clear();
  journal->failure.clear();
  return false;
}

bool journal_start_kept(Journal* journal, const std::string& folder, const LocalTime& start,
                        const std::vector<CardResult>& cards, std::string* reason) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  set_cards(journal, cards);
  journal->path.clear();
  std::string why;
  if (!make_folder_path(folder, &why)) {
    if (reason) *reason = why;
    return false;
  }
  const std::string name = report_file_name(start);
  const std::string stem = name.substr(0, name.size() - 4);  // without ".csv"
  const std::string text = file_text(journal);
  for (int n = 1; n <= KEPT_NAME_TRIES; ++n) {
    const std::string path =
        join_path(folder, n == 1 ? name : stem + "_" + std::to_string(n) + ".csv");
    bool taken = false;
    if (write_file_new(path, text, &why, &taken)) {
      journal->path = path;
      return true;
    }
    if (!taken) break;
  }
  if (reason) *reason = why;
  return false;
}

bool journal_set(Journal* journal, const std::vector<CardResult>& cards) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  journal->cards = cards;
  journal->unsaved.resize(cards.size(), false);
  journal->renoted.resize(cards.size(), false);
  return write_locked(journal, -1);
}

bool journal_update(Journal* journal, const CardResult& card) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  size_t i = 0;
  while (i < journal->cards.size() && journal->cards[i].ip != card.ip) ++i;
  if (i == journal->cards.size()) {
    journal->cards.push_back(card);
    journal->unsaved.push_back(false);
    journal->renoted.push_back(false);
  } else {
    journal->cards[i] = card;
  }
  return write_locked(journal, static_cast<long>(i));
}

bool journal_retry(Journal* journal) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  if (journal->failure.empty()) return true;
  if (now_ms(journal) - journal->failed_ms < JOURNAL_RETRY_MS) return false;
  return write_locked(journal, -1);
}

bool journal_behind(Journal* journal) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  return !journal->failure.empty();
}

std::string journal_status(Journal* journal) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  if (journal->path.empty()) return "";
  if (!journal->failure.empty()) return NOT_SAVED + journal->failure;
  return SAVED + journal->path;
}

std::vector<std::pair<CardResult, std::string>> journal_notes(Journal* journal) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  std::vector<std::pair<CardResult, std::string>> out;
  for (size_t i = 0; i < journal->cards.size(); ++i) {
    // Every card still unsaved, each time: another view of the card (its
    // check's outcome) may have been shown over the note meanwhile.
    if (!journal->renoted[i] && !journal->unsaved[i]) continue;
    journal->renoted[i] = false;
    out.emplace_back(journal->cards[i],
                     journal->unsaved[i] ? NOT_SAVED + journal->failure : std::string());
  }
  return out;
}

std::vector<CardResult> journal_cards(Journal* journal) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  return journal->cards;
}

bool journal_end_pending(Journal* journal, CardOutcome outcome) {
  std::lock_guard<std::mutex> lock(journal->mutex);
  bool changed = false;
  for (CardResult& card : journal->cards)
    if (card.outcome == CardOutcome::pending) {
      card.outcome = outcome;
      changed = true;
    }
  return !changed || write_locked(journal, -1);
}
