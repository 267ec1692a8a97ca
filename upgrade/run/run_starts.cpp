// Which card starts next and when, the schedule's hold, the operator's
// stops, and a card's start in a free session place.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "upgrade/run/run_slot.h"
#include "upgrade/run/run.h"

using run_detail::copy_text;
using run_detail::second_of_day;
using run_detail::plus_seconds;
using run_detail::wall_clock;

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

// While the schedule keeps cards from starting: the loop reads the wall
// clock again within SCHEDULE_LOOK_MS, and on a change.
bool UpgradeRun::schedule_holds(int64_t now) {
  const ScheduleLook look =
      schedule_look(options_.schedule, &start_at_wall_, wall_clock(io_->local_time()));
  if (look.hold == ScheduleHold::none) return false;
  cursor_due_ms_ = now + look.wait_ms;
  tell_waiting(look.hold == ScheduleHold::start_time ? RunWait::start_time : RunWait::window, 0);
  return true;
}

namespace run_detail {

LocalTime plus_seconds(const LocalTime& t, int64_t add) {
  using namespace std::chrono;
  const sys_days day = year{t.year} / t.month / t.day;
  const sys_seconds at =
      day + hours{t.hour} + minutes{t.minute} + seconds{t.second} + seconds{add};
  const sys_days at_day = floor<days>(at);
  const year_month_day ymd{at_day};
  const hh_mm_ss hms{at - at_day};
  LocalTime out = t;
  out.year = static_cast<int>(ymd.year());
  out.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  out.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  out.hour = static_cast<int>(hms.hours().count());
  out.minute = static_cast<int>(hms.minutes().count());
  out.second = static_cast<int>(hms.seconds().count());
  return out;
}

}  // namespace run_detail

std::string wave_settled_words(const WaveHold& hold) {
  auto count = [&](VerdictTally t) {
    auto it = hold.counts.find(t);
    return std::to_string(it == hold.counts.end() ? 0 : it->second);
  };
  return "Wave " + std::to_string(hold.settled_wave) + " settled: " + count(VerdictTally::applied) +
         " applied, " + count(VerdictTally::failed) + " failed";
}

std::string local_time_words(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute);
  return text;
}

// How long from now a card starting at the loop's time at waits for the
// window (0 without one, or inside it).
int64_t UpgradeRun::window_wait_ms(int64_t at) {
  const RunSchedule& schedule = options_.schedule;
  if (!schedule.has_window()) return 0;
  const int64_t ahead = (at - io_->now_ms()) / 1000;
  const int second = static_cast<int>((second_of_day(io_->local_time()) + ahead) % SECONDS_A_DAY);
  if (window_open(schedule, second)) return 0;
  return 1000LL * seconds_until(schedule.window_from, second);
}

// The wave the policy holds: seen first when the wave before it settled
// (told then, its gate asked), then held for its gate and its delay from
// that moment; the schedule's window holds it after that as it holds any
// card. False once it may begin (it has begun then).
bool UpgradeRun::wave_holds(int64_t now) {
  const int wave = rollout_->held_wave();
  if (!wave) return false;
  const RolloutPolicy& policy = plan_.policy;
  if (wave != held_wave_) {
    held_wave_ = wave;
    held_since_ms_ = now;
    gate_open_ = !rollout_->held_by_gate();
    if (!gate_open_) rollout_->gate_asked(wave, io_->local_time());
    WaveHold hold;
    hold.settled_wave = wave - 1;
    hold.next_wave = wave;
    for (const RunCard& c : cards_) {
      if (c.wave == wave) ++hold.next_cards;
      if (c.wave == wave - 1) ++hold.counts[verdict_tally(latest_of(c.record.ip).verdict)];
    }
    hold.gate = !gate_open_;
    tell_hold(hold, policy.wave_delay_ms + window_wait_ms(now + policy.wave_delay_ms));
  }
  if (!gate_open_) {
    tell_waiting(RunWait::gate, wave);
    return true;
  }
  const int64_t due = held_since_ms_ + policy.wave_delay_ms;
  if (now < due) {
    cursor_due_ms_ = due;
    tell_waiting(RunWait::delay, wave);
    return true;
  }
  rollout_->open_wave();
  return false;
}

// A person answered the held wave's gate.
void UpgradeRun::open_gate(bool opened, const std::string& who) {
  if (!rollout_ || !rollout_->held_wave() || gate_open_) return;
  rollout_->gate_answered(opened, who, io_->local_time());
  if (!opened) return stop_starting();
  gate_open_ = true;
  // The hold told again: the next wave starts after the delay left.
  WaveHold hold;
  hold.settled_wave = held_wave_ - 1;
  hold.next_wave = held_wave_;
  for (const RunCard& c : cards_)
    if (c.wave == held_wave_) ++hold.next_cards;
  const int64_t now = io_->now_ms();
  const int64_t due = std::max(now, held_since_ms_ + plan_.policy.wave_delay_ms);
  tell_hold(hold, due - now + window_wait_ms(due));
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
  RunWaiting waiting;
  waiting.what = what;
  waiting.wave = wave;
  events_->waiting(waiting);
}

// News of a wait: told each time, and what the run waits for stays as told.
void UpgradeRun::tell_news(RunWaiting news) { events_->waiting(news); }

void UpgradeRun::tell_halt_once(const RolloutStatus& status) {
  if (!status.halted || halt_told_) return;
  halt_told_ = true;
  RunWaiting news;
  news.what = RunWait::halted;
  news.halt = status;
  tell_news(news);
}

// A held wave, with when it starts by its delay and the window.
void UpgradeRun::tell_hold(WaveHold hold, int64_t starts_in_ms) {
  hold.starts_in_ms = starts_in_ms;
  hold.starts_at = plus_seconds(io_->local_time(), starts_in_ms / 1000);
  RunWaiting news;
  news.what = RunWait::held;
  news.wave = hold.next_wave;
  news.hold = hold;
  tell_news(news);
}

void UpgradeRun::tell_settled(const CardResult& card, int wave, SettledBy by) {
  events_->settled({card, wave, by});
}

// Which card starts next, and when: the next card in run order, once a
// session is free and BETWEEN_STARTS_MS after the last start; with a
// rollout, once its wave has begun, never after a halt. A card that is not
// to be sent gets its line as its turn comes.
void UpgradeRun::start_due_cards(int64_t now) {
  // Looked at again when this is due, or when something changes: a session
  // ends, a card settles, a command comes.
  cursor_due_ms_ = -1;
  // A wave held by the policy is told as soon as the one before settled,
  // whatever else holds the starts.
  if (rollout_ && rollout_->held_wave() && rollout_->held_wave() != held_wave_ && !stopping_) {
    wave_holds(now);
    cursor_due_ms_ = -1;
  }
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
      StartDecision decision = rollout_->begin(ip);
      if (decision == StartDecision::wait && rollout_->held_wave()) {
        if (wave_holds(now)) return;
        decision = rollout_->begin(ip);
      }
      if (decision == StartDecision::wait) return tell_waiting(RunWait::wave, c.wave - 1);
      if (decision == StartDecision::never) {
        line_without_transfer(c, CardOutcome::not_started, stop_reason());
        tell_settled(latest_of(ip), c.wave, SettledBy::rollout);
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
  SessionView* view = views_ ? views_->session_view(place) : nullptr;
  slot.view = view ? view : &slot.silent;
  events_->started({c, place, c.wave});
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
}
