#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "discovery/discovery.h"
#include "discovery/scan.h"
#include "protocol/packet.h"
#include "tests/support/table_doubles.h"

namespace {

using namespace std::chrono_literals;

// Time moves only when the test says so. Waiters poll their events every
// real millisecond and give up once the fake time passes their deadline.
class FakeClock : public ServiceClock {
 public:
  bool wait(Event& e, uint32_t ms) override {
    Event* one[1] = {&e};
    return wait_on(one, 1, ms);
  }
  bool wait_all(Event* const* events, int count, uint32_t ms) override {
    return wait_on(events, count, ms);
  }
  void advance(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += ms;
    changed_.notify_all();
  }
  // Until exactly `count` threads wait and none of them is due, that is,
  // every thread woken by the last advance has done its work and waits again.
  bool settle(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] {
      return deadlines_.size() == count && (deadlines_.empty() || *deadlines_.begin() > now_);
    });
  }
  uint64_t now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }

 private:
  bool wait_on(Event* const* events, int count, uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto mine = deadlines_.insert(now_ + ms);
    changed_.notify_all();
    int got = 0;
    for (;;) {
      while (got < count && events[got]->wait(0)) ++got;
      bool done = got == count;
      if (done || now_ >= *mine) {
        deadlines_.erase(mine);
        changed_.notify_all();
        return done;
      }
      changed_.wait_for(lock, 1ms);
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t now_ = 0;
  std::multiset<uint64_t> deadlines_;
};

struct Incoming {
  std::vector<uint8_t> bytes;
  int error = 0;  // RECV_RESET or RECV_FAILED instead of a datagram
  uint32_t from = 0;  // the sender; 0: 10.69.0.200
};

class FakeTransport : public DiscoveryTransport {
 public:
  int fail_open_at = -1;  // the n-th open (0-based) fails
  bool fail_broadcast = false;
  std::vector<std::pair<Socket, uint32_t>> requests;
  std::vector<std::pair<Socket, int>> answers;  // datagram lengths answered

  Socket open() override {
    std::lock_guard<std::mutex> lock(mutex);
    int n = opened++;
    return n == fail_open_at ? 0 : static_cast<Socket>(100 + n);
  }
  int enable_broadcast(Socket s) override {
    broadcast_enabled.insert(s);
    return !fail_broadcast;
  }
  void send_request(Socket s, uint32_t ip) override {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back({s, ip});
  }
  std::vector<uint32_t> adapter_broadcasts;  // none: the default of one adapter
  std::vector<uint32_t> broadcast_addresses() override {
    return adapter_broadcasts.empty() ? DiscoveryTransport::broadcast_addresses()
                                      : adapter_broadcasts;
  }
  int readable(Socket s, long) override {
    std::lock_guard<std::mutex> lock(mutex);
    return !inbox[s].empty();
  }
  int receive(Socket s, uint8_t* buf, int cap, SocketAddress* from) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (inbox[s].empty()) return RECV_FAILED;
    Incoming in = inbox[s].front();
    inbox[s].pop_front();
    if (in.error) return in.error;
    int n = std::min(cap, static_cast<int>(in.bytes.size()));
    std::memcpy(buf, in.bytes.data(), n);
    *from = make_address(in.from ? in.from : text_to_ip("10.69.0.200"), 3000);
    return n;
  }
  void answer(Socket s, const uint8_t*, int length, const SocketAddress&) override {
    std::lock_guard<std::mutex> lock(mutex);
    answers.push_back({s, length});
  }
  void close_socket(Socket s) override {
    std::lock_guard<std::mutex> lock(mutex);
    closed.push_back(s);
  }
  void deliver(Socket s, Incoming in) {
    std::lock_guard<std::mutex> lock(mutex);
    inbox[s].push_back(std::move(in));
  }
  std::vector<uint32_t> requested_ips(Socket s) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<uint32_t> out;
    for (auto& r : requests)
      if (r.first == s) out.push_back(r.second);
    return out;
  }

  std::mutex mutex;
  int opened = 0;
  std::vector<Socket> closed;
  std::set<Socket> broadcast_enabled;
  std::map<Socket, std::deque<Incoming>> inbox;
};

