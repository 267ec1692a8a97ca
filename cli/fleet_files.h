#pragma once
// The tool's files: the card list it reads and the report it writes, both
// CSV (RFC 4180, UTF-8, a header row).
#include <string>
#include <vector>

#include "cli/cli.h"

// One CSV record with its CR LF; fields quoted where they need it.
std::string csv_line(const std::vector<std::string>& fields);

// Reads "ip[,user[,password]]" records; a first record whose first field is
// "ip" is the header. false with a message naming the line on a bad file.
bool read_card_file(const std::string& path, std::vector<CardOrder>* cards, std::string* error);

// What became of one card in an upgrade run.
struct CardRow {
  std::string started, ended;  // local time, "YYYY-MM-DD HH:MM:SS"; empty when never started
  uint32_t ip = 0;
  std::string mac;             // empty when the card did not answer
  std::string version_before;  // "--.--" when unknown
  std::string result;          // the outcome's word
  std::string message;         // the report line after the address
  double seconds = 0;
  uint32_t bytes_sent = 0;
  std::string verified;        // empty unless verification ran
  double verified_seconds = 0;
};

// The whole report, written to a temporary file beside path and renamed.
bool write_report_csv(const std::string& path, const std::string& image,
                      const std::string& image_version, const std::vector<CardRow>& results);
