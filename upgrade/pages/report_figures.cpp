// A run's figures from its report: counts by verdict, waves, transfer
// slots, versions, transfer times and rates.
#include "upgrade/pages/report_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_set>

#include "protocol/packet.h"
#include "protocol/ranges.h"

namespace {

const LocalTime EPOCH{1970, 1, 1, 0, 0, 0, 0};

bool is_digits(const std::string& text, size_t from, size_t count) {
  if (from + count > text.size()) return false;
  for (size_t i = from; i < from + count; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// "2024-05-01_020000" or "2024-05-01_020000_2": report_file_name's stem.
bool is_kept_report_stem(const std::string& stem) {
  if (stem.size() < 17 || !is_digits(stem, 0, 4) || stem[4] != '-' || !is_digits(stem, 5, 2) ||
      stem[7] != '-' || !is_digits(stem, 8, 2) || stem[10] != '_' || !is_digits(stem, 11, 6))
    return false;
  if (stem.size() == 17) return true;
  return stem[17] == '_' && stem.size() > 18 && is_digits(stem, 18, stem.size() - 18);
}

// Greedy lanes: each transfer, by its start, takes the first slot free by
// then: as many lanes as transfers ran within the same seconds.
void assign_lanes(const PageReport& report, RunFigures* f) {
  const std::vector<CardResult>& cards = report.cards;
  std::vector<size_t> order;
  for (size_t i = 0; i < cards.size(); ++i)
    if (card_on_timeline(cards[i])) order.push_back(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return f->begins[a] < f->begins[b]; });
  std::vector<long long> free_at;
  for (size_t i : order) {
    const long long start = f->begins[i], end = f->ends[i];
    size_t lane = 0;
    // Whole seconds: a slot is taken again only in a later second, so that
    // no two transfers that may have run together share a lane.
    while (lane < free_at.size() && free_at[lane] >= start) ++lane;
    if (lane == free_at.size()) free_at.push_back(end);
    free_at[lane] = end;
    f->lanes[i] = static_cast<int>(lane);
  }
  f->lane_count = static_cast<int>(free_at.size());
}

// Waves as the times show them, when the run checked each card as it went
// (a rollout): a card begins a wave when it started once every card before
// it had settled, the last of them by its check. Within a wave a card
// starts as a transfer ends, while the checks before it still run.
void waves_from_times(const PageReport& report, RunFigures* f) {
  const std::vector<CardResult>& cards = report.cards;
  int wave = 0;
  long long settled = 0;
  bool by_check = false;
  for (size_t i = 0; i < cards.size(); ++i) {
    const CardResult& c = cards[i];
    if (!card_on_timeline(c)) continue;
    const long long start = f->begins[i];
    if (wave == 0 || (by_check && start >= settled)) ++wave;
    f->waves[i] = wave;
    const long long at = f->settles[i];
    const bool checked = c.verified_seconds >= 0 && *outcome_verified_word(c.outcome);
    if (at > settled || (at == settled && checked)) {
      by_check = at > settled ? checked : by_check || checked;
      settled = at;
    }
  }
}

// At most this many rows of waves; the rest share the last row.
const int WAVE_ROWS_MAX = 40;

void fill_wave_rows(const PageReport& report, RunFigures* f) {
  std::map<int, WaveRow> rows;
  for (size_t i = 0; i < report.cards.size(); ++i) {
    int wave = f->waves[i];
    int row_wave = wave > WAVE_ROWS_MAX ? WAVE_ROWS_MAX : wave;
    WaveRow& row = rows[row_wave];
    row.wave = row_wave;
    row.last = std::max(row.last, wave);
    ++row.counts[static_cast<size_t>(report.cards[i].verdict)];
    ++row.cards;
  }
  for (auto& [wave, row] : rows)
    if (wave != 0) f->wave_rows.push_back(row);
  // The cards outside the waves go last.
  if (rows.count(0)) f->wave_rows.push_back(rows[0]);
}

void find_gaps(const PageReport& report, RunFigures* f) {
  std::vector<std::pair<long long, long long>> spans;
  for (size_t i = 0; i < report.cards.size(); ++i)
    if (card_on_timeline(report.cards[i])) spans.emplace_back(f->begins[i], f->settles[i]);
  std::sort(spans.begin(), spans.end());
  long long reach = spans.empty() ? 0 : spans.front().second;
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].first - reach >= GAP_MARKED_S)
      f->gaps.push_back({reach, spans[i].first, spans[i].first - reach >= GAP_FOLDED_S});
    reach = std::max(reach, spans[i].second);
  }
}

