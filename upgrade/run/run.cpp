// The run's loop: its commands, its sessions and checks, what is due next,
// and the wait. Its starts are in run_starts.cpp, its record in
// run_record.cpp, its inbox and the system's io in run_io.cpp.
#include "upgrade/run/run.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/packet.h"
#include "protocol/sha256.h"
#include "upgrade/run/run_slot.h"
#include "upgrade/run/run.h"
#include "upgrade/policy/batch.h"

namespace {

// No socket, no card line: the run waits for a wake or for its next
// deadline, however far.
const int64_t WAIT_LONGEST_MS = 3600 * 1000;

}  // namespace

// ---- The run

UpgradeRun::UpgradeRun(std::vector<RunCard> cards, std::vector<uint8_t> image,
                       const OpenedImage& opened, const RunOptions& options, RunEvents* events,
                       RunIo* io, std::unique_ptr<CheckTransport> checks, SessionViews* views)
    : cards_(std::move(cards)), image_(std::move(image)), opened_(opened), options_(options),
      events_(events), views_(views), io_(io), transport_(std::move(checks)),
      inbox_(std::make_shared<RunInbox>()) {
  inbox_->io = io_;
  inbox_->interrupt_wake = io_;
  options_.parallel = std::clamp(options_.parallel, 1, BATCH_SESSIONS_MAX);
  for (int i = 0; i < options_.parallel; ++i) slots_.push_back(std::make_unique<Slot>());
  report_ = std::make_shared<Report>();
  report_->clock = [io] { return io->local_time(); };
  report_->checks = options_.checks != RunChecks::none;
  verifier_.settle_ms = options_.settle_ms;
  check_limit_ms_ = verify_longest_ms(options_.settle_ms) + ROLLOUT_CHECK_MARGIN_MS;
  start_time_ = io_->local_time();
  if (options_.rollout.on) {
    plan_ = plan_cards(&cards_, options_.rollout);
    rollout_ = std::make_unique<Rollout>(plan_);
    // A card not started is told after its line, by the cursor.
    rollout_->settled = [this](uint32_t ip, Verdict verdict) {
      if (verdict != Verdict::not_started_halted)
        tell_settled(latest_of(ip), wave_of(ip), SettledBy::rollout);
    };
  }
  report_->card_done = [this](const CardResult& card) { on_line(card); };
  // The checks settle in the loop, on its thread.
  report_->checked = [this](const CardResult& card) { on_checked(card); };
  progress_.total = static_cast<int>(cards_.size());
}

UpgradeRun::~UpgradeRun() {
  // The receiver first: nothing posts once the run's sockets go.
  receiver_.reset();
  for (auto& slot : slots_)
    if (slot->socket) io_->close(slot->socket);
  {
    std::lock_guard<std::mutex> lock(inbox_->mutex);
    inbox_->io = nullptr;
  }
  inbox_->interrupt_wake = nullptr;
  report_->card_done = nullptr;
  report_->checked = nullptr;
}

void UpgradeRun::take_commands() {
  for (const RunCommand& command : inbox_->take()) {
    switch (command.kind) {
      case RunCommandKind::start:
        if (phase_ == Phase::waiting_start) begin_run();
        break;
      case RunCommandKind::pause:
        paused_ = true;
        break;
      case RunCommandKind::resume:
        paused_ = false;
        open_gate(true, command.who.empty() ? "Resume" : command.who);
        break;
      case RunCommandKind::open_gate:
        open_gate(true, command.who);
        break;
      case RunCommandKind::refuse_gate:
        open_gate(false, command.who);
        break;
      case RunCommandKind::stop_card:
        stop_card(command.ip);
        break;
      case RunCommandKind::stop_all:
        stop_running(false);
        break;
      case RunCommandKind::stop_starting:
        stop_starting();
        break;
      case RunCommandKind::shutdown:
        if (!shutting_down_) stop_running(true);
        break;
      case RunCommandKind::hold:
        ++pause_.questions;
        break;
      case RunCommandKind::release:
        if (pause_.questions > 0) --pause_.questions;
        break;
      case RunCommandKind::answered:
        for (size_t i = cursor_; i < cards_.size(); ++i)
          if (cards_[i].record.ip == command.ip) cards_[i].record.unanswered_queries = 0;
        break;
    }
  }
}

void UpgradeRun::line_without_transfer(const RunCard& c, CardOutcome outcome,
                                       const std::string& message) {
  report_card_queue(report_.get(), judged(c));
  report_card(report_.get(), ip_to_text(c.record.ip), c.record.ip, outcome, message, 0);
}

