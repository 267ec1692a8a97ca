#include <cstdio>
#include <iterator>

#include "protocol/csv.h"
#include "protocol/packet.h"
#include "upgrade/record/results.h"

namespace {

struct OutcomeText {
  CardOutcome outcome;
  const char* line;
  const char* result_word;
  const char* verified_word;
  const char* column;  // the Result column, when it is a fixed text
};

// One row per outcome, in enumeration order.
constexpr OutcomeText OUTCOMES[] = {
    {CardOutcome::ok, LINE_OK, "ok", "", "OK, checking ..."},
    {CardOutcome::timeout, LINE_TIMEOUT, "timeout", "", "Timeout."},
    {CardOutcome::card_error, nullptr, "card_error", "", nullptr},
    {CardOutcome::aborted, LINE_ABORTED, "aborted", "", "User Aborted !"},
    {CardOutcome::no_connection, LINE_NO_CONNECTION, "no_connection", "", "No connection"},
    {CardOutcome::socket_error, LINE_SOCKET_ERROR, "socket_error", "", "Socket Error !"},
    {CardOutcome::no_memory, LINE_NO_MEMORY, "no_memory", "", "Out of memory"},
    {CardOutcome::too_large, LINE_TOO_LARGE, "too_large", "", "Image too large for the card"},
    {CardOutcome::no_session, LINE_NO_SESSION, "no_session", "", "No session could be started"},
    {CardOutcome::applied, LINE_OK, "ok", "applied", nullptr},
    {CardOutcome::not_applied, LINE_OK, "ok", "not_applied", nullptr},
    {CardOutcome::no_answer, LINE_OK, "ok", "no_answer", "no answer"},
    {CardOutcome::not_verified, LINE_OK, "ok", "not_verified", "OK, not verified"},
    {CardOutcome::skipped_version, nullptr, "skipped_version", "", nullptr},
    {CardOutcome::skipped_done, nullptr, "skipped_done", "", "skipped: done"},
    {CardOutcome::not_started, LINE_NOT_STARTED, "not_started", "", "Not started"},
    {CardOutcome::pending, "", "pending", "", "Waiting ..."},
    {CardOutcome::sending, "", "sending", "", "Sending ..."},
};

constexpr bool rows_in_enumeration_order() {
  for (size_t i = 0; i < std::size(OUTCOMES); ++i)
    if (static_cast<size_t>(OUTCOMES[i].outcome) != i) return false;
  return true;
}
static_assert(std::size(OUTCOMES) == static_cast<size_t>(CardOutcome::count_),
              "every outcome has its row");
static_assert(rows_in_enumeration_order(), "the rows follow the enumeration");

// How the program's own outcomes begin, wherever a card's message could
// stand instead: the report line, the Result column, the command-line
// tool's lines. Lower case; compared without regard to case.
const char* const OWN_WORDS[] = {
    "ok", "timeout", "user aborted", "no connection", "socket error", "out of memory",
    "image too large", "no session", "skipped", "applied", "not applied", "no answer",
    "card error", "pending", "sending", "checking", "started", "ended", "report saved",
    "report not saved",
};

bool begins_like_own_words(const std::string& text) {
  size_t from = text.find_first_not_of(' ');
  if (from == std::string::npos) return false;
  for (const char* word : OWN_WORDS) {
    size_t i = 0;
    for (; word[i] && from + i < text.size(); ++i) {
      char c = text[from + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != word[i]) break;
    }
    if (!word[i]) return true;
  }
  return false;
}

// The length of the well-formed UTF-8 sequence at text[i] and its code
// point, or 0 when the byte there does not begin one (overlong forms,
// surrogates and values past U+10FFFF included).
size_t utf8_sequence(const std::string& text, size_t i, uint32_t* code) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  size_t length;
  uint32_t value, low = 0x80, high = 0xBF;  // the bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = byte(i + k);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
    value = value << 6 | (next & 0x3F);
  }
  *code = value;
  return length;
}