void count_versions(const CardResult& c, std::map<uint32_t, int>* before, int* before_unknown,
                    std::map<uint32_t, int>* after, int* after_unknown) {
  uint32_t v = 0;
  if (card_version_before(c, &v))
    ++(*before)[v];
  else
    ++*before_unknown;
  if (card_version_now(c, &v))
    ++(*after)[v];
  else
    ++*after_unknown;
}

}  // namespace

long long clock_seconds(const LocalTime& t) { return seconds_between(EPOCH, t); }

std::string row_key(const CardResult& c) {
  // The fixed fields as bytes, then each text with its length before it.
  struct Fixed {
    int times[14];
    uint32_t ip, version_before, image_version, bytes_sent, answered_version;
    int verified_seconds, outcome, verdict;
    uint8_t mac[6];
  } f;
  std::memset(&f, 0, sizeof f);  // padding included: equal rows, equal keys
  const LocalTime* t[2] = {&c.started, &c.ended};
  for (int k = 0; k < 2; ++k) {
    const int fields[7] = {t[k]->year, t[k]->month, t[k]->day, t[k]->hour, t[k]->minute,
                           t[k]->second, t[k]->utc_offset};
    std::memcpy(f.times + 7 * k, fields, sizeof fields);
  }
  f.ip = c.ip;
  f.version_before = c.version_before;
  f.image_version = c.image_version;
  f.bytes_sent = c.bytes_sent;
  f.answered_version = c.answered_version;
  f.verified_seconds = c.verified_seconds;
  f.outcome = static_cast<int>(c.outcome);
  f.verdict = static_cast<int>(c.verdict);
  std::memcpy(f.mac, c.mac, sizeof f.mac);
  std::string key(reinterpret_cast<const char*>(&f), sizeof f);
  for (const std::string* text : {&c.image, &c.image_sha256, &c.message})
    key += std::to_string(text->size()) + ":" + *text;
  return key;
}

LocalTime clock_time(long long seconds) {
  // Days to a civil date (proleptic Gregorian), the inverse of clock_seconds.
  long long days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const long long rest = seconds - days * 86400;
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long doe = days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2));
  return LocalTime{year, month, day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                   static_cast<int>(rest % 60), 0};
}

std::string version_text(uint32_t version) {
  if (version == 0) return "--.--";
  char text[16];
  std::snprintf(text, sizeof text, "%u.%02u", version >> 8 & 0xFF, version & 0xFF);
  return text;
}

