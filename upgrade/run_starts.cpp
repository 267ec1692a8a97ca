// Which card starts next and when, the schedule's hold, the operator's
// stops, and a card's start in a free session place.
#include <algorithm>
#include <cstring>

#include "image/image.h"
#include "upgrade/run_slot.h"
#include "upgrade/upgrade.h"

using run_detail::copy_text;
using run_detail::second_of_day;

void UpgradeRun::stop_card(uint32_t ip) {
  for (auto& slot : slots_)
    if (slot->busy && slot->session.ip == ip) {
      abort_session(slot->view, &slot->session);
      end_slot(*slot);
      return;
    }
  for (size_t i = cursor_; i < cards_.size(); ++i)
    if (cards_[i].record.ip == ip) stopped_.push_back(ip);
}

void UpgradeRun::stop_running(bool shutdown) {
  if (shutdown) shutting_down_ = true;
  // The operator's stop names itself, unless a halt came first; the
  // transfers it aborts are no halt of their own.
  if (!shutdown && !stopping_ && !(rollout_ && rollout_->status().halted)) operator_stop_ = true;
  stopping_ = true;
  report_now_ = true;
  // Nothing more starts: the planned cards get their not_started lines as
  // their turn comes.
  if (rollout_) rollout_->end_unstarted();
  for (auto& slot : slots_)
    if (slot->busy) {
      abort_session(slot->view, &slot->session);
      end_slot(*slot);
    }
  // The checks of cards already sent go on after a stop, not after the end.
  if (shutdown) checks_running_ = false;
}

void UpgradeRun::stop_starting() {
  if (stopping_) return;
  if (!(rollout_ && rollout_->status().halted)) operator_stop_ = true;
  stopping_ = true;
  if (rollout_) rollout_->end_unstarted();
}

// While the schedule keeps cards from starting: the loop looks again at
// the start time or the window's next opening, and on a change.
bool UpgradeRun::schedule_holds(int64_t now) {
  if (now < start_at_ms_) {
    cursor_due_ms_ = start_at_ms_;
    tell_waiting(RunWait::start_time, 0);
    return true;
  }
  const RunSchedule& schedule = options_.schedule;
  if (!schedule.has_window()) return false;
  const int second = second_of_day(io_->local_time());
  if (window_open(schedule, second)) return false;
  cursor_due_ms_ = now + 1000LL * seconds_until(schedule.window_from, second);
  tell_waiting(RunWait::window, 0);
  return true;
}

int UpgradeRun::free_slot() const {
  for (size_t i = 0; i < slots_.size(); ++i)
    if (!slots_[i]->busy) return static_cast<int>(i);
  return -1;
}

bool UpgradeRun::sending_to(uint32_t ip) const {
  for (const auto& slot : slots_)
    if (slot->busy && slot->session.ip == ip) return true;
  return false;
}

bool UpgradeRun::any_running() const {
  for (const auto& slot : slots_)
    if (slot->busy) return true;
  return false;
}

void UpgradeRun::tell_waiting(RunWait what, int wave) {
  if (what == told_wait_ && wave == told_wave_) return;
  told_wait_ = what;
  told_wave_ = wave;
  events_->waiting(what, wave);
}

