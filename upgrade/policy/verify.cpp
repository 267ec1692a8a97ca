#include "upgrade/policy/verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// At the limit a card that answered within this long still "answers".
const int64_t RECENT_ANSWER_MS = 2 * VERIFY_PERIOD_MS;

// The least a settle period can take: its answers, a period apart.
const int64_t FEWEST_ANSWERS_MS = (VERIFY_SETTLE_ANSWERS - 1) * VERIFY_FAST_PERIOD_MS;

int64_t period_at(const VerifyWatch& w, int64_t now_ms) {
  // A card holding the image's version is asked every period it holds it.
  if (w.held_since_ms >= 0) return VERIFY_FAST_PERIOD_MS;
  return now_ms - w.started_ms < VERIFY_FAST_MS ? VERIFY_FAST_PERIOD_MS : VERIFY_PERIOD_MS;
}

void settle(VerifyWatch& w, VerifyPorts& ports, CardOutcome outcome, int64_t at_ms,
            const std::string& message = "") {
  int seconds = static_cast<int>((at_ms - w.started_ms + 500) / 1000);
  uint32_t version = outcome == CardOutcome::no_answer ? 0 : w.last_version;
  // A recheck keeps the seconds its card took to be applied.
  if (w.recheck) {
    report_recheck(w.report.get(), w.ip, outcome, version, message);
  } else {
    report_check(w.report.get(), w.ip, outcome, version, seconds, message);
    w.card.verified_seconds = seconds;
  }
  w.card.outcome = outcome;
  w.card.answered_version = version;
  w.card.message = message;
  ports.show_result(w.card);
}

bool mac_known(const uint8_t* mac) {
  static const uint8_t none[6] = {};
  return std::memcmp(mac, none, 6) != 0;
}

VerifyWatch watch_of(const std::shared_ptr<Report>& report, const CardResult& card,
                     int64_t now_ms) {
  VerifyWatch w;
  w.ip = card.ip;
  w.image_version = card.image_version;
  std::memcpy(w.mac, card.mac, sizeof w.mac);
  w.has_mac = mac_known(card.mac);
  w.report = report;
  w.card = card;
  w.started_ms = now_ms;
  w.next_query_ms = now_ms + VERIFY_FAST_PERIOD_MS;
  return w;
}

void drop_watch_of(Verifier& v, uint32_t ip) {
  v.watches.erase(std::remove_if(v.watches.begin(), v.watches.end(),
                                 [ip](const VerifyWatch& w) { return w.ip == ip; }),
                  v.watches.end());
}

void take_inbox(Verifier& v, VerifyPorts& ports, int64_t now_ms) {
  std::vector<std::pair<std::shared_ptr<Report>, CardResult>> arrived;
  arrived.swap(v.inbox);
  for (auto& [report, card] : arrived) {
    // A card of a later batch replaces an earlier watch of the same address.
    drop_watch_of(v, card.ip);
    if (card.outcome == CardOutcome::ok && card.image_version == IMAGE_VERSION_NONE) {
      report_check(report.get(), card.ip, CardOutcome::not_verified, 0, -1);
      card.outcome = CardOutcome::not_verified;
    }
    ports.show_result(card);
    if (card.outcome != CardOutcome::ok) continue;
    v.watches.push_back(watch_of(report, card, now_ms));
  }
}

// The image's version held for the settle period, in enough answers, and
// the latest query answered too.
bool held(const VerifyWatch& w, int64_t settle_ms, int64_t now_ms) {
  return w.held_since_ms >= 0 && w.answered && w.held_answers >= VERIFY_SETTLE_ANSWERS &&
         now_ms - w.held_since_ms >= settle_ms;
}

