// --verify: after the transfers, the cards that ended " OK." are asked for
// their system information until each runs the image's version. A card is
// expected to go quiet while it restarts; one that comes back with another
// version, or is still not running the image at the limit, is not applied.
#include <chrono>
#include <thread>

#include "cli/verify_wait.h"

namespace {

using Clock = std::chrono::steady_clock;

const auto VERIFY_PERIOD = std::chrono::milliseconds(5000);
const auto VERIFY_LIMIT = std::chrono::milliseconds(300000);
const uint32_t ANSWER_WAIT_MS = 1500;

}  // namespace

void wait_for_versions(std::vector<VerifyCard*>& cards, uint32_t image_version) {
  const auto start = Clock::now();
  std::vector<bool> quiet(cards.size(), false);
  for (;;) {
    std::vector<uint32_t> pending;
    for (VerifyCard* c : cards)
      if (c->verified.empty()) pending.push_back(c->ip);
    if (pending.empty() || interrupted) return;
    std::vector<DeviceRecord> found;
    if (!find_cards(pending, ANSWER_WAIT_MS, true, &found)) return;
    const auto now = Clock::now();
    for (size_t i = 0; i < cards.size(); ++i) {
      VerifyCard* c = cards[i];
      if (!c->verified.empty()) continue;
      const DeviceRecord* answer = nullptr;
      for (const DeviceRecord& r : found)
        if (r.ip == c->ip) answer = &r;
      c->seconds = std::chrono::duration<double>(now - c->ended).count();
      if (!answer) {
        quiet[i] = true;
        if (now - start >= VERIFY_LIMIT) c->verified = "no_answer";
      } else if (answer->version == image_version) {
        c->verified = "applied";
      } else if (quiet[i] || now - start >= VERIFY_LIMIT) {
        c->verified = "not_applied";
      }
    }
    const auto next = now + VERIFY_PERIOD;
    while (!interrupted && Clock::now() < next)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}
