// Which form a batch's report takes, and the counts that head the long one.
#include <gtest/gtest.h>

#include "upgrade/pages/report_box.h"

namespace {

CardResult card(CardOutcome outcome, const char* message = "") {
  CardResult c;
  c.outcome = outcome;
  c.message = message;
  c.verdict = verdict_of(c, true);
  return c;
}

TEST(ReportBox, LinesEndInCrLfAndALastOneWithout) {
  EXPECT_EQ(text_line_count(""), 0u);
  EXPECT_EQ(text_line_count("a OK.\r\n"), 1u);
  EXPECT_EQ(text_line_count("a OK.\r\nb OK.\r\nReport saved: x"), 3u);
  EXPECT_EQ(text_line_count("a\r\n\r\nb"), 3u);
}

TEST(ReportBox, FitsWhileFewCardsAndLinesWithinTheWorkArea) {
  // 30 card lines and the saved line, 13 px each, 100 px of chrome: 503 px.
  EXPECT_TRUE(report_fits_box(30, 31, 13, 100, 738));
  EXPECT_TRUE(report_fits_box(30, 31, 13, 100, 503));
  EXPECT_FALSE(report_fits_box(30, 31, 13, 100, 502));  // a small screen
  EXPECT_FALSE(report_fits_box(31, 32, 13, 100, 100000));  // too many cards for any screen
  EXPECT_FALSE(report_fits_box(2, 200000000, 16, 100, 738));  // no overflow on a huge text
}

TEST(ReportBox, CountsByVerdictFineFirst) {
  std::vector<CardResult> cards = {
      card(CardOutcome::timeout),       card(CardOutcome::ok),
      card(CardOutcome::applied),       card(CardOutcome::card_error, "Flash write error !"),
      card(CardOutcome::no_connection), card(CardOutcome::timeout),
      card(CardOutcome::not_applied),   card(CardOutcome::card_error, "Invalid user name or password !"),
      card(CardOutcome::aborted),       card(CardOutcome::skipped_version)};
  EXPECT_EQ(report_counts_line(cards),
            "10 cards: 1 applied, 1 skipped, 1 OK, 1 not applied, 2 card error, "
            "2 transfer failed, 1 User Aborted, 1 No connection");
  EXPECT_EQ(report_counts_line({card(CardOutcome::applied)}), "1 card: 1 applied");
  EXPECT_EQ(report_counts_line({}), "0 cards");
}

}  // namespace

TEST(ReportBox, TallyLineBeforeTheKeptFileAndCheckingApart) {
  std::vector<CardResult> cards = {card(CardOutcome::applied), card(CardOutcome::timeout),
                                   card(CardOutcome::ok), card(CardOutcome::not_started),
                                   card(CardOutcome::skipped_version)};
  // A card still checked is neither applied nor failed yet.
  EXPECT_EQ(report_tally_line(cards),
            "1 of 4 cards applied, 1 failed, 1 not started, 1 skipped, 1 being checked");
  EXPECT_EQ(failed_cards(cards), 1);
  EXPECT_EQ(failed_cards({card(CardOutcome::ok)}), 0);
  const std::vector<CardResult> one = {card(CardOutcome::applied)};
  const std::string tally = "1 of 1 card applied, 0 failed, 0 not started, 0 skipped";
  EXPECT_EQ(with_tally_line("a OK.\r\nReport saved: x.csv", one), "a OK.\r\n" + tally + "\r\nReport saved: x.csv");
  EXPECT_EQ(with_tally_line("a OK.\r\nReport not saved: disk full", one),
            "a OK.\r\n" + tally + "\r\nReport not saved: disk full");
  EXPECT_EQ(with_tally_line("a OK.\r\n", one), "a OK.\r\n" + tally);
  EXPECT_EQ(with_tally_line("a OK.", one), "a OK.\r\n" + tally);
}
