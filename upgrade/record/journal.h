#pragma once
// The record of a run: its report (the lines as they come, one result per
// card) and its journal, the kept file written again at every change.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "upgrade/record/results.h"

// The kept report of a batch: every card of the batch in batch order with
// its last known state, on disk before anyone hears of a change, so that
// whatever moment the program is stopped at the file names every card.
//
// The file is written whole once (at the start, and when the front sets every
// card), laid out so that each card's row has a slot of its own, padded with
// blanks before its line break, in its padding cell (a column of its own,
// results.h, so that every value reads back as written), and never crossing a
// 4096-byte page; its header records how many rows it was written with. A
// change of one card is then written over its slot alone, in one write held
// inside one page (platform/files.h), through the held file or, for a file the
// run does not hold, the file opened for that write alone with sharing that
// lets readers in: its cost does not grow with the batch, and a process killed
// at any moment leaves either the old row or the new one. A row that outgrows
// its slot, or a file that is no longer the one written (another program saved
// over it), has the file written whole again, with new slots. What is written
// in place reaches the disk within JOURNAL_SYNC_MS of the next change, or of
// journal_sync.
//
// A write that fails (the file held open elsewhere) is tried again at the
// next change and by journal_retry; the cards whose state is not on disk
// carry the reason until a write succeeds.
inline constexpr int64_t JOURNAL_RETRY_MS = 3000;
inline constexpr int64_t JOURNAL_SYNC_MS = 1000;
// Blanks each row's slot leaves for its later states (a line, a check).
inline constexpr size_t JOURNAL_ROW_SLACK = 96;
using FileWriter = std::function<bool(const std::string& path, const std::string& bytes,
                                      std::string* reason)>;
struct HeldFile;
// The run's: touched on its loop's thread alone (or its front's, before
// the run starts and after it ended).
struct Journal {
  std::vector<CardResult> cards;  // batch order
  std::unordered_map<uint32_t, size_t> index;  // into cards, by address
  std::vector<bool> unsaved;      // beside cards: its latest state is not on disk
  std::vector<bool> renoted;      // beside cards: unsaved changed since journal_notes
  std::string path;               // empty: not kept
  std::string failure;            // why the last write failed; empty when it did not
  int64_t failed_ms = 0;          // when, by the caller's clock
  std::function<int64_t()> clock_ms;
  FileWriter write;  // write_file_whole unless a test holds the file
  // The file held by this run (the command-line tool's --report): written
  // through it, rows in place. Unheld (the window's kept reports, which a
  // spreadsheet must be able to open meanwhile) rows are written in place
  // to the file as stamped by its last whole write.
  std::shared_ptr<HeldFile> held;
  FileStamp stamp;
  bool stamped = false;
  struct Slot {
    uint64_t at = 0;
    size_t size = 0;
  };
  std::vector<Slot> slots;  // beside cards, as last written whole; empty: whole writes only
  int64_t synced_ms = 0;
  bool unsynced = false;
};
// The kept file's text for these cards, each row padded to its slot; the
// slots where they lie (none when a row does not fit in a page).
std::string journal_layout(const std::vector<CardResult>& cards, std::vector<Journal::Slot>* slots);
// Starts the journal at path with the cards of the batch (their outcome as
// given, pending for the cards still to go), replacing what is there. False
// with the reason when the file cannot be written; the journal stays unkept.
bool journal_start(Journal* journal, const std::string& path, const std::vector<CardResult>& cards,
                   std::string* reason);
// The same for a kept report in folder (made when missing) named by start:
// never over another file, "..._2.csv" and on when the name is taken.
bool journal_start_kept(Journal* journal, const std::string& folder, const LocalTime& start,
                        const std::vector<CardResult>& cards, std::string* reason);
// Every card's state at once (the batch's order), written at once. False
// when the file is behind.
bool journal_set(Journal* journal, const std::vector<CardResult>& cards);
// A card's new state (matched by address; a card not in the batch is added
// at the end), written at once. False when the file is behind.
bool journal_update(Journal* journal, const CardResult& card);
// Writes again when a write failed and JOURNAL_RETRY_MS have passed since;
// true when the file is (now) up to date.
bool journal_retry(Journal* journal);
bool journal_behind(Journal* journal);
// Whether rows written in place are not yet flushed to the disk; and the
// flush, true when nothing is left unflushed.
bool journal_unsynced(Journal* journal);
bool journal_sync(Journal* journal);
// "Report saved: <path>" or "Report not saved: <reason>"; empty when the
// journal is not kept.
std::string journal_status(Journal* journal);
// Every card whose state is not on disk, with its note "Report not saved:
// <reason>", and each card saved since the last call, with an empty note.
std::vector<std::pair<CardResult, std::string>> journal_notes(Journal* journal);
std::vector<CardResult> journal_cards(Journal* journal);
// Every card still pending takes this outcome, written at once (the
// program is about to go).
bool journal_end_pending(Journal* journal, CardOutcome outcome);

// The text of one batch: whole lines appended, no size limit; beside it one
// result per card line, and the batch's journal. UTF-8 throughout: the
// cards' messages are cleaned into it, and a front shows it in its own code
// page. The run's: touched on its loop's thread alone.
struct Report {
  std::string text;
  std::vector<CardResult> cards;     // in line order
  std::vector<CardResult> starting;  // cards whose line is still to come
  std::string path;                  // the kept file, once written
  std::function<LocalTime()> clock = local_time_now;
  // The run checks each card after " OK." (its verdict waits for the check).
  bool checks = false;
  // Called after each card line.
  std::function<void(const CardResult&)> card_done;
  // Called after each check outcome (report_check), with the card as it
  // now stands.
  std::function<void(const CardResult&)> checked;
  // Told of every card's start, line and check before anyone hears of it.
  std::shared_ptr<Journal> journal;
};
void report_append(Report* report, const std::string& line);
std::string report_text(Report* report);
// A card handed to the batch; its line comes later through report_card.
void report_card_start(Report* report, const CardResult& card);
// The same for a card that is not sent anything: the journal hears only of its line.
void report_card_queue(Report* report, const CardResult& card);
// A card's line (ip_text + the outcome's line, or the card's message) and
// its result; message is used for card_error only.
void report_card(Report* report, const char* ip_text, uint32_t ip, CardOutcome outcome,
                 const std::string& message, uint32_t bytes_sent);
// A check outcome after " OK.": the card's result changes and the kept file
// is written again; message, for not_applied, says why when it is not the
// version ("another device answers at this address"). False when the card
// is not in this report.
bool report_check(Report* report, uint32_t ip, CardOutcome outcome, uint32_t answered_version,
                  int seconds, const std::string& message = "");
// The recheck after the run of a card applied: its outcome and message
// change (the seconds it took to be applied stay), the same way. False
// when the card is not applied in this report.
bool report_recheck(Report* report, uint32_t ip, CardOutcome outcome, uint32_t answered_version,
                    const std::string& message);
// The report box's last line for the kept file in folder: the journal's
// status, the journal started there (pending for no card) when it has none.
// "Report saved: <path>" or "Report not saved: <reason>".
std::string keep_report(Report* report, const std::string& folder, const LocalTime& start);
std::vector<CardResult> report_cards(Report* report);