// A card's DATA reply: opcode 3, block 1, then the text; sent from the
// address it states unless from says otherwise.
Incoming reply(const char* ip, bool write = true, size_t pad_to = 0, const char* from = nullptr) {
  std::string text = std::string("MX-2 SNMP/WEB Card\r\n+PROD : 0x00010004\r\n+IP : ") + ip +
                     "\r\n+MAC : 00-0a-ff-00-00-05\r\n+FW : v1.02\r\n";
  if (write) text += "+WRQ : ACCEPT\r\n";
  std::string packet = std::string("\x00\x03\x00\x01", 4) + text;
  if (packet.size() < pad_to) packet.resize(pad_to, ' ');
  Incoming in;
  in.bytes.assign(packet.begin(), packet.end());
  in.from = text_to_ip(from ? from : ip);
  return in;
}

std::unique_ptr<DeviceRecord> listed(const char* ip, uint32_t unanswered_queries) {
  auto r = std::make_unique<DeviceRecord>();
  std::memset(r.get(), 0, sizeof *r);
  r->ip = text_to_ip(ip);
  r->unanswered_queries = unanswered_queries;
  return r;
}

class Discovery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // No stored account: every new card gets "admin".
    static char folder[] = "/tmp/daveridur-discovery-XXXXXX";
    static const char* made = mkdtemp(folder);
    ASSERT_NE(made, nullptr);
    set_settings_folder(made);
  }

  void SetUp() override {
    list.set_extended_style(DEVICE_TABLE_EX_STYLE);
    table.list = &list;
    ports.table = &table;
    ports.executor = &executor;
    ports.clock = &clock;
    ports.transport = &net;
    ports.stop = std::make_shared<Event>(true);
  }

  void TearDown() override {
    stop_with_time();
    release_device_records(table);
  }

  void start() {
    ASSERT_EQ(start_discovery(svc, ports), 1);
    ASSERT_TRUE(clock.settle(3));
  }
  Socket broadcast_socket() { return svc.state->broadcast_socket.get(); }
  Socket query_socket() { return svc.state->query_socket.get(); }

  // Lets the receive threads wake once and drain.
  void wake_receivers() {
    clock.advance(RECEIVE_WAKE_MS);
    ASSERT_TRUE(clock.settle(3));
  }

  // stop_discovery, moving time on until it returns; gives its result and
  // the time it took.
  std::pair<int, uint64_t> stop_with_time() {
    if (!svc.state) return {1, 0};
    uint64_t began = clock.now();
    auto result = std::async(std::launch::async, [&] { return stop_discovery(svc); });
    while (result.wait_for(1ms) != std::future_status::ready) clock.advance(100);
    int ok = result.get();
    svc.state.reset();
    return {ok, clock.now() - began};
  }

  DeviceRecord* row(int i) { return row_record(table, i); }
  void ask(std::initializer_list<const char*> ips) {
    for (const char* ip : ips) query_device(svc, text_to_ip(ip));
  }
  std::vector<std::string> listed_ips() {
    std::vector<std::string> out;
    for (int i = 0; i < list.item_count(); ++i) out.push_back(list.rows[i].texts[0]);
    return out;
  }

  FakeClock clock;
  FakeTransport net;
  MemoryList list;
  DeviceTable table;
  TableThread executor;
  DiscoveryPorts ports;
  DiscoveryService svc;
};

TEST_F(Discovery, StartFailsWithoutItsSocketsAndClosesThoseItOpened) {
  struct Case {
    int fail_open_at;
    bool fail_broadcast;
    std::vector<Socket> closed;
  } cases[] = {{0, false, {}}, {-1, true, {100}}, {1, false, {100}}};
  for (const Case& c : cases) {
    FakeTransport t;
    t.fail_open_at = c.fail_open_at;
    t.fail_broadcast = c.fail_broadcast;
    DiscoveryPorts p = ports;
    p.transport = &t;
    DiscoveryService s;
    EXPECT_EQ(start_discovery(s, p), 0);
    EXPECT_FALSE(s.state);
    EXPECT_EQ(t.closed, c.closed) << c.fail_open_at << c.fail_broadcast;
  }
}

