// upload-drive --image FILE [--poll-ms N] [--user U] [--password P] [--stats FILE]
//              [--sessions N] [--unchecked] IP...
// Runs one upgrade batch over the given cards the way the program does, with
// every session driven by the run's one loop, with no window. Prints
// the report to stdout. --unchecked sends any file, image or not, through
// the same batch and sessions (for transfer sizes no image has); --sessions
// is how many the batch holds (4, as the window's). --stats
// writes one line per session:
//   ip=.. slot=.. blocks=.. bytes=.. seconds=..  and a last "batch seconds=.." line.
// Opens the product's sockets: run it only inside the private network.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "upgrade/pages/report_box.h"
#include "upgrade/run/run.h"
#include "upgrade/policy/batch.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string image;
  uint32_t poll_ms = 2;
  std::string user = "admin", password;
  std::string stats;
  bool unchecked = false;
  int sessions = WINDOW_SESSIONS;
  std::vector<uint32_t> cards;
};

struct SessionStats {
  std::string ip;
  int slot;
  uint32_t blocks, bytes;
  double seconds;
};

std::vector<SessionStats> all_stats;

// The run's events without a window: the report to stdout, one stat line
// per session.
struct DriveEvents : RunEvents {
  std::vector<Clock::time_point> started_at = std::vector<Clock::time_point>(BATCH_SESSIONS_MAX);
  std::vector<int> slot_of_card;
  std::map<uint32_t, int> slots;
  void started(const RunStarted& start) override {
    started_at[static_cast<size_t>(start.slot)] = Clock::now();
    slots[start.card.record.ip] = start.slot;
  }
  void line(const CardResult& card) override {
    auto it = slots.find(card.ip);
    if (it == slots.end()) return;
    std::chrono::duration<double> took = Clock::now() - started_at[static_cast<size_t>(it->second)];
    // The last block is always a short one.
    const uint32_t blocks = card.outcome == CardOutcome::ok ? card.bytes_sent / 512 + 1 : 0;
    all_stats.push_back(
        SessionStats{ip_to_text(card.ip), it->second, blocks, card.bytes_sent, took.count()});
  }
  void summary(const RunSummary& summary) override {
    std::fputs(report_box_text(summary).c_str(), stdout);
  }
};

void drive(const Options& options, std::vector<uint8_t> image, const OpenedImage& opened) {
  std::vector<RunCard> cards;
  for (uint32_t ip : options.cards) {
    RunCard c;
    c.record.filled = 1;
    c.record.ip = ip;
    std::snprintf(c.record.user_name, sizeof c.record.user_name, "%s", options.user.c_str());
    std::snprintf(c.record.password, sizeof c.record.password, "%s", options.password.c_str());
    cards.push_back(c);
  }
  RunOptions run_options;
  run_options.parallel = options.sessions;
  SystemRunIo io;
  DriveEvents events;
  UpgradeRun run(std::move(cards), std::move(image), opened, run_options, &events, &io);
  run.post({RunCommandKind::start});
  run.run();
}

// The batch without its image checks: the file's bytes as they are.
void unchecked_batch(const Options& options) {
  std::vector<uint8_t> image;
  if (!read_image_file(options.image, &image)) return;
  const OpenedImage opened = opened_image_of(options.image, image, IMAGE_VERSION_NONE);
  drive(options, std::move(image), opened);
}

// The image the operator would have confirmed, read again as the window does.
void checked_batch(const Options& options) {
  ImageFile opened_file;
  read_checked_image(options.image, &opened_file);
  ImageFile file;
  if (const char* refusal = image_refusal(opened_file.opened, &file)) {
    std::fprintf(stderr, "upload-drive: %s\n", refusal);
    return;
  }
  drive(options, std::move(file.bytes), file.opened);
}

int usage() {
  std::fprintf(stderr,
               "usage: upload-drive --image FILE [--poll-ms N] [--user U] [--password P] "
               "[--stats FILE] [--sessions N] [--unchecked] IP...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--image" && has_value) {
      options.image = argv[++i];
    } else if (arg == "--poll-ms" && has_value) {
      options.poll_ms = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
      if (options.poll_ms == 0) return usage();
    } else if (arg == "--user" && has_value) {
      options.user = argv[++i];
    } else if (arg == "--password" && has_value) {
      options.password = argv[++i];
    } else if (arg == "--stats" && has_value) {
      options.stats = argv[++i];
    } else if (arg == "--sessions" && has_value) {
      options.sessions = std::atoi(argv[++i]);
      if (options.sessions < 1 || options.sessions > BATCH_SESSIONS_MAX) return usage();
    } else if (arg == "--unchecked") {
      options.unchecked = true;
    } else if (arg[0] == '-') {
      return usage();
    } else {
      uint32_t ip = text_to_ip(arg.c_str());
      if (ip == BROADCAST_ADDRESS) return usage();
      options.cards.push_back(ip);
    }
  }
  if (options.image.empty() || options.cards.empty()) return usage();
  if (!net_startup()) return 1;

  auto started = Clock::now();
  if (options.unchecked)
    unchecked_batch(options);
  else
    checked_batch(options);
  std::chrono::duration<double> took = Clock::now() - started;
  net_cleanup();

  if (!options.stats.empty()) {
    std::FILE* f = std::fopen(options.stats.c_str(), "w");
    if (!f) return 1;
    for (const SessionStats& s : all_stats)
      std::fprintf(f, "ip=%s slot=%d blocks=%u bytes=%u seconds=%.3f\n", s.ip.c_str(), s.slot,
                   s.blocks, s.bytes, s.seconds);
    std::fprintf(f, "batch seconds=%.3f poll_ms=%u\n", took.count(), options.poll_ms);
    std::fclose(f);
  }
  return 0;
}
