// The pictures' figures as one JSON object (the page embeds the same),
// and the timelines as Chrome trace events.
#include <algorithm>
#include <cstdio>

#include "protocol/json.h"
#include "protocol/packet.h"
#include "upgrade/pages/report_figures.h"

namespace {

std::string q(const std::string& text) { return json_string(text); }
std::string q_or_null(bool known, const std::string& text) { return known ? q(text) : "null"; }

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  std::string out = text;
  out.erase(out.find_last_not_of('0') + 1);
  if (out.back() == '.') out.pop_back();
  return out;
}

std::string verdict_counts(const VerdictCounts& counts) {
  std::string out = "{";
  for (size_t v = 0; v < VERDICTS; ++v) {
    if (!counts[v]) continue;
    if (out.size() > 1) out += ',';
    out += q(verdict_word(static_cast<Verdict>(v))) + ':' + std::to_string(counts[v]);
  }
  return out + "}";
}

// "not started" reads as not_started in keys.
std::string tally_key(size_t t) {
  std::string word = tally_label(static_cast<VerdictTally>(t));
  std::replace(word.begin(), word.end(), ' ', '_');
  return word;
}

std::string tally_counts(const TallyCounts& counts) {
  std::string out = "{";
  for (size_t t = 0; t < TALLIES; ++t)
    out += (t ? "," : "") + q(tally_key(t)) + ':' + std::to_string(counts[t]);
  return out + "}";
}

std::string version_counts(const std::map<uint32_t, int>& counts, int unknown) {
  std::string out = "{";
  for (const auto& [v, n] : counts)
    out += (out.size() > 1 ? "," : "") + q(version_text(v)) + ':' + std::to_string(n);
  if (unknown) out += (out.size() > 1 ? "," : "") + std::string("\"unknown\":") + std::to_string(unknown);
  return out + "}";
}

std::string spread(const std::vector<double>& values, double least_step) {
  const Histogram h = histogram_of(values, 24, least_step);
  std::string bins = "[";
  for (size_t i = 0; i < h.bins.size(); ++i) bins += (i ? "," : "") + std::to_string(h.bins[i]);
  bins += "]";
  const double most = values.empty() ? 0 : *std::max_element(values.begin(), values.end());
  return "{\"count\":" + std::to_string(values.size()) +
         ",\"median\":" + number(quantile_of(values, 0.5)) +
         ",\"p90\":" + number(quantile_of(values, 0.9)) + ",\"max\":" + number(most) +
         ",\"histogram\":{\"from\":" + number(h.from) + ",\"step\":" + number(h.step) +
         ",\"bins\":" + bins + "}}";
}

std::string verdict_table_json() {
  std::string out = "[";
  for (const VerdictRules& r : verdict_table()) {
    if (out.size() > 1) out += ',';
    out += "{\"verdict\":" + q(r.word) + ",\"label\":" + q(r.label) +
           ",\"tally\":" + q(tally_key(static_cast<size_t>(verdict_tally(r.verdict)))) +
           ",\"fine\":" + (r.fine ? "true" : "false") +
           ",\"fails_run\":" + (r.fails_run ? "true" : "false") + "}";
  }
  return out + "]";
}

// The kept report's cells of the image: the same for most cards of a run.
const char* const IMAGE_COLUMNS[] = {"image", "image_version", "image_sha256"};

bool is_number_column(const std::string& column) {
  return column == "seconds" || column == "bytes_sent" || column == "verified_seconds";
}

void append_cell(std::string* out, const std::string& column, const std::string& cell) {
  *out += q(column);
  *out += ':';
  *out += cell.empty() ? "null" : is_number_column(column) ? cell : q(cell);
}

// One card: the kept report's columns (numbers as numbers, empty cells as
// null), those of the image only when they are not its report's
// (image_columns); its wave, its transfer slot, what it runs after the
// run, and what it ran before when the report's cell does not say (a card
// that never answered).
void append_card(std::string* out, const CardResult& c, int wave, int lane,
                 const std::vector<std::string>& shared, const std::vector<size_t>& image_at) {
  const std::vector<std::string>& columns = report_columns();
  const std::vector<std::string> row = report_row(c);
  bool own_image = false;
  for (size_t k = 0; k < image_at.size(); ++k) own_image = own_image || row[image_at[k]] != shared[k];
  *out += '{';
  bool first = true;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!own_image && std::find(image_at.begin(), image_at.end(), i) != image_at.end()) continue;
    if (!first) *out += ',';
    first = false;
    append_cell(out, columns[i], row[i]);
  }
  *out += ",\"wave\":" + (wave > 0 ? std::to_string(wave) : std::string("null"));
  *out += ",\"slot\":" + (lane >= 0 ? std::to_string(lane + 1) : std::string("null"));
  uint32_t v = 0;
  const bool known = card_version_now(c, &v);
  *out += ",\"after\":" + q_or_null(known, version_text(v));
  if (!card_version_before(c, &v)) *out += ",\"before\":null";
  *out += '}';
}