// True when the watch is over.
bool step(VerifyWatch& w, VerifyPorts& ports, int64_t settle_ms, int64_t now_ms) {
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
  // The image's version, then another: it booted once and went back.
  if (w.fell_back) {
    settle(w, ports, CardOutcome::not_applied, w.last_answer_ms,
           w.recheck ? fell_back_text(w.last_version) : "");
    return true;
  }
  // A query still unanswered when the next is due never will be: the
  // settle period it broke starts again at the next answer.
  const bool due = now_ms >= w.next_query_ms;
  const bool missed = due && w.asked && !w.answered;
  if (missed) {
    w.held_since_ms = -1;
    w.held_answers = 0;
  }
  if (held(w, settle_ms, now_ms)) {
    // Asked again and still on the image's version: the card stands as it was.
    if (!w.recheck) settle(w, ports, CardOutcome::applied, w.held_since_ms);
    return true;
  }
  if (w.held_since_ms < 0) {
    // Back from a restart with another version: the image did not take.
    if (w.quiet && w.answered && !w.recheck) {
      settle(w, ports, CardOutcome::not_applied, w.last_answer_ms);
      return true;
    }
    if (now_ms - w.started_ms >= VERIFY_LIMIT_MS) {
      const bool answers = w.last_answer_ms >= 0 && now_ms - w.last_answer_ms <= RECENT_ANSWER_MS;
      if (!answers)
        settle(w, ports, CardOutcome::no_answer, now_ms);
      else
        settle(w, ports, CardOutcome::not_applied, now_ms, w.seen_image ? NOT_HELD_TEXT : "");
      return true;
    }
  }
  if (due) {
    w.unanswered = missed ? w.unanswered + 1 : 0;
    const int64_t silent_since = w.last_answer_ms >= 0 ? w.last_answer_ms : w.started_ms;
    if (w.unanswered >= VERIFY_QUIET_QUERIES && now_ms - silent_since >= VERIFY_QUIET_MS)
      w.quiet = true;
    w.asked = true;
    w.answered = false;
    w.next_query_ms = now_ms + period_at(w, now_ms);
    w.open_query = ports.query(w.ip);
  }
  return false;
}

}  // namespace

std::string fell_back_text(uint32_t version) {
  char text[40];
  std::snprintf(text, sizeof text, "fell back to %d.%02d", int(version >> 8 & 0xFF),
                int(version & 0xFF));
  return text;
}

int64_t verify_longest_ms(int64_t settle_ms) {
  return VERIFY_LIMIT_MS + std::max(settle_ms, FEWEST_ANSWERS_MS) + 2 * VERIFY_FAST_PERIOD_MS;
}

void verifier_card_done(Verifier& v, const std::shared_ptr<Report>& report, const CardResult& card) {
  v.inbox.emplace_back(report, card);
}

void verifier_recheck(Verifier& v, const std::shared_ptr<Report>& report, const CardResult& card,
                      int64_t now_ms) {
  if (card.outcome != CardOutcome::applied) return;
  drop_watch_of(v, card.ip);
  VerifyWatch w = watch_of(report, card, now_ms);
  w.recheck = true;
  v.watches.push_back(std::move(w));
}

void verifier_take(Verifier& v, VerifyPorts& ports, int64_t now_ms) { take_inbox(v, ports, now_ms); }

void verifier_answer(Verifier& v, const VerifyAnswer& a, int64_t now_ms) {
  for (VerifyWatch& w : v.watches) {
    if (w.ip != a.ip || !w.asked) continue;
    if (a.contested) {
      w.contested = true;
      continue;
    }
    // The answer to the latest query, once: a late, replayed or unasked
    // reply says nothing of the card.
    if (!a.query || a.query != w.open_query) continue;
    w.open_query = 0;
    w.answered = true;
    w.last_answer_ms = now_ms;
    w.last_version = a.version;
    if (w.has_mac && (!a.has_mac || std::memcmp(a.mac, w.mac, sizeof w.mac) != 0)) {
      w.other_device = true;
    } else if (a.version == w.image_version) {
      if (w.held_since_ms < 0) {
        w.held_since_ms = now_ms;
        w.held_answers = 0;
      }
      ++w.held_answers;
      w.seen_image = true;
    } else if (w.seen_image || w.recheck) {
      w.fell_back = true;
    }
  }
}

void verifier_tick(Verifier& v, VerifyPorts& ports, int64_t now_ms) {
  take_inbox(v, ports, now_ms);
  v.watches.erase(std::remove_if(v.watches.begin(), v.watches.end(),
                                 [&](VerifyWatch& w) { return step(w, ports, v.settle_ms, now_ms); }),
                  v.watches.end());
}

int64_t verifier_next_due(const Verifier& v, int64_t later_ms) {
  int64_t due = later_ms;
  for (const VerifyWatch& w : v.watches) {
    due = std::min(due, w.next_query_ms);
    // A period with its answers in ends at its time (a tick past it would
    // have settled the card); one still short of them, at an answer.
    if (w.held_since_ms >= 0 && w.answered && w.held_answers >= VERIFY_SETTLE_ANSWERS)
      due = std::min(due, w.held_since_ms + v.settle_ms);
    if (w.held_since_ms < 0) due = std::min(due, w.started_ms + VERIFY_LIMIT_MS);
    if (w.contested || w.other_device || w.fell_back) due = std::min(due, w.started_ms);  // at once
  }
  return due;
}
