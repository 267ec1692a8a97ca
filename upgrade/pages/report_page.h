#pragma once
// Pictures of runs for people: one or many kept reports (a run over several
// nights, the sites of a fleet) into one self-contained HTML page, the same
// figures as one JSON object, the timeline as a trace-event file, and the
// fleet's cards keyed by MAC with the list of those behind a version.
//
// Every figure reads each card's verdict (verdict.h); none judges a card.
// The page fetches nothing: its charts are SVG drawn here, its data is
// embedded as JSON, its script and style sheet are inline, and every text
// that came from a card or a file is escaped for where it stands.
#include <cstdint>
#include <string>
#include <vector>

#include "upgrade/record/results.h"
#include "upgrade/policy/rollout.h"
#include "upgrade/run/run.h"

// One run's report as the pictures read it.
struct PageReport {
  std::string path;  // as given
  std::string site;  // the site or run it stands for (report_site)
  std::vector<CardResult> cards;  // file order, each with its verdict
  // Each card's wave (beside cards; 0: not in the plan) when the run's plan
  // is known; empty: read from the times, which is all a report shows.
  std::vector<int> waves;
  // What only the run that wrote the report knows (upgrade --html): who
  // ran it from where, its clock's zone, and its last words when it halted
  // or was stopped.
  std::string account, computer, last_words;
  bool zone_known = false;
  int utc_offset = 0;  // seconds east of UTC
};

// The site a report stands for: the file's name without ".csv", or, for a
// name the program gives its kept reports (2024-05-01_020000.csv), the
// folder holding it.
std::string report_site(const std::string& path);

// Each card's wave as a run with these steps planned it: the cards it let
// go are those its gate did not settle (neither skipped nor silent when
// asked), in file order.
std::vector<int> planned_waves(const std::vector<CardResult>& cards,
                               const std::vector<WaveStep>& steps);

// Reports given several times over (the same cards, row for row) are read
// once; the rest are put in the order of their start, then site and path:
// the pictures do not depend on the order the reports were named in.
void settle_report_order(std::vector<PageReport>* reports);

struct PageOptions {
  // The version the fleet's cards are measured against (--behind); none
  // given: the newest image version of the reports.
  bool has_target = false;
  uint32_t target = 0;
  std::string written;  // "2024-05-01 03:12:00 UTC+02:00", shown on the page
  std::string program;  // "daveridur-cli 1.02 (build 1048)"
  // The sites of a fleet run that left no report (one failed before its
  // report was written, one never started), each with what became of it:
  // listed on the page, none of their cards counted.
  struct MissingSite {
    std::string site, what;
  };
  std::vector<MissingSite> without_report;
};

// The page (UTF-8). The reports in settle_report_order's order.
std::string report_page_html(const std::vector<PageReport>& reports, const PageOptions& options);
// The same figures and every card as one JSON object (the page embeds it).
std::string report_figures_json(const std::vector<PageReport>& reports, const PageOptions& options);
// The timelines as Chrome trace-event JSON: a process per report, a track
// per transfer slot, each card's transfer and its check.
std::string report_trace_json(const std::vector<PageReport>& reports);

// ---- The fleet: each card once, keyed by its MAC.

// One row of one report.
struct FleetSighting {
  size_t report = 0;  // into the reports
  size_t card = 0;    // into its cards
};
struct FleetCard {
  // A card that never answered has no MAC: it is its site and address,
  // unless a card with a MAC was seen at that address (fleet_of).
  bool has_mac = false;
  uint8_t mac[6] = {};
  std::vector<FleetSighting> history;  // oldest first; the last is its state
};
// Every card of the reports, in MAC order (those without one last, by
// site and address). A row without a MAC joins the card seen nearest in
// time at its address of its site, unless that card is in the row's
// report at another address. Rows alike in every column count once.
std::vector<FleetCard> fleet_of(const std::vector<PageReport>& reports);
// What the card runs as the latest row shows it; false when nobody knows
// (silent, or sent and not heard from since).
bool card_version_now(const CardResult& card, uint32_t* version);
// What the card runs by its history: its latest row's version, or, when
// that row is a silence (nothing was sent), the version known before it.
bool fleet_card_version(const std::vector<PageReport>& reports, const FleetCard& card,
                        uint32_t* version);
// Behind: running an older version than target, or nobody knows what.
bool fleet_card_behind(const std::vector<PageReport>& reports, const FleetCard& card,
                       uint32_t target);
// The cards behind target, one CSV row each (site, ip, mac, version,
// verdict, message, report, ended), header first; text: the same as
// tab-separated lines without the header.
std::string behind_csv(const std::vector<PageReport>& reports, const std::vector<FleetCard>& fleet,
                       uint32_t target);
std::string behind_text(const std::vector<PageReport>& reports,
                        const std::vector<FleetCard>& fleet, uint32_t target);
// "1.05"; false for anything else (major and minor up to 255).
bool read_version_text(const std::string& text, uint32_t* version);

// ---- The page beside a kept report

// The kept report's path with ".html" for its ".csv".
std::string page_path_beside(const std::string& report_path);
// "2024-05-01 03:12:00 UTC+02:00": when a page was written.
std::string page_written_text(const LocalTime& t);
// The run's page beside its kept report (page_path_beside), its last words
// a halt's or a stop's; false with *why when it cannot be written.
bool keep_page_beside(const std::string& report_path, const RunSummary& summary,
                      const std::string& program, std::string* why);
