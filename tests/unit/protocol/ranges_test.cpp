// The range reader: what an operator types for a scan, what it covers, and
// what it refuses.
#include <gtest/gtest.h>

#include "protocol/ranges.h"

namespace {

std::string dotted(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 255) + "." +
         std::to_string(ip >> 8 & 255) + "." + std::to_string(ip & 255);
}

// The set as text: "first-last" intervals, blank-separated.
std::string shown(const AddressSet& set) {
  std::string out;
  for (const AddressInterval& span : set.intervals) {
    if (!out.empty()) out += " ";
    out += span.first == span.last ? dotted(span.first) : dotted(span.first) + "-" + dotted(span.last);
  }
  return out;
}

struct ScanCase {
  std::vector<std::string> targets, excludes;
  const char* covers;  // nullptr: refused
  uint64_t count;
};

TEST(Ranges, ReadsAddressesBlocksSpansAndLists) {
  const ScanCase cases[] = {
      {{"10.70.0.5"}, {}, "10.70.0.5", 1},
      // Blocks: network and broadcast out from /16 to /30, kept by /31 and /32.
      {{"10.70.0.0/16"}, {}, "10.70.0.1-10.70.255.254", 65534},
      {{"10.70.1.0/24"}, {}, "10.70.1.1-10.70.1.254", 254},
      {{"10.70.1.4/30"}, {}, "10.70.1.5-10.70.1.6", 2},
      {{"10.70.1.4/31"}, {}, "10.70.1.4-10.70.1.5", 2},
      {{"10.70.1.4/32"}, {}, "10.70.1.4", 1},
      {{"10.70.1.77/24"}, {}, "10.70.1.1-10.70.1.254", 254},  // host bits ignored
      // Spans keep both ends, in either order.
      {{"10.70.1.9-10.70.1.3"}, {}, "10.70.1.3-10.70.1.9", 7},
      {{"10.70.0.250-10.70.1.2"}, {}, "10.70.0.250-10.70.1.2", 9},
      // Lists, overlaps and duplicates: every address once.
      {{"10.70.1.1, 10.70.1.3,10.70.1.2"}, {}, "10.70.1.1-10.70.1.3", 3},
      {{"10.70.1.0/24", "10.70.1.100-10.70.2.10", "10.70.1.5"}, {}, "10.70.1.1-10.70.2.10", 266},
      {{"10.70.1.8/30,10.70.1.12/30"}, {}, "10.70.1.9-10.70.1.10 10.70.1.13-10.70.1.14", 4},
      // Excludes win, split a range, take their block whole, and may name
      // what no target holds.
      {{"10.70.1.0/24"}, {"10.70.1.100"}, "10.70.1.1-10.70.1.99 10.70.1.101-10.70.1.254", 253},
      {{"10.70.1.0-10.70.1.255"}, {"10.70.1.0/24"}, "", 0},
      {{"10.70.1.0/24"}, {"10.70.1.10-10.70.1.20", "10.70.1.15-10.70.1.30,10.70.1.200/29"},
       "10.70.1.1-10.70.1.9 10.70.1.31-10.70.1.199 10.70.1.208-10.70.1.254", 9 + 169 + 47},
      {{"10.70.1.1"}, {"127.0.0.1", "10.0.0.0/16"}, "10.70.1.1", 1},
      {{"1.0.0.0-1.0.0.2", "223.255.255.254-223.255.255.255"}, {},
       "1.0.0.0-1.0.0.2 223.255.255.254-223.255.255.255", 5},
      // The size rule counts what is left after the excludes.
      {{"10.70.0.0/16", "10.71.0.1-10.71.0.2"}, {}, "10.70.0.1-10.70.255.254 10.71.0.1-10.71.0.2", 65536},
      {{"10.70.0.0/16", "10.71.0.1-10.71.0.3"}, {}, nullptr, 0},
      {{"10.70.0.0/16", "10.71.0.0/16"}, {"10.71.0.0/17", "10.71.128.0/17"}, "10.70.0.1-10.70.255.254", 65534},
  };
  for (const ScanCase& c : cases) {
    AddressSet set;
    std::string why;
    bool ok = read_scan_addresses(c.targets, c.excludes, false, &set, &why);
    std::string name = c.targets[0] + (c.excludes.empty() ? "" : " less " + c.excludes[0]);
    ASSERT_EQ(ok, c.covers != nullptr) << name << ": " << why;
    if (!ok) continue;
    EXPECT_EQ(shown(set), c.covers) << name;
    EXPECT_EQ(address_count(set), c.count) << name;
  }
}

