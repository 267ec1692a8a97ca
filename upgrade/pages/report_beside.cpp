// The page a kept report gets beside it: the window writes it as its run
// ends, so that the report box's "Open report" has a picture to open.
#include <cstdio>

#include "platform/files.h"
#include "upgrade/pages/report_page.h"
#include "upgrade/policy/rollout.h"

std::string page_path_beside(const std::string& report_path) {
  const std::string csv = ".csv";
  const bool has_csv = report_path.size() > csv.size() &&
                       report_path.compare(report_path.size() - csv.size(), csv.size(), csv) == 0;
  return (has_csv ? report_path.substr(0, report_path.size() - csv.size()) : report_path) + ".html";
}

std::string page_written_text(const LocalTime& t) {
  char text[64];
  const int a = t.utc_offset < 0 ? -t.utc_offset : t.utc_offset;
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC%c%02d:%02d", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.utc_offset < 0 ? '-' : '+', a / 3600,
                a / 60 % 60);
  return text;
}

bool keep_page_beside(const std::string& report_path, const RunSummary& summary,
                      const std::string& program, std::string* why) {
  PageReport r;
  r.path = report_path;
  r.site = report_site(report_path);
  r.cards = summary.cards;
  // The report's clock, as the report read back has it; the zone is this
  // computer's.
  for (CardResult& c : r.cards) c.started.utc_offset = c.ended.utc_offset = 0;
  const LocalTime now = local_time_now();
  r.zone_known = true;
  r.utc_offset = now.utc_offset;
  if (summary.stopped) {
    int not_started = 0;
    for (const CardResult& c : summary.cards) not_started += c.outcome == CardOutcome::not_started;
    r.last_words = "Stopped by the operator: " + cards_words(not_started) + " not started.";
  } else if (summary.rollout.halted) {
    r.last_words = halt_line(summary.rollout, summary.cards);
  }
  std::vector<PageReport> reports;
  reports.push_back(std::move(r));
  PageOptions page;
  page.written = page_written_text(now);
  page.program = program;
  return write_file_whole(page_path_beside(report_path), report_page_html(reports, page), why);
}
