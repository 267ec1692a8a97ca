// A kept report read back: the cards of an earlier run, for --resume.
#include "upgrade/record/kept_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "protocol/address.h"
#include "protocol/csv.h"
#include "protocol/packet.h"
#include "protocol/text.h"

namespace {

// The ' that report_csv puts before a formula-like cell from outside.
std::string unguarded(const std::string& cell) { return csv_outside_text_read(cell); }

bool read_time(const std::string& text, LocalTime* t) {
  // "YYYY-MM-DD HH:MM:SS"
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
      text[13] != ':' || text[16] != ':')
    return false;
  uint32_t v[6];
  const size_t at[6] = {0, 5, 8, 11, 14, 17}, len[6] = {4, 2, 2, 2, 2, 2};
  for (int i = 0; i < 6; ++i)
    if (!read_decimal(text.substr(at[i], len[i]), len[i], &v[i])) return false;
  if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 60)
    return false;
  *t = LocalTime{int(v[0]), int(v[1]), int(v[2]), int(v[3]), int(v[4]), int(v[5]), 0};
  return true;
}

bool read_mac(const std::string& text, uint8_t* mac) {
  if (text.size() != 17) return false;
  for (int i = 0; i < 6; ++i) {
    if (i && text[size_t(i) * 3 - 1] != '-') return false;
    unsigned v = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = text[size_t(i) * 3 + size_t(k)];
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) return false;
      v = v * 16 + unsigned(d);
    }
    mac[i] = static_cast<uint8_t>(v);
  }
  return true;
}

// "2.05": the version's two bytes in decimal.
bool read_version(const std::string& text, uint32_t* version) {
  const size_t dot = text.find('.');
  uint32_t major = 0, minor = 0;
  if (dot == std::string::npos || !read_decimal(text.substr(0, dot), 3, &major) ||
      !read_decimal(text.substr(dot + 1), 3, &minor) || major > 255 || minor > 255)
    return false;
  *version = major << 8 | minor;
  return true;
}

bool read_outcome(const std::string& result, const std::string& verified, CardOutcome* outcome) {
  for (int i = 0; i <= static_cast<int>(CardOutcome::sending); ++i) {
    const CardOutcome o = static_cast<CardOutcome>(i);
    if (result == outcome_result_word(o) && verified == outcome_verified_word(o)) {
      *outcome = o;
      return true;
    }
  }
  return false;
}

}  // namespace

