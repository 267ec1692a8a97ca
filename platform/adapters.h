#pragma once
// The machine's IPv4 adapters, for broadcasting on every attached subnet:
// getifaddrs natively, GetAdaptersAddresses in the product.
#include <cstdint>
#include <vector>

struct AdapterAddress {
  uint32_t ip;    // network byte order
  int prefix;     // on-link prefix length, 0 to 32
};

// Every IPv4 address of every adapter that is up and is not a loopback, in
// the order the system lists them; empty when the list can't be had.
std::vector<AdapterAddress> list_adapter_addresses();

// The subnet's directed broadcast address (network order); 0 when the
// prefix leaves no broadcast address (/31, /32) or is out of range.
uint32_t directed_broadcast(const AdapterAddress& a);

// Where a broadcast goes: the limited broadcast first, then, when the
// adapters are on more than one subnet, the directed broadcast of each
// subnet once.
std::vector<uint32_t> broadcast_targets(const std::vector<AdapterAddress>& adapters);
