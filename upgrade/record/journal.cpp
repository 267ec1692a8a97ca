// The kept record of a batch: written whole once, then each card's row in
// its own slot.
#include <chrono>

#include "platform/files.h"
#include "upgrade/record/journal.h"

namespace {

const int KEPT_NAME_TRIES = 1000;  // "_2" to "_1000" after the plain name
const uint64_t PAGE = 4096;

const char SAVED[] = "Report saved: ";
const char NOT_SAVED[] = "Report not saved: ";

int64_t now_ms(Journal* j) {
  if (j->clock_ms) return j->clock_ms();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The row padded to its slot's size: blanks before the line break, in its
// last cell, the padding column, where no reader takes them for a value.
std::string padded(std::string row, size_t size) {
  row.insert(row.size() - 2, size - row.size(), ' ');
  return row;
}

void mark(Journal* j, size_t i, bool unsaved) {
  if (j->unsaved[i] != unsaved) j->renoted[i] = true;
  j->unsaved[i] = unsaved;
}

void index_cards(Journal* j) {
  j->index.clear();
  j->index.reserve(j->cards.size());
  for (size_t i = 0; i < j->cards.size(); ++i) j->index[j->cards[i].ip] = i;
}

bool sync_now(Journal* j) {
  return j->held ? sync_held(j->held.get()) : !j->stamped || sync_file(j->path, j->stamp);
}

void sync_due(Journal* j, bool force) {
  if (!j->unsynced) return;
  const int64_t now = now_ms(j);
  if (!force && now - j->synced_ms < JOURNAL_SYNC_MS) return;
  // Not flushed (the file held elsewhere meanwhile): again at the next turn.
  j->unsynced = !sync_now(j);
  j->synced_ms = now;
}

enum class Placed { written, whole, failed };

// One card's row over its slot. whole: it must be written whole (no slot,
// it outgrew it, the file changed); failed: the file could not be written
// now, and a whole write would fail as well (the reason).
Placed write_in_place(Journal* j, size_t i, std::string* reason) {
  if ((!j->held && !j->stamped) || j->write || i >= j->slots.size() || !j->failure.empty())
    return Placed::whole;
  const std::string row = report_csv_row(j->cards[i]);
  const Journal::Slot& slot = j->slots[i];
  if (row.size() > slot.size) return Placed::whole;
  const std::string bytes = padded(row, slot.size);
  if (j->held) {
    if (!write_held_at(j->held.get(), slot.at, bytes, reason)) return Placed::whole;
  } else {
    switch (write_file_at(j->path, j->stamp, slot.at, bytes, reason)) {
      case InPlace::written:
        break;
      case InPlace::changed:
        reason->clear();
        return Placed::whole;
      case InPlace::failed:
        return Placed::failed;
    }
  }
  j->unsynced = true;
  sync_due(j, false);
  return Placed::written;
}

// Under the lock. changed: the card whose state this write carries, or -1.
bool write_locked(Journal* j, long changed) {
  if (j->path.empty()) return true;
  std::string reason;
  const Placed placed =
      changed >= 0 ? write_in_place(j, static_cast<size_t>(changed), &reason) : Placed::whole;
  if (placed == Placed::written) {
    // Nothing else was behind (write_in_place asks that): only this row changed.
    mark(j, static_cast<size_t>(changed), false);
    return true;
  }
  bool ok = false;
  if (placed == Placed::whole) {
    std::vector<Journal::Slot> slots;
    const std::string text = journal_layout(j->cards, &slots);
    FileStamp stamp;
    ok = j->write  ? j->write(j->path, text, &reason)
         : j->held ? write_held_whole(j->held.get(), text, &reason)
                   : write_file_whole(j->path, text, &reason, &stamp);
    if (ok) {
      j->slots = j->write ? std::vector<Journal::Slot>() : std::move(slots);
      j->stamp = stamp;
      j->stamped = !j->held && !j->write;
      j->synced_ms = now_ms(j);
      j->unsynced = false;
    }
  }
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
  sync_due(j, true);  // what was written in place to the file before
  j->stamped = false;
  j->cards = cards;
  index_cards(j);
  j->unsaved.assign(cards.size(), false);
  j->renoted.assign(cards.size(), false);
  j->failure.clear();
  j->slots.clear();
}

}  // namespace

bool journal_start(Journal* journal, const std::string& path, const std::vector<CardResult>& cards,
                   std::string* reason) {
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
  set_cards(journal, cards);
  journal->path.clear();
  std::string why;
  if (!make_folder_path(folder, &why)) {
    if (reason) *reason = why;
    return false;
  }
  const std::string name = report_file_name(start);
  const std::string stem = name.substr(0, name.size() - 4);  // without ".csv"
  std::vector<Journal::Slot> slots;
  const std::string text = journal_layout(journal->cards, &slots);
  for (int n = 1; n <= KEPT_NAME_TRIES; ++n) {
    const std::string path =
        join_path(folder, n == 1 ? name : stem + "_" + std::to_string(n) + ".csv");
    bool taken = false;
    if (write_file_new(path, text, &why, &taken, &journal->stamp)) {
      // Not held: a spreadsheet must be able to open it while the window
      // runs (a held file is open for writing, which it refuses to share);
      // its rows are written in place, the file open only for each write.
      journal->path = path;
      journal->slots = std::move(slots);
      journal->stamped = true;
      journal->synced_ms = now_ms(journal);
      journal->unsynced = false;
      return true;
    }
    if (!taken) break;
  }
  if (reason) *reason = why;
  return false;
}

bool journal_set(Journal* journal, const std::vector<CardResult>& cards) {
  journal->cards = cards;
  index_cards(journal);
  journal->unsaved.resize(cards.size(), false);
  journal->renoted.resize(cards.size(), false);
  const bool ok = write_locked(journal, -1);
  sync_due(journal, true);
  return ok;
}

bool journal_update(Journal* journal, const CardResult& card) {
  auto it = journal->index.find(card.ip);
  size_t i = it == journal->index.end() ? journal->cards.size() : it->second;
  if (i == journal->cards.size()) {
    // A card not in the batch: at the end, with the file written whole.
    journal->index[card.ip] = i;
    journal->cards.push_back(card);
    journal->unsaved.push_back(false);
    journal->renoted.push_back(false);
    return write_locked(journal, -1);
  }
  journal->cards[i] = card;
  return write_locked(journal, static_cast<long>(i));
}

bool journal_retry(Journal* journal) {
  sync_due(journal, false);
  if (journal->failure.empty()) return true;
  if (now_ms(journal) - journal->failed_ms < JOURNAL_RETRY_MS) return false;
  return write_locked(journal, -1);
}

bool journal_behind(Journal* journal) {
  return !journal->failure.empty();
}

bool journal_unsynced(Journal* journal) {
  return journal->unsynced;
}

bool journal_sync(Journal* journal) {
  sync_due(journal, true);
  return !journal->unsynced;
}

std::string journal_status(Journal* journal) {
  if (journal->path.empty()) return "";
  if (!journal->failure.empty()) return NOT_SAVED + journal->failure;
  return SAVED + journal->path;
}

std::vector<std::pair<CardResult, std::string>> journal_notes(Journal* journal) {
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
  return journal->cards;
}

bool journal_end_pending(Journal* journal, CardOutcome outcome) {
  bool changed = false;
  for (CardResult& card : journal->cards)
    if (card.outcome == CardOutcome::pending) {
      card.outcome = outcome;
      changed = true;
    }
  return !changed || write_locked(journal, -1);
}

std::string journal_layout(const std::vector<CardResult>& cards, std::vector<Journal::Slot>* slots) {
  // The header records the rows written, so that a file cut short of them
  // (between two slots, at a page's end) is not read as whole.
  std::string out = report_csv_header(cards.size());
  slots->clear();
  slots->reserve(cards.size());
  for (const CardResult& card : cards) {
    const std::string row = report_csv_row(card);
    const size_t size = row.size() + JOURNAL_ROW_SLACK;
    uint64_t at = out.size();
    if (size > PAGE || (slots->empty() && at % PAGE + size > PAGE)) {
      // No slot fits in a page: plain rows, written whole at every change.
      slots->clear();
      return report_csv(cards);
    }
    if (at % PAGE + size > PAGE) {
      // The slot would cross into the next page: the row before it takes
      // the rest of this one.
      const uint64_t next = (at / PAGE + 1) * PAGE;
      out.insert(out.size() - 2, static_cast<size_t>(next - at), ' ');
      slots->back().size += static_cast<size_t>(next - at);
      at = next;
    }
    out += padded(row, size);
    slots->push_back({at, size});
  }
  return out;
}