std::string report_object(const PageReport& r, const RunFigures& f) {
  std::string out = "{\"path\":" + q(r.path) + ",\"site\":" + q(r.site);
  out += ",\"start\":" + q_or_null(!r.cards.empty(), clock_text(f.start));
  out += ",\"end\":" + q_or_null(!r.cards.empty(), clock_text(f.end));
  out += ",\"duration_seconds\":" + std::to_string(f.last - f.first);
  out += ",\"time_zone\":" + q_or_null(r.zone_known, zone_text(r.utc_offset));
  out += ",\"account\":" + q_or_null(!r.account.empty(), r.account);
  out += ",\"computer\":" + q_or_null(!r.computer.empty(), r.computer);
  out += ",\"last_words\":" + q_or_null(!r.last_words.empty(), r.last_words);
  out += ",\"images\":[";
  for (size_t i = 0; i < f.images.size(); ++i) {
    const ImageUse& im = f.images[i];
    out += (i ? ",{" : "{") + std::string("\"image\":") + q(im.path) +
           ",\"image_version\":" + q_or_null(!im.version.empty(), im.version) +
           ",\"image_sha256\":" + q_or_null(!im.sha256.empty(), im.sha256) +
           ",\"cards\":" + std::to_string(im.cards) + "}";
  }
  out += "],\"cards_count\":" + std::to_string(r.cards.size());
  out += ",\"tally\":" + tally_counts(f.tallies) + ",\"verdicts\":" + verdict_counts(f.counts);
  out += std::string(",\"halted\":") + (f.halted ? "true" : "false");
  out += std::string(",\"stopped\":") + (f.stopped ? "true" : "false");
  out += std::string(",\"waves_from\":") + (f.planned ? "\"plan\"" : "\"times\"") + ",\"waves\":[";
  for (size_t i = 0; i < f.wave_rows.size(); ++i) {
    const WaveRow& w = f.wave_rows[i];
    out += (i ? ",{" : "{") + std::string("\"wave\":") +
           (w.wave ? std::to_string(w.wave) : std::string("null")) +
           ",\"last\":" + (w.wave ? std::to_string(w.last) : std::string("null")) +
           ",\"cards\":" + std::to_string(w.cards) + ",\"verdicts\":" + verdict_counts(w.counts) + "}";
  }
  out += "],\"slots\":" + std::to_string(f.lane_count);
  out += ",\"idle\":[";
  for (size_t i = 0; i < f.gaps.size(); ++i)
    out += (i ? ",{" : "{") + std::string("\"from\":") + q(clock_text(clock_time(f.gaps[i].from))) +
           ",\"seconds\":" + std::to_string(f.gaps[i].to - f.gaps[i].from) + "}";
  out += "],\"versions_before\":" + version_counts(f.before, f.before_unknown);
  out += ",\"versions_after\":" + version_counts(f.after, f.after_unknown);
  out += ",\"transfer_seconds\":" + spread(f.seconds, 1) + ",\"rates_kbps\":" + spread(f.rates, 0.1);
  // The image's cells of its most used image: its cards hold them unless
  // they name another.
  const std::vector<std::string>& columns = report_columns();
  std::vector<size_t> image_at;
  for (const char* name : IMAGE_COLUMNS)
    image_at.push_back(static_cast<size_t>(std::find(columns.begin(), columns.end(), name) - columns.begin()));
  std::vector<std::string> shared(image_at.size());
  for (const CardResult& c : r.cards)
    if (!f.images.empty() && c.image == f.images[0].path && c.image_sha256 == f.images[0].sha256) {
      const std::vector<std::string> row = report_row(c);
      for (size_t k = 0; k < image_at.size(); ++k) shared[k] = row[image_at[k]];
      break;
    }
  out += ",\"image_columns\":{";
  for (size_t k = 0; k < image_at.size(); ++k) {
    if (k) out += ',';
    append_cell(&out, IMAGE_COLUMNS[k], shared[k]);
  }
  out += "},\"cards\":[";
  for (size_t i = 0; i < r.cards.size(); ++i) {
    if (i) out += ",\n";
    append_card(&out, r.cards[i], f.waves[i], f.lanes[i], shared, image_at);
  }
  return out + "]}";
}

