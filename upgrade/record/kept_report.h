#pragma once
// A kept report read back into its cards, and the rule by which a resumed
// run believes a card done: what --resume starts from.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "protocol/ranges.h"
#include "upgrade/record/results.h"

// A report of 100 000 cards and more (about 250 bytes a row) still reads.
inline constexpr size_t KEPT_REPORT_MAX = 64u << 20;

// A kept report: its cards in file order, and where each address is.
struct KeptReport {
  std::vector<CardResult> cards;
  std::unordered_map<uint32_t, size_t> by_ip;  // into cards
  // The report has the image_sha256 column (this program's reports since
  // it was added): a done card names its image by digest. An older report
  // names it only by its version and size (bytes_sent).
  bool has_digest = false;
  const CardResult* find(uint32_t ip) const;
};

// A kept report as report_csv writes it, back into its cards (file order);
// its padding column is ignored, and so are the trailing blanks of the
// last cell in reports of earlier versions, which padded each row there.
// False with *why ("line 4: ...", "no column verified", "no cards", "it
// ends inside a row", "it ends after 24 cards of the 100 ...") for text
// that is not such a report, or not a whole one: a report whose header
// records more card rows than it holds was cut.
bool read_kept_report(const std::string& text, KeptReport* report, std::string* why);
bool read_kept_report(const std::string& text, std::vector<CardResult>* cards, std::string* why);
// The same from a file; *why begins with the path. A file that is not a
// regular file (a FIFO, a device, a folder) is refused before it is opened.
bool read_kept_report_file(const std::string& path, KeptReport* report, std::string* why);
bool read_kept_report_file(const std::string& path, std::vector<CardResult>* cards,
                           std::string* why);

// Ended ok and its check said applied or not_verified, or skipped as done
// in the report before: what the report itself claims.
bool card_is_done(const CardResult& card);
// The name a skipped_done card's line gives: the path's last part.
std::string report_name_of(const std::string& path);

// ---- The resume rule: a row counts as done only when it is proved.

// This run's image.
struct ResumeImage {
  uint32_t version = IMAGE_VERSION_NONE;
  uint32_t size = 0;
  std::string sha256;  // 64 hex digits
};
// What the card says of itself now, asked before the run.
struct CardNow {
  bool answered = false;
  uint8_t mac[6] = {};
  uint32_t version = 0;
};
// True when the row shows the card done (card_is_done) with this run's
// image (the digest; in an older report, the image's version and size),
// its MAC is the one the card answers with now, and the card answers now
// with the image's version. Else false, with *why saying what failed, for
// the line "<ip> Planned again : <why> ." (report_name: the report's name).
bool resume_proves_done(const CardResult& row, bool has_digest, const ResumeImage& image,
                        const CardNow& now, const std::string& report_name, std::string* why);
// The report's cards that join a resumed run, in file order: every one
// but those excluded (--exclude wins over the report).
std::vector<uint32_t> resumed_cards(const KeptReport& report, const AddressSet& excluded);
// "10.69.0.5 Planned again : the card runs 1.05, not the image's 1.06 ."
std::string planned_again_line(uint32_t ip, const std::string& why);