std::string duration_text(long long s) {
  if (s < 0) s = 0;
  char text[48];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%lld h %02lld min", s / 3600, s / 60 % 60);
  else if (s >= 60)
    std::snprintf(text, sizeof text, "%lld min %02lld s", s / 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%lld s", s);
  return text;
}

std::string zone_text(int offset) {
  char text[24];
  const int a = offset < 0 ? -offset : offset;
  std::snprintf(text, sizeof text, "UTC%c%02d:%02d", offset < 0 ? '-' : '+', a / 3600,
                a / 60 % 60);
  return text;
}

bool card_has_mac(const CardResult& card) {
  for (uint8_t b : card.mac)
    if (b) return true;
  return false;
}

bool card_version_before(const CardResult& card, uint32_t* version) {
  if (!card_has_mac(card)) return false;
  *version = card.version_before;
  return true;
}

bool card_version_now(const CardResult& card, uint32_t* version) {
  const bool has_image_version = card.image_version != IMAGE_VERSION_NONE;
  switch (card.verdict) {
    case Verdict::applied:
    case Verdict::done_before:
    case Verdict::sent:
    case Verdict::unverifiable:
      // The image went whole (or an earlier run proved it there).
      if (!has_image_version) return false;
      *version = card.image_version;
      return true;
    case Verdict::current:
    case Verdict::refused:
    case Verdict::transfer_failed:
    case Verdict::aborted:
    case Verdict::not_started_halted:
    case Verdict::not_started_stopped:
    case Verdict::not_started_window:
      // Nothing whole reached it: it runs what it answered before.
      return card_version_before(card, version);
    case Verdict::not_applied:
      // The check heard another version; the run knows which, a report does not.
      if (card.answered_version == 0 || card.answered_version == card.image_version) return false;
      *version = card.answered_version;
      return true;
    case Verdict::checking:
    case Verdict::no_answer_after:
    case Verdict::no_connection:
    case Verdict::pending:
    case Verdict::count_:
      break;
  }
  return false;
}

bool card_on_timeline(const CardResult& c) {
  switch (verdict_tally(c.verdict)) {
    case VerdictTally::applied:
      return true;
    case VerdictTally::failed:
      // Silent before its turn, or aborted before it: no transfer.
      if (c.verdict == Verdict::no_connection) return false;
      if (c.verdict == Verdict::aborted && c.bytes_sent == 0 &&
          seconds_between(c.started, c.ended) <= 0)
        return false;
      return true;
    default:
      return false;
  }
}

Histogram histogram_of(const std::vector<double>& values, size_t max_bins, double least_step) {
  Histogram h;
  if (values.empty()) return h;
  const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  const double span = std::max(*hi - *lo, 1.0);
  double step = 1;
  for (double power = 1e-3; power < 1e12; power *= 10) {
    bool found = false;
    for (double m : {1.0, 2.0, 5.0})
      if (m * power >= least_step * 0.999 && span / (m * power) <= static_cast<double>(max_bins)) {
        step = m * power;
        found = true;
        break;
      }
    if (found) break;
  }
  h.step = step;
  h.from = std::floor(*lo / step) * step;
  const size_t bins = static_cast<size_t>(std::floor((*hi - h.from) / step)) + 1;
  h.bins.assign(bins, 0);
  for (double v : values) {
    size_t at = static_cast<size_t>(std::floor((v - h.from) / step));
    ++h.bins[std::min(at, bins - 1)];
  }
  return h;
}

double quantile_of(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
  return values[std::min(values.size() - 1, at ? at - 1 : 0)];
}

std::string report_site(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
    name.resize(name.size() - 4);
  if (!is_kept_report_stem(name) || slash == std::string::npos || slash == 0) return name;
  const std::string folder = path.substr(0, slash);
  const size_t up = folder.find_last_of("/\\");
  const std::string parent = up == std::string::npos ? folder : folder.substr(up + 1);
  return parent.empty() || parent == "." || parent == ".." ? name : parent;
}

std::vector<int> planned_waves(const std::vector<CardResult>& cards,
                               const std::vector<WaveStep>& steps) {
  std::vector<uint32_t> eligible;
  for (const CardResult& c : cards)
    if (verdict_tally(c.verdict) != VerdictTally::skipped && c.verdict != Verdict::no_connection)
      eligible.push_back(c.ip);
  const RolloutPlan plan = make_rollout_plan(steps, NO_FAILURE_BUDGET, eligible);
  std::vector<int> waves(cards.size(), 0);
  for (size_t i = 0; i < cards.size(); ++i) waves[i] = planned_wave(plan, cards[i].ip);
  return waves;
}

void settle_report_order(std::vector<PageReport>* reports) {
  struct Keyed {
    long long start;
    std::string rows;
    PageReport* report;
  };
  std::vector<Keyed> keyed;
  for (PageReport& r : *reports) {
    long long start = 0;
    for (size_t i = 0; i < r.cards.size(); ++i)
      start = i ? std::min(start, clock_seconds(r.cards[i].started))
                : clock_seconds(r.cards[i].started);
    std::string rows = r.site + "\n";
    for (const CardResult& c : r.cards) rows += row_key(c);
    keyed.push_back({start, std::move(rows), &r});
  }
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.report->site != b.report->site) return a.report->site < b.report->site;
    if (a.rows != b.rows) return a.rows < b.rows;
    return a.report->path < b.report->path;
  });
  std::vector<PageReport> out;
  std::unordered_set<std::string> seen;
  for (Keyed& k : keyed)
    if (seen.insert(k.rows).second) out.push_back(std::move(*k.report));
  *reports = std::move(out);
}

