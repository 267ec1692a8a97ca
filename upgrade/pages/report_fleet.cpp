// The fleet across reports: each card once, by its MAC, with its history,
// and the cards behind a version.
#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_set>

#include "protocol/csv.h"
#include "protocol/packet.h"
#include "protocol/ranges.h"
#include "upgrade/pages/report_figures.h"

namespace {

uint64_t mac_key(const uint8_t* mac) {
  uint64_t k = 0;
  for (int i = 0; i < 6; ++i) k = k << 8 | mac[i];
  return k;
}

struct Sighting {
  FleetSighting at;
  long long ended, started;
};

// Oldest first: by the time the row ended, then started; then the reports'
// settled order and the row's place.
bool earlier(const Sighting& a, const Sighting& b) {
  return std::tie(a.ended, a.started, a.at.report, a.at.card) <
         std::tie(b.ended, b.started, b.at.report, b.at.card);
}

Sighting sighting_of(const std::vector<PageReport>& reports, size_t r, size_t i) {
  const CardResult& c = reports[r].cards[i];
  return {{r, i}, clock_seconds(c.ended), clock_seconds(c.started)};
}

std::string mac_words(const uint8_t* mac) {
  char text[32];
  mac_to_text(text, mac);
  return text;
}

std::string report_file_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::vector<std::string>> behind_rows(const std::vector<PageReport>& reports,
                                                  const std::vector<FleetCard>& fleet,
                                                  uint32_t target) {
  struct Row {
    std::string site;
    uint32_t host;
    std::vector<std::string> cells;
  };
  std::vector<Row> rows;
  for (const FleetCard& card : fleet) {
    if (!fleet_card_behind(reports, card, target)) continue;
    const FleetSighting& last = card.history.back();
    const PageReport& report = reports[last.report];
    const CardResult& c = report.cards[last.card];
    uint32_t version = 0;
    const bool known = fleet_card_version(reports, card, &version);
    rows.push_back({report.site, host_address(c.ip),
                    {report.site, ip_to_text(c.ip), card.has_mac ? mac_words(card.mac) : "",
                     known ? version_text(version) : "unknown", verdict_word(c.verdict),
                     report_message(c), report_file_of(report.path), clock_text(c.ended)}});
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::tie(a.site, a.host, a.cells) < std::tie(b.site, b.host, b.cells);
  });
  std::vector<std::vector<std::string>> out;
  for (Row& r : rows) out.push_back(std::move(r.cells));
  return out;
}

}  // namespace

const CardResult& sighted(const std::vector<PageReport>& reports, const FleetSighting& s) {
  return reports[s.report].cards[s.card];
}

std::vector<FleetCard> fleet_of(const std::vector<PageReport>& reports) {
  // Rows alike in every column, at the same site, are one sighting.
  std::unordered_set<std::string> seen;
  std::map<uint64_t, std::vector<Sighting>> by_mac;
  std::vector<Sighting> silent;
  for (size_t r = 0; r < reports.size(); ++r)
    for (size_t i = 0; i < reports[r].cards.size(); ++i) {
      const CardResult& c = reports[r].cards[i];
      if (!seen.insert(reports[r].site + "\n" + row_key(c)).second) continue;
      if (card_has_mac(c))
        by_mac[mac_key(c.mac)].push_back(sighting_of(reports, r, i));
      else
        silent.push_back(sighting_of(reports, r, i));
    }
  // Where each card with a MAC was seen: by site and address.
  std::map<std::pair<std::string, uint32_t>, std::vector<std::pair<Sighting, uint64_t>>> at_address;
  std::map<uint64_t, std::unordered_set<size_t>> reports_of;
  for (auto& [mac, list] : by_mac) {
    std::sort(list.begin(), list.end(), earlier);
    for (const Sighting& s : list) {
      const CardResult& c = sighted(reports, s.at);
      at_address[{reports[s.at.report].site, c.ip}].emplace_back(s, mac);
      reports_of[mac].insert(s.at.report);
    }
  }
  for (auto& [place, list] : at_address)
    std::sort(list.begin(), list.end(),
              [](const auto& a, const auto& b) { return earlier(a.first, b.first); });
  // A silent row joins the card seen nearest before it at its address
  // (else nearest after), unless that card answered elsewhere in its run.
  std::map<std::pair<std::string, uint32_t>, std::vector<Sighting>> unknown;
  for (const Sighting& s : silent) {
    const CardResult& c = sighted(reports, s.at);
    const std::pair<std::string, uint32_t> place{reports[s.at.report].site, c.ip};
    const uint64_t* joined = nullptr;
    auto it = at_address.find(place);
    if (it != at_address.end()) {
      const std::pair<Sighting, uint64_t>* before = nullptr;
      const std::pair<Sighting, uint64_t>* after = nullptr;
      for (const auto& seen_there : it->second) {
        if (reports_of[seen_there.second].count(s.at.report)) continue;
        if (!earlier(s, seen_there.first))
          before = &seen_there;
        else if (!after)
          after = &seen_there;
      }
      if (before || after) joined = &(before ? before : after)->second;
    }
    if (joined)
      by_mac[*joined].push_back(s);
    else
      unknown[place].push_back(s);
  }
  std::vector<FleetCard> fleet;
  auto add = [&](std::vector<Sighting>& list, const uint8_t* mac) {
    std::sort(list.begin(), list.end(), earlier);
    FleetCard card;
    card.has_mac = mac != nullptr;
    if (mac) std::memcpy(card.mac, mac, sizeof card.mac);
    for (const Sighting& s : list) card.history.push_back(s.at);
    fleet.push_back(std::move(card));
  };
  for (auto& [mac, list] : by_mac) add(list, sighted(reports, list.front().at).mac);
  std::vector<std::pair<std::pair<std::string, uint32_t>, std::vector<Sighting>*>> places;
  for (auto& [place, list] : unknown) places.push_back({{place.first, host_address(place.second)}, &list});
  std::sort(places.begin(), places.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& place : places) add(*place.second, nullptr);
  return fleet;
}