namespace {

// The checks in the loop ask through the transport; the outcomes reach the
// run through the report (report_check), not through the ports.
class LoopCheckPorts : public VerifyPorts {
 public:
  explicit LoopCheckPorts(CheckTransport* transport) : transport_(transport) {}
  uint64_t query(uint32_t ip) override { return transport_ ? transport_->query(ip) : 0; }
  bool row_listed(uint32_t) override { return true; }
  void show_result(const CardResult&) override {}

 private:
  CheckTransport* transport_;
};

}  // namespace

void UpgradeRun::drive_checks(int64_t now, bool readable) {
  if (!checks_running_) return;
  bool due = now >= next_check_ms_;
  // Every socket of the checks is read when one is readable or a tick is
  // due: what contests an answer is heard before the answer is believed.
  if ((readable || due) && transport_) {
    for (const CheckTransport::Answer& a : transport_->read()) verifier_answer(verifier_, a, now);
    due = true;
  }
  if (!due) return;
  LoopCheckPorts ports(transport_.get());
  verifier_tick(verifier_, ports, now);
  next_check_ms_ = verifier_next_due(verifier_, now + WAIT_LONGEST_MS);
  if (verifier_.watches.empty() && verifier_.inbox.empty() && phase_ == Phase::checking_after)
    checks_running_ = false;
}

void UpgradeRun::give_up_late_checks(int64_t now) {
  std::vector<uint32_t> late;
  for (const auto& [ip, since] : checking_)
    if (now - since >= check_limit_ms_) late.push_back(ip);
  for (uint32_t ip : late) {
    checking_.erase(std::remove_if(checking_.begin(), checking_.end(),
                                   [&](const auto& c) { return c.first == ip; }),
                    checking_.end());
    if (!report_check(report_.get(), ip, CardOutcome::no_answer, 0,
                      static_cast<int>(check_limit_ms_ / 1000)))
      rollout_->judged(ip, Verdict::no_answer_after);
  }
}

// Once every check is over, the applied cards wait recheck_after_ms and
// are asked again; true while that holds the run. A stop skips it.
bool UpgradeRun::recheck_holds(int64_t now) {
  if (options_.recheck_after_ms <= 0 || rechecking_ || shutting_down_ || stopping_) return false;
  if (recheck_at_ms_ < 0) {
    size_t applied = 0;
    for (const CardResult& card : report_cards(report_.get()))
      if (card.outcome == CardOutcome::applied) ++applied;
    if (!applied) return false;
    recheck_at_ms_ = now + options_.recheck_after_ms;
    RunWaiting news;
    news.what = RunWait::recheck;
    news.cards = applied;
    news.wait_ms = options_.recheck_after_ms;
    news.at = run_detail::plus_seconds(io_->local_time(), options_.recheck_after_ms / 1000);
    tell_news(news);
  }
  if (now < recheck_at_ms_) return true;
  rechecking_ = true;
  recheck_at_ms_ = -1;
  for (const CardResult& card : report_cards(report_.get()))
    verifier_recheck(verifier_, report_, card, now);
  checks_running_ = true;
  next_check_ms_ = 0;
  return true;
}

void UpgradeRun::end_slot(Slot& slot) {
  slot.busy = false;
  if (slot.socket) io_->close(slot.socket);
  slot.socket = 0;
}

void UpgradeRun::drive_sessions(int64_t now) {
  for (auto& slot : slots_) {
    if (!slot->busy) continue;
    slot->due_ms = session_run(slot->view, &slot->session, now, SessionInput::none);
    if (slot->session.ended) end_slot(*slot);
  }
}

// What the port heard since the last pass: each datagram goes to the
// session whose socket it came on, or to the checks; one on a socket
// closed meanwhile is dropped. A question open holds the transfers'
// datagrams (the checks' go on).
void UpgradeRun::take_heard(int64_t now) {
  if (!receiver_) return;
  inbox_->take_datagrams(&heard_, &heard_bytes_);
  const bool held = pause_.questions > 0;
  if (!held && !held_.empty()) {
    for (const RunDatagram& d : held_) deliver(now, d, held_bytes_.data() + d.at);
    held_.clear();
    held_bytes_.clear();
  }
  for (const RunDatagram& d : heard_) {
    const uint8_t* data = heard_bytes_.data() + d.at;
    if (transport_ && transport_->take(d.socket, data, d.length, d.from)) {
      check_ready_ = true;
    } else if (!held) {
      deliver(now, d, data);
    } else if (held_.size() < RunInbox::DATAGRAMS_MAX) {
      held_.push_back({d.socket, d.from, held_bytes_.size(), d.length});
      held_bytes_.insert(held_bytes_.end(), data, data + d.length);
    }
  }
}