bool read_version_text(const std::string& text, uint32_t* version) {
  const size_t dot = text.find('.');
  uint32_t major = 0, minor = 0;
  if (dot == std::string::npos || dot == 0 || dot > 3 || text.size() - dot - 1 < 1 ||
      text.size() - dot - 1 > 3 || !read_decimal(text.substr(0, dot), 3, &major) ||
      !read_decimal(text.substr(dot + 1), 3, &minor) || major > 255 || minor > 255)
    return false;
  *version = major << 8 | minor;
  return true;
}

RunFigures run_figures(const PageReport& report) {
  RunFigures f;
  const std::vector<CardResult>& cards = report.cards;
  f.lanes.assign(cards.size(), -1);
  f.waves.assign(cards.size(), 0);
  for (const CardResult& c : cards) {
    const long long begin = clock_seconds(c.started);
    const long long end = std::max(begin, clock_seconds(c.ended));
    const bool checked = c.verified_seconds >= 0 && *outcome_verified_word(c.outcome);
    f.begins.push_back(begin);
    f.ends.push_back(end);
    f.settles.push_back(checked ? end + c.verified_seconds : end);
  }
  if (report.waves.size() == cards.size() && !cards.empty()) {
    f.waves = report.waves;
    f.planned = true;
  } else {
    waves_from_times(report, &f);
  }
  assign_lanes(report, &f);
  fill_wave_rows(report, &f);
  find_gaps(report, &f);
  std::map<std::string, size_t> image_at;
  bool any = false;
  for (size_t i = 0; i < cards.size(); ++i) {
    const CardResult& c = cards[i];
    ++f.counts[static_cast<size_t>(c.verdict)];
    ++f.tallies[static_cast<size_t>(verdict_tally(c.verdict))];
    if (c.verdict == Verdict::not_started_halted) f.halted = true;
    if (c.verdict == Verdict::not_started_stopped) f.stopped = true;
    count_versions(c, &f.before, &f.before_unknown, &f.after, &f.after_unknown);
    const std::string image_key = c.image + "\n" + c.image_sha256;
    auto it = image_at.find(image_key);
    if (it == image_at.end()) {
      it = image_at.emplace(image_key, f.images.size()).first;
      f.images.push_back({c.image,
                          c.image_version == IMAGE_VERSION_NONE ? "" : version_text(c.image_version),
                          c.image_sha256, 0});
    }
    ++f.images[it->second].cards;
    // The run's span: from the first line to the last settling.
    const long long from = f.begins[i], to = f.settles[i];
    f.first = any ? std::min(f.first, from) : from;
    f.last = any ? std::max(f.last, to) : to;
    any = true;
    if (card_on_timeline(c)) {
      f.timed = true;
      const long long s = f.ends[i] - f.begins[i];
      f.seconds.push_back(static_cast<double>(std::max(0LL, s)));
      if (s >= 1 && c.bytes_sent > 0)
        f.rates.push_back(static_cast<double>(c.bytes_sent) / 1024.0 / static_cast<double>(s));
    }
  }
  f.start = clock_time(f.first);
  f.end = clock_time(f.last);
  std::stable_sort(f.images.begin(), f.images.end(),
                   [](const ImageUse& a, const ImageUse& b) { return a.cards > b.cards; });
  return f;
}

bool failures_first(const CardResult& a, const CardResult& b) {
  static const int rank[TALLIES] = {2, 0, 1, 3};  // applied, failed, not started, skipped
  const int ra = rank[static_cast<size_t>(verdict_tally(a.verdict))];
  const int rb = rank[static_cast<size_t>(verdict_tally(b.verdict))];
  if (ra != rb) return ra < rb;
  return host_address(a.ip) < host_address(b.ip);
}

std::string html_text(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string script_safe_json(const std::string& json) {
  // These characters stand only inside strings in JSON: their escapes read the same.
  std::string out;
  out.reserve(json.size() + json.size() / 32);
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else if (c == '\xE2' && i + 2 < json.size() && json[i + 1] == '\x80' &&
               (json[i + 2] == '\xA8' || json[i + 2] == '\xA9')) {
      out += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}
