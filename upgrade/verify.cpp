#include "upgrade/verify.h"

#include <algorithm>
#include <cstring>

namespace {

// At the limit a card that answered within this long still "answers".
const int64_t RECENT_ANSWER_MS = 2 * VERIFY_PERIOD_MS;

int64_t period_at(const VerifyWatch& w, int64_t now_ms) {
  return now_ms - w.started_ms < VERIFY_FAST_MS ? VERIFY_FAST_PERIOD_MS : VERIFY_PERIOD_MS;
}

void settle(VerifyWatch& w, VerifyPorts& ports, CardOutcome outcome, int64_t at_ms,
            const char* message = "") {
  int seconds = static_cast<int>((at_ms - w.started_ms + 500) / 1000);
  uint32_t version = outcome == CardOutcome::no_answer ? 0 : w.last_version;
  report_check(w.report.get(), w.ip, outcome, version, seconds, message);
  w.card.outcome = outcome;
  w.card.answered_version = version;
  w.card.verified_seconds = seconds;
  w.card.message = message;
  ports.show_result(w.card);
}

bool mac_known(const uint8_t* mac) {
  static const uint8_t none[6] = {};
  return std::memcmp(mac, none, 6) != 0;
}

void take_inbox(Verifier& v, VerifyPorts& ports, int64_t now_ms) {
  std::vector<std::pair<std::shared_ptr<Report>, CardResult>> arrived;
  {
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
    std::memcpy(w.mac, card.mac, sizeof w.mac);
    w.has_mac = mac_known(card.mac);
    w.report = report;
    w.card = card;
    w.started_ms = now_ms;
    w.next_query_ms = now_ms + VERIFY_FAST_PERIOD_MS;
    v.watches.push_back(std::move(w));
  }
}

// True when the watch is over.
bool step(VerifyWatch& w, VerifyPorts& ports, int64_t now_ms) {
  if (!ports.row_listed(w.ip)) return true;
  // Whatever spoke against the card's own answers proves nothing but that
  // something else answers for it: the image is not believed applied.
  if (w.contested) {
    settle(w, ports, CardOutcome::not_applied, now_ms, CONTESTED_TEXT);
    return true;
  }
  if (w.other_device) {
    settle(w, ports, CardOutcome::not_applied, w.last_answer_ms, ANOTHER_DEVICE_TEXT);
    return true;
  }
  if (w.confirm_ms >= 0 && now_ms >= w.confirm_ms) {
    settle(w, ports, CardOutcome::applied, w.applied_answer_ms);
    return true;
  }
  if (w.confirm_ms >= 0) return false;
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
    const int64_t silent_since = w.last_answer_ms >= 0 ? w.last_answer_ms : w.started_ms;
    if (w.unanswered >= VERIFY_QUIET_QUERIES && now_ms - silent_since >= VERIFY_QUIET_MS)
      w.quiet = true;
    w.asked = true;
    w.answered = false;
    w.next_query_ms = now_ms + period_at(w, now_ms);
    ports.query(w.ip);
  }
  return false;
}

}  // namespace

void verifier_card_done(Verifier& v, const std::shared_ptr<Report>& report, const CardResult& card) {
  v.inbox.emplace_back(report, card);
}

void verifier_take(Verifier& v, VerifyPorts& ports, int64_t now_ms) { take_inbox(v, ports, now_ms); }

void verifier_answer(Verifier& v, const VerifyAnswer& a, int64_t now_ms) {
  for (VerifyWatch& w : v.watches) {
    // Only what answers a query of this watch: nothing before it asked.
    if (w.ip != a.ip || !w.asked) continue;
    if (a.contested) {
      w.contested = true;
      continue;
    }
    w.answered = true;
    w.last_answer_ms = now_ms;
    w.last_version = a.version;
    if (w.has_mac && (!a.has_mac || std::memcmp(a.mac, w.mac, sizeof w.mac) != 0)) {
      w.other_device = true;
    } else if (a.version == w.image_version) {
      if (w.confirm_ms < 0) {
        w.confirm_ms = now_ms + VERIFY_CONFIRM_MS;
        w.applied_answer_ms = now_ms;
      }
    } else if (w.confirm_ms >= 0) {
      // The image's version, then another: two voices for one card.
      w.contested = true;
    }
  }
}

void verifier_tick(Verifier& v, VerifyPorts& ports, int64_t now_ms) {
  take_inbox(v, ports, now_ms);
  v.watches.erase(std::remove_if(v.watches.begin(), v.watches.end(),
                                 [&](VerifyWatch& w) { return step(w, ports, now_ms); }),
                  v.watches.end());
}

int64_t verifier_next_due(const Verifier& v, int64_t later_ms) {
  int64_t due = later_ms;
  for (const VerifyWatch& w : v.watches) {
    due = std::min({due, w.next_query_ms, w.started_ms + VERIFY_LIMIT_MS});
    if (w.confirm_ms >= 0) due = std::min(due, w.confirm_ms);
    if (w.contested || w.other_device) due = std::min(due, w.started_ms);  // at once
  }
  return due;
}
