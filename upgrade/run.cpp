#include "upgrade/run.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/packet.h"
#include "protocol/sha256.h"
#include "upgrade/upgrade.h"

namespace {

// No socket, no card line: the run waits for a wake or for its next
// deadline, however far.
const int64_t WAIT_LONGEST_MS = 3600 * 1000;

class SilentView : public SessionView {
 public:
  void set_title(const char*) override {}
  void set_status(const char*) override {}
  void set_progress_range(uint32_t) override {}
  void set_progress_position(uint32_t) override {}
  void set_percent(const char*) override {}
  void close(int) override {}
};

int second_of_day(const LocalTime& t) { return t.hour * 3600 + t.minute * 60 + t.second; }

// The record's fields are fixed arrays; a text that fills one has no NUL.
template <size_t N, size_t M>
void copy_text(char (&dest)[N], const char (&src)[M]) {
  size_t n = 0;
  while (n < M && n + 1 < N && src[n]) ++n;
  std::memcpy(dest, src, n);
  dest[n] = '\0';
}

}  // namespace

struct UpgradeRun::Slot {
  UploadSession session;
  SilentView silent;
  SessionView* view = &silent;
  size_t card = 0;
  bool busy = false;
  int64_t due_ms = 0;     // the session's next tick or step
};

// ---- The inbox

void RunInbox::post(const RunCommand& command) {
  std::lock_guard<std::mutex> lock(mutex);
  commands.push_back(command);
  // Under the lock: the run clears io before it goes.
  if (io) io->wake();
}

void RunInbox::post_interrupt(RunCommandKind kind) {
  interrupts.fetch_or(1 << static_cast<int>(kind));
  // A wake is a datagram sent: safe in a signal handler.
  if (RunIo* wake = interrupt_wake.load()) wake->wake();
}

bool RunInbox::interrupt_first() {
  const int bit = 1 << static_cast<int>(RunCommandKind::stop_starting);
  if (interrupts.fetch_or(bit) & bit) return false;
  if (RunIo* wake = interrupt_wake.load()) wake->wake();
  return true;
}

std::vector<RunCommand> RunInbox::take() {
  std::vector<RunCommand> taken;
  for (RunCommandKind kind : {RunCommandKind::stop_starting, RunCommandKind::shutdown})
    if (interrupts.load() & 1 << static_cast<int>(kind)) taken.push_back({kind});
  std::lock_guard<std::mutex> lock(mutex);
  taken.insert(taken.end(), commands.begin(), commands.end());
  commands.clear();
  return taken;
}

void RunInbox::post_datagram(const uint8_t* data, int length, const SocketAddress& from) {
  std::lock_guard<std::mutex> lock(mutex);
  if (datagrams.size() >= DATAGRAMS_MAX) return;
  datagrams.push_back({from, bytes.size(), length});
  bytes.insert(bytes.end(), data, data + length);
  if (loop_waiting && io) {
    loop_waiting = false;  // one wake is enough
    io->wake();
  }
}

void RunInbox::take_datagrams(std::vector<RunDatagram>* list, std::vector<uint8_t>* heard) {
  list->clear();
  heard->clear();
  std::lock_guard<std::mutex> lock(mutex);
  list->swap(datagrams);
  heard->swap(bytes);
}

bool RunInbox::may_wait() {
  std::lock_guard<std::mutex> lock(mutex);
  loop_waiting = datagrams.empty();
  return loop_waiting;
}

void RunInbox::waited() {
  std::lock_guard<std::mutex> lock(mutex);
  loop_waiting = false;
}

// ---- The system's io

SystemRunIo::SystemRunIo() : wake_socket_(udp_open(0)) {
  since_ms_ = now_ms();
  wake_address_ = make_address(text_to_ip("127.0.0.1"), socket_local_port(wake_socket_.get()));
  // Drained until a receive fails: no readiness test per wake datagram.
  if (wake_socket_) socket_set_nonblocking(wake_socket_.get());
}

int64_t SystemRunIo::now_ms() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count()) -
         since_ms_;
}

void SystemRunIo::wait(const std::vector<Socket>& sockets, int64_t wait_ms,
                       std::vector<unsigned char>* ready) {
  std::vector<Socket> all(sockets);
  if (wake_socket_) all.push_back(wake_socket_.get());
  std::vector<unsigned char> is_ready(all.size(), 0);
  if (all.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  } else {
    socket_wait_any(all.data(), static_cast<int>(all.size()), static_cast<long>(wait_ms),
                    is_ready.data());
  }
  if (wake_socket_ && is_ready.back()) {
    uint8_t byte[16];
    SocketAddress from;
    for (int n = 0; n < 64 && socket_recv_from(wake_socket_.get(), byte, sizeof byte, &from) >= 0; ++n) {
    }
  }
  ready->assign(is_ready.begin(), is_ready.begin() + static_cast<long>(sockets.size()));
}

