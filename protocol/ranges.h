#pragma once
// Address ranges as an operator types them for a scan: single addresses,
// a.b.c.d/n blocks (16 <= n <= 32), a.b.c.d-e.f.g.h spans (either order)
// and comma lists of these. A scan is held as sorted, disjoint intervals,
// so a /16 costs a few bytes and not 65 536 addresses.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/udp.h"  // host_address, network_address

// More addresses than this in one scan are refused unless forced; even
// forced, no scan holds more than SCAN_HARD_MAX (a 2 MB answer map).
inline constexpr uint64_t SCAN_ADDRESS_MAX = 65536;
inline constexpr uint64_t SCAN_HARD_MAX = uint64_t{1} << 24;

struct AddressInterval {
  uint32_t first = 0, last = 0;  // host byte order, inclusive
};

// The addresses of a scan: intervals sorted, disjoint and not touching.
struct AddressSet {
  std::vector<AddressInterval> intervals;
};

enum class RangeRole { target, exclude };

// Reads one comma list (blanks around its items are allowed) and adds its
// addresses to *set. False with *why naming the item: `"10.70.0.0/8" is
// not a range: ...` or `"127.0.0.0/24" cannot be scanned: 127.0.0.1 is a
// loopback address`. A block from /16 to /30 leaves out its network and
// broadcast addresses; /31 and /32 keep both. An exclude takes whole
// blocks and may name addresses that no target could hold.
bool read_address_ranges(const std::string& text, AddressSet* set, std::string* why,
                         RangeRole role = RangeRole::target);

// Every address of the list (host byte order) added to *set at once: a
// run's named cards, however many, cost one sort.
void add_addresses(AddressSet* set, const std::vector<uint32_t>& host_order);

// The addresses of `set` that are not in `without`.
AddressSet subtract_addresses(const AddressSet& set, const AddressSet& without);

uint64_t address_count(const AddressSet& set);
// The index-th address (0-based, in ascending order), host byte order.
uint32_t address_at(const AddressSet& set, uint64_t index);
// Where ip (host byte order) is in the set; false when it is not in it.
bool address_index(const AddressSet& set, uint32_t ip, uint64_t* index);

// The scan of the targets less the excludes (each a list of range texts),
// with the size rule: false with *why when a text is refused or, unless
// forced, the scan is larger than SCAN_ADDRESS_MAX.
bool read_scan_addresses(const std::vector<std::string>& targets,
                         const std::vector<std::string>& excludes, bool force, AddressSet* set,
                         std::string* why);

