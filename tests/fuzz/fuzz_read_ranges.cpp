// The range reader on arbitrary text: the first line is the targets, the
// rest the excludes. Whatever it accepts must be a sound scan.
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/address.h"
#include "protocol/ranges.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  lines.push_back(text.substr(start));
  std::vector<std::string> targets{lines[0]};
  std::vector<std::string> excludes(lines.begin() + 1, lines.end());

  AddressSet set, excluded;
  std::string why;
  bool ok = read_scan_addresses(targets, excludes, size % 2 == 1, &set, &why);
  if (!ok) {
    check(!why.empty() && set.intervals.empty());
    return 0;
  }
  for (const std::string& e : excludes) check(read_address_ranges(e, &excluded, &why, RangeRole::exclude));
  uint64_t count = address_count(set);
  check(count <= SCAN_HARD_MAX);
  // Sorted, disjoint, not touching; every address can be a card and none is excluded.
  for (size_t i = 0; i < set.intervals.size(); ++i) {
    const AddressInterval& span = set.intervals[i];
    check(span.first <= span.last);
    if (i > 0) check(uint64_t{set.intervals[i - 1].last} + 1 < span.first);
    for (uint32_t ip : {span.first, span.last}) {
      check(is_card_address(network_address(ip)));
      uint64_t index = 0;
      check(!address_index(excluded, ip, &index));
      check(address_index(set, ip, &index) && address_at(set, index) == ip);
    }
  }
  if (count > 0) check(address_at(set, count - 1) == set.intervals.back().last);
  return 0;
}