bool is_control(uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
         (code >= 0x200E && code <= 0x200F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

const OutcomeText& text_of(CardOutcome outcome) {
  size_t i = static_cast<size_t>(outcome);
  return OUTCOMES[i < std::size(OUTCOMES) ? i : 0];
}

std::string version_words(uint32_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%02d", int(version >> 8 & 0xFF), int(version & 0xFF));
  return text;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

long long seconds_of(const LocalTime& t) {
  return days_from_civil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) *
             86400 +
         t.hour * 3600LL + t.minute * 60LL + t.second - t.utc_offset;
}

}  // namespace

std::string report_safe_text(const std::string& text) {
  // Whole characters, so that the cut never splits one.
  std::vector<std::string> shown;
  for (size_t i = 0; i < text.size() && shown.size() <= REPORT_TEXT_LIMIT;) {
    uint32_t code = 0;
    size_t length = utf8_sequence(text, i, &code);
    if (length == 0)
      shown.push_back("\xEF\xBF\xBD");
    else if (is_control(code))
      shown.push_back(" ");
    else
      shown.push_back(text.substr(i, length));
    i += length ? length : 1;
  }
  const bool cut = shown.size() > REPORT_TEXT_LIMIT;
  if (cut) shown.resize(REPORT_TEXT_LIMIT - 3);
  std::string out;
  for (const std::string& c : shown) out += c;
  return cut ? out + "..." : out;
}

std::string skipped_done_text(const std::string& report_name) {
  return "Skipped : done in " + report_name + " .";
}

std::string card_message_text(const std::string& message) {
  return begins_like_own_words(message) ? "Card error: \"" + message + "\"" : message;
}

const char* outcome_line(CardOutcome outcome) { return text_of(outcome).line; }
const char* outcome_result_word(CardOutcome outcome) { return text_of(outcome).result_word; }
const char* outcome_verified_word(CardOutcome outcome) { return text_of(outcome).verified_word; }

std::string result_column_text(const CardResult& card) {
  switch (card.outcome) {
    case CardOutcome::card_error:
      return card_message_text(card.message);
    case CardOutcome::skipped_version:
      return "skipped: " + version_words(card.version_before);
    case CardOutcome::applied:
      return "applied " + version_words(card.answered_version) + " in " +
             std::to_string(card.verified_seconds) + " s";
    case CardOutcome::not_applied:
      // The version once: "fell back to 1.00" names it already.
      if (!card.message.empty() &&
          card.message.find(version_words(card.answered_version)) != std::string::npos)
        return "not applied: " + card.message;
      if (!card.message.empty())
        return "not applied: " + card.message + " (" + version_words(card.answered_version) + ")";
      return "not applied: " + version_words(card.answered_version);
    default:
      return text_of(card.outcome).column;
  }
}

std::string not_started_text(const std::string& reason) { return "Not started : " + reason + " ."; }

std::string report_message(const CardResult& card) {
  if (card.outcome == CardOutcome::card_error) return card_message_text(card.message);
  if (card.outcome == CardOutcome::skipped_version)
    return "Skipped : version " + version_words(card.version_before) + " .";
  if (card.outcome == CardOutcome::skipped_done) return skipped_done_text(card.message);
  if (card.outcome == CardOutcome::not_started && !card.message.empty())
    return not_started_text(card.message);
  // A check that found something else answering for the card says so.
  if (card.outcome == CardOutcome::not_applied && !card.message.empty()) return card.message;
  std::string line = outcome_line(card.outcome);
  size_t from = line.find_first_not_of(' ');
  size_t to = line.find_last_not_of("\r\n");
  return from == std::string::npos ? "" : line.substr(from, to + 1 - from);
}

namespace {

// "still 1.02" when the card answered with the version it ran before.
std::string answered_words(const CardResult& card) {
  return (card.answered_version == card.version_before ? "still " : "runs ") +
         version_words(card.answered_version);
}

}  // namespace

std::string check_line_text(const CardResult& card) {
  if (card.outcome == CardOutcome::no_answer) return "No answer after the upgrade .";
  if (card.outcome != CardOutcome::not_applied) return "";
  return "Not applied : " + (card.message.empty() ? answered_words(card) : card.message) + " .";
}

std::string report_text_with_checks(const std::string& text, const std::vector<CardResult>& cards) {
  std::string out = text;
  for (const CardResult& card : cards) {
    const std::string line = check_line_text(card);
    if (line.empty()) continue;
    const std::string was = std::string(ip_to_text(card.ip)) + LINE_OK;
    for (size_t at = out.find(was); at != std::string::npos; at = out.find(was, at + 1)) {
      if (at != 0 && (at < 2 || out.compare(at - 2, 2, "\r\n") != 0)) continue;  // inside a line
      out.replace(at, was.size(), std::string(ip_to_text(card.ip)) + " " + line + "\r\n");
      break;
    }
  }
  return out;
}

std::string failure_words(const CardResult& card) {
  switch (card.outcome) {
    case CardOutcome::timeout:
      return "timed out";
    case CardOutcome::card_error:
      return "refused (\"" + card.message + "\")";
    case CardOutcome::aborted:
      return "aborted";
    case CardOutcome::no_connection:
      return "no connection";
    case CardOutcome::socket_error:
      return "socket error";
    case CardOutcome::no_memory:
      return "out of memory";
    case CardOutcome::too_large:
      return "image too large";
    case CardOutcome::no_session:
      return "no session";
    case CardOutcome::not_applied:
      return "not applied (" + (card.message.empty() ? answered_words(card) : card.message) + ")";
    case CardOutcome::no_answer:
      return "no answer after the upgrade";
    default:
      return result_column_text(card);
  }
}

namespace {

// The cells that came from outside the program.
const size_t IMAGE_CELL = 5, MESSAGE_CELL = 8;

}  // namespace

const std::vector<std::string>& report_columns() {
  static const std::vector<std::string> columns = {
      "started", "ended",  "ip",      "mac",     "version_before", "image",           "image_version",
      "result",  "message", "seconds", "bytes_sent", "verified",   "verified_seconds",
      "image_sha256", "verdict"};
  return columns;
}

std::vector<std::string> report_row(const CardResult& c) {
  // A card that never answered showed no MAC and no version: those cells
  // are empty (null in JSON), never all zeros or 0.00.
  char mac[32] = "";
  for (uint8_t byte : c.mac)
    if (byte) mac_to_text(mac, c.mac);
  const bool has_image_version = c.image_version != IMAGE_VERSION_NONE;
  const char* verified = outcome_verified_word(c.outcome);
  return {clock_text(c.started), clock_text(c.ended), ip_to_text(c.ip), mac,
          c.version_before ? version_words(c.version_before) : "", c.image,
          has_image_version ? version_words(c.image_version) : "",
          outcome_result_word(c.outcome), report_message(c),
          std::to_string(seconds_between(c.started, c.ended)), std::to_string(c.bytes_sent),
          verified,
          *verified && c.verified_seconds >= 0 ? std::to_string(c.verified_seconds) : "",
          c.image_sha256, verdict_word(c.verdict)};
}

std::string report_padding_header(size_t rows) {
  return std::string(REPORT_PADDING_COLUMN) + " (" + std::to_string(rows) +
         (rows == 1 ? " row)" : " rows)");
}

std::string report_csv_header(size_t rows) {
  std::vector<std::string> header = report_columns();
  header.push_back(report_padding_header(rows));
  return csv_record(header);
}

std::string report_csv_row(const CardResult& c) {
  std::vector<std::string> row = report_row(c);
  row[IMAGE_CELL] = csv_outside_text(row[IMAGE_CELL]);
  row[MESSAGE_CELL] = csv_outside_text(row[MESSAGE_CELL]);
  row.emplace_back();  // the padding, last: the journal widens it before the line break
  return csv_record(row);
}

std::string report_csv(const std::vector<CardResult>& cards) {
  std::string out = report_csv_header(cards.size());
  for (const CardResult& c : cards) out += report_csv_row(c);
  return out;
}

std::string report_file_name(const LocalTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d%02d%02d.csv", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return text;
}

long long seconds_between(const LocalTime& a, const LocalTime& b) {
  return seconds_of(b) - seconds_of(a);
}

std::string result_count_word(const CardResult& card) {
  const char* verified = outcome_verified_word(card.outcome);
  return *verified ? verified : outcome_result_word(card.outcome);
}

std::map<std::string, int> result_counts(const std::vector<CardResult>& cards) {
  std::map<std::string, int> counts;
  for (const CardResult& c : cards) ++counts[result_count_word(c)];
  return counts;
}

std::string clock_text(const LocalTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}