std::string mac_words(const uint8_t* mac) {
  char text[32];
  mac_to_text(text, mac);
  return text;
}

// A fleet card: its key and latest state, its row ([report, card]) and,
// with history, every row of it oldest first.
std::string card_entry(const std::vector<PageReport>& reports, const FleetCard& card, bool history) {
  const FleetSighting& last = card.history.back();
  const CardResult& c = sighted(reports, last);
  uint32_t v = 0;
  const bool known = fleet_card_version(reports, card, &v);
  std::string out = "{\"mac\":" + q_or_null(card.has_mac, mac_words(card.mac)) +
                    ",\"ip\":" + q(ip_to_text(c.ip)) + ",\"site\":" + q(reports[last.report].site) +
                    ",\"version\":" + q_or_null(known, version_text(v)) +
                    ",\"verdict\":" + q(verdict_word(c.verdict)) + ",\"ended\":" + q(clock_text(c.ended)) +
                    ",\"row\":[" + std::to_string(last.report) + "," + std::to_string(last.card) + "]";
  if (!history) return out + "}";
  out += ",\"history\":[";
  for (size_t h = 0; h < card.history.size(); ++h)
    out += (h ? ",[" : "[") + std::to_string(card.history[h].report) + "," +
           std::to_string(card.history[h].card) + "]";
  return out + "]}";
}

std::string fleet_object(const std::vector<PageReport>& reports, const FleetFigures& f) {
  std::string out = "{\"cards\":" + std::to_string(f.cards.size());
  out += ",\"target_version\":" + q_or_null(f.has_target, version_text(f.target));
  out += ",\"tally\":" + tally_counts(f.tallies) + ",\"verdicts\":" + verdict_counts(f.counts);
  out += ",\"versions_before\":" + version_counts(f.before, f.before_unknown);
  out += ",\"versions_after\":" + version_counts(f.after, f.after_unknown);
  out += ",\"behind\":[";
  for (size_t k = 0; k < f.behind.size(); ++k) {
    const FleetCard& card = f.cards[f.behind[k]];
    out += (k ? ",\n" : "") + card_entry(reports, card, false);
  }
  // Every card with its history, when there is more than one report to
  // hold it (one report's cards are its rows).
  out += "],\"entries\":[";
  for (size_t k = 0; reports.size() > 1 && k < f.cards.size(); ++k)
    out += (k ? ",\n" : "") + card_entry(reports, f.cards[k], true);
  return out + "]}";
}

}  // namespace

std::string figures_json(const std::vector<PageReport>& reports,
                         const std::vector<RunFigures>& runs, const FleetFigures& fleet,
                         const PageOptions& options) {
  VerdictCounts counts{};
  TallyCounts tallies{};
  size_t cards = 0;
  std::string list;
  for (size_t i = 0; i < reports.size(); ++i) {
    const RunFigures& f = runs[i];
    for (size_t v = 0; v < VERDICTS; ++v) counts[v] += f.counts[v];
    for (size_t t = 0; t < TALLIES; ++t) tallies[t] += f.tallies[t];
    cards += reports[i].cards.size();
    list += (i ? ",\n" : "") + report_object(reports[i], f);
  }
  std::string out = "{\"program\":" + q(options.program);
  out += ",\"verdict_table\":" + verdict_table_json();
  out += ",\"totals\":{\"reports\":" + std::to_string(reports.size()) + ",\"cards\":" +
         std::to_string(cards) + ",\"tally\":" + tally_counts(tallies) +
         ",\"verdicts\":" + verdict_counts(counts) + "}";
  out += ",\n\"reports\":[" + list + "],\n\"fleet\":" + fleet_object(reports, fleet);
  out += ",\n\"sites_without_report\":[";
  for (size_t i = 0; i < options.without_report.size(); ++i)
    out += std::string(i ? "," : "") + "{\"site\":" + q(options.without_report[i].site) +
           ",\"what\":" + q(options.without_report[i].what) + "}";
  out += "]}\n";
  return out;
}

