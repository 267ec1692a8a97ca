#pragma once
// A kept report read back into its cards: what --resume starts from.
#include <string>
#include <vector>

#include "upgrade/results.h"

inline constexpr size_t KEPT_REPORT_MAX = 16u << 20;
// A kept report as report_csv writes it, back into its cards (file order).
// False with *why ("line 4: ...", "no column verified") for text that is
// not such a report.
bool read_kept_report(const std::string& text, std::vector<CardResult>* cards, std::string* why);
// The same from a file; *why begins with the path.
bool read_kept_report_file(const std::string& path, std::vector<CardResult>* cards,
                           std::string* why);
// Ended ok and its check said applied or not_verified, or skipped as done
// in the report before.
bool card_is_done(const CardResult& card);
// The name a skipped_done card's line gives: the path's last part.
std::string report_name_of(const std::string& path);