bool fleet_card_version(const std::vector<PageReport>& reports, const FleetCard& card,
                        uint32_t* version) {
  for (auto it = card.history.rbegin(); it != card.history.rend(); ++it) {
    const CardResult& c = sighted(reports, *it);
    if (card_version_now(c, version)) return true;
    // A card silent before its turn was sent nothing: it runs what it ran.
    if (c.verdict != Verdict::no_connection) return false;
  }
  return false;
}

bool fleet_card_behind(const std::vector<PageReport>& reports, const FleetCard& card,
                       uint32_t target) {
  if (card.history.empty()) return false;
  uint32_t version = 0;
  return !fleet_card_version(reports, card, &version) || version < target;
}

std::string behind_csv(const std::vector<PageReport>& reports, const std::vector<FleetCard>& fleet,
                       uint32_t target) {
  std::string out = csv_record(
      {"site", "ip", "mac", "version", "verdict", "message", "report", "ended"});
  for (std::vector<std::string>& row : behind_rows(reports, fleet, target)) {
    // Texts from outside: the site (a file name), the message, the report's name.
    for (size_t i : {0u, 5u, 6u}) row[i] = csv_outside_text(row[i]);
    out += csv_record(row);
  }
  return out;
}

std::string behind_text(const std::vector<PageReport>& reports,
                        const std::vector<FleetCard>& fleet, uint32_t target) {
  std::string out;
  for (const std::vector<std::string>& row : behind_rows(reports, fleet, target)) {
    std::string line;
    for (const std::string& cell : row) {
      // A tab or line break inside a cell would shift or split the line.
      std::string clean = cell;
      std::replace_if(clean.begin(), clean.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
      line += (line.empty() ? "" : "\t") + clean;
    }
    out += line + "\n";
  }
  return out;
}

FleetFigures fleet_figures(const std::vector<PageReport>& reports, const PageOptions& options) {
  FleetFigures f;
  f.cards = fleet_of(reports);
  f.has_target = options.has_target;
  f.target = options.target;
  if (!f.has_target)
    for (const PageReport& r : reports)
      for (const CardResult& c : r.cards)
        if (c.image_version != IMAGE_VERSION_NONE && (!f.has_target || c.image_version > f.target)) {
          f.target = c.image_version;
          f.has_target = true;
        }
  for (size_t i = 0; i < f.cards.size(); ++i) {
    const FleetCard& card = f.cards[i];
    const CardResult& last = sighted(reports, card.history.back());
    ++f.counts[static_cast<size_t>(last.verdict)];
    ++f.tallies[static_cast<size_t>(verdict_tally(last.verdict))];
    // Before: what it ran when it first answered.
    uint32_t v = 0;
    bool known = false;
    for (const FleetSighting& s : card.history)
      if ((known = card_version_before(sighted(reports, s), &v))) break;
    if (known)
      ++f.before[v];
    else
      ++f.before_unknown;
    if (fleet_card_version(reports, card, &v))
      ++f.after[v];
    else
      ++f.after_unknown;
    if (f.has_target && fleet_card_behind(reports, card, f.target)) f.behind.push_back(i);
  }
  // By site, then address, as the list prints.
  auto place = [&](size_t i) {
    const FleetSighting& s = f.cards[i].history.back();
    return std::make_pair(reports[s.report].site, host_address(sighted(reports, s).ip));
  };
  std::stable_sort(f.behind.begin(), f.behind.end(),
                   [&](size_t a, size_t b) { return place(a) < place(b); });
  return f;
}
