// Finding cards: the program's discovery service over an in-memory device
// table, its steps run by a thread of their own as the window's would be.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli/cli.h"
#include "devices/device_table.h"
#include "discovery/discovery.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t MERGE_GRACE_MS = 150;

bool all_answered(TableExecutor& executor, DeviceTable& table,
                  const std::vector<uint32_t>& addresses) {
  bool all = true;
  executor.run([&] {
    for (uint32_t ip : addresses) {
      bool seen = false;
      for (int i = 0; i < row_count(table) && !seen; ++i) {
        const DeviceRecord* r = row_record(table, i);
        seen = r && r->ip == ip;
      }
      if (!seen) all = false;
    }
  });
  return all;
}

void ask(DiscoveryService& svc, const std::vector<uint32_t>& addresses) {
  if (addresses.empty())
    send_broadcast_request(svc);
  else
    for (uint32_t ip : addresses) query_device(svc, ip);
}

}  // namespace

bool start_headless_discovery(HeadlessDiscovery& d, std::function<void(const DeviceRecord&)> merged) {
  d.table.list = &d.list;
  init_device_table(d.table);
  d.table.merged = std::move(merged);
  d.table.full = [] {
    std::fprintf(stderr, "daveridur-cli: the card table is full (%d cards): no more cards are taken\n",
                 DEVICE_TABLE_LIMIT);
  };
  DiscoveryPorts ports;
  ports.table = &d.table;
  ports.executor = &d.executor;
  ports.stop = std::make_shared<Event>(true);
  if (!start_discovery(d.svc, ports)) return false;
  busy_event(d.svc).set();
  return true;
}

std::string card_version_text(uint32_t version) {
  char buf[16];
  return version_text(buf, version);
}

bool find_cards(const std::vector<uint32_t>& addresses, uint32_t wait_ms, bool stop_when_all,
                std::vector<DeviceRecord>* found) {
  HeadlessDiscovery d;
  // Broadcast replies are taken only while the service is busy, as during
  // the window's Discover; busy also keeps the periodic refresh away.
  if (!start_headless_discovery(d)) return false;
  DiscoveryService& svc = d.svc;
  DeviceTable& table = d.table;
  TableThread& executor = d.executor;

  const auto start = Clock::now();
  const auto half = start + std::chrono::milliseconds(wait_ms / 2);
  const auto end = start + std::chrono::milliseconds(wait_ms);
  ask(svc, addresses);
  bool asked_again = false;
  while (!interrupted && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (stop_when_all && !addresses.empty() && all_answered(executor, table, addresses)) break;
    if (!asked_again && Clock::now() >= half) {
      asked_again = true;
      ask(svc, addresses);
    }
  }
  // A moment for the receivers to merge what arrived by the end of the
  // wait: once stop is signalled they drop it.
  if (!interrupted && !(stop_when_all && all_answered(executor, table, addresses)))
    std::this_thread::sleep_for(std::chrono::milliseconds(MERGE_GRACE_MS));
  stop_discovery(svc);

  found->clear();
  executor.run([&] {
    for (int i = 0; i < row_count(table); ++i)
      if (const DeviceRecord* r = row_record(table, i)) found->push_back(*r);
    release_device_records(table);
  });
  return true;
}