void SystemRunIo::wake() {
  if (!wake_socket_) return;
  const uint8_t byte = 1;
  socket_send_to(wake_socket_.get(), &byte, 1, wake_address_);
}

namespace {

// A blocking receive on the run's socket, in a loop, each datagram posted
// to the inbox. Told to end by a flag and a datagram of its own to the
// socket's port on the loopback address, which ends the receive it waits in.
class ThreadReceiver : public TransferReceiver {
 public:
  ThreadReceiver(Socket socket, std::shared_ptr<RunInbox> inbox)
      : socket_(socket), inbox_(std::move(inbox)), thread_([this] { hear(); }) {}
  ~ThreadReceiver() override {
    stop_ = true;
    SocketOwner nudge(udp_open(0));
    const SocketAddress self = make_address(text_to_ip("127.0.0.1"), socket_local_port(socket_));
    const uint8_t byte = 0;
    // Lost datagrams are possible on any path: the nudge goes until heard.
    while (!ended_) {
      if (nudge) socket_send_to(nudge.get(), &byte, 1, self);
      socket_readable(nudge ? nudge.get() : socket_, 20000);
    }
    thread_.join();
  }

 private:
  void hear() {
    uint8_t datagram[SESSION_BUFFER];
    while (!stop_) {
      SocketAddress from{};
      const int length = socket_recv_from(socket_, datagram, SESSION_BUFFER, &from);
      if (stop_) break;
      if (length >= 0) inbox_->post_datagram(datagram, length, from);
      // RECV_RESET: an ICMP error about an earlier send, whose session's
      // own deadline tells; RECV_FAILED: the socket is gone.
      if (length == RECV_FAILED) break;
    }
    ended_ = true;
  }

  Socket socket_;
  std::shared_ptr<RunInbox> inbox_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<TransferReceiver> SystemRunIo::receive(Socket socket,
                                                       const std::shared_ptr<RunInbox>& inbox) {
  return std::make_unique<ThreadReceiver>(socket, inbox);
}

// ---- The run

UpgradeRun::UpgradeRun(std::vector<RunCard> cards, std::vector<uint8_t> image,
                       const OpenedImage& opened, const RunOptions& options, RunEvents* events,
                       RunIo* io, std::unique_ptr<CheckTransport> checks)
    : cards_(std::move(cards)), image_(std::move(image)), opened_(opened), options_(options),
      events_(events), io_(io), transport_(std::move(checks)),
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
      if (verdict != Verdict::not_started_halted) events_->card_settled(latest_of(ip), wave_of(ip));
    };
  }
  report_->card_done = [this](const CardResult& card) { on_line(card); };
  // The checks settle in the loop, on its thread.
  report_->checked = [this](const CardResult& card) { on_checked(card); };
  progress_.total = static_cast<int>(cards_.size());
}

UpgradeRun::~UpgradeRun() {
  {
    std::lock_guard<std::mutex> lock(inbox_->mutex);
    inbox_->io = nullptr;
  }
  inbox_->interrupt_wake = nullptr;
  report_->card_done = nullptr;
  report_->checked = nullptr;
}

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
  events_->journal_started(journal_);
  if (options_.schedule.start_at >= 0)
    start_at_ms_ = io_->now_ms() + 1000LL * seconds_until(options_.schedule.start_at,
                                                          second_of_day(io_->local_time()));
  events_->progress(progress_);
  if (rollout_)
    for (const RunCard& c : cards_)
      if (c.wave) events_->card_waiting(c, c.wave);
  phase_ = Phase::sending;
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

