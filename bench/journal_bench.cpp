// The journal's costs without the network: a kept report of N cards read
// back and planned as a resumed run plans it (the resume rule for every
// card, then the waves), and N cards' journal changes (a start, a line and
// a check each) written to a held report; then, for each KEPT count, that
// many cards' changes (a start and a line each) through a kept report in a
// folder, unheld, as the window keeps it. Prints one line per part.
//   journal_bench CARDS FOLDER [KEPT...]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "protocol/sha256.h"
#include "upgrade/run/run.h"
#include "upgrade/record/kept_report.h"
#include "upgrade/policy/batch.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

CardResult card_of(size_t n, const std::string& digest) {
  CardResult c;
  c.started = c.ended = LocalTime{2026, 1, 2, 3, 4, 5};
  const uint32_t host = 0x0A000001u + static_cast<uint32_t>(n);  // 10.0.0.1 on
  c.ip = network_address(host);
  for (int i = 0; i < 6; ++i) c.mac[i] = static_cast<uint8_t>(host >> (i % 4 * 8));
  c.version_before = 0x0100;
  c.image = "/srv/images/fw-1.05.bin";
  c.image_version = 0x0105;
  c.image_sha256 = digest;
  c.outcome = CardOutcome::applied;
  c.bytes_sent = 60080;
  c.answered_version = 0x0105;
  c.verified_seconds = 74;
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: journal_bench CARDS FOLDER [KEPT...]\n");
    return 2;
  }
  const size_t count = std::strtoul(argv[1], nullptr, 10);
  const std::string folder = argv[2];
  const std::string digest(64, 'a');
  std::vector<CardResult> cards;
  for (size_t n = 0; n < count; ++n) cards.push_back(card_of(n, digest));
  std::string why;
  const std::string resumed = join_path(folder, "resume.csv");
  if (!write_file_whole(resumed, report_csv(cards), &why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }

  // Read and planned, as upgrade --resume does before it asks a card.
  Clock::time_point start = Clock::now();
  KeptReport kept;
  if (!read_kept_report_file(resumed, &kept, &why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  const double read_s = seconds_since(start);
  ResumeImage image;
  image.version = 0x0105;
  image.size = 60080;
  image.sha256 = digest;
  std::vector<RunCard> run;
  size_t done = 0;
  for (uint32_t ip : resumed_cards(kept, AddressSet{})) {
    const CardResult& row = *kept.find(ip);
    CardNow now;
    now.answered = true;
    std::memcpy(now.mac, row.mac, 6);
    // Every other card runs the old version again: it is planned.
    now.version = (host_address(ip) & 1) ? 0x0105 : 0x0100;
    RunCard c;
    c.record.ip = ip;
    c.record.version = now.version;
    CardJudgement j;
    j.done_before = resume_proves_done(row, kept.has_digest, image, now, "resume.csv", &why);
    done += j.done_before;
    c.gate = judge_card(c.record, image.version, j, &c.message);
    run.push_back(c);
  }
  RolloutOptions options;
  options.on = true;
  options.steps = {{false, 1}, {false, 10}, {true, 25}};
  const RolloutPlan plan = plan_cards(&run, options);
  const double planned_s = seconds_since(start);
  std::printf("resume of %zu cards: read %.2f s, read and planned %.2f s (%zu done, %zu in %d waves)\n",
              count, read_s, planned_s, done, plan.cards.size(), plan.waves);

  // A start, a line and a check of every card, each on disk before the next.
  const std::string kept_path = join_path(folder, "journal.csv");
  HeldFilePtr held;
  if (hold_file(kept_path, &held, &why) != HoldStatus::held) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  Journal journal;
  journal.held = std::shared_ptr<HeldFile>(std::move(held));
  for (CardResult& c : cards) c.outcome = CardOutcome::pending;
  start = Clock::now();
  if (!journal_start(&journal, kept_path, cards, &why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  for (CardOutcome step : {CardOutcome::sending, CardOutcome::ok, CardOutcome::applied})
    for (CardResult& c : cards) {
      c.outcome = step;
      journal_update(&journal, c);
    }
  const double journal_s = seconds_since(start);
  std::printf("journal of %zu cards: %zu changes in %.2f s (%.1f us each)\n", count, 3 * count,
              journal_s, journal_s * 1e6 / static_cast<double>(3 * count));

  for (int arg = 3; arg < argc; ++arg) {
    const size_t kept_count = std::strtoul(argv[arg], nullptr, 10);
    std::vector<CardResult> fleet;
    for (size_t n = 0; n < kept_count; ++n) {
      fleet.push_back(card_of(n, digest));
      fleet.back().outcome = CardOutcome::pending;
    }
    Journal window;
    start = Clock::now();
    const std::string reports = join_path(folder, "Reports-" + std::to_string(kept_count));
    if (!journal_start_kept(&window, reports, LocalTime{2026, 1, 2, 3, 4, 5}, fleet, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    }
    for (CardOutcome step : {CardOutcome::sending, CardOutcome::ok})
      for (CardResult& c : fleet) {
        c.outcome = step;
        journal_update(&window, c);
      }
    journal_sync(&window);
    const double kept_s = seconds_since(start);
    std::printf("kept report of %zu cards, unheld: %zu changes in %.2f s (%.1f us each)\n",
                kept_count, 2 * kept_count, kept_s,
                kept_s * 1e6 / static_cast<double>(2 * kept_count));
  }
  return 0;
}