TEST_F(Discovery, StopClosesBothSockets) {
  start();
  Socket both[2] = {broadcast_socket(), query_socket()};
  EXPECT_TRUE(net.closed.empty());
  EXPECT_EQ(stop_with_time().first, 1);
  std::sort(both, both + 2);
  std::sort(net.closed.begin(), net.closed.end());
  EXPECT_EQ(net.closed, std::vector<Socket>(both, both + 2));
}

TEST_F(Discovery, BroadcastOptionIsOnTheBroadcastSocketOnly) {
  start();
  EXPECT_EQ(net.broadcast_enabled, std::set<Socket>{broadcast_socket()});
  send_broadcast_request(svc);
  query_device(svc, text_to_ip("10.69.0.9"));
  EXPECT_EQ(net.requested_ips(broadcast_socket()), std::vector<uint32_t>{BROADCAST_ADDRESS});
  EXPECT_EQ(net.requested_ips(query_socket()), std::vector<uint32_t>{text_to_ip("10.69.0.9")});

  // With more adapters one broadcast is a request to each address, from the
  // same socket.
  std::vector<uint32_t> every = {BROADCAST_ADDRESS, text_to_ip("10.71.1.255"),
                                 text_to_ip("10.72.255.255")};
  net.adapter_broadcasts = every;
  send_broadcast_request(svc);
  std::vector<uint32_t> expected = {BROADCAST_ADDRESS};
  expected.insert(expected.end(), every.begin(), every.end());
  EXPECT_EQ(net.requested_ips(broadcast_socket()), expected);
}

TEST_F(Discovery, PollRunsAPassEvery32SecondsUnlessBusy) {
  merge_device(table, listed("10.69.0.5", 0), 0);
  merge_device(table, listed("10.69.0.6", 0), 0);
  start();
  clock.advance(POLL_PERIOD_MS - 1);
  ASSERT_TRUE(clock.settle(3));
  EXPECT_TRUE(net.requests.empty());
  clock.advance(1);
  ASSERT_TRUE(clock.settle(3));
  // Last row first.
  EXPECT_EQ(net.requested_ips(query_socket()),
            (std::vector<uint32_t>{text_to_ip("10.69.0.6"), text_to_ip("10.69.0.5")}));

  modal_step_event(svc).set();
  clock.advance(POLL_PERIOD_MS);
  ASSERT_TRUE(clock.settle(3));
  EXPECT_EQ(net.requests.size(), 2u);  // skipped, and not made up later
  modal_step_event(svc).reset();
  clock.advance(POLL_PERIOD_MS);
  ASSERT_TRUE(clock.settle(3));
  EXPECT_EQ(net.requests.size(), 4u);
}

TEST_F(Discovery, RefreshPassMarksSilentCardsAndCountsEveryQuery) {
  start();
  refresh_pass(*svc.state);
  EXPECT_TRUE(net.requests.empty());  // an empty table sends nothing

  merge_device(table, listed("10.69.0.5", 0), 0);  // answered since the last pass
  merge_device(table, listed("10.69.0.6", 2), 0);  // silent for two passes
  list.rows[1].image = ICON_READY;
  refresh_pass(*svc.state);
  EXPECT_EQ(list.rows[0].image, ICON_READY);
  EXPECT_EQ(list.rows[1].image, ICON_NO_REPLY);
  EXPECT_EQ(row(0)->unanswered_queries, 1u);
  EXPECT_EQ(row(1)->unanswered_queries, 3u);
  refresh_pass(*svc.state);
  EXPECT_EQ(list.rows[0].image, ICON_NO_REPLY);
  EXPECT_EQ(row(0)->unanswered_queries, 2u);
}

TEST_F(Discovery, QueryRepliesAreAnsweredAndMergedAsAnswering) {
  start();
  ask({"10.69.0.5", "10.69.0.6"});
  net.deliver(query_socket(), reply("10.69.0.5"));
  net.deliver(query_socket(), reply("10.69.0.6", false));
  wake_receivers();
  ASSERT_EQ(list.item_count(), 2);
  EXPECT_EQ(row(0)->unanswered_queries, 0u);
  EXPECT_EQ(list.rows[0].image, ICON_READY);
  EXPECT_EQ(list.rows[1].image, ICON_NO_WRITE);
  EXPECT_STREQ(row(0)->user_name, "admin");
  EXPECT_STREQ(row(0)->password, "");
  EXPECT_EQ(net.answers.size(), 2u);
}

