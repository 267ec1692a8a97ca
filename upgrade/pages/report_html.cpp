// The page: one self-contained HTML file. Its style sheet and script are
// inline and named by their digests in its content security policy, so
// nothing else runs and nothing is fetched, whatever a card's text holds;
// its tables are written for the first page of rows and the script,
// reading the embedded data, sorts, filters and pages them.
#include <algorithm>
#include <cstdio>
#include <tuple>

#include "protocol/packet.h"
#include "protocol/sha256.h"
#include "upgrade/pages/report_figures.h"
#include "upgrade/pages/report_assets.h"

namespace {

// Rows of a table written into the page; the script shows the rest.
const size_t PAGE_ROWS = 100;

// Fill and swatch colour of each verdict, in enumeration order.
const char* const VERDICT_COLOURS[] = {
    "#2e9e44",  // applied
    "#72c472",  // sent
    "#a9d99b",  // unverifiable
    "#7aa6c9",  // current
    "#a9c6de",  // done_before
    "#f0c243",  // checking
    "#e8793a",  // not_applied
    "#d0552b",  // no_answer_after
    "#c8102e",  // refused
    "#8f1730",  // transfer_failed
    "#8e44ad",  // aborted
    "#4d4d4d",  // no_connection
    "#c9c9c9",  // not_started_halted
    "#ababab",  // not_started_stopped
    "#d9c49c",  // not_started_window
    "#ececec",  // pending
};
static_assert(std::size(VERDICT_COLOURS) == VERDICTS, "a colour for every verdict");


std::string base64(const uint8_t* bytes, size_t size) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t n = uint32_t{bytes[i]} << 16 | (i + 1 < size ? uint32_t{bytes[i + 1]} << 8 : 0) |
                       (i + 2 < size ? bytes[i + 2] : 0);
    out += digits[n >> 18 & 63];
    out += digits[n >> 12 & 63];
    out += i + 1 < size ? digits[n >> 6 & 63] : '=';
    out += i + 2 < size ? digits[n & 63] : '=';
  }
  return out;
}

// "'sha256-...'" for a content security policy.
std::string csp_digest(const std::string& text) {
  const Sha256 d = sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return "'sha256-" + base64(d.data(), d.size()) + "'";
}

std::string file_name_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string mac_words(const uint8_t* mac) {
  char text[32];
  mac_to_text(text, mac);
  return text;
}

std::string cards_words_of(long long n) { return std::to_string(n) + (n == 1 ? " card" : " cards"); }

std::string verdict_swatch(Verdict v) {
  return std::string("<i class=\"sw v-") + verdict_word(v) + "\"></i>";
}

std::string legend(const VerdictCounts& counts) {
  std::string out = "<div class=\"legend\">";
  for (size_t v = 0; v < VERDICTS; ++v)
    if (counts[v])
      out += "<span>" + verdict_swatch(static_cast<Verdict>(v)) +
             html_text(verdict_rules(static_cast<Verdict>(v)).label) + "</span>";
  return out + "</div>";
}

std::string tally_list(const TallyCounts& t) {
  auto item = [&](VerdictTally which) {
    const size_t i = static_cast<size_t>(which);
    std::string key = tally_label(which);
    std::replace(key.begin(), key.end(), ' ', '_');
    return "<li data-tally=\"" + key + "\"><b>" + std::to_string(t[i]) + "</b>" +
           tally_label(which) + "</li>";
  };
  return "<ul class=\"tallies\">" + item(VerdictTally::failed) + item(VerdictTally::not_started) +
         item(VerdictTally::skipped) + "</ul>";
}

std::string headline_numbers(const TallyCounts& t, const char* what) {
  const int applied = t[static_cast<size_t>(VerdictTally::applied)];
  const int planned = t[0] + t[1] + t[2];  // all but the skipped
  return "<p class=\"big\"><b data-tally=\"applied\">" + std::to_string(applied) +
         "</b> of <b data-figure=\"planned\">" + std::to_string(planned) + "</b> " + what +
         " applied</p>" + tally_list(t);
}

