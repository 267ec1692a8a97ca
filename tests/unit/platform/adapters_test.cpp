#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/adapters.h"

namespace {

uint32_t ip(const char* text) { return inet_addr(text); }

std::vector<std::string> texts(const std::vector<uint32_t>& ips) {
  std::vector<std::string> out;
  for (uint32_t a : ips) {
    in_addr in{};
    in.s_addr = a;
    out.push_back(inet_ntoa(in));
  }
  return out;
}

struct DirectedCase {
  const char* address;
  int prefix;
  const char* broadcast;  // "" for none
};

TEST(Adapters, DirectedBroadcastOfEachPrefix) {
  const DirectedCase cases[] = {
      {"10.71.1.1", 24, "10.71.1.255"},   {"10.72.200.9", 16, "10.72.255.255"},
      {"192.168.7.130", 25, "192.168.7.255"}, {"192.168.7.12", 25, "192.168.7.127"},
      {"10.0.0.1", 8, "10.255.255.255"},  {"172.16.5.4", 30, "172.16.5.7"},
      {"1.2.3.4", 1, "127.255.255.255"},
      // No broadcast address: point-to-point links, a host route, nonsense.
      {"10.9.9.8", 31, ""}, {"10.9.9.8", 32, ""}, {"10.9.9.8", 0, ""}, {"10.9.9.8", 40, ""},
  };
  for (const DirectedCase& c : cases) {
    uint32_t got = directed_broadcast(AdapterAddress{ip(c.address), c.prefix});
    EXPECT_EQ(got ? texts({got})[0] : "", c.broadcast) << c.address << "/" << c.prefix;
  }
}

TEST(Adapters, TargetsStartWithTheLimitedBroadcastAndNameEachSubnetOnce) {
  // No adapter, one subnet, or none with a subnet: as before, the limited
  // broadcast only.
  const std::vector<std::string> limited_only = {"255.255.255.255"};
  EXPECT_EQ(texts(broadcast_targets({})), limited_only);
  EXPECT_EQ(texts(broadcast_targets({{ip("10.9.9.8"), 32}, {ip("10.9.9.9"), 31}})), limited_only);
  EXPECT_EQ(texts(broadcast_targets({{ip("10.71.1.1"), 24}, {ip("10.71.1.2"), 24}})),
            limited_only);
  // Two addresses on one subnet (a second address on a link, or two
  // adapters on one network) give one request, in the system's order.
  std::vector<AdapterAddress> adapters = {
      {ip("10.72.1.1"), 24}, {ip("10.71.1.1"), 24}, {ip("10.72.1.7"), 24}, {ip("10.5.0.2"), 16}};
  EXPECT_EQ(texts(broadcast_targets(adapters)),
            (std::vector<std::string>{"255.255.255.255", "10.72.1.255", "10.71.1.255",
                                      "10.5.255.255"}));
}

}  // namespace