TEST(Ranges, RefusesWithTheRangeNamed) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {"10.70.0.0/15", "\"10.70.0.0/15\" is not a range: a block is /16 (65 534 addresses) to /32"},
      {"10.70.0.0/33", "\"10.70.0.0/33\" is not a range: a block is /16 (65 534 addresses) to /32"},
      {"10.70.0.0/024", "\"10.70.0.0/024\" is not a range: an address, a.b.c.d/n with n from 16 to 32, or a.b.c.d-e.f.g.h"},
      {"10.70.0.0/", "\"10.70.0.0/\" is not a range: an address, a.b.c.d/n with n from 16 to 32, or a.b.c.d-e.f.g.h"},
      {"10.70.0.1-", "\"10.70.0.1-\" is not a range: an address, a.b.c.d/n with n from 16 to 32, or a.b.c.d-e.f.g.h"},
      {"10.70.0.1-10.70.0.010", "\"10.70.0.1-10.70.0.010\" is not a range: an address, a.b.c.d/n with n from 16 to 32, or a.b.c.d-e.f.g.h"},
      {"10.70.0.1,,10.70.0.2", "\"\" is not a range: an address, a.b.c.d/n with n from 16 to 32, or a.b.c.d-e.f.g.h"},
      {"10.70.0.1 10.70.0.2", "\"10.70.0.1 10.70.0.2\" is not a range: an address, a.b.c.d/n with n from 16 to 32, or a.b.c.d-e.f.g.h"},
      {"126.255.255.250-127.0.0.3", "\"126.255.255.250-127.0.0.3\" cannot be scanned: 127.0.0.0 is a loopback address"},
      {"0.0.0.0", "\"0.0.0.0\" cannot be scanned: 0.0.0.0 is an address of this network (0.0.0.0/8)"},
      {"10.1.1.1,224.0.0.0/24", "\"224.0.0.0/24\" cannot be scanned: 224.0.0.1 is a multicast address"},
      {"240.0.0.1", "\"240.0.0.1\" cannot be scanned: 240.0.0.1 is a reserved (class E) address"},
      {"255.255.255.255", "\"255.255.255.255\" cannot be scanned: 255.255.255.255 is the broadcast address"},
      {"223.255.255.255-224.0.0.0", "\"223.255.255.255-224.0.0.0\" cannot be scanned: 224.0.0.0 is a multicast address"},
  };
  for (const auto& c : cases) {
    AddressSet set;
    std::string why;
    EXPECT_FALSE(read_address_ranges(c.text, &set, &why)) << c.text;
    EXPECT_EQ(why, c.why);
  }
}

TEST(Ranges, SizeRuleAndForce) {
  AddressSet set;
  std::string why;
  EXPECT_FALSE(read_scan_addresses({"10.70.0.0-10.71.0.0"}, {}, false, &set, &why));
  EXPECT_EQ(why, "the scan holds 65537 addresses, more than 65536; narrow it, or force it");
  ASSERT_TRUE(read_scan_addresses({"10.70.0.0-10.71.0.0"}, {}, true, &set, &why));
  EXPECT_EQ(address_count(set), 65537u);
  // Forced, a scan is still bounded: two /8s' worth is refused.
  EXPECT_FALSE(read_scan_addresses({"10.0.0.0-11.255.255.255"}, {}, true, &set, &why));
  EXPECT_EQ(why, "the scan holds 33554432 addresses, more than 16777216");
  // A refused text leaves the caller's set as it was.
  EXPECT_EQ(address_count(set), 65537u);
}

TEST(Ranges, IndexesWalkTheSetInOrder) {
  AddressSet set;
  std::string why;
  ASSERT_TRUE(read_scan_addresses({"10.70.2.1-10.70.2.3,10.70.1.254-10.70.1.255", "10.70.9.9"}, {}, false,
                                  &set, &why));
  const char* expected[] = {"10.70.1.254", "10.70.1.255", "10.70.2.1", "10.70.2.2", "10.70.2.3", "10.70.9.9"};
  ASSERT_EQ(address_count(set), 6u);
  for (uint64_t i = 0; i < 6; ++i) {
    uint32_t ip = address_at(set, i);
    EXPECT_EQ(dotted(ip), expected[i]);
    uint64_t back = 99;
    EXPECT_TRUE(address_index(set, ip, &back));
    EXPECT_EQ(back, i);
  }
  uint64_t index = 0;
  EXPECT_FALSE(address_index(set, 0x0A460200u, &index));  // 10.70.2.0, in a gap
  EXPECT_FALSE(address_index(set, 0x0A460A00u, &index));  // past the end
  EXPECT_EQ(network_address(host_address(0x0100007Fu)), 0x0100007Fu);
}

}  // namespace
