// Finding cards: the program's discovery service over the device table's
// model, its steps run by a thread of their own as the window's would be.
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
const auto LIVE_EVERY = std::chrono::milliseconds(250);
// Off a terminal a long scan is not silent in the log.
const auto QUIET_EVERY = std::chrono::seconds(29);

void broadcast_and_wait(DiscoveryService& svc, uint32_t wait_ms) {
  const auto start = Clock::now();
  const auto half = start + std::chrono::milliseconds(wait_ms / 2);
  const auto end = start + std::chrono::milliseconds(wait_ms);
  send_broadcast_request(svc);
  bool asked_again = false;
  while (!interrupted && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!asked_again && Clock::now() >= half) {
      asked_again = true;
      send_broadcast_request(svc);
    }
  }
}

// The scan's own schedule knows its time left.
void show_scan_line(const ScanProgress& p, bool live) {
  uint64_t s = (p.ms_left + 999) / 1000;
  std::fprintf(stderr, "%s%llu/%llu addresses asked, %llu cards found, %llu:%02llu left%s",
               live ? "\r" : "scanning: ", static_cast<unsigned long long>(p.asked),
               static_cast<unsigned long long>(p.total), static_cast<unsigned long long>(p.found),
               static_cast<unsigned long long>(s / 60), static_cast<unsigned long long>(s % 60),
               live ? "   " : "\n");
  std::fflush(stderr);
}

// The scan until it ends, Ctrl+C, or (stop_when_all) every address answered.
bool scan_and_wait(DiscoveryService& svc, const FindRequest& request, FindResult* result) {
  Scan scan;
  if (!start_scan(scan, svc, request.addresses, request.scan)) return false;
  auto next_line = Clock::now();
  auto next_quiet_line = Clock::now() + QUIET_EVERY;
  bool shown = false;
  for (;;) {
    ScanProgress p = scan_progress(scan);
    if (p.finished) break;
    if (interrupted || (request.stop_when_all && p.found >= p.total)) {
      cancel_scan(scan);
      break;
    }
    if (request.live && Clock::now() >= next_line) {
      show_scan_line(p, true);
      shown = true;
      next_line += LIVE_EVERY;
    }
    if (request.quiet_lines && Clock::now() >= next_quiet_line) {
      show_scan_line(p, false);
      next_quiet_line += QUIET_EVERY;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  end_scan(scan);
  if (shown) std::fprintf(stderr, "\r%-79s\r", "");
  ScanProgress p = scan_progress(scan);
  result->asked = p.asked;
  result->answered = p.found;
  return true;
}

}  // namespace

bool start_headless_discovery(HeadlessDiscovery& d, std::function<void(const DeviceRecord&)> merged) {
  if (merged) d.merge_listener = subscribe_merges(d.table, std::move(merged));
  d.table.full = [] {
    std::fprintf(stderr, "daveridur-cli: the card table is full (%d cards): no more cards are taken\n",
                 DEVICE_TABLE_LIMIT);
  };
  DiscoveryPorts ports;
  ports.table = &d.table;
  ports.executor = &d.executor;
  ports.stop = std::make_shared<Event>(true);
  if (!start_discovery(d.svc, ports)) return false;
  modal_step_event(d.svc).set();
  return true;
}

std::string card_version_text(uint32_t version) {
  if (version == 0) return "";
  char buf[16];
  return version_text(buf, version);
}

std::string scan_counts_text(const FindResult& result) {
  return std::to_string(result.asked) + " addresses asked, " +
         std::to_string(result.asked - std::min(result.asked, result.answered)) + " silent";
}

bool find_cards(const FindRequest& request, FindResult* result) {
  HeadlessDiscovery d;
  // Broadcast replies are taken only while a modal step is under way, as during
  // the window's Discover; it also keeps the periodic refresh away.
  if (!start_headless_discovery(d)) return false;
  DiscoveryService& svc = d.svc;
  *result = FindResult();
  if (request.addresses.intervals.empty()) {
    broadcast_and_wait(svc, request.scan.wait_ms);
  } else if (!scan_and_wait(svc, request, result)) {
    stop_discovery(svc);
    return false;
  }
  // A moment for the receivers to merge what arrived by the end of the
  // wait: once stop is signalled they drop it.
  if (!interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(MERGE_GRACE_MS));
  stop_discovery(svc);

  // A discovery by address lists only the addresses it asked.
  const bool by_address = !request.addresses.intervals.empty();
  d.executor.run([&] {
    for (int i = 0; i < row_count(d.table); ++i) {
      const DeviceRecord* r = row_record(d.table, i);
      uint64_t at = 0;
      if (r && (!by_address || address_index(request.addresses, host_address(r->ip), &at)))
        result->found.push_back(*r);
    }
    release_device_records(d.table);
  });
  return true;
}
