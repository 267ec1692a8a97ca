#include "cli/verify_wait.h"

#include <chrono>
#include <cstdio>
#include <atomic>
#include <thread>

#include "cli/cli.h"
#include "devices/device_table.h"
#include "discovery/discovery.h"
#include "protocol/packet.h"
#include "upgrade/verify.h"

namespace {

using Clock = std::chrono::steady_clock;

const auto TICK_EVERY = std::chrono::milliseconds(200);

class CheckPorts : public VerifyPorts {
 public:
  explicit CheckPorts(DiscoveryService& svc) : svc_(svc) {}
  void query(uint32_t ip) override { query_device(svc_, ip); }
  bool row_listed(uint32_t) override { return true; }
  void show_result(const CardResult& card) override {
    if (*outcome_verified_word(card.outcome))
      std::fprintf(stderr, "%s: %s\n", ip_to_text(card.ip), result_column_text(card).c_str());
  }

 private:
  DiscoveryService& svc_;
};

}  // namespace

bool verify_upgraded_cards(const std::vector<std::pair<std::shared_ptr<Report>, CardResult>>& cards) {
  if (cards.empty()) return true;
  const auto start = Clock::now();
  auto now_ms = [start] {
    return static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  };
  Verifier verifier;
  HeadlessDiscovery d;
  // The answers are the table's merges of the query socket's replies; busy
  // keeps the periodic refresh passes away meanwhile.
  if (!start_headless_discovery(
          d, [&](const DeviceRecord& r) { verifier_answer(verifier, r.ip, r.version, now_ms()); }))
    return false;
  DeviceTable& table = d.table;
  TableThread& executor = d.executor;
  DiscoveryService& svc = d.svc;
  CheckPorts check(svc);
  for (const auto& [report, card] : cards) verifier_card_done(verifier, report, card);
  std::fprintf(stderr, "checking %zu card%s for the new version\n", cards.size(),
               cards.size() == 1 ? "" : "s");
  bool open = true;
  while (open && !interrupted) {
    executor.run([&] {
      verifier_tick(verifier, check, now_ms());
      std::lock_guard<std::mutex> lock(verifier.inbox_mutex);
      open = !verifier.watches.empty() || !verifier.inbox.empty();
    });
    if (open) std::this_thread::sleep_for(TICK_EVERY);
  }
  stop_discovery(svc);
  executor.run([&] {
    unsubscribe_merges(table, d.merge_listener);
    release_device_records(table);
  });
  return true;
}

struct RunningChecks::State {
  Clock::time_point start = Clock::now();
  Verifier verifier;
  HeadlessDiscovery d;
  std::unique_ptr<CheckPorts> check;
  std::atomic<bool> stop{false};
  std::thread ticker;
  bool started = false;
  int64_t now_ms() const {
    return static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  }
};

RunningChecks::RunningChecks() : state_(std::make_unique<State>()) {}
RunningChecks::~RunningChecks() { stop(); }

bool RunningChecks::start() {
  State& s = *state_;
  if (!start_headless_discovery(s.d, [&s](const DeviceRecord& r) {
        verifier_answer(s.verifier, r.ip, r.version, s.now_ms());
      }))
    return false;
  s.check = std::make_unique<CheckPorts>(s.d.svc);
  s.started = true;
  s.ticker = std::thread([&s] {
    while (!s.stop && !interrupted) {
      s.d.executor.run([&] { verifier_tick(s.verifier, *s.check, s.now_ms()); });
      std::this_thread::sleep_for(TICK_EVERY);
    }
  });
  return true;
}

void RunningChecks::card_done(const std::shared_ptr<Report>& report, const CardResult& card) {
  if (state_->started) verifier_card_done(state_->verifier, report, card);
}

void RunningChecks::stop() {
  State& s = *state_;
  if (!s.started) return;
  s.started = false;
  s.stop = true;
  if (s.ticker.joinable()) s.ticker.join();
  stop_discovery(s.d.svc);
  s.d.executor.run([&] {
    unsubscribe_merges(s.d.table, s.d.merge_listener);
    release_device_records(s.d.table);
  });
}