TEST_F(Discovery, BroadcastRepliesCountOnlyWhileBusy) {
  start();
  net.deliver(broadcast_socket(), reply("10.69.0.5"));
  wake_receivers();
  EXPECT_EQ(list.item_count(), 0);
  EXPECT_TRUE(net.answers.empty());

  // Busy, but nothing was broadcast: nothing is taken from that socket.
  modal_step_event(svc).set();
  net.deliver(broadcast_socket(), reply("10.69.0.5"));
  wake_receivers();
  EXPECT_EQ(list.item_count(), 0);

  send_broadcast_request(svc);
  net.deliver(broadcast_socket(), reply("10.69.0.5"));
  wake_receivers();
  ASSERT_EQ(list.item_count(), 1);
  EXPECT_EQ(row(0)->unanswered_queries, 1u);
  EXPECT_EQ(list.rows[0].image, ICON_NO_REPLY);
  EXPECT_EQ(net.answers.size(), 1u);  // what is not taken is not answered either

  // A listed card found again by broadcast keeps its account and is marked.
  std::strcpy(row(0)->user_name, "ops");
  row(0)->unanswered_queries = 0;
  net.deliver(broadcast_socket(), reply("10.69.0.5"));
  wake_receivers();
  EXPECT_EQ(row(0)->unanswered_queries, 1u);
  EXPECT_STREQ(row(0)->user_name, "ops");
}

// A reply speaks for the address it came from, and only for one a card can
// have; on the query socket only an address that was asked may answer.
TEST_F(Discovery, AReplyIsTakenOnlyFromTheCardItSpeaksFor) {
  start();
  modal_step_event(svc).set();
  send_broadcast_request(svc);
  ask({"10.69.0.5", "10.69.0.7"});
  struct Case {
    bool query;  // else the broadcast socket
    const char* says;
    const char* from;
  } cases[] = {
      {false, "10.69.0.5", "10.69.0.66"},  // another card's address
      {false, "10.69.0.66", "10.69.0.66"},
      {false, "8.8.8.8", "10.69.0.66"},
      {false, "0.0.0.0", "0.0.0.0"},
      {false, "127.0.0.1", "127.0.0.1"},
      {false, "224.0.0.1", "224.0.0.1"},
      {false, "239.255.255.250", "239.255.255.250"},
      {false, "240.0.0.1", "240.0.0.1"},
      {false, "255.255.255.255", "255.255.255.255"},
      {false, "not an address", "255.255.255.255"},  // read as 255.255.255.255
      {true, "10.69.0.7", "10.69.0.66"},   // a check answered for the card asked
      {true, "10.69.0.7", "10.69.0.7"},
      {true, "10.69.0.77", "10.69.0.77"},  // not asked
      {true, "10.69.0.5", "10.69.0.5"},
  };
  for (const Case& c : cases)
    net.deliver(c.query ? query_socket() : broadcast_socket(), reply(c.says, true, 0, c.from));
  wake_receivers();
  std::vector<std::string> ips = listed_ips();
  std::sort(ips.begin(), ips.end());
  EXPECT_EQ(ips, (std::vector<std::string>{"10.69.0.5", "10.69.0.66", "10.69.0.7"}));
  EXPECT_EQ(net.answers.size(), std::size(cases));  // each one still answered
  // A refresh pass asks every listed card: the one found by broadcast may
  // now answer on the query socket as well.
  refresh_pass(*svc.state);
  DeviceRecord* found = row(find_row(table, text_to_ip("10.69.0.66")));
  ASSERT_NE(found, nullptr);
  found->version = 0;
  net.deliver(query_socket(), reply("10.69.0.66"));
  wake_receivers();
  EXPECT_EQ(found->version, 258u);
}

// Many replies in one wake are merged in several steps; none is merged
// twice, and none is merged again on a later wake.
TEST_F(Discovery, EveryReplyOfAWakeIsMergedOnce) {
  start();
  modal_step_event(svc).set();
  send_broadcast_request(svc);
  size_t delivered = 0;
  for (int round = 0; round < 2; ++round)
    for (int i = 1; i <= 40; ++i, ++delivered)
      net.deliver(broadcast_socket(), reply(("10.69.1." + std::to_string(i)).c_str()));
  wake_receivers();
  ASSERT_EQ(list.item_count(), 40);
  EXPECT_EQ(net.answers.size(), delivered);
  for (int i = 0; i < 40; ++i) row(i)->unanswered_queries = 0;
  wake_receivers();
  for (int i = 0; i < 40; ++i) ASSERT_EQ(row(i)->unanswered_queries, 0u) << "row " << i;
  net.deliver(broadcast_socket(), reply("10.69.1.7"));
  wake_receivers();
  EXPECT_EQ(row(6)->unanswered_queries, 1u);
  EXPECT_EQ(list.item_count(), 40);
}