std::string counts_table(const VerdictCounts& counts) {
  std::string out = "<table class=\"counts\"><tr><th>verdict</th><th>cards</th></tr>";
  for (size_t v = 0; v < VERDICTS; ++v) {
    if (!counts[v]) continue;
    const Verdict verdict = static_cast<Verdict>(v);
    out += std::string("<tr data-verdict=\"") + verdict_word(verdict) + "\"><td>" +
           verdict_swatch(verdict) + html_text(verdict_rules(verdict).label) + " <code>" +
           verdict_word(verdict) + "</code></td><td class=\"n\">" + std::to_string(counts[v]) +
           "</td></tr>";
  }
  return out + "</table>";
}

std::string fact(const std::string& name, const std::string& html) {
  return "<tr><th>" + html_text(name) + "</th><td>" + html + "</td></tr>";
}

std::string facts_table(const PageReport& r, const RunFigures& f) {
  std::string out = "<table class=\"facts\">";
  for (const ImageUse& im : f.images) {
    std::string text = "<b>" + html_text(file_name_of(im.path)) + "</b>";
    text += im.version.empty() ? ", no version" : ", version " + html_text(im.version);
    if (!im.sha256.empty()) text += ", SHA-256 <code>" + html_text(im.sha256) + "</code>";
    if (f.images.size() > 1) text += " (" + cards_words_of(im.cards) + ")";
    if (file_name_of(im.path) != im.path) text += "<br><span class=\"note\">" + html_text(im.path) + "</span>";
    out += fact("Image", text);
  }
  if (!r.cards.empty()) {
    out += fact("Started", html_text(clock_text(f.start)));
    out += fact("Ended", html_text(clock_text(f.end)) +
                         " <span class=\"note\">(the last card settled)</span>");
    out += fact("Duration", html_text(duration_text(f.last - f.first)));
  }
  out += fact("Time zone", r.zone_known ? html_text(zone_text(r.utc_offset))
                                        : "the local time of the computer that ran it "
                                          "<span class=\"note\">(a report does not record "
                                          "its zone)</span>");
  if (!r.account.empty() || !r.computer.empty()) {
    std::string who = html_text(r.account.empty() ? "?" : r.account);
    if (!r.computer.empty()) who += " on " + html_text(r.computer);
    out += fact("Run by", who);
  }
  out += fact("Report", r.path.empty() ? "not kept <span class=\"note\">(the run was given no "
                                          "report file)</span>"
                                        : html_text(r.path));
  return out + "</table>";
}

std::string end_words(const PageReport& r, const RunFigures& f) {
  const int halted = f.counts[static_cast<size_t>(Verdict::not_started_halted)];
  const int stopped = f.counts[static_cast<size_t>(Verdict::not_started_stopped)];
  std::string out;
  if (!r.last_words.empty()) {
    out += "<p class=\"" + std::string(f.halted ? "halt" : "stop") + "\">" + html_text(r.last_words) + "</p>";
  } else if (f.halted) {
    out += "<p class=\"halt\">The rollout halted: " + cards_words_of(halted) + " not started.</p>";
  } else if (f.stopped) {
    out += "<p class=\"stop\">Stopped by the operator: " + cards_words_of(stopped) + " not started.</p>";
  }
  return out;
}

std::string waves_note(const RunFigures& f) {
  return f.planned ? "<p class=\"note\">The run's plan: each card's wave as it was planned.</p>"
                   : "<p class=\"note\">The report does not record waves: they are read from "
                     "the times. A card that started once every card before it had settled, "
                     "the last by its check, begins a wave.</p>";
}

std::string timeline_note(const RunFigures& f) {
  std::string out = "<p class=\"note\">One lane per transfer slot (slots read from the "
                    "cards' start and end times: each transfer takes the first slot free). "
                    "Thick bars: transfers; thin bars beneath: the check after each; "
                    "dashed lines: waves";
  bool folded = false;
  for (const IdleGap& g : f.gaps) folded = folded || g.folded;
  out += folded ? "; shaded: no card running (the longer stretches narrowed, their length beneath)"
                : "; shaded: no card running";
  return out + ".</p>";
}

