// The pictures' figures from kept reports read back as the command reads
// them: the fleet by MAC across nights and sites (an address change, a
// silent night, repeats and order of the reports), the cards behind a
// version, and a rollout's waves and slots read from its times.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "protocol/packet.h"
#include "upgrade/pages/report_figures.h"
#include "upgrade/pages/report_page.h"
#include "upgrade/run/run.h"
#include "upgrade/record/kept_report.h"

namespace {

const char SHA[] = "ae2ceff693bbd5b187a938e01b2ab741f9553bc0a0b870ccddee8463b328c2d7";

struct Row {
  int host;         // 10.69.0.<host>
  int mac;          // last byte of the MAC; 0: the card never answered
  uint32_t before;  // version before
  CardOutcome outcome;
  int start;  // seconds after 02:00:00
  int seconds;
  int checked = -1;  // seconds of the check after " OK."
  const char* message = "";
};

CardResult card_of(const Row& r, int day) {
  CardResult c;
  c.ip = htonl(0x0A450000u | static_cast<uint32_t>(r.host));
  if (r.mac) {
    const uint8_t mac[6] = {0x00, 0x0a, 0xfe, 0x45, 0x00, static_cast<uint8_t>(r.mac)};
    std::copy(mac, mac + 6, c.mac);
    c.version_before = r.before;
  }
  c.started = {2026, 5, day, 2, r.start / 60, r.start % 60};
  c.ended = {2026, 5, day, 2, (r.start + r.seconds) / 60, (r.start + r.seconds) % 60};
  c.image = "/srv/firmware/mx2.bin";
  c.image_version = 0x0105;
  c.image_sha256 = SHA;
  c.outcome = r.outcome;
  c.message = r.message;
  c.bytes_sent = r.seconds > 0 ? 60080 : 0;
  c.verified_seconds = r.checked;
  if (r.outcome == CardOutcome::applied) c.answered_version = 0x0105;
  c.verdict = verdict_of(c, true);
  return c;
}

// The report as the command reads it: written, then read back.
PageReport report_of(const std::string& path, const std::vector<Row>& rows, int day) {
  std::vector<CardResult> cards;
  for (const Row& r : rows) cards.push_back(card_of(r, day));
  PageReport report;
  report.path = path;
  report.site = report_site(path);
  std::string why;
  EXPECT_TRUE(read_kept_report(report_csv(cards), &report.cards, &why)) << why;
  return report;
}

using O = CardOutcome;

// Two nights at site A, one at site B. A's card 1 moves from .5 to .9; card
// 2 is silent the second night; the card at .7 never answers; card 6 at B
// has A's address of card 1.
std::vector<PageReport> three_reports() {
  return {
      report_of("nights/site-a/2026-05-01_020000.csv",
                {{5, 1, 0x0102, O::card_error, 0, 4, -1, "Flash error"},
                 {6, 2, 0x0102, O::applied, 0, 5, 6},
                 {7, 0, 0, O::no_connection, 12, 0},
                 {8, 4, 0x0102, O::not_started, 12, 0},
                 {10, 5, 0x0106, O::skipped_version, 12, 0}},
                1),
      report_of("nights/site-a/2026-05-02_020000.csv",
                {{9, 1, 0x0102, O::applied, 0, 5, 7},
                 {6, 0, 0, O::no_connection, 0, 0},
                 {7, 0, 0, O::no_connection, 0, 0},
                 {8, 4, 0x0102, O::applied, 0, 6, 6}},
                2),
      report_of("site-b.csv", {{5, 6, 0x0102, O::not_applied, 0, 5, 30}}, 1),
  };
}

std::string figures_of(std::vector<PageReport> reports) {
  settle_report_order(&reports);
  PageOptions options;
  options.has_target = true;
  options.target = 0x0105;
  const std::vector<FleetCard> fleet = fleet_of(reports);
  return report_figures_json(reports, options) + behind_csv(reports, fleet, 0x0105);
}

TEST(ReportFleet, EachCardOnceByItsMac) {
  std::vector<PageReport> reports = three_reports();
  settle_report_order(&reports);
  EXPECT_EQ(reports[0].site, "site-a");  // a kept report's name: its folder
  EXPECT_EQ(reports[2].site, "site-a");
  const std::vector<FleetCard> fleet = fleet_of(reports);
  // Cards 1, 2, 4, 5 and 6 by MAC, and the one never heard at A's .7.
  ASSERT_EQ(fleet.size(), 6u);
  struct Seen {
    int mac;
    std::vector<std::string> addresses;  // oldest first
  };
  std::vector<Seen> seen;
  for (const FleetCard& card : fleet) {
    Seen s{card.has_mac ? card.mac[5] : 0, {}};
    for (const FleetSighting& h : card.history)
      s.addresses.push_back(ip_to_text(reports[h.report].cards[h.card].ip));
    seen.push_back(s);
  }
  const std::vector<std::pair<int, std::vector<std::string>>> expected = {
      {1, {"10.69.0.5", "10.69.0.9"}},  // its address changed: one card
      {2, {"10.69.0.6", "10.69.0.6"}},  // silent the second night: joins the card seen there
      {4, {"10.69.0.8", "10.69.0.8"}},
      {5, {"10.69.0.10"}},
      {6, {"10.69.0.5"}},               // another site's .5 is another card
      {0, {"10.69.0.7", "10.69.0.7"}},  // never heard: its site and address
  };
  ASSERT_EQ(seen.size(), expected.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].mac, expected[i].first) << i;
    EXPECT_EQ(seen[i].addresses, expected[i].second) << i;
  }
}