namespace {

enum Column { STARTED, ENDED, IP, MAC, VERSION_BEFORE, IMAGE, IMAGE_VERSION, RESULT, MESSAGE,
              SECONDS, BYTES_SENT, VERIFIED, VERIFIED_SECONDS, IMAGE_SHA256, VERDICT };
// Where a column the report lacks "stands": never a cell.
const size_t ABSENT = static_cast<size_t>(-1);

// The padding column's header cell: "padding", or with the count of rows
// the file was written with (*rows; ABSENT when it does not say).
bool is_padding_header(const std::string& cell, size_t* rows) {
  const std::string name = REPORT_PADDING_COLUMN;
  *rows = ABSENT;
  if (cell == name) return true;
  const size_t from = name.size() + 2, to = cell.find(' ', from);
  uint32_t n = 0;
  if (cell.compare(0, from, name + " (") != 0 || to == std::string::npos ||
      !read_decimal(cell.substr(from, to - from), 10, &n) || cell != report_padding_header(n))
    return false;
  *rows = n;
  return true;
}

// How the report is laid out, from its header.
struct Layout {
  std::vector<size_t> at;  // where each of report_columns() stands
  bool has_digest = false;
  // Reports of earlier versions pad each row inside its last cell.
  bool padded_last_cell = true;
  size_t rows = ABSENT;  // the card rows it was written with, when it says
};

// The header's layout; false with *why. Only image_sha256 and verdict may
// be missing (reports of earlier versions).
bool read_layout(const std::vector<std::string>& header, Layout* layout, std::string* why) {
  const std::vector<std::string>& columns = report_columns();
  layout->at.assign(columns.size(), ABSENT);
  for (size_t i = 0; i < columns.size(); ++i) {
    auto it = std::find(header.begin(), header.end(), columns[i]);
    if (it != header.end()) {
      layout->at[i] = static_cast<size_t>(it - header.begin());
    } else if (i != IMAGE_SHA256 && i != VERDICT) {
      *why = "not a report of this program: no column \"" + columns[i] + "\"";
      return false;
    }
  }
  layout->has_digest = layout->at[IMAGE_SHA256] != ABSENT;
  for (const std::string& cell : header)
    if (is_padding_header(cell, &layout->rows)) {
      layout->padded_last_cell = false;
      break;
    }
  return true;
}

bool is_digest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// A skipped_done card's message is its line: the earlier report's name inside.
bool read_done_in(const std::string& message, std::string* name) {
  const std::string head = skipped_done_text("");
  const std::string before = head.substr(0, head.size() - 2), after = " .";
  if (message.size() < before.size() + after.size() || message.rfind(before, 0) != 0 ||
      message.compare(message.size() - after.size(), after.size(), after) != 0)
    return false;
  *name = message.substr(before.size(), message.size() - before.size() - after.size());
  return true;
}

// One row into its card; false with *why naming the line and the cell.
bool read_report_row(const CsvRecord& record, const std::vector<size_t>& at, size_t header_cells,
                     CardResult* out, std::string* why) {
  const std::vector<std::string>& columns = report_columns();
  const std::string where = "line " + std::to_string(record.line) + ": ";
  auto cell = [&](int column) {
    const size_t i = at[static_cast<size_t>(column)];
    return i < record.fields.size() ? record.fields[i] : std::string();
  };
  if (record.fields.size() != header_cells) {
    *why = where + std::to_string(record.fields.size()) + " cells, the header has " +
           std::to_string(header_cells);
    return false;
  }
  auto refuse = [&](int column, const char* what) {
    *why = where + columns[static_cast<size_t>(column)] + " \"" + cell(column) + "\" " + what;
    return false;
  };
  CardResult card;
  std::string address_why;
  if (!read_card_address(cell(IP), &card.ip, &address_why)) {
    *why = where + address_why;
    return false;
  }
  if (!read_time(cell(STARTED), &card.started)) return refuse(STARTED, "is not a time");
  if (!read_time(cell(ENDED), &card.ended)) return refuse(ENDED, "is not a time");
  // Empty: the card never answered (its MAC and version unknown).
  if (!cell(MAC).empty() && !read_mac(cell(MAC), card.mac))
    return refuse(MAC, "is not a MAC address");
  if (!cell(VERSION_BEFORE).empty() && !read_version(cell(VERSION_BEFORE), &card.version_before))
    return refuse(VERSION_BEFORE, "is not a version");
  card.image = unguarded(cell(IMAGE));
  card.image_version = IMAGE_VERSION_NONE;
  if (!cell(IMAGE_VERSION).empty() && !read_version(cell(IMAGE_VERSION), &card.image_version))
    return refuse(IMAGE_VERSION, "is not a version");
  if (!read_outcome(cell(RESULT), cell(VERIFIED), &card.outcome)) {
    *why = where + "result \"" + cell(RESULT) + "\" with verified \"" + cell(VERIFIED) +
           "\" is not one of this program's";
    return false;
  }
  const std::string message = unguarded(cell(MESSAGE));
  if (card.outcome == CardOutcome::card_error) card.message = message;
  if (card.outcome == CardOutcome::not_applied && message != report_message(CardResult{}))
    card.message = message;
  if (card.outcome == CardOutcome::skipped_done && !read_done_in(message, &card.message))
    return refuse(MESSAGE, "is not a skipped card's line");
  if (!read_decimal(cell(BYTES_SENT), 10, &card.bytes_sent))
    return refuse(BYTES_SENT, "is not a number");
  uint32_t seconds = 0;
  if (!cell(VERIFIED_SECONDS).empty()) {
    if (!read_decimal(cell(VERIFIED_SECONDS), 9, &seconds))
      return refuse(VERIFIED_SECONDS, "is not a number");
    card.verified_seconds = static_cast<int>(seconds);
  }
  if (card.outcome == CardOutcome::applied) card.answered_version = card.image_version;
  card.image_sha256 = cell(IMAGE_SHA256);
  if (!card.image_sha256.empty() && !is_digest(card.image_sha256))
    return refuse(IMAGE_SHA256, "is not a SHA-256 digest");
  // A report written before the verdict column: judged from its result
  // words as the run would have (a check word means the run checked).
  if (at[VERDICT] == ABSENT) {
    card.verdict = verdict_of(card, false);
  } else if (!verdict_from_word(cell(VERDICT), &card.verdict)) {
    return refuse(VERDICT, "is not one of this program's verdicts");
  }
  *out = card;
  return true;
}

}  // namespace

const CardResult* KeptReport::find(uint32_t ip) const {
  auto it = by_ip.find(ip);
  return it == by_ip.end() ? nullptr : &cards[it->second];
}

