// The run's record: the report and the journal from the first rows to the
// summary, each card's latest, and what the front is told of them.
#include <cstring>

#include "protocol/sha256.h"
#include "upgrade/run/run_slot.h"
#include "upgrade/run/run.h"


CardResult UpgradeRun::judged(const RunCard& c) const {
  CardResult card;
  card.started = card.ended = io_->local_time();
  card.ip = c.record.ip;
  std::memcpy(card.mac, c.record.mac, sizeof card.mac);
  card.version_before = c.record.version;
  card.image = opened_.path;
  card.image_version = opened_.version;
  card.image_sha256 = sha256_hex(opened_.digest);
  return card;
}

int UpgradeRun::wave_of(uint32_t ip) const {
  auto it = waves_.find(ip);
  return it == waves_.end() ? 0 : it->second;
}

CardResult UpgradeRun::latest_of(uint32_t ip) const {
  for (auto it = report_->cards.rbegin(); it != report_->cards.rend(); ++it)
    if (it->ip == ip) return *it;
  CardResult none;
  none.ip = ip;
  return none;
}

void UpgradeRun::begin_run() {
  // The port is heard from the start: the transfers' sockets and the
  // checks' alike.
  if (!receiver_) receiver_ = io_->hear(inbox_);
  for (const RunCard& c : cards_)
    if (c.wave) waves_[c.record.ip] = c.wave;
  std::vector<CardResult> pending;
  for (const RunCard& c : cards_) {
    pending.push_back(judged(c));
    pending.back().started = pending.back().ended = start_time_;
    pending.back().outcome = CardOutcome::pending;
  }
  journal_ = options_.journal;
  const bool front_kept = journal_ != nullptr;
  if (!journal_) journal_ = std::make_shared<Journal>();
  report_->journal = journal_;
  if (front_kept) {
    journal_set(journal_.get(), pending);
  } else if (!options_.reports_folder.empty()) {
    std::string reason;
    if (journal_start_kept(journal_.get(), options_.reports_folder, start_time_, pending, &reason))
      report_->path = journal_->path;
    else
      not_kept_ = "Report not saved: " + reason;
  } else {
    journal_start(journal_.get(), "", pending, nullptr);
  }
  start_at_wall_ = first_start_wall(options_.schedule.start_at, run_detail::wall_clock(io_->local_time()));
  events_->planned({cards_, journal_, rollout_ != nullptr, plan_.policy});
  events_->progress(progress_);
  phase_ = Phase::sending;
}

void UpgradeRun::on_line(const CardResult& card) {
  ++progress_.settled;
  if (verdict_settled(card.verdict) && verdict_fails_run(card.verdict)) progress_.failed = true;
  events_->progress(progress_);
  events_->line(card);
  if (journal_behind(journal_.get()) && next_journal_retry_ms_ < 0)
    next_journal_retry_ms_ = io_->now_ms() + JOURNAL_RETRY_MS;
  tell_record();
  if (rollout_) {
    if (card.outcome == CardOutcome::ok) checking_.emplace_back(card.ip, io_->now_ms());
    rollout_->judged(card.ip, card.verdict);
    // A card the plan left out (its gate's line) settles with its line.
    if (!wave_of(card.ip)) tell_settled(card, 0, SettledBy::rollout);
  }
  if (options_.checks == RunChecks::each_ok) {
    verifier_card_done(verifier_, report_, card);
    checks_running_ = true;
    next_check_ms_ = 0;
  }
}

void UpgradeRun::on_checked(const CardResult& card) {
  checking_.erase(std::remove_if(checking_.begin(), checking_.end(),
                                 [&](const auto& c) { return c.first == card.ip; }),
                  checking_.end());
  if (journal_behind(journal_.get()) && next_journal_retry_ms_ < 0)
    next_journal_retry_ms_ = io_->now_ms() + JOURNAL_RETRY_MS;
  tell_record();
  if (verdict_fails_run(card.verdict) && !progress_.failed) {
    progress_.failed = true;
    events_->progress(progress_);
  }
  tell_settled(card, wave_of(card.ip), SettledBy::check);
  if (rechecking_) tell_settled(card, wave_of(card.ip), SettledBy::recheck);
  if (rollout_) rollout_->judged(card.ip, card.verdict);
}

RolloutStatus UpgradeRun::rollout_status() const {
  return rollout_ ? rollout_->status() : RolloutStatus{};
}

std::vector<CardResult> UpgradeRun::results() const {
  std::vector<CardResult> out;
  for (const RunCard& c : cards_) out.push_back(latest_of(c.record.ip));
  return out;
}

void UpgradeRun::settle_run() {
  RolloutStatus status;
  if (rollout_) {
    rollout_->end_unstarted();
    status = rollout_->status();
    tell_halt_once(status);
  }
  std::vector<uint8_t>().swap(image_);
  RunSummary summary;
  summary.cards = report_cards(report_.get());
  summary.lines = report_text_with_checks(report_text(report_.get()), summary.cards);
  summary.rollout = status;
  summary.stopped = operator_stop_ && !shutting_down_;
  if (!options_.journal && !options_.reports_folder.empty())
    summary.kept_status = not_kept_.empty() ? journal_status(journal_.get()) : not_kept_;
  {
    summary.kept_path = journal_->path;
  }
  events_->summary(summary);
  phase_ = Phase::ended;
  // Checks still out after the report (no rollout waited for them, or the
  // operator's Stop came) go on until they settle.
  if (options_.checks == RunChecks::each_ok && !shutting_down_ && checks_running_) {
    if (!verifier_.watches.empty() || !verifier_.inbox.empty()) phase_ = Phase::checking_after;
  }
  if (options_.keep_until_saved && !shutting_down_ && next_journal_retry_ms_ >= 0)
    phase_ = Phase::checking_after;
  if (options_.recheck_after_ms > 0 && !shutting_down_) {
    phase_ = Phase::checking_after;
    // No check left to drive: the recheck's wait begins now, not at a tick.
    if (verifier_.watches.empty() && verifier_.inbox.empty()) checks_running_ = false;
  }
  if (options_.checks == RunChecks::after_all && !shutting_down_) {
    size_t n = 0;
    for (const CardResult& card : report_cards(report_.get()))
      if (card.outcome == CardOutcome::ok) {
        verifier_card_done(verifier_, report_, card);
        ++n;
      }
    if (n) {
      RunWaiting news;
      news.what = RunWait::verify;
      news.cards = n;
      tell_news(news);
      checks_running_ = true;
      next_check_ms_ = 0;
      phase_ = Phase::checking_after;
    }
  }
}

// The kept report's notes, while it is behind and once when it caught up.
void UpgradeRun::tell_record() {
  const bool behind = journal_behind(journal_.get());
  if (!behind && !record_behind_) return;
  record_behind_ = behind;
  events_->recorded(journal_notes(journal_.get()), journal_status(journal_.get()));
}