// Which card starts next, and when: the next card in run order, once a
// session is free and BETWEEN_STARTS_MS after the last start; with a
// rollout, once its wave has begun, never after a halt. A card that is not
// to be sent gets its line as its turn comes.
void UpgradeRun::start_due_cards(int64_t now) {
  // Looked at again when this is due, or when something changes: a session
  // ends, a card settles, a command comes.
  cursor_due_ms_ = -1;
  while (cursor_ < cards_.size()) {
    if (now < next_start_ms_) {
      cursor_due_ms_ = next_start_ms_;
      return;
    }
    RunCard& c = cards_[cursor_];
    const uint32_t ip = c.record.ip;
    // A card the front judged not to send keeps its line whatever ends
    // the run: one at the image's version was never to be aborted.
    if (c.gate != CardOutcome::pending) {
      line_without_transfer(c, c.gate, c.message);
      ++cursor_;
      continue;
    }
    if (shutting_down_) {
      line_without_transfer(c, CardOutcome::aborted, "");
      ++cursor_;
      continue;
    }
    if (std::find(stopped_.begin(), stopped_.end(), ip) != stopped_.end()) {
      // The line first: the rollout tells the card settled as it now stands.
      line_without_transfer(c, CardOutcome::aborted, "");
      if (rollout_) rollout_->abandon(ip, Verdict::aborted);
      ++cursor_;
      continue;
    }
    if (stopping_ && !rollout_) {
      line_without_transfer(c, CardOutcome::not_started, stop_reason());
      ++cursor_;
      continue;
    }
    if (paused_ && !stopping_) return tell_waiting(RunWait::paused, 0);
    if (!stopping_ && schedule_holds(now)) return;
    // A card a stop keeps from starting needs no session for its line.
    if (!stopping_ && (free_slot() < 0 || sending_to(ip))) return tell_waiting(RunWait::session, 0);
    if (rollout_) {
      const StartDecision decision = rollout_->begin(ip);
      if (decision == StartDecision::wait) return tell_waiting(RunWait::wave, c.wave - 1);
      if (decision == StartDecision::never) {
        line_without_transfer(c, CardOutcome::not_started, stop_reason());
        events_->card_settled(latest_of(ip), c.wave);
        ++cursor_;
        continue;
      }
    }
    // A card that does not answer is sent nothing: it never reads sending.
    if (c.record.unanswered_queries) {
      if (!answer_waited_) {
        answer_waited_ = true;
        if (options_.answer_window_ms) answer_until_ms_ = now + options_.answer_window_ms;
      }
      if (now < answer_until_ms_) {
        cursor_due_ms_ = answer_until_ms_;
        return tell_waiting(RunWait::answer, 0);
      }
      if (c.record.unanswered_queries) {
        line_without_transfer(c, CardOutcome::no_connection, "");
        ++cursor_;
        continue;
      }
    }
    start_card(cursor_, now);
    // A schedule that holds the run again is told again.
    if (told_wait_ == RunWait::start_time || told_wait_ == RunWait::window)
      told_wait_ = RunWait::nothing;
    ++cursor_;
    next_start_ms_ = now + BETWEEN_STARTS_MS;
    tell_waiting(RunWait::nothing, 0);
  }
}

// A card the operator's stop kept from its turn says so; one a halt kept
// says the halt's words.
std::string UpgradeRun::stop_reason() const {
  return operator_stop_ && !shutting_down_ ? STOPPED_BY_OPERATOR : "";
}

void UpgradeRun::start_card(size_t index, int64_t now) {
  const RunCard& c = cards_[index];
  report_card_start(report_.get(), judged(c));
  const int place = free_slot();
  Slot& slot = *slots_[static_cast<size_t>(place)];
  SessionView* view = events_->session_view(place);
  slot.view = view ? view : &slot.silent;
  events_->card_started(c, place);
  if (!receiver_) receiver_ = io_->hear(inbox_);
  // Each transfer sends from a socket of its own, on a port the system
  // picks: its transfer ID, which no other card's datagrams reach.
  const Socket socket = receiver_ ? io_->open() : 0;
  if (!socket) {
    report_card(report_.get(), ip_to_text(c.record.ip), c.record.ip, CardOutcome::socket_error, "",
                0);
    return;
  }
  UploadSession& s = slot.session;
  s = UploadSession{};
  s.shared_socket = socket;
  s.sender = io_;
  slot.socket = socket;
  s.report = report_.get();
  s.ip = c.record.ip;
  s.port = options_.card_port;
  copy_text(s.user_name, c.record.user_name);
  copy_text(s.password, c.record.password);
  s.slot = place;
  s.pause = &pause_;
  s.transfer_limit_ticks = options_.transfer_limit_ticks;
  s.image_size = static_cast<uint32_t>(image_.size());
  s.cursor = image_.data();
  // The shared copy is stamped for each start; the session keeps its own
  // stamp for when a later start rewrites it.
  LocalTime at = io_->local_time();
  stamp_header(image_.data(), s.image_size, &at);
  if (s.image_size >= IMAGE_FIXED_HEADER && std::memcmp(image_.data(), IMAGE_MAGIC, 4) == 0) {
    s.has_stamp = true;
    std::memcpy(s.stamp, image_.data() + IMAGE_STAMP_AT, 4);
  }
  slot.card = index;
  slot.busy = begin_session(slot.view, &s, now) != 0;
  if (!slot.busy) end_slot(slot);
  slot.due_ms = s.next_tick_ms;
  if (slot.busy) events_->session_running(place);
}
