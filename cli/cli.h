#pragma once
// daveridur-cli: the command-line front on the program's discovery, image
// and upgrade code. The commands return the tool's exit status.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devices/device_table.h"
#include "discovery/discovery.h"
#include "protocol/sysinfo.h"

enum ExitStatus : int {
  EXIT_ALL_OK = 0,
  EXIT_CARD_FAILED = 1,
  EXIT_USAGE = 2,
  EXIT_BAD_IMAGE = 3,
};

// Set by Ctrl+C (SIGINT natively, the console's Ctrl+C and Ctrl+Break on
// Windows); watched by every wait of the commands.
extern std::atomic<bool> interrupted;
void catch_interrupt();

// The discovery service over an in-memory table owned by a thread of its
// own, as the window's would be. Members go in reverse order: the service
// first, then the thread (finishing its steps), then the table.
struct HeadlessDiscovery {
  InMemoryList list;
  DeviceTable table;
  TableThread executor;
  DiscoveryService svc;
};
// Sets up the table (merged, when given, is told of every merge) and starts
// the service with busy set; false when its sockets cannot be had.
bool start_headless_discovery(HeadlessDiscovery& d,
                              std::function<void(const DeviceRecord&)> merged = nullptr);

// Asks cards for their system information and waits wait_ms for replies.
// No addresses: the broadcasts (255.255.255.255 and every adapter's
// directed broadcast), sent at once and again half-way. The cards found,
// in the order the table lists them; false when the sockets can't be had.
// With stop_when_all, returns as soon as every address answered.
bool find_cards(const std::vector<uint32_t>& addresses, uint32_t wait_ms, bool stop_when_all,
                std::vector<DeviceRecord>* found);

struct DiscoverOptions {
  uint32_t wait_ms = 3000;
  bool csv = false;
  bool json = false;  // one object per line, the CSV's columns as keys
  std::vector<uint32_t> addresses;
};
int run_discover(const DiscoverOptions& o);

int run_check(const std::string& image_path);

// One card to upgrade and the account it takes.
struct CardOrder {
  uint32_t ip = 0;
  std::string user, password;
  // From the card list; what it lacks comes from --user/--password, else the
  // stored user name and an empty password.
  bool has_user = false, has_password = false;
};

struct UpgradeOptions {
  std::string image;
  std::vector<CardOrder> cards;
  std::string user, password;
  bool has_user = false, has_password = false;
  bool force = false;
  bool verify = false;
  std::string report;
  int parallel = 4;
};
int run_upgrade(const UpgradeOptions& o);

// "%d.%02d", or "--.--" for a card that showed no version.
std::string card_version_text(uint32_t version);
