#include "upgrade/verify.h"

#include <algorithm>

namespace {

// At the limit a card that answered within this long still "answers".
const int64_t RECENT_ANSWER_MS = 2 * VERIFY_PERIOD_MS;
// One lost reply is not a restart: a card may answer with its old version
// for a while before it restarts.
const int QUIET_QUERIES = 2;

void settle(VerifyWatch& w, VerifyPorts& ports, CardOutcome outcome, int64_t at_ms) {
  int seconds = static_cast<int>((at_ms - w.started_ms + 500) / 1000);
  uint32_t version = outcome == CardOutcome::no_answer ? 0 : w.last_version;
  report_check(w.report.get(), w.ip, outcome, version, seconds);
  w.card.outcome = outcome;
  w.card.answered_version = version;
  w.card.verified_seconds = seconds;
  ports.show_result(w.card);
}

void take_inbox(Verifier& v, VerifyPorts& ports, int64_t now_ms) {
  std::vector<std::pair<std::shared_ptr<Report>, CardResult>> arrived;
  {
    std::lock_guard<std::mutex> lock(v.inbox_mutex);
    arrived.swap(v.inbox);
  }
  for (auto& [report, card] : arrived) {
    // A card of a later batch replaces an earlier watch of the same address.
    const uint32_t ip = card.ip;
    v.watches.erase(std::remove_if(v.watches.begin(), v.watches.end(),
                                   [ip](const VerifyWatch& w) { return w.ip == ip; }),
                    v.watches.end());
    if (card.outcome == CardOutcome::ok && card.image_version == IMAGE_VERSION_NONE) {
      report_check(report.get(), card.ip, CardOutcome::not_verified, 0, -1);
      card.outcome = CardOutcome::not_verified;
    }
    ports.show_result(card);
    if (card.outcome != CardOutcome::ok) continue;
    VerifyWatch w;
    w.ip = card.ip;
    w.image_version = card.image_version;
    w.report = report;
    w.card = card;
    w.started_ms = now_ms;
    // Right after the last block the card still runs the old firmware.
    w.next_query_ms = now_ms + VERIFY_PERIOD_MS;
    v.watches.push_back(std::move(w));
  }
}

// True when the watch is over.
bool step(VerifyWatch& w, VerifyPorts& ports, int64_t now_ms) {
  if (!ports.row_listed(w.ip)) return true;
  if (w.last_answer_ms >= 0 && w.last_version == w.image_version) {
    settle(w, ports, CardOutcome::applied, w.last_answer_ms);
    return true;
  }
  // Back from a restart with another version: the image did not take.
  if (w.quiet && w.answered) {
    settle(w, ports, CardOutcome::not_applied, w.last_answer_ms);
    return true;
  }
  if (now_ms - w.started_ms >= VERIFY_LIMIT_MS) {
    bool answers = w.last_answer_ms >= 0 && now_ms - w.last_answer_ms <= RECENT_ANSWER_MS;
    settle(w, ports, answers ? CardOutcome::not_applied : CardOutcome::no_answer, now_ms);
    return true;
  }
  if (now_ms >= w.next_query_ms) {
    w.unanswered = w.asked && !w.answered ? w.unanswered + 1 : 0;
    if (w.unanswered >= QUIET_QUERIES) w.quiet = true;
    w.asked = true;
    w.answered = false;
    w.next_query_ms = now_ms + VERIFY_PERIOD_MS;
    ports.query(w.ip);
  }
  return false;
}

}  // namespace

void verifier_card_done(Verifier& v, const std::shared_ptr<Report>& report, const CardResult& card) {
  std::lock_guard<std::mutex> lock(v.inbox_mutex);
  v.inbox.emplace_back(report, card);
}

void verifier_take(Verifier& v, VerifyPorts& ports, int64_t now_ms) { take_inbox(v, ports, now_ms); }

void verifier_answer(Verifier& v, uint32_t ip, uint32_t version, int64_t now_ms) {
  for (VerifyWatch& w : v.watches) {
    if (w.ip != ip) continue;
    w.answered = true;
    w.last_answer_ms = now_ms;
    w.last_version = version;
  }
}

void verifier_tick(Verifier& v, VerifyPorts& ports, int64_t now_ms) {
  take_inbox(v, ports, now_ms);
  v.watches.erase(std::remove_if(v.watches.begin(), v.watches.end(),
                                 [&](VerifyWatch& w) { return step(w, ports, now_ms); }),
                  v.watches.end());
}