// A socket that never runs dry must not keep its thread from seeing stop.
TEST_F(Discovery, EndlessRepliesDoNotHoldOffStop) {
  struct Flood : FakeTransport {
    int readable(Socket, long) override { return 1; }
    int receive(Socket, uint8_t* buf, int cap, SocketAddress* from) override {
      Incoming in = reply("10.69.0.5");
      int n = std::min(cap, static_cast<int>(in.bytes.size()));
      std::memcpy(buf, in.bytes.data(), n);
      *from = make_address(text_to_ip("10.69.0.5"), 69);
      return n;
    }
  } flood;
  ports.transport = &flood;
  start();
  ask({"10.69.0.5"});
  clock.advance(RECEIVE_WAKE_MS);  // the query thread now drains for ever
  int rows = 0;
  for (int i = 0; i < 5000 && rows == 0; ++i) {
    executor.run([&] { rows = list.item_count(); });
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(rows, 1);
  auto [ok, took] = stop_with_time();
  EXPECT_EQ(ok, 1);
  EXPECT_LT(took, STOP_WAIT_MS);
}

// A card's reply read just ahead of a flood of rejected ones, as a lying
// card sends them. A scan counts the card only once it is in the table: the
// command-line tool stops the service as soon as every address of its scan
// has answered, and stop drops what is read but not merged. Nor does the
// card wait for the flood's end: a step runs every MERGE_BATCH datagrams.
TEST_F(Discovery, AScanCountsACardOnlyOnceMergedAndAFloodDoesNotHoldItBack) {
  // Holds the query thread inside its n-th read, for each n of gates.
  struct Gated : FakeTransport {
    std::mutex m;
    std::condition_variable cv;
    std::set<size_t> gates;
    size_t reads = 0;
    bool held = false;
    int receive(Socket s, uint8_t* buf, int cap, SocketAddress* from) override {
      {
        std::unique_lock<std::mutex> lock(m);
        if (gates.count(++reads)) {
          held = true;
          cv.notify_all();
          cv.wait(lock, [&] { return !held; });
        }
      }
      return FakeTransport::receive(s, buf, cap, from);
    }
    bool wait_held() {
      std::unique_lock<std::mutex> lock(m);
      return cv.wait_for(lock, 5s, [&] { return held; });
    }
    void let_go(bool for_good = false) {
      std::lock_guard<std::mutex> lock(m);
      if (for_good) gates.clear();
      held = false;
      cv.notify_all();
    }
  } gated;
  ports.transport = &gated;
  start();
  Scan scan;
  ScanSettings settings;
  settings.rate = SCAN_RATE_MAX;
  settings.retries = 0;
  settings.wait_ms = 60000;
  AddressSet one;
  std::string why;
  ASSERT_TRUE(read_address_ranges("10.69.0.5", &one, &why));
  ASSERT_TRUE(start_scan(scan, svc, one, settings));
  for (int i = 0; i < 5000 && scan_progress(scan).asked == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(scan_progress(scan).asked, 1u);
  auto rows = [&] {
    int n = -1;
    executor.run([&] { n = list.item_count(); });
    return n;
  };

  gated.deliver(query_socket(), reply("10.69.0.5"));
  for (size_t i = 0; i < 2 * MERGE_BATCH + 40; ++i)
    gated.deliver(query_socket(), reply("10.70.0.1", true, 0, "10.69.0.66"));
  {
    std::lock_guard<std::mutex> lock(gated.m);
    gated.gates = {5, MERGE_BATCH + 10};
  }
  clock.advance(RECEIVE_WAKE_MS);
  EXPECT_TRUE(gated.wait_held());  // the card read, the flood begun
  EXPECT_EQ(rows(), 0);
  EXPECT_EQ(scan_progress(scan).found, 0u);
  gated.let_go();
  EXPECT_TRUE(gated.wait_held());  // past MERGE_BATCH datagrams, the flood still on
  EXPECT_EQ(rows(), 1);
  EXPECT_EQ(scan_progress(scan).found, 1u);

  gated.let_go(true);
  EXPECT_TRUE(clock.settle(3));
  cancel_scan(scan);
  end_scan(scan);
  EXPECT_EQ(rows(), 1);
  EXPECT_EQ(scan_progress(scan).found, 1u);
  EXPECT_EQ(gated.answers.size(), 2 * MERGE_BATCH + 41);  // every datagram answered once
  EXPECT_EQ(stop_with_time().first, 1);
}

TEST_F(Discovery, TheSystemClockWakesForADatagramOrForStop) {
  Event stop(true);
  FakeTransport t;
  t.deliver(7, reply("10.69.0.5"));
  EXPECT_FALSE(system_clock()->wait_for_datagram(stop, t, 7, 60000));  // at once: one is waiting
  auto setter = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(20ms);
    stop.set();
  });
  EXPECT_TRUE(system_clock()->wait_for_datagram(stop, t, 8, 60000));
  EXPECT_FALSE(system_clock()->wait_for_datagram(*ports.stop, t, 8, 1));
}