std::string report_figures_json(const std::vector<PageReport>& reports, const PageOptions& options) {
  std::vector<RunFigures> runs;
  for (const PageReport& r : reports) runs.push_back(run_figures(r));
  return figures_json(reports, runs, fleet_figures(reports, options), options);
}

std::string report_trace_json(const std::vector<PageReport>& reports) {
  std::vector<RunFigures> figures;
  long long origin = 0;
  bool any = false;
  for (const PageReport& r : reports) {
    figures.push_back(run_figures(r));
    if (!r.cards.empty()) {
      origin = any ? std::min(origin, figures.back().first) : figures.back().first;
      any = true;
    }
  }
  auto us = [&](long long t) { return std::to_string((t - origin) * 1000000); };
  std::string out = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
  bool first = true;
  auto event = [&](const std::string& e) {
    out += (first ? "" : ",\n") + e;
    first = false;
  };
  long long check_id = 0;
  for (size_t r = 0; r < reports.size(); ++r) {
    const PageReport& report = reports[r];
    const RunFigures& f = figures[r];
    const std::string pid = std::to_string(r + 1);
    event("{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":" + pid + ",\"args\":{\"name\":" +
          q(report.site + " (" + report.path + ")") + "}}");
    event("{\"name\":\"process_sort_index\",\"ph\":\"M\",\"pid\":" + pid +
          ",\"args\":{\"sort_index\":" + pid + "}}");
    for (int lane = 0; lane < f.lane_count; ++lane) {
      const std::string tid = std::to_string(lane + 1);
      event("{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":" + pid + ",\"tid\":" + tid +
            ",\"args\":{\"name\":\"slot " + tid + "\"}}");
      event("{\"name\":\"thread_sort_index\",\"ph\":\"M\",\"pid\":" + pid + ",\"tid\":" + tid +
            ",\"args\":{\"sort_index\":" + tid + "}}");
    }
    std::map<int, long long> wave_start;
    for (size_t i = 0; i < report.cards.size(); ++i) {
      if (f.lanes[i] < 0) continue;
      const CardResult& c = report.cards[i];
      const long long start = f.begins[i], end = f.ends[i];
      const std::string tid = std::to_string(f.lanes[i] + 1);
      std::string args = "{\"verdict\":" + q(verdict_word(c.verdict)) +
                         ",\"message\":" + q(report_message(c)) +
                         ",\"bytes_sent\":" + std::to_string(c.bytes_sent) +
                         ",\"wave\":" + (f.waves[i] ? std::to_string(f.waves[i]) : std::string("null")) + "}";
      event("{\"name\":" + q(ip_to_text(c.ip)) + ",\"cat\":\"transfer\",\"ph\":\"X\",\"ts\":" +
            us(start) + ",\"dur\":" + std::to_string((end - start) * 1000000) + ",\"pid\":" + pid +
            ",\"tid\":" + tid + ",\"args\":" + args + "}");
      const long long settled = f.settles[i];
      if (settled > end) {
        // Checks overlap one another in a slot: async slices stack on their own.
        const std::string id = std::to_string(++check_id);
        const std::string name = q("check " + std::string(ip_to_text(c.ip)));
        event("{\"name\":" + name + ",\"cat\":\"check\",\"ph\":\"b\",\"id\":" + id + ",\"ts\":" +
              us(end) + ",\"pid\":" + pid + ",\"tid\":" + tid + ",\"args\":{\"verdict\":" +
              q(verdict_word(c.verdict)) + "}}");
        event("{\"name\":" + name + ",\"cat\":\"check\",\"ph\":\"e\",\"id\":" + id + ",\"ts\":" +
              us(settled) + ",\"pid\":" + pid + ",\"tid\":" + tid + "}");
      }
      if (f.waves[i]) {
        auto it = wave_start.find(f.waves[i]);
        if (it == wave_start.end() || start < it->second) wave_start[f.waves[i]] = start;
      }
    }
    for (const auto& [wave, at] : wave_start)
      event("{\"name\":\"wave " + std::to_string(wave) + "\",\"ph\":\"i\",\"s\":\"p\",\"ts\":" +
            us(at) + ",\"pid\":" + pid + ",\"tid\":1}");
  }
  return out + "\n]}\n";
}
