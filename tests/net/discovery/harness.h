#pragma once
// Shared by the discovery network tests and the discovery benchmark: a
// cardsim process of the run's own, its records, and the service on an
// in-memory table with an executor thread as the table's owner.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "discovery/discovery.h"
#include "protocol/packet.h"
#include "tests/support/table_doubles.h"

namespace harness {

using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Polls pred every millisecond for at most ms; true when it held.
inline bool wait_until(const std::function<bool()>& pred, int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct Record {
  std::string event;
  std::map<std::string, std::string> fields;
};

inline std::string temp_dir() {
  char pattern[] = "/tmp/daveridur-net-XXXXXX";
  const char* d = mkdtemp(pattern);
  return d ? d : "/tmp";
}

struct Cardsim {
  pid_t pid = -1;
  std::string dir = temp_dir();
  std::string config = dir + "/cards.conf";
  std::string record = dir + "/record";

  // Extra arguments, e.g. {"--fleet", "1000", "--base", "10.69.1.1"}.
  bool start(const std::string& config_text, std::vector<std::string> extra = {}) {
    write_config(config_text);
    std::string ready = dir + "/ready";
    const char* bin = std::getenv("DAVERIDUR_BIN");
    std::string exe = std::string(bin ? bin : "build/native") + "/tools/cardsim/cardsim";
    std::vector<std::string> args = {exe, "--config", config, "--record", record, "--ready-file",
                                     ready};
    args.insert(args.end(), extra.begin(), extra.end());
    pid = fork();
    if (pid == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid > 0 && wait_until([&] { return access(ready.c_str(), F_OK) == 0; }, 10000);
  }
  void write_config(const std::string& text) {
    std::ofstream(config) << text;
  }
  // New knobs for listed cards, read on SIGHUP.
  bool reload(const std::string& text) {
    size_t before = count("reload");
    write_config(text);
    kill(pid, SIGHUP);
    return wait_until([&] { return count("reload") > before; }, 5000);
  }
  std::vector<Record> records() const {
    std::vector<Record> out;
    std::ifstream in(record);
    std::string line;
    while (std::getline(in, line)) {
      // The event word, then tab-separated key=value fields.
      Record r;
      std::vector<std::string> parts;
      std::istringstream fields(line);
      for (std::string part; std::getline(fields, part, '\t');) parts.push_back(part);
      if (parts.empty()) continue;
      auto blank = parts[0].find(' ');
      r.event = parts[0].substr(0, blank);
      if (blank != std::string::npos) parts[0] = parts[0].substr(blank + 1);
      else parts.erase(parts.begin());
      for (auto& f : parts) {
        auto eq = f.find('=');
        if (eq != std::string::npos) r.fields[f.substr(0, eq)] = f.substr(eq + 1);
      }
      out.push_back(r);
    }
    return out;
  }
  size_t count(const std::string& event, const std::string& key = "",
               const std::string& value = "") const {
    size_t n = 0;
    for (auto& r : records())
      if (r.event == event && (key.empty() || (r.fields.count(key) && r.fields.at(key) == value)))
        ++n;
    return n;
  }
  ~Cardsim() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

struct Rig {
  MemoryList list;
  DeviceTable table;
  TableThread executor;
  DiscoveryService svc;
  std::shared_ptr<Event> stop = std::make_shared<Event>(true);
  bool started = false;

  bool start() {
    list.set_extended_style(DEVICE_TABLE_EX_STYLE);
    table.list = &list;
    init_device_table(table);
    DiscoveryPorts ports;
    ports.table = &table;
    ports.executor = &executor;
    ports.stop = stop;
    started = start_discovery(svc, ports) == 1;
    return started;
  }
  // Runs f on the table's thread.
  template <typename F>
  auto on_table(F f) {
    decltype(f()) result{};
    executor.run([&] { result = f(); });
    return result;
  }
  int rows() {
    return on_table([&] { return row_count(table); });
  }
  // A copy of the record of the row holding ip; ok false when none.
  DeviceRecord record_of(const char* ip, bool* ok, int* image = nullptr) {
    DeviceRecord copy{};
    *ok = false;
    executor.run([&] {
      for (int i = 0; i < row_count(table); ++i) {
        DeviceRecord* r = row_record(table, i);
        if (r && r->ip == text_to_ip(ip)) {
          copy = *r;
          *ok = true;
          if (image) *image = list.rows[i].image;
        }
      }
    });
    return copy;
  }
  void pass() { refresh_pass(*svc.state); }
  ~Rig() {
    if (started) stop_discovery(svc);
    executor.run([&] { release_device_records(table); });
  }
};

}  // namespace harness