// A run's headline, waves and timeline.
std::string run_html(const PageReport& r, const RunFigures& f, bool own_section, size_t index) {
  std::string out;
  if (own_section)
    out += "<section class=\"run\" id=\"run-" + std::to_string(index + 1) + "\"><h2>" +
           html_text(r.site) + " <span class=\"note\">" + html_text(file_name_of(r.path)) +
           "</span></h2>";
  out += "<div class=\"headline\" data-report=\"" + std::to_string(index) + "\">";
  out += headline_numbers(f.tallies, "cards");
  out += counts_bar_svg(f.counts);
  out += end_words(r, f);
  out += "<div class=\"two\"><div>" + facts_table(r, f) + "</div><div>" + counts_table(f.counts) +
         "</div></div></div>";
  out += own_section ? "<h3>Waves</h3>" : "<h2>Waves</h2>";
  out += waves_note(f) + wave_bars_svg(f) + legend(f.counts);
  out += own_section ? "<h3>Timeline</h3>" : "<h2>Timeline</h2>";
  if (f.timed)
    out += timeline_note(f) + "<div class=\"timeline\">" + timeline_svg(r, f) + "</div>";
  else
    out += "<p class=\"note\">No card was sent anything.</p>";
  if (own_section) out += "</section>";
  return out;
}

std::string spread_words(const std::vector<double>& values, const char* unit) {
  if (values.empty()) return "none";
  char text[160];
  std::snprintf(text, sizeof text, "%zu; median %.1f %s, 90 %% within %.1f %s, at most %.1f %s",
                values.size(), quantile_of(values, 0.5), unit, quantile_of(values, 0.9), unit,
                *std::max_element(values.begin(), values.end()), unit);
  return text;
}

std::string spread_html(const std::vector<double>& seconds, const std::vector<double>& rates) {
  std::string out = "<h2>Transfer times and rates</h2><div class=\"two\"><div><h3>Seconds a transfer took</h3>";
  out += "<p class=\"note\">" + html_text(spread_words(seconds, "s")) + "</p>";
  out += histogram_svg(histogram_of(seconds, 24, 1), "s");
  out += "</div><div><h3>Rate of each transfer</h3>";
  out += "<p class=\"note\">" + html_text(spread_words(rates, "KB/s")) +
         " (transfers of 1 s or more)</p>";
  out += histogram_svg(histogram_of(rates, 24, 0.1), "KB/s");
  return out + "</div></div>";
}

std::string grid_head(const char* name, const std::vector<const char*>& columns, size_t rows) {
  std::string out = "<div class=\"tools\" data-grid=\"" + std::string(name) +
                    "\" hidden><input type=\"search\" placeholder=\"Filter: any text of a row\" "
                    "aria-label=\"Filter the rows\"><span class=\"shown\"></span>"
                    "<button class=\"prev\" type=\"button\">Previous</button>"
                    "<button class=\"next\" type=\"button\">Next</button>"
                    "<button class=\"all\" type=\"button\">Show all</button></div>";
  if (rows > PAGE_ROWS)
    out += "<p class=\"note static\" data-grid=\"" + std::string(name) + "\">The first " +
           std::to_string(PAGE_ROWS) + " of " + std::to_string(rows) +
           " rows; the file holds them all (a browser running its script shows them).</p>";
  out += "<table class=\"grid\" data-grid=\"" + std::string(name) + "\"><thead><tr>";
  for (const char* c : columns) out += std::string("<th scope=\"col\">") + c + "</th>";
  return out + "</tr></thead><tbody>";
}

// classes: beside the cells, "num", "long" (a text that may wrap) or "".
std::string grid_row(Verdict v, const std::vector<std::string>& cells,
                     const std::vector<const char*>& classes, size_t verdict_cell) {
  std::string out = std::string("<tr data-verdict=\"") + verdict_word(v) + "\">";
  for (size_t k = 0; k < cells.size(); ++k) {
    out += *classes[k] ? std::string("<td class=\"") + classes[k] + "\">" : std::string("<td>");
    if (k == verdict_cell) out += verdict_swatch(v);
    out += html_text(cells[k]) + "</td>";
  }
  return out + "</tr>";
}

std::string known_version(bool known, uint32_t v) { return known ? version_text(v) : "unknown"; }

