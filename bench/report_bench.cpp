// Synthetic kept reports for bench/report.sh, as a rollout would leave
// them: cards in waves (1, 5, then 20 % at a time) at 64 transfers at once,
// each transfer 6 to 14 s and its check 20 to 80 s after it, a wave
// starting once the one before has settled; a few cards refused, timed
// out, not applied, silent after the upgrade or before it, or already at
// the version. Written by the program's own report writer.
//   report_bench rollout FILE CARDS
//   report_bench fleet FOLDER REPORTS CARDS     (FOLDER/site-01.csv ...)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/files.h"
#include "upgrade/pages/report_figures.h"
#include "upgrade/run/run.h"

namespace {

const uint32_t OLD = 0x0102, NEW = 0x0105;
const int SLOTS = 64;

std::vector<CardResult> rollout(size_t count, uint32_t first_host, uint32_t mac_base, long long start,
                                unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> share(0, 1);
  std::uniform_int_distribution<int> transfer(6, 14), check(20, 80);
  std::vector<CardResult> cards(count);
  std::vector<uint32_t> eligible;
  for (size_t n = 0; n < count; ++n) {
    CardResult& c = cards[n];
    const uint32_t host = first_host + static_cast<uint32_t>(n);
    c.ip = network_address(host);
    const uint32_t mac = mac_base + static_cast<uint32_t>(n);
    const uint8_t bytes[6] = {0x00, 0x0a, 0xfe, uint8_t(mac >> 16), uint8_t(mac >> 8), uint8_t(mac)};
    std::memcpy(c.mac, bytes, 6);
    c.version_before = OLD;
    c.image = "/srv/firmware/mx2-1.05.bin";
    c.image_version = NEW;
    c.image_sha256 = "5f2b0a1c9d8e7f60514233241506f7e8d9cab0b1c2d3e4f5a6b7c8d9e0f1a2b3";
    const double r = share(random);
    if (r < 0.005) {
      c.outcome = CardOutcome::no_connection;
      std::memset(c.mac, 0, 6);
      c.version_before = 0;
    } else if (r < 0.015) {
      c.outcome = CardOutcome::skipped_version;
      c.version_before = NEW;
    } else {
      eligible.push_back(c.ip);
    }
  }
  const std::vector<size_t> sizes = wave_sizes({{false, 1}, {false, 5}, {true, 20}}, eligible.size());
  std::vector<long long> free_at(SLOTS, start);
  long long wave_start = start, settled = start;
  size_t at = 0;
  std::vector<size_t> order;
  for (size_t n = 0; n < count; ++n)
    if (cards[n].outcome == CardOutcome::ok) order.push_back(n);  // the eligible ones
  for (size_t wave_size : sizes) {
    wave_start = std::max(wave_start, settled);
    for (size_t k = 0; k < wave_size && at < order.size(); ++k, ++at) {
      CardResult& c = cards[order[at]];
      auto slot = std::min_element(free_at.begin(), free_at.end());
      const long long begin = std::max(*slot, wave_start);
      const long long end = begin + transfer(random);
      c.started = clock_time(begin);
      c.ended = clock_time(end);
      c.bytes_sent = 1048576;
      const double r = share(random);
      long long done = end;
      if (r < 0.006) {
        c.outcome = CardOutcome::card_error;
        c.message = "Flash write error !";
        c.bytes_sent = 65536;
      } else if (r < 0.01) {
        c.outcome = CardOutcome::timeout;
        c.bytes_sent = 524288;
      } else {
        c.verified_seconds = check(random);
        done = end + c.verified_seconds;
        c.outcome = r < 0.02 ? CardOutcome::not_applied
                  : r < 0.025 ? CardOutcome::no_answer
                              : CardOutcome::applied;
        if (c.outcome == CardOutcome::no_answer) c.verified_seconds = 300, done = end + 300;
        if (c.outcome == CardOutcome::applied) c.answered_version = NEW;
      }
      *slot = end;
      settled = std::max(settled, done);
    }
    wave_start = settled;
  }
  for (CardResult& c : cards) {
    if (c.outcome == CardOutcome::no_connection || c.outcome == CardOutcome::skipped_version)
      c.started = c.ended = clock_time(start);
    c.verdict = verdict_of(c, true);
  }
  return cards;
}

bool write(const std::string& path, const std::vector<CardResult>& cards) {
  std::string why;
  if (write_file_whole(path, report_csv(cards), &why)) return true;
  std::fprintf(stderr, "report_bench: %s: %s\n", path.c_str(), why.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const long long night = clock_seconds(LocalTime{2026, 5, 1, 22, 0, 0});
  if (argc == 4 && !std::strcmp(argv[1], "rollout")) {
    const size_t cards = std::strtoul(argv[3], nullptr, 10);
    return write(argv[2], rollout(cards, 0x0A500001u, 0x100000, night, 1)) ? 0 : 1;
  }
  if (argc == 5 && !std::strcmp(argv[1], "fleet")) {
    const int reports = std::atoi(argv[3]);
    const size_t cards = std::strtoul(argv[4], nullptr, 10);
    for (int r = 0; r < reports; ++r) {
      char name[32];
      std::snprintf(name, sizeof name, "site-%02d.csv", r + 1);
      // Each site its own cards, on the same private addresses as the others.
      const uint32_t mac_base = 0x200000u + static_cast<uint32_t>(r) * 0x1000u;
      if (!write(join_path(argv[2], name),
                 rollout(cards, 0x0A450001u, mac_base, night + r * 600LL, 100u + unsigned(r))))
        return 1;
    }
    return 0;
  }
  std::fprintf(stderr,
               "usage: report_bench rollout FILE CARDS\n"
               "       report_bench fleet FOLDER REPORTS CARDS\n");
  return 2;
}
