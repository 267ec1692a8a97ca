// Scans on a test clock: the token bucket, the passes, the retries over the
// silent addresses only, the listening time and Cancel.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "discovery/scan.h"

namespace {

// Time moves only in pause; sends are recorded with their time, and the
// cards among the addresses answer the n-th query they get.
class TestPorts : public ScanPorts {
 public:
  uint64_t now = 5000000;  // any start
  std::vector<std::pair<uint64_t, uint32_t>> sent;  // time, host-order ip
  std::map<uint32_t, int> cards;                    // host-order ip: the query it answers
  ScanShared* scan = nullptr;
  uint64_t cancel_at = UINT64_MAX;

  void send(uint32_t ip) override {
    uint32_t host = host_address(ip);
    sent.push_back({now, host});
    auto card = cards.find(host);
    if (card != cards.end() && --card->second == 0) scan_heard(*scan, ip);
  }
  uint64_t now_us() override { return now; }
  bool pause(uint64_t us) override {
    EXPECT_GT(us, 0u);
    now += us;
    return now >= cancel_at;
  }
};

AddressSet addresses(const std::string& text) {
  AddressSet set;
  std::string why;
  EXPECT_TRUE(read_address_ranges(text, &set, &why)) << why;
  return set;
}

// The largest number of sends inside any stretch of `window_us`.
size_t busiest(const TestPorts& p, uint64_t window_us) {
  size_t most = 0, from = 0;
  for (size_t to = 0; to < p.sent.size(); ++to) {
    while (p.sent[to].first - p.sent[from].first >= window_us) ++from;
    most = std::max(most, to - from + 1);
  }
  return most;
}

TEST(Scan, TokenBucketHoldsOneSecondsWorth) {
  RateLimiter r;
  start_rate(r, 100, 0);
  uint64_t wait = 0;
  EXPECT_TRUE(take_token(r, 0, &wait));
  EXPECT_FALSE(take_token(r, 0, &wait));
  EXPECT_EQ(wait, 10000u);  // one token every 10 ms
  EXPECT_FALSE(take_token(r, 9999, &wait));
  EXPECT_EQ(wait, 1u);
  EXPECT_TRUE(take_token(r, 10000, &wait));
  // Idle for a minute, one query a second meanwhile: a second's worth is
  // kept, no more.
  for (uint64_t t = 1; t < 60; ++t) EXPECT_TRUE(take_token(r, t * 1000000 + 10000, &wait));
  int burst = 0;
  while (take_token(r, 60000000, &wait)) ++burst;
  EXPECT_EQ(burst, 100);
}

TEST(Scan, FirstPassAtTheRateThenTheSilentOnesAgain) {
  ScanShared scan;
  scan.addresses = addresses("10.70.1.0/24,10.70.2.0/24");
  scan.settings = {200, 1, 3000};
  TestPorts p;
  p.scan = &scan;
  p.cards = {{0x0A460105, 1}, {0x0A4602FE, 1}, {0x0A460177, 2}};  // the last answers the retry
  const uint64_t start = p.now;
  run_scan(scan, p);

  EXPECT_TRUE(scan.finished);
  EXPECT_FALSE(scan.cancelled);
  EXPECT_EQ(scan.total, 508u);
  EXPECT_EQ(scan.asked.load(), 508u);
  EXPECT_EQ(scan.found.load(), 3u);
  // 508 queries, then the 506 silent ones again; never twice to a card that answered.
  ASSERT_EQ(p.sent.size(), 508u + 506u);
  EXPECT_EQ(scan.queries.load(), p.sent.size());
  std::map<uint32_t, int> asked;
  for (auto& s : p.sent) ++asked[s.second];
  EXPECT_EQ(asked.size(), 508u);
  EXPECT_EQ(asked[0x0A460105], 1);
  EXPECT_EQ(asked[0x0A460177], 2);
  EXPECT_EQ(asked[0x0A460100], 0);  // the network address
  EXPECT_EQ(p.sent[0].second, 0x0A460101u);
  EXPECT_EQ(p.sent[507].second, 0x0A4602FEu);
  // Spread at the rate: 200 a second, not a burst, in every second.
  EXPECT_LE(busiest(p, 1000000), 201u);
  EXPECT_LE(busiest(p, 100000), 21u);
  // The first pass takes 507 periods of 5 ms; the retry pass waits one second.
  EXPECT_EQ(p.sent[507].first - start, 507u * 5000);
  EXPECT_EQ(p.sent[508].first - p.sent[507].first, 1000000u);
  // Then the listening time after the last query, and nothing is left.
  EXPECT_EQ(p.now - p.sent.back().first, 3000000u);
  EXPECT_EQ(scan.ms_left.load(), 0u);
}

TEST(Scan, RetriesCountAndFullAnswers) {
  for (int retries : {0, 1, 2}) {
    ScanShared scan;
    scan.addresses = addresses("10.70.1.1-10.70.1.10");
    scan.settings = {1000, retries, 0};
    TestPorts p;
    p.scan = &scan;
    p.cards = {{0x0A460103, 3}};  // answers its third query only
    run_scan(scan, p);
    EXPECT_EQ(p.sent.size(), 10u + 10u * retries) << retries;
    EXPECT_EQ(scan.found.load(), retries == 2 ? 1u : 0u) << retries;
  }
  // Every address answered: no retry pass and no gap before it.
  ScanShared scan;
  scan.addresses = addresses("10.70.1.1-10.70.1.2");
  scan.settings = {1000, 2, 500};
  TestPorts p;
  p.scan = &scan;
  p.cards = {{0x0A460101, 1}, {0x0A460102, 1}};
  uint64_t start = p.now;
  run_scan(scan, p);
  EXPECT_EQ(p.sent.size(), 2u);
  EXPECT_EQ(p.now - start, 1000u + 500000u);
}

TEST(Scan, CancelStopsAtOnceAndSaysSo) {
  ScanShared scan;
  scan.addresses = addresses("10.70.0.0/16");
  scan.settings = {100, 1, 3000};
  TestPorts p;
  p.scan = &scan;
  p.cancel_at = p.now + 2000000;
  run_scan(scan, p);
  EXPECT_TRUE(scan.finished);
  EXPECT_TRUE(scan.cancelled);
  EXPECT_EQ(p.sent.size(), 200u);  // two seconds at 100
  EXPECT_EQ(scan.asked.load(), 200u);
}

TEST(Scan, TimeLeftCountsTheRetriesAndTheWait) {
  ScanShared scan;
  scan.addresses = addresses("10.70.1.1-10.70.1.100");
  scan.settings = {100, 1, 2000};
  TestPorts p;
  p.scan = &scan;
  // Looked at after the 50th query of the first pass: 50 + 100 (all silent) queries, the wait.
  struct Watch : TestPorts {
    uint64_t seen = 0;
    void send(uint32_t ip) override {
      TestPorts::send(ip);
      if (sent.size() == 51) seen = scan->ms_left;  // as the 50th left it
    }
  } w;
  w.scan = &scan;
  run_scan(scan, w);
  EXPECT_EQ(w.seen, (50u + 100u) * 10 + 2000);
}

TEST(Scan, HeardCountsEachAskedAddressOfTheScanOnce) {
  ScanShared scan;
  scan.addresses = addresses("10.70.1.0/30");
  scan.total = address_count(scan.addresses);
  scan.answered.assign(1, 0);
  scan.asked = 1;  // .1 asked, .2 not yet
  EXPECT_TRUE(scan_heard(scan, network_address(0x0A460101)));
  EXPECT_TRUE(scan_heard(scan, network_address(0x0A460101)));
  EXPECT_FALSE(scan_heard(scan, network_address(0x0A460102)));  // speaks out of turn
  EXPECT_FALSE(scan_heard(scan, network_address(0x0A460100)));  // left out of the block
  EXPECT_FALSE(scan_heard(scan, network_address(0x0B460101)));
  EXPECT_EQ(scan.found.load(), 1u);
  EXPECT_TRUE(scan_answered(scan, 0));
  EXPECT_FALSE(scan_answered(scan, 1));
  scan.asked = 2;
  EXPECT_TRUE(scan_heard(scan, network_address(0x0A460102)));
  EXPECT_EQ(scan.found.load(), 2u);
}

}  // namespace