std::string cards_grid(const std::vector<PageReport>& reports, const std::vector<RunFigures>& figures) {
  struct At {
    size_t r, i;
  };
  std::vector<At> all;
  for (size_t r = 0; r < reports.size(); ++r)
    for (size_t i = 0; i < reports[r].cards.size(); ++i) all.push_back({r, i});
  const size_t shown = std::min(all.size(), PAGE_ROWS);
  std::partial_sort(all.begin(), all.begin() + static_cast<long>(shown), all.end(),
                    [&](const At& a, const At& b) {
                      const CardResult& x = reports[a.r].cards[a.i];
                      const CardResult& y = reports[b.r].cards[b.i];
                      if (failures_first(x, y)) return true;
                      if (failures_first(y, x)) return false;
                      return std::tie(a.r, a.i) < std::tie(b.r, b.i);
                    });
  std::string out = "<h2 id=\"cards\">Cards</h2><p class=\"note\">Every card of " +
                    std::string(reports.size() > 1 ? "every report" : "the report") +
                    ", the failed first; a click on a column's name sorts by it.</p>";
  out += grid_head("cards", {"Address", "MAC", "Before", "After", "Verdict", "Message", "Seconds", "Wave", "Site"},
                   all.size());
  const std::vector<const char*> numbers = {"", "", "", "", "", "long", "num", "num", "long"};
  const std::vector<std::string>& columns = report_columns();
  const size_t before_at = static_cast<size_t>(std::find(columns.begin(), columns.end(), "version_before") - columns.begin());
  for (size_t k = 0; k < shown; ++k) {
    const CardResult& c = reports[all[k].r].cards[all[k].i];
    const std::vector<std::string> row = report_row(c);
    uint32_t v = 0;
    const std::string before = card_version_before(c, &v) ? row[before_at] : "unknown";
    const bool after_known = card_version_now(c, &v);
    const int wave = figures[all[k].r].waves[all[k].i];
    out += grid_row(c.verdict,
                    {ip_to_text(c.ip), mac_words(c.mac), before, known_version(after_known, v),
                     verdict_rules(c.verdict).label, report_message(c),
                     std::to_string(seconds_between(c.started, c.ended)),
                     wave ? std::to_string(wave) : "", reports[all[k].r].site},
                    numbers, 4);
  }
  return out + "</tbody></table>";
}

std::string behind_grid(const std::vector<PageReport>& reports, const FleetFigures& fleet) {
  std::string out = "<h2 id=\"behind\">Behind " + html_text(version_text(fleet.target)) + ": " +
                    "<span data-figure=\"behind\">" + std::to_string(fleet.behind.size()) +
                    "</span> " + (fleet.behind.size() == 1 ? "card" : "cards") + "</h2>";
  out += "<p class=\"note\">Each card's latest state across the reports (by its MAC): "
         "those running an older version than " +
         html_text(version_text(fleet.target)) + ", or whose version nobody knows.</p>";
  out += grid_head("behind", {"Site", "Address", "MAC", "Version", "Verdict", "Message", "Report", "Ended"},
                   fleet.behind.size());
  const std::vector<const char*> numbers = {"long", "", "", "", "", "long", "long", ""};
  for (size_t k = 0; k < fleet.behind.size() && k < PAGE_ROWS; ++k) {
    const FleetCard& card = fleet.cards[fleet.behind[k]];
    const FleetSighting& last = card.history.back();
    const CardResult& c = sighted(reports, last);
    uint32_t v = 0;
    const bool known = fleet_card_version(reports, card, &v);
    out += grid_row(c.verdict,
                    {reports[last.report].site, ip_to_text(c.ip), card.has_mac ? mac_words(card.mac) : "",
                     known_version(known, v), verdict_rules(c.verdict).label, report_message(c),
                     file_name_of(reports[last.report].path), clock_text(c.ended)},
                    numbers, 4);
  }
  return out + "</tbody></table>";
}

