// The one place that decides which cards of a request go, and the refusal
// of a request that cannot run.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/packet.h"
#include "protocol/sha256.h"
#include "upgrade/policy/plan.h"

namespace {

uint32_t ip_of(int n) { return htonl(0x0A450000u | static_cast<uint32_t>(n)); }

RequestCard card(int n, uint32_t version, bool answered = true) {
  RequestCard c;
  c.record.filled = 1;
  c.record.ip = ip_of(n);
  c.record.version = version;
  c.record.mac[5] = static_cast<uint8_t>(n);
  c.answered = answered;
  return c;
}

OpenedImage image_at(uint32_t version) {
  OpenedImage image;
  image.path = "fw.bin";
  image.version = version;
  image.size = 1000;
  return image;
}

TEST(Plan, WhichCardsGoAndTheirWaves) {
  RunRequest request;
  request.image = image_at(0x0105);
  request.options.rollout.on = true;
  request.options.rollout.steps = {{false, 1}};
  request.cards = {card(1, 0x0102), card(2, 0x0105), card(3, 0x0102, false), card(4, 0x0103),
                   card(5, 0x0106)};
  RunPlan plan;
  std::string why;
  ASSERT_TRUE(plan_run(request, &plan, &why)) << why;
  ASSERT_EQ(plan.cards.size(), 5u);
  EXPECT_EQ(plan.cards[0].gate, CardOutcome::pending);
  EXPECT_EQ(plan.cards[1].gate, CardOutcome::skipped_version);  // current: not sent
  EXPECT_EQ(plan.cards[2].gate, CardOutcome::no_connection);    // silent before the run
  EXPECT_EQ(plan.cards[4].gate, CardOutcome::skipped_version);  // newer
  EXPECT_EQ(plan.to_send, 2u);
  // Only the cards that go are in waves, one at a time in the order given.
  EXPECT_EQ(plan.cards[0].wave, 1);
  EXPECT_EQ(plan.cards[1].wave, 0);
  EXPECT_EQ(plan.cards[3].wave, 2);
  EXPECT_EQ(plan.rollout.waves, 2);

  // Confirmed current cards go too (the window's question, --force).
  request.send_current = true;
  ASSERT_TRUE(plan_run(request, &plan, &why));
  EXPECT_EQ(plan.cards[1].gate, CardOutcome::pending);
  EXPECT_EQ(plan.cards[2].gate, CardOutcome::no_connection);
  EXPECT_EQ(plan.to_send, 4u);
}

// No check can tell which cards took an image without a version: a gate on
// one is refused unless allowed; a run without waves or budget is not gated.
TEST(Plan, AVersionlessImageCannotCarryAGate) {
  RunRequest request;
  request.image = image_at(IMAGE_VERSION_NONE);
  request.cards = {card(1, 0x0102)};
  RunPlan plan;
  std::string why;
  request.options.rollout.on = true;  // --json alone: no gate
  EXPECT_TRUE(plan_run(request, &plan, &why));
  request.options.rollout.max_failures = 0;
  EXPECT_FALSE(plan_run(request, &plan, &why));
  EXPECT_EQ(why, VERSIONLESS_ROLLOUT_TEXT);
  request.options.rollout.max_failures = -1;
  request.options.rollout.steps = {{true, 10}};
  EXPECT_FALSE(plan_run(request, &plan, &why));
  request.versionless_rollout = true;
  EXPECT_TRUE(plan_run(request, &plan, &why));
  EXPECT_EQ(plan.cards[0].gate, CardOutcome::pending);
}

// A resumed report skips the cards it proves done and says why of the
// others; a card it does not list is planned as any other.
TEST(Plan, AResumedReportSkipsOnlyWhatItProves) {
  RunRequest request;
  request.image = image_at(0x0105);
  request.send_current = true;
  KeptReport kept;
  for (int n : {1, 2}) {
    CardResult row;
    row.ip = ip_of(n);
    row.mac[5] = static_cast<uint8_t>(n);
    row.outcome = CardOutcome::applied;
    row.verdict = Verdict::applied;
    row.image_version = 0x0105;
    row.image_sha256 = sha256_hex(request.image.digest);
    kept.by_ip[row.ip] = kept.cards.size();
    kept.cards.push_back(row);
  }
  kept.has_digest = true;
  request.resumed = &kept;
  request.resume_name = "night1.csv";
  // 1 runs the image's version now; 2 fell back; 3 was never in the report.
  request.cards = {card(1, 0x0105), card(2, 0x0102), card(3, 0x0102)};
  RunPlan plan;
  std::string why;
  ASSERT_TRUE(plan_run(request, &plan, &why));
  EXPECT_EQ(plan.cards[0].gate, CardOutcome::skipped_done);
  EXPECT_EQ(plan.cards[0].message, "night1.csv");
  EXPECT_EQ(plan.cards[1].gate, CardOutcome::pending);
  EXPECT_EQ(plan.cards[2].gate, CardOutcome::pending);
  ASSERT_EQ(plan.planned_again.size(), 1u);
  EXPECT_NE(plan.planned_again[0].find("10.69.0.2 Planned again : the card runs 1.02"),
            std::string::npos)
      << plan.planned_again[0];
}

}  // namespace
