// The native part of bench/import.sh: a card list of N lines read and merged
// into an in-memory table the way the window's import does it, timed, and the
// same done a line at a time with a search of the rows per line (the way it
// was done before) for the smaller sizes, as the reference.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devices/card_list.h"
#include "devices/device_table.h"
#include "protocol/packet.h"

namespace {

using Clock = std::chrono::steady_clock;

// n distinct addresses from 10.80.0.1 on, half of them with an account.
std::string card_list_text(int n) {
  std::string text = "ip,user,password\r\n";
  for (int i = 0; i < n; ++i) {
    text += "10." + std::to_string(80 + i / 62500) + "." + std::to_string(i / 250 % 250) + "." +
            std::to_string(i % 250 + 1);
    text += i % 2 ? ",ops,pw\r\n" : "\r\n";
  }
  return text;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string same(const std::string& s) { return s; }

// Read and merged in one pass, as the import does it now.
double one_pass(const std::string& text) {
  DeviceTable table;  // the model alone, as the command-line tool has it
  auto start = Clock::now();
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list(text, &cards, &errors);
  auto records = listed_card_records(table, cards, "admin", same);
  merge_devices(table, records, 1);
  double took = seconds_since(start);
  if (!errors.empty() || row_count(table) != static_cast<int>(cards.size())) std::abort();
  release_device_records(table);
  return took;
}

// A row search for the account, then a merge that searches again, per line.
double per_line(const std::string& text) {
  DeviceTable table;  // the model alone, as the command-line tool has it
  auto start = Clock::now();
  std::vector<CardLine> cards;
  std::vector<CardLineError> errors;
  read_card_list(text, &cards, &errors);
  for (const CardLine& line : cards) {
    auto record = std::make_unique<DeviceRecord>();
    std::memset(record.get(), 0, sizeof(DeviceRecord));
    record->ip = line.ip;
    const DeviceRecord* existing = row_record(table, find_row(table, line.ip));
    std::snprintf(record->user_name, sizeof record->user_name, "%s",
                  line.has_user ? line.user.c_str() : existing ? existing->user_name : "admin");
    merge_device(table, std::move(record), 1);
  }
  double took = seconds_since(start);
  release_device_records(table);
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  int largest = argc > 1 ? std::atoi(argv[1]) : 100000;
  std::printf("%10s %14s %14s %18s\n", "lines", "one pass", "us per line", "per-line search");
  for (int n : {10000, 40000, largest}) {
    std::string text = card_list_text(n);
    double now = one_pass(text);
    std::string reference = n <= 40000 ? std::to_string(per_line(text)) + " s" : "(not run)";
    std::printf("%10d %12.3f s %14.2f %18s\n", n, now, now * 1e6 / n, reference.c_str());
  }
  return 0;
}
