// Discovery against a large cardsim fleet: (a) broadcast until every card is
// a row, (b) one refresh pass until every answer is merged, (c) the longest
// time the table's thread spent on one step of the service.
//   discovery_bench [CARDS] [BASE_IP]      (inside the private network)
#include <atomic>
#include <cstdlib>

#include "settings/settings.h"
#include "tests/net/discovery/harness.h"

using namespace harness;

namespace {

// Times every step of the service on the owner thread itself.
class TimingExecutor : public TableExecutor {
 public:
  explicit TimingExecutor(TableExecutor& inner) : inner_(inner) {}
  int run(const std::function<void()>& step) override {
    return inner_.run([&] {
      auto t = Clock::now();
      step();
      int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t).count();
      if (ns > longest.load()) longest.store(ns);
      steps.fetch_add(1);
    });
  }
  std::atomic<int64_t> longest{0};
  std::atomic<int64_t> steps{0};

 private:
  TableExecutor& inner_;
};

}  // namespace

int main(int argc, char** argv) {
  int cards = argc > 1 ? std::atoi(argv[1]) : 1000;
  std::string base = argc > 2 ? argv[2] : "10.69.1.1";
  std::string settings = temp_dir();
  set_settings_folder(settings.c_str());

  Cardsim sim;
  if (!sim.start("", {"--fleet", std::to_string(cards), "--base", base})) {
    std::fprintf(stderr, "cardsim did not start\n");
    return 1;
  }
  MemoryList list;
  list.set_extended_style(DEVICE_TABLE_EX_STYLE);
  DeviceTable table;
  table.list = &list;
  init_device_table(table);
  TableThread owner;
  TimingExecutor timed(owner);
  DiscoveryPorts ports;
  ports.table = &table;
  ports.executor = &timed;
  ports.stop = std::make_shared<Event>(true);
  DiscoveryService svc;
  if (!start_discovery(svc, ports)) {
    std::fprintf(stderr, "discovery did not start\n");
    return 1;
  }
  auto rows = [&] {
    int n = 0;
    owner.run([&] { n = row_count(table); });
    return n;
  };
  auto answered = [&] {
    int n = 0;
    owner.run([&] {
      for (const auto& r : table.rows) n += r->unanswered_queries == 0;
    });
    return n;
  };

  modal_step_event(svc).set();
  auto t = Clock::now();
  send_broadcast_request(svc);
  bool all_a = wait_until([&] { return rows() == cards; }, 20000);
  double a = ms_since(t);
  int rows_a = rows();
  int64_t longest_a = timed.longest.exchange(0);
  modal_step_event(svc).reset();

  t = Clock::now();
  refresh_pass(*svc.state);
  double pass_sent = ms_since(t);
  bool all_b = wait_until([&] { return answered() == rows_a; }, 20000);
  double b = ms_since(t);
  int answered_b = answered();
  int64_t longest_b = timed.longest.load();

  std::printf("cards: %d\n", cards);
  std::printf("(a) broadcast to all rows merged: %.1f ms (%d of %d rows%s)\n", a, rows_a, cards,
              all_a ? "" : ", timed out");
  std::printf("(b) refresh pass to all answers merged: %.1f ms (pass sent in %.1f ms; %d of %d%s)\n",
              b, pass_sent, answered_b, rows_a, all_b ? "" : ", timed out");
  std::printf("(c) longest step on the table's thread: %.3f ms during (a) (merges), %.3f ms during (b) "
              "(merges and row steps)\n",
              longest_a / 1e6, longest_b / 1e6);
  stop_discovery(svc);
  owner.run([&] { release_device_records(table); });
  return all_a && all_b ? 0 : 2;
}