void UpgradeRun::deliver(int64_t now, const RunDatagram& d, const uint8_t* data) {
  for (auto& slot : slots_) {
    if (!slot->busy || slot->socket != d.socket) continue;
    slot->due_ms = session_deliver(slot->view, &slot->session, now, data, d.length, d.from);
    if (slot->session.ended) end_slot(*slot);
    return;
  }
}

int64_t UpgradeRun::next_due(int64_t now) const {
  int64_t due = now + WAIT_LONGEST_MS;
  if (phase_ == Phase::sending && cursor_due_ms_ >= 0) due = std::min(due, cursor_due_ms_);
  if (pause_.questions == 0)
    for (const auto& slot : slots_)
      if (slot->busy) due = std::min(due, slot->due_ms);
  if (checks_running_) due = std::min(due, next_check_ms_);
  for (const auto& c : checking_) due = std::min(due, c.second + check_limit_ms_);
  if (recheck_at_ms_ >= 0) due = std::min(due, recheck_at_ms_);
  if (next_journal_retry_ms_ >= 0) due = std::min(due, next_journal_retry_ms_);
  if (next_journal_sync_ms_ >= 0) due = std::min(due, next_journal_sync_ms_);
  if (options_.heartbeat_ms && phase_ != Phase::waiting_start) due = std::min(due, next_heartbeat_ms_);
  return due;
}

bool UpgradeRun::pass() {
  if (phase_ == Phase::ended) return false;
  int64_t now = io_->now_ms();
  take_commands();
  // Whatever settles cards comes before the starts it may let go.
  if (phase_ == Phase::sending) drive_sessions(now);
  take_heard(now);
  if (phase_ != Phase::waiting_start) {
    drive_checks(now, check_ready_);
    check_ready_ = false;
    if (rollout_) give_up_late_checks(now);
  }
  if (phase_ == Phase::sending) {
    start_due_cards(now);
    if (cursor_ == cards_.size() && !any_running()) phase_ = Phase::settling;
  }
  if (rollout_) {
    const RolloutStatus status = rollout_->status();
    while (progress_.wave < status.waves_run) {
      ++progress_.wave;
      events_->progress(progress_);
    }
    tell_halt_once(status);
  }
  // The operator's Stop reports at once: the checks go on after the report.
  const bool report_now = shutting_down_ || report_now_;
  if (phase_ == Phase::settling && (!rollout_ || rollout_->all_settled() || report_now)) {
    if (rollout_ && !rollout_->all_settled()) tell_waiting(RunWait::checks, 0);
    settle_run();
  } else if (phase_ == Phase::settling) {
    tell_waiting(RunWait::checks, rollout_->wave_under_way());
  }
  if (next_journal_retry_ms_ >= 0 && now >= next_journal_retry_ms_) {
    next_journal_retry_ms_ = journal_retry(journal_.get()) ? -1 : now + JOURNAL_RETRY_MS;
    tell_record();
  }
  const bool unsaved = options_.keep_until_saved && next_journal_retry_ms_ >= 0;
  if (phase_ == Phase::checking_after &&
      ((!checks_running_ && !recheck_holds(now) && !unsaved) || shutting_down_))
    phase_ = Phase::ended;
  // Rows written in place reach the disk within a second, the last ones too.
  if ((next_journal_sync_ms_ >= 0 && now >= next_journal_sync_ms_) || phase_ == Phase::ended) {
    next_journal_sync_ms_ = -1;
    journal_sync(journal_.get());
  }
  if (next_journal_sync_ms_ < 0 && journal_unsynced(journal_.get()))
    next_journal_sync_ms_ = now + JOURNAL_SYNC_MS;
  if (options_.heartbeat_ms && phase_ != Phase::waiting_start && now >= next_heartbeat_ms_) {
    BatchProgress tick = progress_;
    tick.tick = true;
    events_->progress(tick);
    next_heartbeat_ms_ = now + options_.heartbeat_ms;
  }
  if (phase_ == Phase::ended) {
    events_->ended();
    return false;
  }
  // Sleep until the next thing is due: what the port hears comes through
  // the inbox, whose first datagram wakes the wait.
  now = io_->now_ms();
  const bool heard = receiver_ && !inbox_->may_wait();
  io_->wait(heard ? 0 : std::max<int64_t>(0, next_due(now) - now));
  inbox_->waited();
  return true;
}

void UpgradeRun::run() {
  while (pass()) {
  }
}
