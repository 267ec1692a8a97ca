#pragma once
// Scans: a direct "sysinfo" query to every address of ranges that no
// broadcast reaches (routed subnets), at a bounded rate, with the silent
// addresses asked again after the first pass. A scan runs on a thread of its
// own and sends on the service's query socket; its replies come in and are
// merged as any direct query's, so the refresh pass and the checks after an
// upgrade keep their times.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "discovery/discovery.h"
#include "platform/event.h"
#include "protocol/ranges.h"

inline constexpr uint32_t SCAN_DEFAULT_RATE = 200;
inline constexpr uint32_t SCAN_RATE_MAX = 100000;
// A retry pass waits this long (at most the listening time) after the pass
// before it, so that a card that answers slowly is not asked twice.
inline constexpr uint32_t SCAN_RETRY_GAP_MS = 1000;

// A token bucket: `rate` tokens a second, at most one second's worth kept,
// one token to start with, so that over any stretch of time no more than
// one more query than rate * seconds goes out.
struct RateLimiter {
  uint64_t rate = SCAN_DEFAULT_RATE;
  uint64_t micro_tokens = 0;  // a token is 1 000 000
  uint64_t last_us = 0;
};
void start_rate(RateLimiter& r, uint32_t rate, uint64_t now_us);
// True with a token taken; false with *wait_us until the next one.
bool take_token(RateLimiter& r, uint64_t now_us, uint64_t* wait_us);

struct ScanSettings {
  uint32_t rate = SCAN_DEFAULT_RATE;  // queries a second, 1 to SCAN_RATE_MAX
  int retries = 1;                    // passes over the silent addresses, 0 to 2
  uint32_t wait_ms = 3000;            // listening after the last query
};

struct ScanProgress {
  uint64_t total = 0;    // addresses in the scan
  uint64_t asked = 0;    // addresses asked at least once
  uint64_t found = 0;    // addresses that answered as a card, merged into the table
  uint64_t queries = 0;  // queries sent, retries included
  uint64_t ms_left = 0;  // at the rate, with the retries and the wait
  bool finished = false;
  bool cancelled = false;
};

// What a scan shares between its thread, the receivers and its owner.
struct ScanShared {
  AddressSet addresses;
  ScanSettings settings;
  uint64_t total = 0;
  Event cancel{true};
  std::atomic<uint64_t> asked{0}, found{0}, queries{0}, ms_left{0};
  std::atomic<bool> finished{false}, cancelled{false};
  std::mutex mutex;              // guards answered
  std::vector<uint8_t> answered;  // one bit per address, by index
};

// Whether ip (network byte order) is one of the scan's addresses that it
// has asked already: a reply from it is taken.
bool scan_asked(const ScanShared& scan, uint32_t ip);
// A reply from ip to a scan, once it is in the table: counted once, when
// scan_asked. False when the scan did not ask ip (yet).
bool scan_heard(ScanShared& scan, uint32_t ip);
bool scan_answered(ScanShared& scan, uint64_t index);

// The scan's ports, so that a test runs it on its own thread and clock.
class ScanPorts {
 public:
  virtual ~ScanPorts() = default;
  virtual void send(uint32_t ip) = 0;  // network byte order
  virtual uint64_t now_us() = 0;
  // Waits us microseconds; true when the scan is cancelled (or the
  // service stops) meanwhile.
  virtual bool pause(uint64_t us) = 0;
};

// The passes and the wait, on the calling thread; sets finished at the end.
void run_scan(ScanShared& scan, ScanPorts& ports);

struct Scan {
  std::shared_ptr<ScanShared> shared;
  std::shared_ptr<DiscoveryState> service;
  std::thread thread;
};

// Starts a scan on the service's query socket; false when the service has
// no socket or the thread cannot be had.
bool start_scan(Scan& scan, DiscoveryService& svc, const AddressSet& addresses,
                const ScanSettings& settings);
ScanProgress scan_progress(const Scan& scan);
void cancel_scan(Scan& scan);
// Waits for the scan's thread (cancel it first to end it early) and takes
// it off the service.
void end_scan(Scan& scan);