std::string fleet_grid(const std::vector<PageReport>& reports, const FleetFigures& fleet) {
  std::string out = "<h2 id=\"fleet\">Every card of the fleet</h2><p class=\"note\">One row per "
                    "card, by its MAC (a card whose address changed is one card), with its "
                    "latest state and its history across the reports. A card never heard has "
                    "no MAC: it is its site and address.</p>";
  out += grid_head("fleet", {"MAC", "Address", "Site", "Version", "Verdict", "Last seen", "Rows", "History"},
                   fleet.cards.size());
  const std::vector<const char*> numbers = {"", "", "long", "", "", "", "num", "long"};
  for (size_t k = 0; k < fleet.cards.size() && k < PAGE_ROWS; ++k) {
    const FleetCard& card = fleet.cards[k];
    const FleetSighting& last = card.history.back();
    const CardResult& c = sighted(reports, last);
    std::string story;
    for (const FleetSighting& s : card.history) {
      const CardResult& h = sighted(reports, s);
      if (!story.empty()) story += " \xC2\xB7 ";
      story += clock_text(h.ended) + " " + reports[s.report].site + " " + ip_to_text(h.ip) + " " +
               verdict_rules(h.verdict).label;
    }
    uint32_t v = 0;
    const bool known = fleet_card_version(reports, card, &v);
    out += grid_row(c.verdict,
                    {card.has_mac ? mac_words(card.mac) : "", ip_to_text(c.ip), reports[last.report].site,
                     known_version(known, v), verdict_rules(c.verdict).label, clock_text(c.ended),
                     std::to_string(card.history.size()), story},
                    numbers, 4);
  }
  return out + "</tbody></table>";
}

std::string reports_table(const std::vector<PageReport>& reports, const std::vector<RunFigures>& figures) {
  std::string out = "<h2>Reports</h2><table class=\"grid fixed\"><thead><tr><th>Site or run</th><th>Report</th>"
                    "<th>Started</th><th>Duration</th><th>Cards</th><th>Applied</th><th>Failed</th>"
                    "<th>Not started</th><th>Skipped</th><th>Ended</th></tr></thead><tbody>";
  for (size_t r = 0; r < reports.size(); ++r) {
    const RunFigures& f = figures[r];
    auto n = [&](VerdictTally t) { return std::to_string(f.tallies[static_cast<size_t>(t)]); };
    out += "<tr data-report=\"" + std::to_string(r) + "\"><td><a href=\"#run-" + std::to_string(r + 1) +
           "\">" + html_text(reports[r].site) + "</a></td><td>" + html_text(file_name_of(reports[r].path)) +
           "</td><td>" + html_text(clock_text(f.start)) + "</td><td>" +
           html_text(duration_text(f.last - f.first)) + "</td><td class=\"num\">" +
           std::to_string(reports[r].cards.size()) + "</td><td class=\"num\">" + n(VerdictTally::applied) +
           "</td><td class=\"num\">" + n(VerdictTally::failed) + "</td><td class=\"num\">" +
           n(VerdictTally::not_started) + "</td><td class=\"num\">" + n(VerdictTally::skipped) + "</td><td>" +
           (f.halted ? "halted" : f.stopped ? "stopped" : "") + "</td></tr>";
  }
  return out + "</tbody></table>";
}

std::string versions_html(const std::map<uint32_t, int>& before, int before_unknown,
                          const std::map<uint32_t, int>& after, int after_unknown, bool has_target,
                          uint32_t target, const char* whose) {
  std::string out = "<h2>Versions before and after</h2><p class=\"note\">";
  out += whose;
  out += " A version behind the target";
  if (has_target) out += " (" + html_text(version_text(target)) + ")";
  out += " is marked; unknown: the card did not answer, or was sent the image and not heard from since.</p>";
  return out + versions_svg(before, before_unknown, after, after_unknown, has_target, target);
}

std::string missing_sites_html(const PageOptions& options) {
  if (options.without_report.empty()) return "";
  std::string out =
      "<h2 id=\"without-report\">Sites without a report</h2><p class=\"note\">No report came back "
      "from these sites: none of their cards is counted on this page.</p><table class=\"grid fixed\">"
      "<thead><tr><th>Site</th><th>What became of it</th></tr></thead><tbody>";
  for (const PageOptions::MissingSite& m : options.without_report)
    out += "<tr><td>" + html_text(m.site) + "</td><td>" + html_text(m.what) + "</td></tr>";
  return out + "</tbody></table>";
}

}  // namespace

