#include "protocol/ranges.h"
#include "protocol/text.h"

#include <algorithm>

#include "protocol/address.h"

namespace {

const char SHAPES[] = "an address, a.b.c.d/n with n from 16 to 32, or a.b.c.d-e.f.g.h";

// The blocks that can never hold a card, host byte order: this network,
// loopback, then multicast, class E and the limited broadcast together.
const AddressInterval NON_CARD_BLOCKS[] = {
    {0x00000000u, 0x00FFFFFFu},
    {0x7F000000u, 0x7FFFFFFFu},
    {0xE0000000u, 0xFFFFFFFFu},
};

std::string dotted(uint32_t host_order) {
  return std::to_string(host_order >> 24) + "." + std::to_string(host_order >> 16 & 255) + "." +
         std::to_string(host_order >> 8 & 255) + "." + std::to_string(host_order & 255);
}

bool read_host_address(const std::string& text, uint32_t* ip) {
  uint32_t value = 0;
  if (!read_dotted_address(text, &value)) return false;
  *ip = host_address(value);
  return true;
}

bool read_prefix(const std::string& text, int* bits) {
  if (text.empty() || text.size() > 2 || (text.size() > 1 && text[0] == '0')) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *bits = value;
  return true;
}

// One item of a list: an address, a block or a span.
bool read_item(const std::string& item, bool exclude, AddressInterval* out, std::string* why) {
  const std::string named = "\"" + item + "\"";
  AddressInterval span;
  size_t slash = item.find('/'), dash = item.find('-');
  if (slash != std::string::npos) {
    uint32_t base = 0;
    int bits = 0;
    if (!read_host_address(item.substr(0, slash), &base) || !read_prefix(item.substr(slash + 1), &bits)) {
      *why = named + " is not a range: " + SHAPES;
      return false;
    }
    if (bits < 16 || bits > 32) {
      *why = named + " is not a range: a block is /16 (65 534 addresses) to /32";
      return false;
    }
    uint32_t host_mask = bits == 32 ? 0 : 0xFFFFFFFFu >> bits;
    span.first = base & ~host_mask;
    span.last = base | host_mask;
    // Network and broadcast addresses are no cards; /31 and /32 have neither.
    // An exclude takes its block whole, so that it also wins over a span.
    if (bits <= 30 && !exclude) {
      ++span.first;
      --span.last;
    }
  } else if (dash != std::string::npos) {
    if (!read_host_address(item.substr(0, dash), &span.first) ||
        !read_host_address(item.substr(dash + 1), &span.last)) {
      *why = named + " is not a range: " + SHAPES;
      return false;
    }
    if (span.first > span.last) std::swap(span.first, span.last);
  } else {
    if (!read_host_address(item, &span.first)) {
      *why = named + " is not a range: " + SHAPES;
      return false;
    }
    span.last = span.first;
  }
  for (const AddressInterval& block : NON_CARD_BLOCKS) {
    if (exclude) break;  // leaving out what would be refused anyway is harmless
    if (span.last < block.first || span.first > block.last) continue;
    uint32_t first_bad = std::max(span.first, block.first);
    const char* reason = non_card_address_reason(network_address(first_bad));
    // "it is a loopback address" reads "127.0.0.1 is a loopback address".
    std::string said = reason ? std::string(reason).substr(3) : "is not a card address";
    *why = named + " cannot be scanned: " + dotted(first_bad) + " " + said;
    return false;
  }
  *out = span;
  return true;
}

// Sorted, with overlapping and touching intervals joined.
void normalise(std::vector<AddressInterval>& v) {
  std::sort(v.begin(), v.end(), [](const AddressInterval& a, const AddressInterval& b) {
    return a.first < b.first;
  });
  size_t kept = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (kept > 0 && uint64_t{v[i].first} <= uint64_t{v[kept - 1].last} + 1) {
      v[kept - 1].last = std::max(v[kept - 1].last, v[i].last);
    } else {
      v[kept++] = v[i];
    }
  }
  v.resize(kept);
}

}  // namespace

bool read_address_ranges(const std::string& text, AddressSet* set, std::string* why,
                         RangeRole role) {
  std::vector<AddressInterval> items;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string item = trimmed(text.substr(start, comma == std::string::npos ? comma : comma - start));
    AddressInterval span;
    if (!read_item(item, role == RangeRole::exclude, &span, why)) return false;
    items.push_back(span);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  items.insert(items.end(), set->intervals.begin(), set->intervals.end());
  normalise(items);
  set->intervals = std::move(items);
  return true;
}

void add_addresses(AddressSet* set, const std::vector<uint32_t>& host_order) {
  std::vector<AddressInterval> items = set->intervals;
  items.reserve(items.size() + host_order.size());
  for (uint32_t ip : host_order) items.push_back({ip, ip});
  normalise(items);
  set->intervals = std::move(items);
}

AddressSet subtract_addresses(const AddressSet& set, const AddressSet& without) {
  AddressSet out;
  size_t j = 0;
  for (AddressInterval span : set.intervals) {
    // Excludes wholly below this interval are behind every later one too.
    while (j < without.intervals.size() && without.intervals[j].last < span.first) ++j;
    uint64_t from = span.first;
    for (size_t k = j; k < without.intervals.size() && without.intervals[k].first <= span.last; ++k) {
      const AddressInterval& cut = without.intervals[k];
      if (cut.first > from) out.intervals.push_back({uint32_t(from), cut.first - 1});
      from = std::max<uint64_t>(from, uint64_t{cut.last} + 1);
    }
    if (from <= span.last) out.intervals.push_back({uint32_t(from), span.last});
  }
  return out;
}

uint64_t address_count(const AddressSet& set) {
  uint64_t n = 0;
  for (const AddressInterval& span : set.intervals) n += uint64_t{span.last} - span.first + 1;
  return n;
}

uint32_t address_at(const AddressSet& set, uint64_t index) {
  for (const AddressInterval& span : set.intervals) {
    uint64_t size = uint64_t{span.last} - span.first + 1;
    if (index < size) return span.first + uint32_t(index);
    index -= size;
  }
  return 0;
}

bool address_index(const AddressSet& set, uint32_t ip, uint64_t* index) {
  uint64_t before = 0;
  for (const AddressInterval& span : set.intervals) {
    if (ip < span.first) return false;
    if (ip <= span.last) {
      *index = before + (ip - span.first);
      return true;
    }
    before += uint64_t{span.last} - span.first + 1;
  }
  return false;
}

bool read_scan_addresses(const std::vector<std::string>& targets,
                         const std::vector<std::string>& excludes, bool force, AddressSet* set,
                         std::string* why) {
  AddressSet wanted, left_out;
  for (const std::string& t : targets)
    if (!read_address_ranges(t, &wanted, why)) return false;
  for (const std::string& t : excludes)
    if (!read_address_ranges(t, &left_out, why, RangeRole::exclude)) return false;
  AddressSet scan = subtract_addresses(wanted, left_out);
  uint64_t n = address_count(scan);
  if (n > SCAN_HARD_MAX || (n > SCAN_ADDRESS_MAX && !force)) {
    *why = "the scan holds " + std::to_string(n) + " addresses, more than " +
           std::to_string(force ? SCAN_HARD_MAX : SCAN_ADDRESS_MAX) +
           (force ? "" : "; narrow it, or force it");
    return false;
  }
  *set = std::move(scan);
  return true;
}