bool read_kept_report(const std::string& text, KeptReport* report, std::string* why) {
  std::vector<CsvRecord> records;
  int bad_line = 0;
  if (!read_csv(text, false, &records, &bad_line)) {
    *why = "line " + std::to_string(bad_line) + ": a quoted cell is not closed: the report ends inside a row";
    return false;
  }
  if (records.empty()) {
    *why = "empty, not a report of this program";
    return false;
  }
  // Every row of this program's reports ends with its line break: a file
  // without one at its end was cut inside its last row.
  if (text.back() != '\n' && text.back() != '\r') {
    *why = "line " + std::to_string(records.back().line) +
           ": the report ends inside a row (it was cut)";
    return false;
  }
  // The columns by name, wherever they stand.
  Layout layout;
  KeptReport out;
  if (!read_layout(records[0].fields, &layout, why)) return false;
  out.has_digest = layout.has_digest;
  // Rows end at a line break, and a page's end falls between two slots: a
  // file cut there ends with a whole row, short of the rows it was written
  // with. (One with more has had rows added since: nothing is lost.)
  const size_t rows = records.size() - 1;
  if (layout.rows != ABSENT && rows < layout.rows) {
    *why = "line " + std::to_string(records.back().line) + ": the report ends after " +
           std::to_string(rows) + (rows == 1 ? " card" : " cards") + " of the " +
           std::to_string(layout.rows) + " it was written with (it was cut)";
    return false;
  }
  if (rows == 0) {
    *why = "no cards: the report holds its header alone";
    return false;
  }
  out.cards.reserve(rows);
  out.by_ip.reserve(rows);
  for (size_t r = 1; r < records.size(); ++r) {
    CardResult card;
    if (layout.padded_last_cell && !records[r].fields.empty()) {
      // The slot's blanks inside the last cell, as earlier versions wrote it.
      std::string& last = records[r].fields.back();
      last.erase(last.find_last_not_of(' ') + 1);
    }
    if (!read_report_row(records[r], layout.at, records[0].fields.size(), &card, why)) return false;
    if (!out.by_ip.emplace(card.ip, out.cards.size()).second) {
      *why = "line " + std::to_string(records[r].line) + ": " + ip_to_text(card.ip) +
             " is listed twice";
      return false;
    }
    out.cards.push_back(std::move(card));
  }
  *report = std::move(out);
  return true;
}

bool read_kept_report(const std::string& text, std::vector<CardResult>* cards, std::string* why) {
  KeptReport report;
  if (!read_kept_report(text, &report, why)) return false;
  *cards = std::move(report.cards);
  return true;
}

bool read_kept_report_file(const std::string& path, KeptReport* report, std::string* why) {
  std::string text, reason;
  if (!read_file_text(path, KEPT_REPORT_MAX, &text, &reason) ||
      !read_kept_report(text, report, &reason)) {
    *why = path + ": " + reason;
    return false;
  }
  return true;
}

bool read_kept_report_file(const std::string& path, std::vector<CardResult>* cards,
                           std::string* why) {
  KeptReport report;
  if (!read_kept_report_file(path, &report, why)) return false;
  *cards = std::move(report.cards);
  return true;
}

bool card_is_done(const CardResult& card) {
  // A card skipped as done by the run this report followed stays done.
  return card.verdict == Verdict::applied || card.verdict == Verdict::unverifiable ||
         card.verdict == Verdict::done_before;
}

std::string report_name_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

std::string version_words(uint32_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%02d", int(version >> 8 & 0xFF), int(version & 0xFF));
  return text;
}

std::string mac_words(const uint8_t* mac) {
  char text[32];
  mac_to_text(text, mac);
  return text;
}

}  // namespace

bool resume_proves_done(const CardResult& row, bool has_digest, const ResumeImage& image,
                        const CardNow& now, const std::string& report_name, std::string* why) {
  if (!card_is_done(row)) {
    *why = "not done in " + report_name + " (" + result_count_word(row) + ")";
    return false;
  }
  if (image.version == IMAGE_VERSION_NONE) {
    *why = "the image has no version to check the card against";
    return false;
  }
  const bool same_image =
      has_digest ? !row.image_sha256.empty() && row.image_sha256 == image.sha256
                 : row.image_version == image.version && row.bytes_sent == image.size;
  if (!same_image) {
    *why = has_digest && row.image_sha256.empty()
               ? report_name + " does not name the image it sent"
               : report_name + " shows another image sent";
    return false;
  }
  if (!now.answered) {
    *why = "the card does not answer now";
    return false;
  }
  if (std::memcmp(row.mac, now.mac, sizeof row.mac) != 0) {
    *why = "another device answers at this address (" + mac_words(now.mac) + ", not " +
           mac_words(row.mac) + ")";
    return false;
  }
  if (now.version != image.version) {
    *why = "the card runs " + version_words(now.version) + ", not the image's " +
           version_words(image.version);
    return false;
  }
  return true;
}

std::vector<uint32_t> resumed_cards(const KeptReport& report, const AddressSet& excluded) {
  std::vector<uint32_t> out;
  out.reserve(report.cards.size());
  for (const CardResult& k : report.cards) {
    uint64_t at = 0;
    if (!address_index(excluded, host_address(k.ip), &at)) out.push_back(k.ip);
  }
  return out;
}

std::string planned_again_line(uint32_t ip, const std::string& why) {
  return std::string(ip_to_text(ip)) + " Planned again : " + why + " .";
}