TEST_F(Discovery, OddDatagrams) {
  start();
  ask({"10.69.0.200", "10.69.0.7", "10.69.0.5", "10.69.0.8"});
  Incoming tiny;
  tiny.bytes = {0x00, 0x03, 0x00};
  Incoming ack;
  ack.bytes = {0x00, 0x04, 0x00, 0x01};
  net.deliver(query_socket(), tiny);                        // dropped unanswered
  net.deliver(query_socket(), ack);                         // answered (by nothing), rejected
  net.deliver(query_socket(), reply("10.69.0.7", true, 600));  // refused, still merged
  net.deliver(query_socket(), reply("10.69.0.5"));
  net.deliver(query_socket(), reply("10.69.0.5", false));   // same "+IP": same row
  net.deliver(query_socket(), reply("10.69.0.8", true, 1700));  // cut at 1599
  wake_receivers();
  std::vector<int> lengths;
  for (auto& a : net.answers) lengths.push_back(a.second);
  EXPECT_EQ(lengths, (std::vector<int>{4, 600, int(reply("10.69.0.5").bytes.size()),
                                       int(reply("10.69.0.5", false).bytes.size()), 1599}));
  ASSERT_EQ(list.item_count(), 3);
  EXPECT_STREQ(list.rows[0].texts[0], "10.69.0.7");
  EXPECT_STREQ(list.rows[1].texts[0], "10.69.0.5");
  EXPECT_EQ(list.rows[1].image, ICON_NO_WRITE);
  EXPECT_STREQ(list.rows[2].texts[0], "10.69.0.8");
}

TEST_F(Discovery, ResetFromAnUnreachableAddressDoesNotStopLaterReplies) {
  start();
  ask({"10.69.0.5", "10.69.0.6"});
  Incoming reset;
  reset.error = RECV_RESET;
  net.deliver(query_socket(), reset);
  wake_receivers();
  net.deliver(query_socket(), reply("10.69.0.5"));
  net.deliver(query_socket(), reset);
  net.deliver(query_socket(), reply("10.69.0.6"));
  wake_receivers();
  EXPECT_EQ(list.item_count(), 2);
  auto [ok, took] = stop_with_time();
  EXPECT_EQ(ok, 1);
  EXPECT_LT(took, STOP_WAIT_MS);
}

TEST_F(Discovery, ReceiveFailureEndsThatThreadAndStopTakesTheFullWait) {
  start();
  ask({"10.69.0.5"});
  Incoming failed;
  failed.error = RECV_FAILED;
  net.deliver(query_socket(), failed);
  net.deliver(query_socket(), reply("10.69.0.5"));  // never read
  clock.advance(RECEIVE_WAKE_MS);
  ASSERT_TRUE(clock.settle(2));
  EXPECT_EQ(list.item_count(), 0);
  // The other receive thread goes on.
  modal_step_event(svc).set();
  send_broadcast_request(svc);
  net.deliver(broadcast_socket(), reply("10.69.0.6"));
  clock.advance(RECEIVE_WAKE_MS);
  ASSERT_TRUE(clock.settle(2));
  EXPECT_EQ(list.item_count(), 1);
  auto [ok, took] = stop_with_time();
  EXPECT_EQ(ok, 1);  // every thread has returned, one without its done event
  EXPECT_GE(took, STOP_WAIT_MS);
}

