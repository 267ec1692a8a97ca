#pragma once
// The figures of a run's pictures, worked out once from its report and
// drawn by the page, written by the JSON and the trace. Internal to the
// report pages (report_page.h is their contract).
#include <array>
#include <map>
#include <string>
#include <vector>

#include "upgrade/pages/report_page.h"
#include "upgrade/record/verdict.h"

inline constexpr size_t VERDICTS = static_cast<size_t>(Verdict::count_);
inline constexpr size_t TALLIES = static_cast<size_t>(VerdictTally::count_);
using VerdictCounts = std::array<int, VERDICTS>;
using TallyCounts = std::array<int, TALLIES>;

// Seconds of a clock time on one scale (the report's own clock).
long long clock_seconds(const LocalTime& t);
// And back (at offset 0: the report's clock as it read).
LocalTime clock_time(long long seconds);
// "1.05", or "--.--" for version 0 (a card that showed none).
std::string version_text(uint32_t version);
// "2 h 05 min", "3 min 12 s", "45 s"
std::string duration_text(long long seconds);
// "UTC+02:00"
std::string zone_text(int utc_offset);
bool card_has_mac(const CardResult& card);
// What the card ran before the run, when it answered before its turn.
bool card_version_before(const CardResult& card, uint32_t* version);
// The card's transfer began: a bar on the timeline.
bool card_on_timeline(const CardResult& card);

// Values into equal bins of a round width (1, 2 or 5 times a power of ten).
struct Histogram {
  double from = 0, step = 1;
  std::vector<int> bins;
};
Histogram histogram_of(const std::vector<double>& values, size_t max_bins, double least_step);
// The value below which that share (0 to 1) of the values lie.
double quantile_of(std::vector<double> values, double share);

// A stretch without any transfer or check running, long enough to mark.
struct IdleGap {
  long long from = 0, to = 0;  // clock seconds
  bool folded = false;         // drawn narrow on the time axis
};
inline constexpr long long GAP_MARKED_S = 60;
inline constexpr long long GAP_FOLDED_S = 600;

struct WaveRow {
  int wave = 0;  // from 1; 0: the cards outside the waves
  int last = 0;  // several waves in one row: the last of them
  VerdictCounts counts{};
  int cards = 0;
};

struct ImageUse {
  std::string path, version, sha256;
  int cards = 0;
};

struct RunFigures {
  // Beside the cards, in clock seconds: the start, the end (never before
  // the start) and when it settled (its check's end, else its end).
  std::vector<long long> begins, ends, settles;
  std::vector<int> waves;  // beside the cards
  bool planned = false;    // the waves are the run's plan; else read from the times
  std::vector<WaveRow> wave_rows;
  std::vector<int> lanes;  // beside the cards; -1: not on the timeline
  int lane_count = 0;
  bool timed = false;              // a card is on the timeline
  long long first = 0, last = 0;   // clock seconds: the first start, the last settling
  LocalTime start{}, end{};        // the same as the report's clock read them
  std::vector<IdleGap> gaps;
  VerdictCounts counts{};
  TallyCounts tallies{};
  std::vector<ImageUse> images;  // the most used first
  bool halted = false, stopped = false;
  // Versions before and after (the known ones; unknown counted beside).
  std::map<uint32_t, int> before, after;
  int before_unknown = 0, after_unknown = 0;
  std::vector<double> seconds, rates;  // each transfer's seconds, KB/s of those that took 1 s or more
};
RunFigures run_figures(const PageReport& report);

// The fleet's own figures: each card's first and latest state.
struct FleetFigures {
  std::vector<FleetCard> cards;
  uint32_t target = 0;
  bool has_target = false;
  VerdictCounts counts{};  // of each card's latest row
  TallyCounts tallies{};
  std::map<uint32_t, int> before, after;
  int before_unknown = 0, after_unknown = 0;
  std::vector<size_t> behind;  // into cards
};
FleetFigures fleet_figures(const std::vector<PageReport>& reports, const PageOptions& options);

// The JSON of the figures worked out already (the page embeds it).
std::string figures_json(const std::vector<PageReport>& reports,
                         const std::vector<RunFigures>& runs, const FleetFigures& fleet,
                         const PageOptions& options);

// A row's every column, short: rows alike have the same key.
std::string row_key(const CardResult& card);

// The card's row in every form: the report's cells as they are.
const CardResult& sighted(const std::vector<PageReport>& reports, const FleetSighting& s);

// ---- What the page and the JSON write alike.

// The order a table lists cards in when nobody sorted it: the failed
// first, then those not started, applied, skipped; by address within.
bool failures_first(const CardResult& a, const CardResult& b);
// The text escaped for HTML (text and attribute values alike).
std::string html_text(const std::string& text);
// JSON text made safe inside a script element: no '<', '>' or '&' (which
// could end it or open a comment), no line or paragraph separators.
std::string script_safe_json(const std::string& json);

// ---- The charts, as SVG elements to stand in the page (their colours
// come from the page's style sheet: class "v-<verdict word>").

// Per wave, a bar of its cards stacked by verdict.
std::string wave_bars_svg(const RunFigures& f);
// One lane per transfer slot: each card's transfer and, beneath it, its
// check; waves and stretches without any card running marked.
std::string timeline_svg(const PageReport& report, const RunFigures& f);
// A bar per version, before and after; those behind target marked.
std::string versions_svg(const std::map<uint32_t, int>& before, int before_unknown,
                         const std::map<uint32_t, int>& after, int after_unknown, bool has_target,
                         uint32_t target);
// The values' distribution; unit names the axis ("s", "KB/s").
std::string histogram_svg(const Histogram& h, const std::string& unit);
// One bar of counts by verdict (a headline's).
std::string counts_bar_svg(const VerdictCounts& counts);
