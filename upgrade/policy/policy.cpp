#include "upgrade/policy/policy.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <utility>

#include "platform/udp.h"

namespace {

std::string trimmed(const std::string& text) {
  const size_t from = text.find_first_not_of(" \t");
  if (from == std::string::npos) return "";
  return text.substr(from, text.find_last_not_of(" \t") + 1 - from);
}

// "text" with its quotes (built by appends: a string inserted in front
// of a temporary trips a false alarm of the cross compiler).
std::string quoted(const std::string& text) {
  std::string out = "\"";
  out += text;
  out += '"';
  return out;
}

bool read_number(const std::string& text, size_t max_digits, uint64_t* value) {
  if (text.empty() || text.size() > max_digits) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

bool read_budget(const std::string& raw, Budget* budget, std::string* why) {
  std::string text = trimmed(raw);
  Budget b;
  if (!text.empty() && text.back() == '%') {
    b.percent = true;
    text = trimmed(text.substr(0, text.size() - 1));
  }
  uint64_t v = 0;
  if (!read_number(text, 7, &v)) {
    *why = quoted(trimmed(raw)) + " is not a number of cards or a percentage, like 3 or 10%";
    return false;
  }
  if (b.percent && v > 100) {
    *why = "a percentage is 0 to 100";
    return false;
  }
  if (!b.percent && v > static_cast<uint64_t>(BUDGET_CARDS_MAX)) {
    *why = "at most " + std::to_string(BUDGET_CARDS_MAX) + " cards";
    return false;
  }
  b.value = static_cast<int>(v);
  *budget = b;
  return true;
}

// A 32-bit mix of the seed and an address: the shuffle's sort key.
uint64_t shuffle_key(uint32_t seed, uint32_t ip) {
  uint64_t x = (uint64_t{seed} << 32) | ip;
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

}  // namespace

int budget_allowed(const Budget& budget, size_t base) {
  if (!budget.on()) return -1;
  if (!budget.percent) return budget.value;
  return static_cast<int>(uint64_t{base} * static_cast<uint64_t>(budget.value) / 100);
}

bool budget_spent(const Budget& budget, int allowed, int count, int settled, int min_settled,
                  int base) {
  if (!budget.on() || count <= allowed) return false;
  return !budget.percent || settled >= std::min(min_settled, base);
}

std::string budget_text(const Budget& budget) {
  if (!budget.on()) return "";
  return std::to_string(budget.value) + (budget.percent ? "%" : "");
}

std::string ordinal(long long n) {
  const long long tens = n % 100;
  const char* suffix = "th";
  if (tens < 11 || tens > 13) {
    if (n % 10 == 1) suffix = "st";
    if (n % 10 == 2) suffix = "nd";
    if (n % 10 == 3) suffix = "rd";
  }
  return std::to_string(n) + suffix;
}

std::string budget_boundary_words(const Budget& budget, int allowed, int min_settled, int base,
                                  const char* kind) {
  std::string words = "halts at the " + ordinal(allowed + 1) + " " + kind;
  if (budget.percent) {
    words += " (" + budget_text(budget) + " of " + std::to_string(base) +
             (base == 1 ? " card" : " cards");
    const int least = std::min(min_settled, base);
    if (least > allowed + 1) words += ", once " + std::to_string(least) + " have settled";
    words += ")";
  }
  return words;
}

bool read_duration(const std::string& raw, int64_t* ms, std::string* why) {
  const std::string text = trimmed(raw);
  const std::string bad = quoted(text) + " is not a time like 30m, 2h or 1d";
  if (text.empty()) {
    *why = bad;
    return false;
  }
  int64_t total = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t digits = at;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    uint64_t n = 0;
    if (digits == text.size() || !read_number(text.substr(at, digits - at), 6, &n)) {
      // A lone 0 needs no unit.
      if (text == "0") break;
      *why = bad;
      return false;
    }
    int64_t unit = 0;
    switch (text[digits]) {
      case 's': unit = 1000; break;
      case 'm': unit = 60000; break;
      case 'h': unit = 3600000; break;
      case 'd': unit = 86400000; break;
      default:
        *why = bad;
        return false;
    }
    total += static_cast<int64_t>(n) * unit;
    at = digits + 1;
  }
  if (total > 30 * 86400000LL) {
    *why = "at most 30 days (30d)";
    return false;
  }
  *ms = total;
  return true;
}

std::string delay_text(int64_t ms) {
  if (ms <= 0) return "0m";
  std::string out;
  const std::pair<int64_t, char> units[] = {{86400000, 'd'}, {3600000, 'h'}, {60000, 'm'}, {1000, 's'}};
  for (const auto& [unit, letter] : units)
    if (ms >= unit) {
      out += std::to_string(ms / unit) + letter;
      ms %= unit;
    }
  return out.empty() ? "0m" : out;
}

const char* wave_gate_word(WaveGate gate) {
  switch (gate) {
    case WaveGate::manual:
      return "manual";
    case WaveGate::first:
      return "first";
    case WaveGate::none:
      break;
  }
  return "none";
}

std::string order_text(const CardOrdering& order) {
  switch (order.kind) {
    case OrderKind::spread:
      return "spread";
    case OrderKind::shuffle:
      return order.seeded ? "shuffle:" + std::to_string(order.seed) : "shuffle";
    case OrderKind::given:
      break;
  }
  return "given";
}

bool read_policy(const PolicyTexts& t, RolloutPolicy* policy, std::string* why,
                 PolicyField* field) {
  RolloutPolicy p;
  auto refuse = [&](PolicyField which) {
    if (field) *field = which;
    return false;
  };
  if (!trimmed(t.max_failures).empty() && !read_budget(t.max_failures, &p.failures, why))
    return refuse(PolicyField::max_failures);
  if (!trimmed(t.max_unreachable).empty() && !read_budget(t.max_unreachable, &p.unreachable, why))
    return refuse(PolicyField::max_unreachable);
  const std::string settled = trimmed(t.min_settled);
  if (!settled.empty()) {
    uint64_t n = 0;
    if (!read_number(settled, 7, &n) || n < 1 || n > static_cast<uint64_t>(BUDGET_CARDS_MAX)) {
      *why = quoted(settled) + " is not a number of cards of 1 to " +
             std::to_string(BUDGET_CARDS_MAX);
      return refuse(PolicyField::min_settled);
    }
    p.min_settled = static_cast<int>(n);
  }
  if (!trimmed(t.wave_delay).empty() && !read_duration(t.wave_delay, &p.wave_delay_ms, why))
    return refuse(PolicyField::wave_delay);
  const std::string gate = trimmed(t.wave_gate);
  if (gate == "manual") {
    p.gate = WaveGate::manual;
  } else if (gate == "first") {
    p.gate = WaveGate::first;
  } else if (!gate.empty() && gate != "none") {
    *why = quoted(gate) + " is not manual, first or none";
    return refuse(PolicyField::wave_gate);
  }
  const std::string order = trimmed(t.order);
  if (order == "spread") {
    p.order.kind = OrderKind::spread;
  } else if (order.rfind("shuffle", 0) == 0) {
    p.order.kind = OrderKind::shuffle;
    if (order.size() > 7) {
      uint64_t seed = 0;
      if (order[7] != ':' || !read_number(order.substr(8), 10, &seed) || seed > UINT32_MAX) {
        *why = quoted(order) + " is not shuffle or shuffle:SEED (a number of 0 to 4294967295)";
        return refuse(PolicyField::order);
      }
      p.order.seed = static_cast<uint32_t>(seed);
      p.order.seeded = true;
    }
  } else if (!order.empty() && order != "given") {
    *why = quoted(order) + " is not given, spread or shuffle[:SEED]";
    return refuse(PolicyField::order);
  }
  *policy = p;
  if (field) *field = PolicyField::none;
  return true;
}

PolicyTexts policy_texts(const RolloutPolicy& p) {
  PolicyTexts t;
  t.max_failures = budget_text(p.failures);
  t.max_unreachable = budget_text(p.unreachable);
  t.min_settled = std::to_string(p.min_settled);
  t.wave_delay = p.wave_delay_ms > 0 ? delay_text(p.wave_delay_ms) : "";
  t.wave_gate = p.gate == WaveGate::none ? "" : wave_gate_word(p.gate);
  t.order = order_text(p.order);
  return t;
}

uint32_t fresh_seed() {
  std::random_device device;
  const auto ticks = std::chrono::system_clock::now().time_since_epoch().count();
  return device() ^ static_cast<uint32_t>(ticks) ^ static_cast<uint32_t>(ticks >> 32);
}

std::vector<uint32_t> ordered_cards(const std::vector<uint32_t>& ips, const std::vector<int>& sites,
                                    const CardOrdering& order) {
  std::vector<uint32_t> out = ips;
  if (order.kind == OrderKind::shuffle) {
    std::stable_sort(out.begin(), out.end(), [&](uint32_t a, uint32_t b) {
      return shuffle_key(order.seed, a) < shuffle_key(order.seed, b);
    });
  } else if (order.kind == OrderKind::spread) {
    // Each place (site, /24) its queue, the places in the order they first come.
    std::map<std::pair<int, uint32_t>, size_t> place_of;
    std::vector<std::vector<uint32_t>> queues;
    for (size_t i = 0; i < ips.size(); ++i) {
      const std::pair<int, uint32_t> place{i < sites.size() ? sites[i] : 0,
                                           host_address(ips[i]) >> 8};
      auto [it, added] = place_of.emplace(place, queues.size());
      if (added) queues.emplace_back();
      queues[it->second].push_back(ips[i]);
    }
    out.clear();
    for (size_t round = 0; out.size() < ips.size(); ++round)
      for (const auto& q : queues)
        if (round < q.size()) out.push_back(q[round]);
  }
  return out;
}