void UpgradeRun::stop_card(uint32_t ip) {
  for (auto& slot : slots_)
    if (slot->busy && slot->session.ip == ip) {
      abort_session(slot->view, &slot->session);
      slot->busy = false;
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
      slot->busy = false;
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

void UpgradeRun::line_without_transfer(const RunCard& c, CardOutcome outcome,
                                       const std::string& message) {
  report_card_queue(report_.get(), judged(c));
  report_card(report_.get(), ip_to_text(c.record.ip), c.record.ip, outcome, message, 0);
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
  if (!transfers_) {
    transfers_ = io_->open_socket();
    if (transfers_) receiver_ = io_->receive(transfers_.get(), inbox_);
  }
  if (!transfers_) {
    report_card(report_.get(), ip_to_text(c.record.ip), c.record.ip, CardOutcome::socket_error, "",
                0);
    return;
  }
  UploadSession& s = slot.session;
  s = UploadSession{};
  s.shared_socket = transfers_.get();
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
  slot.due_ms = s.next_tick_ms;
  if (slot.busy) events_->session_running(place);
}

void UpgradeRun::on_line(const CardResult& card) {
  ++progress_.settled;
  if (verdict_settled(card.verdict) && verdict_fails_run(card.verdict)) progress_.failed = true;
  events_->progress(progress_);
  events_->card_line(report_, card);
  if (journal_behind(journal_.get()) && next_journal_retry_ms_ < 0)
    next_journal_retry_ms_ = io_->now_ms() + JOURNAL_RETRY_MS;
  tell_record();
  if (rollout_) {
    if (card.outcome == CardOutcome::ok) checking_.emplace_back(card.ip, io_->now_ms());
    rollout_->judged(card.ip, card.verdict);
    // A card the plan left out (its gate's line) settles with its line.
    if (!wave_of(card.ip)) events_->card_settled(card, 0);
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
  events_->card_checked(card);
  if (rechecking_) events_->card_rechecked(card, wave_of(card.ip));
  if (rollout_) rollout_->judged(card.ip, card.verdict);
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
    events_->recheck_waiting(applied, options_.recheck_after_ms);
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

void UpgradeRun::drive_sessions(int64_t now) {
  for (auto& slot : slots_) {
    if (!slot->busy) continue;
    slot->due_ms = session_run(slot->view, &slot->session, now, SessionInput::none);
    if (slot->session.ended) slot->busy = false;
  }
}

// What the receiver heard since the last pass goes to the session of the
// card it came from (one from no running card's address is dropped); a
// question open holds it in the inbox.
void UpgradeRun::take_heard(int64_t now) {
  if (!receiver_ || pause_.questions > 0) return;
  inbox_->take_datagrams(&heard_, &heard_bytes_);
  for (const RunDatagram& d : heard_) deliver(now, heard_bytes_.data() + d.at, d.length, d.from);
}

void UpgradeRun::deliver(int64_t now, const uint8_t* data, int length, const SocketAddress& from) {
  for (auto& slot : slots_) {
    if (!slot->busy || slot->session.ip != from.ip) continue;
    slot->due_ms = session_deliver(slot->view, &slot->session, now, data, length, from);
    if (slot->session.ended) slot->busy = false;
    return;
  }
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
    if (status.halted && !halt_told_) {
      halt_told_ = true;
      events_->halted(status);
    }
  }
  std::vector<uint8_t>().swap(image_);
  receiver_.reset();  // no transfer runs any more
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
  if (options_.recheck_after_ms > 0 && !shutting_down_) phase_ = Phase::checking_after;
  if (options_.checks == RunChecks::after_all && !shutting_down_) {
    size_t n = 0;
    for (const CardResult& card : report_cards(report_.get()))
      if (card.outcome == CardOutcome::ok) {
        verifier_card_done(verifier_, report_, card);
        ++n;
      }
    if (n) {
      events_->checks_started(n);
      checks_running_ = true;
      next_check_ms_ = 0;
      phase_ = Phase::checking_after;
    }
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

// The kept report's notes, while it is behind and once when it caught up.
void UpgradeRun::tell_record() {
  const bool behind = journal_behind(journal_.get());
  if (!behind && !record_behind_) return;
  record_behind_ = behind;
  events_->record_changed(journal_notes(journal_.get()), journal_status(journal_.get()));
}

bool UpgradeRun::pass() {
  if (phase_ == Phase::ended) return false;
  int64_t now = io_->now_ms();
  take_commands();
  // Whatever settles cards comes before the starts it may let go.
  if (phase_ == Phase::sending) {
    drive_sessions(now);
    take_heard(now);
  }
  if (phase_ != Phase::waiting_start) {
    drive_checks(now, check_ready_);
    if (rollout_) give_up_late_checks(now);
  }
  if (phase_ == Phase::sending) {
    start_due_cards(now);
    if (cursor_ == cards_.size() && !any_running()) phase_ = Phase::settling;
  }
  if (rollout_) {
    const RolloutStatus status = rollout_->status();
    while (waves_told_ < status.waves_run) events_->wave_started(++waves_told_);
    if (status.halted && !halt_told_) {
      halt_told_ = true;
      events_->halted(status);
    }
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
    events_->heartbeat();
    next_heartbeat_ms_ = now + options_.heartbeat_ms;
  }
  if (phase_ == Phase::ended) {
    events_->ended();
    return false;
  }
  // Sleep on the checks' sockets until the next thing is due; the transfers'
  // datagrams come through the inbox, whose first one wakes the wait.
  std::vector<Socket> sockets;
  if (checks_running_ && transport_) sockets = transport_->sockets();
  now = io_->now_ms();
  // Heard meanwhile: no wait before the next pass.
  const bool hear_transfers = pause_.questions == 0 && receiver_;
  const bool heard = hear_transfers && !inbox_->may_wait();
  const int64_t wait = heard ? 0 : std::max<int64_t>(0, next_due(now) - now);
  std::vector<unsigned char> ready;
  io_->wait(sockets, wait, &ready);
  inbox_->waited();
  check_ready_ = ready.size() == sockets.size() &&
                 std::any_of(ready.begin(), ready.end(), [](unsigned char r) { return r != 0; });
  return true;
}

void UpgradeRun::run() {
  while (pass()) {
  }
}