TEST_F(Discovery, StopLeavesAThreadStuckInAStepRunningAndKeepsItsStateAlive) {
  // An owner that never runs steps: the merge waits forever.
  struct Stuck : TableExecutor {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool release = false;
    int run(const std::function<void()>&) override {
      std::unique_lock<std::mutex> lock(m);
      entered = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
      return 0;
    }
  } stuck;
  ports.executor = &stuck;
  start();
  ask({"10.69.0.5"});
  net.deliver(query_socket(), reply("10.69.0.5"));
  clock.advance(RECEIVE_WAKE_MS);
  ASSERT_TRUE(clock.settle(2));
  {
    std::unique_lock<std::mutex> lock(stuck.m);  // the query thread sits in its step
    ASSERT_TRUE(stuck.cv.wait_for(lock, 5s, [&] { return stuck.entered; }));
  }
  std::weak_ptr<DiscoveryState> state = svc.state;
  auto [ok, took] = stop_with_time();
  EXPECT_EQ(ok, 0);
  EXPECT_GE(took, STOP_WAIT_MS);
  EXPECT_FALSE(state.expired());
  EXPECT_TRUE(net.closed.empty());  // the stuck thread may still use them
  {
    std::lock_guard<std::mutex> lock(stuck.m);
    stuck.release = true;
  }
  stuck.cv.notify_all();
  for (int i = 0; i < 5000 && !state.expired(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(state.expired());
  EXPECT_EQ(net.closed.size(), 2u);  // with the state
  EXPECT_EQ(list.item_count(), 0);
}

TEST_F(Discovery, StopIsPromptAndIdempotentForANeverStartedService) {
  DiscoveryService never;
  EXPECT_EQ(stop_discovery(never), 1);
  start();
  auto [ok, took] = stop_with_time();
  EXPECT_EQ(ok, 1);
  EXPECT_LT(took, STOP_WAIT_MS);
}

// The window's part: steps wait in the queue and the wake-up carries
// nothing. A step runs once, on the owner's thread, and its caller waits for
// it; a wake-up that reached nobody gives the step back unrun; a wake-up the
// queue did not send runs only what was queued.
TEST(StepQueue, StepsRunOnTheOwnersThreadOnlyWhenQueued) {
  StepQueue queue;
  queue.run_queued();  // a wake-up with nothing queued

  std::thread::id ran_on, owner;
  int got = queue.run([&] { ran_on = std::this_thread::get_id(); },
                      [&] {
                        std::thread([&] {
                          owner = std::this_thread::get_id();
                          queue.run_queued();
                        }).join();
                      });
  EXPECT_EQ(got, 1);
  EXPECT_EQ(ran_on, owner);

  // The owner is gone. Waited for with a bound: a caller that waits for a
  // step nobody took would hang here.
  auto alone = std::make_shared<StepQueue>();  // kept by the thread if it hangs
  auto runs = std::make_shared<std::atomic<int>>(0);
  auto gave_back = std::make_shared<std::promise<int>>();
  std::future<int> result = gave_back->get_future();
  std::thread([alone, runs, gave_back] {
    gave_back->set_value(alone->run([runs] { ++*runs; }, [] {}));
  }).detach();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), 0);
  alone->run_queued();
  EXPECT_EQ(*runs, 0);

  // Begun by someone else's wake-up, still running when ours returns: the
  // caller waits for its end.
  std::promise<void> started, release;
  std::thread other;
  bool finished = false;
  got = queue.run(
      [&] {
        started.set_value();
        release.get_future().wait();
        finished = true;
      },
      [&] {
        other = std::thread([&] { queue.run_queued(); });
        started.get_future().wait();
        std::thread([&] {
          std::this_thread::sleep_for(20ms);
          release.set_value();
        }).detach();
      });
  EXPECT_EQ(got, 1);
  EXPECT_TRUE(finished);
  other.join();
}

}  // namespace
