#pragma once
// What became of each card of a batch, and the kept report: one row per card
// line, written as a CSV file named by the batch's start time.
//
// A card's outcome is one enumeration, from the end of its transfer to the
// check that it runs the new firmware; every text it shows (the report line,
// the CSV words, the device table's Result column) is rendered here.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "image/image.h"
#include "upgrade/record/verdict.h"

enum class CardOutcome {
  ok,  // the card acknowledged the last block; its check is still running
  timeout,
  card_error,  // the card's own message
  aborted,
  no_connection,
  socket_error,
  no_memory,
  too_large,
  no_session,
  // After " OK.": what the card said when it was asked again.
  applied,
  not_applied,
  no_answer,
  not_verified,  // the image has no version to compare with
  // Not sent: the card already runs the image's version or a newer one
  // (the command-line tool without --force).
  skipped_version,
  // Not sent: an earlier report of the same cards shows this one done; the
  // message holds that report's file name.
  skipped_done,
  // Not sent: a rollout halted before the card's turn came.
  not_started,
  // In the kept report only, until the card's line comes: not started yet,
  // and its transfer started.
  pending,
  sending,
  // Not an outcome: how many there are. New outcomes go above it, and the
  // table of their texts will not compile without their rows.
  count_,
};

// The line tail after the card's IP text (" OK.\r\n" for ok and every check
// outcome); card_error has none: its line is the card's message.
const char* outcome_line(CardOutcome outcome);
// The CSV "result" word (ok for every check outcome) and "verified" word
// (empty while the check runs or for a card that failed).
const char* outcome_result_word(CardOutcome outcome);
const char* outcome_verified_word(CardOutcome outcome);

// One card of a batch.
struct CardResult {
  LocalTime started{};
  LocalTime ended{};
  uint32_t ip = 0;  // network byte order
  uint8_t mac[6] = {};
  uint32_t version_before = 0;
  std::string image;  // the image's file path
  uint32_t image_version = IMAGE_VERSION_NONE;
  std::string image_sha256;  // the image file's digest, 64 hex digits; empty when not known
  CardOutcome outcome = CardOutcome::ok;
  // The card's own text (cleaned), for card_error; the report's name for
  // skipped_done; why, for a not_applied whose check heard another device.
  std::string message;
  uint32_t bytes_sent = 0;
  uint32_t answered_version = 0;  // what the card said when checked
  int verified_seconds = -1;      // from the transfer's end to the check's outcome
  // Judged by verdict_of whenever the line or the check changes it (the
  // report's), or read back from a kept report.
  Verdict verdict = Verdict::pending;
};

// Result lines; each follows the card's IP text.
inline constexpr const char* LINE_OK = " OK.\r\n";
inline constexpr const char* LINE_TIMEOUT = " Timeout.\r\n";
inline constexpr const char* LINE_ABORTED = " User Aborted !\r\n";
inline constexpr const char* LINE_NO_CONNECTION = " No connection , abort.\r\n";
inline constexpr const char* LINE_SOCKET_ERROR = " Socket Error !\r\n";
inline constexpr const char* LINE_NO_MEMORY = " Out of memory , abort.\r\n";
inline constexpr const char* LINE_TOO_LARGE = " Image too large for the card , abort.\r\n";
inline constexpr const char* LINE_NO_SESSION = " No session could be started , abort.\r\n";

// Why a card stopped before its turn was not sent: its line is
// "<ip> Not started : stopped by the operator ." and the report begins
// with the count of such cards.
inline constexpr const char* STOPPED_BY_OPERATOR = "stopped by the operator";

inline constexpr const char* LINE_NOT_STARTED = " Not started : rollout halted .\r\n";
// "Not started : <reason> ." for a card not_started for another reason than
// a halt (its message: STOPPED_BY_OPERATOR).
std::string not_started_text(const std::string& reason);
// "Skipped : done in <report file name> ." for skipped_done.
std::string skipped_done_text(const std::string& report_name);

// A card's own text as the program shows it, UTF-8 whatever the card sent:
// control characters (C0, DEL, C1, and the line, paragraph and direction
// marks that could fake or reorder a line) as spaces, each byte that is not
// part of a well-formed UTF-8 sequence as U+FFFD, at most this many
// characters (a longer one cut and ended with "...").
inline constexpr size_t REPORT_TEXT_LIMIT = 200;
std::string report_safe_text(const std::string& text);
// A card's message as it follows the card's address: as it is, unless it
// would begin like one of the program's own outcomes ("OK.", "Timeout.",
// "applied" ..., without regard to case or leading blanks): then it is
// quoted as the card's, Card error: "OK.".
std::string card_message_text(const std::string& message);

// The device table's Result column, a few words.
std::string result_column_text(const CardResult& card);
// The report line without the IP: "OK.", "Timeout.", the card's message...
std::string report_message(const CardResult& card);
// A failed check's line without the IP, in place of the transfer's "OK.":
// "Not applied : still 1.02 .", "No answer after the upgrade ."; empty for
// any other outcome.
std::string check_line_text(const CardResult& card);
// The report's text with each failed check's card line so: the line " OK."
// of that card becomes its check_line_text.
std::string report_text_with_checks(const std::string& text, const std::vector<CardResult>& cards);
// Why a card failed, in a few words after its address: "not applied (still
// 1.02)", "refused (\"Flash error\")", "timed out".
std::string failure_words(const CardResult& card);

// The CSV file: header and one row per card, in the order given.
//
// After the report's columns comes one that holds no data, the padding: in
// each row a cell of blanks (empty here) that the kept report widens to
// give the row room to be written again in place (upgrade/journal.h),
// where no reader takes the blanks for part of a value; readers ignore it.
// Its header cell records how many card rows the file was written with,
// "padding (100 rows)", so that a file that ends short of them, cut
// between two rows, is known as cut (read_kept_report).
std::string report_csv(const std::vector<CardResult>& cards);
// The header of a file of this many card rows, and one card's row, each
// with its CRLF: report_csv is the header and the rows one after the other.
std::string report_csv_header(size_t rows);
std::string report_csv_row(const CardResult& card);
// "padding (100 rows)", "padding (1 row)": the padding column's header cell.
inline constexpr const char* REPORT_PADDING_COLUMN = "padding";
std::string report_padding_header(size_t rows);
// Its columns, and one card's cells as they are (the cells from outside
// without the spreadsheet's guard), for other forms of the same report:
// the data alone, without the padding.
const std::vector<std::string>& report_columns();
std::vector<std::string> report_row(const CardResult& card);
// "YYYY-MM-DD_HHMMSS.csv"
std::string report_file_name(const LocalTime& start);
// Whole seconds from a to b (negative when b is earlier), each in its own
// offset from UTC.
long long seconds_between(const LocalTime& a, const LocalTime& b);

// The word a card is counted under: the verified word when its check said
// one, else the result word ("applied", "no_answer", "timeout", "ok").
std::string result_count_word(const CardResult& card);
std::map<std::string, int> result_counts(const std::vector<CardResult>& cards);

// A report's time: "2024-05-01 02:00:00".
std::string clock_text(const LocalTime& t);