TEST(ReportFleet, TheReportsOrderAndRepeatsChangeNothing) {
  const std::vector<PageReport> r = three_reports();
  const std::string once = figures_of(r);
  EXPECT_EQ(figures_of({r[2], r[1], r[0]}), once);
  EXPECT_EQ(figures_of({r[1], r[2], r[0]}), once);
  EXPECT_EQ(figures_of({r[0], r[1], r[2], r[1], r[0]}), once);
}

TEST(ReportFleet, BehindListsExactlyTheCardsBehind) {
  std::vector<PageReport> reports = three_reports();
  settle_report_order(&reports);
  const std::vector<FleetCard> fleet = fleet_of(reports);
  // Against 1.05: the card never heard, and B's card whose check heard
  // another version (which a report does not keep). Card 2, silent on
  // its last night, still runs the 1.05 it was proved on the first.
  EXPECT_EQ(behind_csv(reports, fleet, 0x0105),
            "site,ip,mac,version,verdict,message,report,ended\r\n"
            "site-a,10.69.0.7,,unknown,no_connection,\"No connection , abort.\",2026-05-02_020000.csv,2026-05-02 02:00:00\r\n"
            "site-b,10.69.0.5,00-0a-fe-45-00-06,unknown,not_applied,OK.,site-b.csv,2026-05-01 02:00:05\r\n");
  // Against 1.06 every card at 1.05 is behind too; the one at 1.06 is not.
  std::vector<std::string> addresses;
  for (const FleetCard& card : fleet)
    if (fleet_card_behind(reports, card, 0x0106))
      addresses.push_back(ip_to_text(reports[card.history.back().report].cards[card.history.back().card].ip));
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(addresses, (std::vector<std::string>{"10.69.0.5", "10.69.0.6", "10.69.0.7",
                                                 "10.69.0.8", "10.69.0.9"}));
  uint32_t version = 0;
  EXPECT_TRUE(read_version_text("1.05", &version));
  EXPECT_EQ(version, 0x0105u);
  for (const char* bad : {"", "1", "1.", ".5", "1.2.3", "256.00", "1.05x", "-1.05"})
    EXPECT_FALSE(read_version_text(bad, &version)) << bad;
}

// A rollout in waves of 1, then 2, at two transfers at once, as its report
// shows it: a wave begins when every card before it has settled.
TEST(ReportFigures, WavesAndSlotsFromTheTimes) {
  const PageReport report = report_of(
      "rollout.csv",
      {{1, 1, 0x0100, O::applied, 0, 5, 6},          // wave 1, settles at 11
       {2, 2, 0x0100, O::applied, 11, 5, 5},         // wave 2, settles at 21
       {3, 3, 0x0100, O::card_error, 11, 7, -1, "Flash error"},  // wave 2, settles at 18
       {4, 4, 0x0100, O::applied, 21, 4, 5},         // wave 3
       {5, 5, 0x0100, O::applied, 25, 5, 5},         // wave 3: as .4's transfer ended
       {6, 6, 0x0105, O::skipped_version, 0, 0},
       {7, 7, 0x0100, O::not_started, 30, 0}},
      1);
  const RunFigures f = run_figures(report);
  EXPECT_FALSE(f.planned);
  EXPECT_EQ(f.waves, (std::vector<int>{1, 2, 2, 3, 3, 0, 0}));
  EXPECT_EQ(f.lanes, (std::vector<int>{0, 0, 1, 0, 1, -1, -1}));
  EXPECT_EQ(f.lane_count, 2);
  EXPECT_EQ(f.last - f.first, 35);  // the last check settled 35 s after the first start
  EXPECT_TRUE(f.halted);
  const TallyCounts tallies = {4, 1, 1, 1};  // applied, failed, not started, skipped
  EXPECT_EQ(f.tallies, tallies);
  // The run's own wave list says the same, and places the card not started.
  EXPECT_EQ(planned_waves(report.cards, {{false, 1}, {false, 2}}),
            (std::vector<int>{1, 2, 2, 3, 3, 0, 4}));
}

// The window's page beside its kept report: the same name with .html, the
// run's cards and its stop in it; a fleet's sites without a report are
// listed as text, in the page and its data.
TEST(ReportPage, BesideTheKeptReportAndSitesWithoutOne) {
  EXPECT_EQ(page_path_beside("C:\\r\\2026-05-01_020000.csv"), "C:\\r\\2026-05-01_020000.html");
  EXPECT_EQ(page_path_beside("/r/site.csv.bak"), "/r/site.csv.bak.html");

  char folder[] = "/tmp/report-page-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string kept = std::string(folder) + "/2026-05-01_020000.csv";
  RunSummary summary;
  summary.cards = three_reports()[0].cards;
  summary.stopped = true;
  std::string why;
  ASSERT_TRUE(keep_page_beside(kept, summary, "Daveridur", &why)) << why;
  std::string page;
  ASSERT_TRUE(read_file_text(page_path_beside(kept), 1 << 24, &page, &why)) << why;
  EXPECT_NE(page.find("Stopped by the operator: 1 card not started."), std::string::npos);
  std::remove(page_path_beside(kept).c_str());
  rmdir(folder);

  PageOptions options;
  options.without_report = {{"site-<b>", "failed: <img src=x onerror=alert(1)>"}};
  const std::vector<PageReport> reports = three_reports();
  const std::string html = report_page_html(reports, options);
  EXPECT_NE(html.find("site-&lt;b&gt;"), std::string::npos);
  EXPECT_EQ(html.find("<img src=x"), std::string::npos);
  EXPECT_NE(report_figures_json(reports, options)
                .find("\"sites_without_report\":[{\"site\":\"site-<b>\",\"what\":\"failed: <img"),
            std::string::npos);
}

}  // namespace
