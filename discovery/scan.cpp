#include "discovery/scan.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

const uint64_t TOKEN = 1000000;

// Queries still to go: what is left of this pass, and each later pass over
// the addresses silent so far.
uint64_t queries_left(ScanShared& scan, int pass, uint64_t left_in_pass) {
  uint64_t silent = scan.total - std::min(scan.total, scan.found.load());
  return left_in_pass + uint64_t(std::max(0, scan.settings.retries - pass)) * silent;
}

void set_time_left(ScanShared& scan, int pass, uint64_t left_in_pass, uint64_t wait_ms) {
  uint64_t queries = queries_left(scan, pass, left_in_pass);
  scan.ms_left = queries * 1000 / scan.settings.rate + wait_ms;
}

// Until `until` on the scan's clock, a pause at a time (the real pauses are
// short, to see Cancel); false when cancelled. With count_down, the time
// left is what remains of it.
bool pause_until(ScanShared& scan, ScanPorts& ports, uint64_t until, bool count_down) {
  for (uint64_t now = ports.now_us(); now < until; now = ports.now_us()) {
    if (count_down) scan.ms_left = (until - now + 999) / 1000;
    if (ports.pause(std::min<uint64_t>(until - now, 100000))) return false;
  }
  return true;
}

// One pass: every address (the first), or those still silent.
bool run_pass(ScanShared& scan, ScanPorts& ports, RateLimiter& bucket, int pass) {
  uint64_t index = 0;
  uint64_t left = pass == 0 ? scan.total : scan.total - std::min(scan.total, scan.found.load());
  for (const AddressInterval& span : scan.addresses.intervals) {
    for (uint64_t ip = span.first; ip <= span.last; ++ip, ++index) {
      if (pass > 0 && scan_answered(scan, index)) continue;
      uint64_t wait_us = 0;
      while (!take_token(bucket, ports.now_us(), &wait_us))
        if (ports.pause(wait_us)) return false;
      // Counted as asked before the query goes: its answer may come first.
      if (pass == 0) ++scan.asked;
      ports.send(network_address(uint32_t(ip)));
      ++scan.queries;
      if (left > 0) --left;
      set_time_left(scan, pass, left, scan.settings.wait_ms);
    }
  }
  return true;
}

bool run_passes(ScanShared& scan, ScanPorts& ports) {
  RateLimiter bucket;
  start_rate(bucket, scan.settings.rate, ports.now_us());
  for (int pass = 0; pass <= scan.settings.retries; ++pass) {
    if (pass > 0) {
      if (scan.found.load() >= scan.total) break;  // nobody left to ask again
      uint64_t gap_us = uint64_t{std::min(scan.settings.wait_ms, SCAN_RETRY_GAP_MS)} * 1000;
      if (!pause_until(scan, ports, ports.now_us() + gap_us, false)) return false;
      // The gap does not fill the bucket: the retry pass starts at the rate,
      // not with a second's worth at once.
      start_rate(bucket, scan.settings.rate, ports.now_us());
    }
    if (!run_pass(scan, ports, bucket, pass)) return false;
  }
  return true;
}

// The real ports: the service's query socket and the steady clock.
class ServicePorts : public ScanPorts {
 public:
  ServicePorts(DiscoveryState& service, ScanShared& scan) : service_(service), scan_(scan) {}
  void send(uint32_t ip) override {
    if (service_.query_socket) service_.ports.transport->send_request(service_.query_socket.get(), ip);
  }
  uint64_t now_us() override {
    return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
  }
  bool pause(uint64_t us) override {
    // Event waits are in milliseconds; the bucket makes up for the rounding.
    uint32_t ms = uint32_t(std::min<uint64_t>((us + 999) / 1000, 100));
    if (scan_.cancel.wait(ms)) return true;
    return service_.ports.stop->is_set();
  }

 private:
  DiscoveryState& service_;
  ScanShared& scan_;
};

}  // namespace

void start_rate(RateLimiter& r, uint32_t rate, uint64_t now_us) {
  r.rate = std::max<uint32_t>(rate, 1);
  r.micro_tokens = TOKEN;
  r.last_us = now_us;
}

