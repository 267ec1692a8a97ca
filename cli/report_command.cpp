// The report command, and the upgrade's page at the end of its run: kept
// reports into one HTML page, the same figures as JSON, the timeline as a
// trace, and the cards behind a version.
#include <cstdio>

#include "cli/cli.h"
#include "cli/host.h"
#include "daveridur_version.h"
#include "platform/files.h"
#include "upgrade/pages/report_page.h"
#include "upgrade/run/run.h"
#include "upgrade/record/kept_report.h"

namespace {

std::string written_now() { return page_written_text(local_time_now()); }

bool write_out(const char* what, const std::string& path, const std::string& bytes) {
  std::string reason;
  if (write_file_whole(path, bytes, &reason)) return true;
  std::fprintf(stderr, "daveridur-cli: the %s %s cannot be written: %s\n", what, path.c_str(),
               reason.c_str());
  return false;
}

bool print_out(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  flush_output();
  return !output_error();
}

std::string count_lines(const std::vector<PageReport>& reports) {
  std::string out;
  std::vector<const CardResult*> all;
  for (const PageReport& r : reports) {
    std::vector<const CardResult*> cards;
    for (const CardResult& c : r.cards) cards.push_back(&c);
    all.insert(all.end(), cards.begin(), cards.end());
    out += count_line(r.site + " (" + r.path + ")", cards);
  }
  if (reports.size() > 1) out += count_line("all " + std::to_string(reports.size()) + " reports", all);
  return out;
}

}  // namespace

std::string tally_line(const std::string& what, const VerdictCounts& n) {
  auto at = [&](VerdictTally t) { return n[static_cast<size_t>(t)]; };
  const int planned = at(VerdictTally::applied) + at(VerdictTally::failed) + at(VerdictTally::not_started);
  return what + ": " + std::to_string(at(VerdictTally::applied)) + " of " + std::to_string(planned) +
         " cards applied, " + std::to_string(at(VerdictTally::failed)) + " failed, " +
         std::to_string(at(VerdictTally::not_started)) + " not started, " +
         std::to_string(at(VerdictTally::skipped)) + " skipped\n";
}

std::string count_line(const std::string& what, const std::vector<const CardResult*>& cards) {
  VerdictCounts n = {};
  for (const CardResult* c : cards) ++n[static_cast<size_t>(verdict_tally(c->verdict))];
  return tally_line(what, n);
}

std::string program_words() { return std::string("daveridur-cli ") + DAVERIDUR_FILE_VERSION_TEXT; }

int run_report(const ReportOptions& o) {
  PageOptions page;
  if (!o.behind.empty()) {
    if (!read_version_text(o.behind, &page.target)) {
      std::fprintf(stderr, "daveridur-cli: --behind \"%s\" is not a version like 1.05\n",
                   o.behind.c_str());
      return EXIT_USAGE;
    }
    page.has_target = true;
  }
  for (const std::string& given : o.missing_sites) {
    const size_t equals = given.find('=');
    if (equals == 0 || equals == std::string::npos) {
      std::fprintf(stderr, "daveridur-cli: --missing-site \"%s\" is not SITE=WHAT\n", given.c_str());
      return EXIT_USAGE;
    }
    page.without_report.push_back({given.substr(0, equals), given.substr(equals + 1)});
  }
  std::vector<PageReport> reports;
  for (const std::string& path : o.reports) {
    PageReport r;
    r.path = path;
    r.site = report_site(path);
    std::string why;
    if (!read_kept_report_file(path, &r.cards, &why)) {
      std::fprintf(stderr, "daveridur-cli: %s\n", why.c_str());
      return EXIT_USAGE;
    }
    if (o.has_waves) r.waves = planned_waves(r.cards, o.waves);
    reports.push_back(std::move(r));
  }
  settle_report_order(&reports);
  page.written = written_now();
  page.program = program_words();
  bool ok = true;
  if (!o.html.empty()) ok = write_out("page", o.html, report_page_html(reports, page)) && ok;
  if (!o.trace.empty()) ok = write_out("trace", o.trace, report_trace_json(reports)) && ok;
  if (o.json) {
    ok = print_out(report_figures_json(reports, page)) && ok;
  } else if (page.has_target) {
    const std::vector<FleetCard> fleet = fleet_of(reports);
    ok = print_out(o.csv ? behind_csv(reports, fleet, page.target)
                         : behind_text(reports, fleet, page.target)) && ok;
  } else if (o.html.empty() && o.trace.empty()) {
    ok = print_out(count_lines(reports)) && ok;
  }
  return ok ? EXIT_ALL_OK : EXIT_CARD_FAILED;
}

bool write_run_page(const UpgradeOptions& o, const std::vector<CardResult>& cards,
                    const RolloutStatus& status, const RunVerdicts& verdicts) {
  if (o.html.empty()) return true;
  PageReport r;
  r.path = o.report;
  r.site = report_site(o.report.empty() ? o.html : o.report);
  r.cards = cards;
  // The report's clock, as a report read back has it.
  for (CardResult& c : r.cards) c.started.utc_offset = c.ended.utc_offset = 0;
  // The plan the run made: waves in a rollout, one wave of every card it
  // let go without one. Should the cards not add up to it, the times tell.
  const bool rollout = o.has_waves || o.max_failures >= 0 || o.json;
  r.waves = planned_waves(cards, rollout ? o.waves : std::vector<WaveStep>());
  int planned = 0;
  for (int wave : r.waves) planned += wave > 0;
  if (rollout && planned != status.cards) r.waves.clear();
  r.account = operator_account();
  r.computer = computer_name();
  r.zone_known = true;
  r.utc_offset = local_time_now().utc_offset;
  if (verdicts.halted) {
    r.last_words = halt_line(status, cards);
  } else if (verdicts.stopped) {
    const auto it = verdicts.counts.find(Verdict::not_started_stopped);
    r.last_words = "Stopped by the operator: " +
                   cards_words(it == verdicts.counts.end() ? 0 : it->second) + " not started.";
  }
  std::vector<PageReport> reports;
  reports.push_back(std::move(r));
  PageOptions page;
  page.written = written_now();
  page.program = program_words();
  return write_out("page", o.html, report_page_html(reports, page));
}
