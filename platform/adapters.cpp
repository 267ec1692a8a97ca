#include "platform/adapters.h"

#include <algorithm>

#include "platform/udp.h"

namespace {

const uint32_t LIMITED_BROADCAST = 0xFFFFFFFFu;

}  // namespace

uint32_t directed_broadcast(const AdapterAddress& a) {
  // A /31 link has no broadcast address, and a /32 "broadcast" is the host
  // itself; a /0 would be the limited broadcast again.
  if (a.prefix < 1 || a.prefix > 30) return 0;
  uint32_t host_bits = 0xFFFFFFFFu >> a.prefix;
  return network_address(host_address(a.ip) | host_bits);
}

std::vector<uint32_t> broadcast_targets(const std::vector<AdapterAddress>& adapters) {
  std::vector<uint32_t> targets{LIMITED_BROADCAST};
  for (const AdapterAddress& a : adapters) {
    uint32_t b = directed_broadcast(a);
    if (b && std::find(targets.begin(), targets.end(), b) == targets.end()) targets.push_back(b);
  }
  // One subnet: the limited broadcast leaves through its adapter anyway, so
  // the machine sends what it always did.
  if (targets.size() == 2) targets.pop_back();
  return targets;
}
