// upload-drive --image FILE [--poll-ms N] [--user U] [--password P] [--stats FILE]
//              [--sessions N] [--unchecked] IP...
// Runs one upgrade batch over the given cards the way the program does, with
// each session driven by the headless loop in place of its window. Prints
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/packet.h"
#include "upgrade/upgrade.h"

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

std::mutex stats_mutex;
std::vector<SessionStats> all_stats;

// The window without a window: texts are dropped, the pause is real time.
struct HeadlessView : SessionView {
  UploadSession* session;
  Clock::time_point started = Clock::now();
  explicit HeadlessView(UploadSession* s) : session(s) {}
  void set_title(const char*) override {}
  void set_status(const char*) override {}
  void set_progress_range(uint32_t) override {}
  void set_progress_position(uint32_t) override {}
  void set_percent(const char*) override {}
  void delay(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  int confirm_abort() override { return 0; }
  void close(int) override {
    // Read here: once the session is free the batch may refill it.
    std::chrono::duration<double> took = Clock::now() - started;
    std::lock_guard<std::mutex> lock(stats_mutex);
    all_stats.push_back(
        SessionStats{session->ip_text, session->slot, session->block, session->sent, took.count()});
  }
};

struct DrivePorts : BatchPorts {
  const Options& options;
  explicit DrivePorts(const Options& o) : options(o) {}

  int row_count() override { return static_cast<int>(options.cards.size()); }
  int row_checked(int) override { return 1; }
  int row_record(int row, DeviceRecord* record) override {
    std::memset(record, 0, sizeof *record);
    record->filled = 1;
    record->ip = options.cards[static_cast<size_t>(row)];
    std::snprintf(record->user_name, sizeof record->user_name, "%s", options.user.c_str());
    std::snprintf(record->password, sizeof record->password, "%s", options.password.c_str());
    return 1;
  }
  void show_row_upgrading(int) override {}
  int ask_confirmation(const std::string&) override { return 1; }
  void show_report(const std::string& text) override { std::fputs(text.c_str(), stdout); }
  void show_refusal(const std::string& text) override {
    std::fprintf(stderr, "upload-drive: %s\n", text.c_str());
  }
  void enable_main_window(int) override {}
  void run_session(UploadSession* s) override {
    HeadlessView view(s);
    run_session_loop(s, &view, options.poll_ms);
  }
  int session_count() override { return options.sessions; }
  void sleep_ms(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  LocalTime local_time() override { return local_time_now(); }
  SocketOwner open_socket() override { return udp_open(0); }
};

// The batch without its image checks: the file's bytes as they are.
void unchecked_batch(DrivePorts* ports) {
  std::vector<uint8_t> image;
  if (!read_image_file(ports->options.image, &image)) return;
  run_batch(ports, &image, opened_image_of(ports->options.image, image, IMAGE_VERSION_NONE));
}

// The image the operator would have confirmed: the file as Open read it.
OpenedImage opened(const std::string& path) {
  ImageFile file;
  read_checked_image(path, &file);
  return file.opened;
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
      // Rows are visited from the last: list them backwards so the first
      // address named goes first.
      options.cards.insert(options.cards.begin(), ip);
    }
  }
  if (options.image.empty() || options.cards.empty()) return usage();
  if (!net_startup()) return 1;

  DrivePorts ports(options);
  Event busy(true, true);
  auto started = Clock::now();
  if (options.unchecked)
    unchecked_batch(&ports);
  else
    batch_worker(&ports, &busy, opened(options.image));
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