std::string report_page_html(const std::vector<PageReport>& reports, const PageOptions& options) {
  std::vector<RunFigures> figures;
  figures.reserve(reports.size());
  for (const PageReport& r : reports) figures.push_back(run_figures(r));
  const FleetFigures fleet = fleet_figures(reports, options);
  const bool many = reports.size() > 1;
  size_t rows = 0;
  for (const PageReport& r : reports) rows += r.cards.size();

  std::string style = REPORT_PAGE_STYLE;
  for (size_t v = 0; v < VERDICTS; ++v) {
    const char* word = verdict_word(static_cast<Verdict>(v));
    style += std::string(".v-") + word + "{fill:" + VERDICT_COLOURS[v] + ";background:" +
             VERDICT_COLOURS[v] + "}";
  }
  style += "\n";
  const std::string script = REPORT_PAGE_SCRIPT;

  std::string title = many ? "Firmware upgrades: " + std::to_string(reports.size()) + " reports"
                           : "Firmware upgrade: " + (reports.empty() ? std::string() : reports[0].site);
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n";
  out += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src " +
         csp_digest(style) + "; script-src " + csp_digest(script) +
         "; img-src data:; base-uri 'none'; form-action 'none'\">\n";
  out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<title>" + html_text(title) + "</title>\n<style>" + style + "</style></head><body>\n";
  out += "<header><h1>" + html_text(title) + "</h1><p class=\"sub\">" +
         html_text(cards_words_of(static_cast<long long>(rows)) +
                   (many ? " in " + std::to_string(reports.size()) + " reports, " +
                               cards_words_of(static_cast<long long>(fleet.cards.size())) + " in the fleet"
                         : std::string())) +
         (options.written.empty() ? "" : " &middot; written " + html_text(options.written)) +
         (options.program.empty() ? "" : " by " + html_text(options.program)) + "</p></header>\n";

  if (!many && !reports.empty()) {
    out += run_html(reports[0], figures[0], false, 0);
    out += missing_sites_html(options);
    out += versions_html(figures[0].before, figures[0].before_unknown, figures[0].after,
                         figures[0].after_unknown, fleet.has_target, fleet.target,
                         "What each card ran before the run, and runs after it as the report shows it.");
    out += spread_html(figures[0].seconds, figures[0].rates);
    out += cards_grid(reports, figures);
    if (fleet.has_target) out += behind_grid(reports, fleet);
  } else if (many) {
    out += "<h2>Fleet summary</h2><div class=\"headline\" data-report=\"fleet\">";
    out += headline_numbers(fleet.tallies, "cards");
    out += counts_bar_svg(fleet.counts);
    out += "<p class=\"note\">Each card once, by its MAC, in its latest state across the reports.</p>";
    out += "<div class=\"two\"><div>" + counts_table(fleet.counts) + "</div><div></div></div></div>";
    out += reports_table(reports, figures);
    out += missing_sites_html(options);
    if (fleet.has_target) out += behind_grid(reports, fleet);
    out += versions_html(fleet.before, fleet.before_unknown, fleet.after, fleet.after_unknown,
                         fleet.has_target, fleet.target,
                         "Each card of the fleet: what it ran when first seen, what it runs by its latest report.");
    std::vector<double> seconds, rates;
    for (const RunFigures& f : figures) {
      seconds.insert(seconds.end(), f.seconds.begin(), f.seconds.end());
      rates.insert(rates.end(), f.rates.begin(), f.rates.end());
    }
    out += spread_html(seconds, rates);
    for (size_t r = 0; r < reports.size(); ++r) out += run_html(reports[r], figures[r], true, r);
    out += cards_grid(reports, figures);
    out += fleet_grid(reports, fleet);
  }
  out += "\n<script type=\"application/json\" id=\"report-data\">";
  out += script_safe_json(figures_json(reports, figures, fleet, options));
  out += "</script>\n";
  out += "<script>" + script + "</script>\n</body></html>\n";
  return out;
}