bool take_token(RateLimiter& r, uint64_t now_us, uint64_t* wait_us) {
  if (now_us > r.last_us) {
    uint64_t elapsed = std::min<uint64_t>(now_us - r.last_us, 1000000);
    r.micro_tokens = std::min(r.micro_tokens + elapsed * r.rate, r.rate * TOKEN);
    r.last_us = now_us;
  }
  if (r.micro_tokens >= TOKEN) {
    r.micro_tokens -= TOKEN;
    return true;
  }
  *wait_us = (TOKEN - r.micro_tokens + r.rate - 1) / r.rate;
  return false;
}

namespace {

// The first pass asks in address order: an address it has not reached yet
// was not asked, and a reply from it speaks out of turn.
bool asked_index(const ScanShared& scan, uint32_t ip, uint64_t* index) {
  return address_index(scan.addresses, host_address(ip), index) && *index < scan.asked.load();
}

}  // namespace

bool scan_asked(const ScanShared& scan, uint32_t ip) {
  uint64_t index = 0;
  return asked_index(scan, ip, &index);
}

bool scan_heard(ScanShared& scan, uint32_t ip) {
  uint64_t index = 0;
  if (!asked_index(scan, ip, &index)) return false;
  std::lock_guard<std::mutex> lock(scan.mutex);
  uint8_t bit = uint8_t(1u << (index % 8));
  if (scan.answered[index / 8] & bit) return true;
  scan.answered[index / 8] |= bit;
  ++scan.found;
  return true;
}

bool scan_answered(ScanShared& scan, uint64_t index) {
  std::lock_guard<std::mutex> lock(scan.mutex);
  return scan.answered[index / 8] & (1u << (index % 8));
}

void run_scan(ScanShared& scan, ScanPorts& ports) {
  scan.total = address_count(scan.addresses);
  {
    std::lock_guard<std::mutex> lock(scan.mutex);
    if (scan.answered.size() != scan.total / 8 + 1) scan.answered.assign(scan.total / 8 + 1, 0);
  }
  set_time_left(scan, 0, scan.total, scan.settings.wait_ms);
  bool whole = run_passes(scan, ports);
  // The listening time after the last query, counted down for the live line.
  if (whole) whole = pause_until(scan, ports, ports.now_us() + uint64_t{scan.settings.wait_ms} * 1000, true);
  scan.ms_left = 0;
  scan.cancelled = !whole;
  scan.finished = true;
}

bool start_scan(Scan& scan, DiscoveryService& svc, const AddressSet& addresses,
                const ScanSettings& settings) {
  if (!svc.state || !svc.state->query_socket) return false;
  auto shared = std::make_shared<ScanShared>();
  shared->addresses = addresses;
  shared->settings = settings;
  shared->settings.rate = std::clamp<uint32_t>(settings.rate, 1, SCAN_RATE_MAX);
  shared->settings.retries = std::clamp(settings.retries, 0, 2);
  shared->total = address_count(addresses);
  shared->answered.assign(shared->total / 8 + 1, 0);
  std::shared_ptr<DiscoveryState> service = svc.state;
  {
    std::lock_guard<std::mutex> lock(service->scans_mutex);
    service->scans.push_back(shared.get());
  }
  try {
    scan.thread = std::thread([service, shared] {
      ServicePorts ports(*service, *shared);
      run_scan(*shared, ports);
    });
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(service->scans_mutex);
    service->scans.pop_back();
    return false;
  }
  scan.shared = shared;
  scan.service = service;
  return true;
}

ScanProgress scan_progress(const Scan& scan) {
  ScanProgress p;
  if (!scan.shared) return p;
  const ScanShared& s = *scan.shared;
  p.total = s.total;
  p.asked = s.asked;
  p.found = s.found;
  p.queries = s.queries;
  p.ms_left = s.ms_left;
  p.finished = s.finished;
  p.cancelled = s.cancelled;
  return p;
}

void cancel_scan(Scan& scan) {
  if (scan.shared) scan.shared->cancel.set();
}

void end_scan(Scan& scan) {
  if (scan.thread.joinable()) scan.thread.join();
  if (scan.service && scan.shared) {
    std::lock_guard<std::mutex> lock(scan.service->scans_mutex);
    auto& list = scan.service->scans;
    list.erase(std::remove(list.begin(), list.end(), scan.shared.get()), list.end());
  }
  scan.service.reset();
}
