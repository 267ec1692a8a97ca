#pragma once
// A run: the cards of one upgrade, in the front's order, planned (gates,
// waves), sent at most N at a time through upload sessions, checked after
// " OK.", settled and reported. The front that starts it owns it and drives
// its one loop on one thread; commands go in through its inbox from any
// thread, and events come out to the front's observer on the loop's thread.
//
// Life: plan (the constructor), run (start, sessions, checks), settle
// (every card in, the report's text), report (the settled event), end (the
// checks that outlast the report are over: the ended event). The run is
// destroyed only after its loop has returned.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "image/image.h"
#include "platform/udp.h"
#include "protocol/packet.h"
#include "protocol/sysinfo.h"
#include "settings/schedule.h"
#include "upgrade/record/journal.h"
#include "upgrade/policy/options.h"
#include "upgrade/policy/rollout.h"
#include "upgrade/session/session.h"
#include "upgrade/policy/verify.h"

// How far a batch has come, for the main window's taskbar button and the
// fronts' live lines.
struct BatchProgress {
  int total = 0;        // cards in the batch; 0: no batch runs
  int settled = 0;      // cards whose line is in
  bool failed = false;  // a card's line is not " OK."
  int wave = 0;         // the rollout's wave under way (0: none yet, or no rollout)
  bool tick = false;    // told by the heartbeat, nothing else changed
};

// Whatever the run waits for while no card can start; nothing once one
// starts again. start_time: the schedule's first start; window: the
// schedule's window is closed (the front names it: "the window 22:00-05:00");
// delay: the time between waves; gate: a person opens the next wave.
// The last four are news of a wait rather than the wait itself, and leave
// what the run waits for as it was: held (a wave settled and the policy
// holds the next), halted (the budget stopped the starts), verify (the
// checks after every transfer begin) and recheck (the applied cards are
// asked again after a while).
enum class RunWait {
  nothing, session, wave, answer, checks, paused, start_time, window, delay, gate,
  held, halted, verify, recheck
};

// A wave settled and the policy holds the next one: told when it settles,
// and again as its gate opens (gate false then).
struct WaveHold {
  int settled_wave = 0;
  int next_wave = 0;
  size_t next_cards = 0;
  std::map<VerdictTally, int> counts;  // of the wave that settled
  bool gate = false;  // waits for a person (open_gate)
  // When the next wave may start by the delay and the window, from now
  // (the loop's clock) and by the local clock.
  int64_t starts_in_ms = 0;
  LocalTime starts_at{};
};
// "Wave 1 settled: 1 applied, 0 failed"
std::string wave_settled_words(const WaveHold& hold);
// "2026-12-10 03:30"
std::string local_time_words(const LocalTime& t);

// Every card of a run in, as data: the fronts word it themselves.
struct RunSummary {
  std::vector<CardResult> cards;  // in line order
  // The card lines, each failed check's in place of its " OK." line.
  std::string lines;
  RolloutStatus rollout;
  // The operator stopped the run (stop_all, stop_starting) before any halt.
  bool stopped = false;
  std::string kept_path;
  // "Report saved: <path>" or "Report not saved: <reason>" for a report the
  // run kept in its folder; empty when the front keeps it.
  std::string kept_status;
};

// The plan, told once before any card starts.
struct RunPlanned {
  const std::vector<RunCard>& cards;  // in run order, each with its wave (0: none)
  std::shared_ptr<Journal> journal;   // the kept report (kept at every change)
  bool rollout = false;               // planned in waves, with a policy
  const RolloutPolicy& policy;
};

// A card's transfer begins in a session place (slot); wave: its wave.
struct RunStarted {
  const RunCard& card;
  int slot = 0;
  int wave = 0;
};

// What changed a card's verdict after its line.
enum class SettledBy {
  check,    // a check in the loop said what the card runs
  rollout,  // with a rollout, the card settles (once; wave 0: not in the plan)
  recheck,  // the recheck changed the outcome (fell back, went silent, another answers)
};
struct RunSettled {
  const CardResult& card;
  int wave = 0;
  SettledBy by = SettledBy::check;
};

// What the run waits for changed, or news of a wait (RunWait); only the
// fields of its kind are set.
struct RunWaiting {
  RunWait what = RunWait::nothing;
  int wave = 0;
  WaveHold hold;          // held: told as the wave settles, and again as its gate opens
  RolloutStatus halt;     // halted
  size_t cards = 0;       // verify: the cards checked; recheck: the applied cards
  int64_t wait_ms = 0;    // recheck: asked again in that long
  LocalTime at{};         // recheck: and at that local time
};

// What the run tells its front, on the loop's thread, as data: the front
// words and shows it. A front that shows windows posts these to its own
// thread and returns; what it asks of the run goes in through the inbox.
class RunEvents {
 public:
  virtual ~RunEvents() = default;
  virtual void planned(const RunPlanned& plan) { (void)plan; }
  // Before its session begins (its view is told the stages from then on).
  virtual void started(const RunStarted& start) { (void)start; }
  // How far the batch has come; and the heartbeat's tick.
  virtual void progress(const BatchProgress& progress) { (void)progress; }
  // A card's line came (its transfer ended, or it was not sent); the report
  // holds it.
  virtual void line(const CardResult& card) { (void)card; }
  // The kept report's cards whose state is not on disk, each with its note
  // ("Report not saved: <reason>"), and those saved since the last time
  // (an empty note); status: "Report saved: <path>" or why not.
  virtual void recorded(const std::vector<std::pair<CardResult, std::string>>& notes,
                        const std::string& status) {
    (void)notes;
    (void)status;
  }
  virtual void settled(const RunSettled& settled) { (void)settled; }
  virtual void waiting(const RunWaiting& waiting) { (void)waiting; }
  // Every card is in: what the report holds (report_box.h makes the
  // report box's text of it).
  virtual void summary(const RunSummary& summary) { (void)summary; }
  // The loop is over; nothing of the run runs any more.
  virtual void ended() {}
};

// Where each session place shows its transfer: the front's, for the run
// (nullptr: nothing shows it).
class SessionViews {
 public:
  virtual ~SessionViews() = default;
  virtual SessionView* session_view(int slot) = 0;
};

struct RunInbox;
// Hears the port's sockets for a run; it stops hearing when this goes.
class PortReceiver {
 public:
  virtual ~PortReceiver() = default;
};

// The run's datagram port: the clocks, its sockets (opened, sent from,
// heard, closed), the wait and the wake. Its sockets are numbers of its
// own, never given twice. Everything that comes on them is heard by the
// port and posted into the run's inbox (RunInbox::post_datagram), which
// wakes the loop when it waits: the run's only way to hear the network.
class RunIo : public DatagramSender {
 public:
  virtual ~RunIo() = default;
  virtual int64_t now_ms() = 0;
  virtual LocalTime local_time() = 0;
  // A socket on a port the system picks, heard from now on; 0 when none
  // can be had.
  virtual Socket open() = 0;
  // Heard no more; datagrams of it still in the inbox are the run's to drop.
  virtual void close(Socket socket) = 0;
  // The bytes sent or -1.
  int send(Socket socket, const void* data, int length, const SocketAddress& to) override = 0;
  // Waits until wake() was called or wait_ms passed.
  virtual void wait(int64_t wait_ms) = 0;
  // From any thread (and, natively, from a signal handler).
  virtual void wake() = 0;
  // Hears every socket of the port, posting each datagram into the inbox,
  // until the returned object goes (the product's, a thread of its own; a
  // test's in-memory network posts as it delivers).
  virtual std::unique_ptr<PortReceiver> hear(const std::shared_ptr<RunInbox>& inbox) = 0;
};

// The system's: the steady clock, real sockets, a wake datagram to a
// socket of its own on the loopback address, and one thread that waits on
// every open socket at once (poll natively, select in the product) and
// posts what comes. Under Wine every receive and send is a round trip to
// the wineserver: the receiving thread beside the loop's sends keeps both
// going.
class SystemRunIo : public RunIo {
 public:
  SystemRunIo();
  ~SystemRunIo() override;
  int64_t now_ms() override;
  LocalTime local_time() override { return local_time_now(); }
  Socket open() override;
  void close(Socket socket) override;
  int send(Socket socket, const void* data, int length, const SocketAddress& to) override;
  void wait(int64_t wait_ms) override;
  void wake() override;
  std::unique_ptr<PortReceiver> hear(const std::shared_ptr<RunInbox>& inbox) override;
  // The system's socket behind one of the port's (0: not open).
  Socket system_socket(Socket socket) const;
  // Sockets closed but not yet let go by the receiving thread.
  size_t retired() const { return retired_.size(); }

  struct HeardState;

 private:
  void publish();
  void close_retired();

  int64_t since_ms_ = 0;
  SocketOwner wake_socket_;
  SocketAddress wake_address_{};
  Socket next_ = 0;
  std::vector<std::pair<Socket, Socket>> open_;  // the port's number, the system's socket
  // Closed sockets the receiver may still wait on, each with the
  // publication that let it go; closed once the receiver has seen that one.
  std::vector<std::pair<Socket, uint64_t>> retired_;
  uint64_t generation_ = 0;
  std::shared_ptr<HeardState> heard_;  // shared with the receiving thread
};

// How the checks in the loop ask a card and hear its answers: sockets of
// their own in the product, a fake in tests.
class CheckTransport {
 public:
  virtual ~CheckTransport() = default;
  // Its number, which the answer to it carries (0: it could not be sent).
  virtual uint64_t query(uint32_t ip) = 0;
  // A datagram the port heard on one of its sockets: false when the socket
  // is none of the checks' (each query round has its own).
  virtual bool take(Socket socket, const uint8_t* data, int length, const SocketAddress& from) = 0;
  using Answer = VerifyAnswer;
  // What came since the last read, on every socket of the transport: only
  // replies to its own queries, each from the address asked on the socket
  // the query left from and with the number of that query, and whatever
  // contested one (verify.h).
  virtual std::vector<Answer> read() = 0;
};
// The checks' own sockets: each "sysinfo" request goes out from a socket
// opened for the queries of that moment (a quarter second), kept open a
// few seconds for their replies: a sender that did not see the query does
// not know where to answer it. A reply counts only on the socket its query
// left from, from the address asked, once (twice when the way doubled it);
// a different second reply, a third one, or a datagram for an address not
// asked there, contests that address.
// Its sockets are the run's port's (io), heard by the run.
std::unique_ptr<CheckTransport> open_check_transport(RunIo* io, uint16_t card_port = 69);

// The commands a run takes, from any thread.
enum class RunCommandKind {
  start,
  pause,      // no new card starts; running transfers go on
  resume,
  stop_card,  // ip: a running transfer ends " User Aborted !"; one not started is not sent
  // Running transfers end aborted, cards not started are not_started
  // (stopped by the operator); the report comes at once, the checks of the
  // cards sent whole go on after it.
  stop_all,
  // No card starts any more; running transfers finish and are checked;
  // cards not started are not_started (stopped by the operator).
  stop_starting,
  shutdown,   // the system's session ends: everything ends aborted, at once
  hold,       // a question opened: no session does timer work
  release,    // and closed
  answered,   // ip answered a query (the window's merge): it is no longer unanswered
  // A person opens the gate before the held wave (who: their name and
  // where), or refuses it: no card starts any more, as stop_starting.
  // resume opens a held gate too.
  open_gate,
  refuse_gate,
};
struct RunCommand {
  RunCommandKind kind = RunCommandKind::start;
  uint32_t ip = 0;
  CardOutcome outcome = CardOutcome::pending;
  std::string who{};
};

// A datagram the port heard on one of its sockets: its bytes are
// bytes[at, at + length) of the inbox's (then the loop's) byte buffer.
struct RunDatagram {
  Socket socket = 0;
  SocketAddress from{};
  size_t at = 0;
  int length = 0;
};

// The inbox: the run's only lock. Shared with whoever may post after the
// run has gone (a posted command then goes nowhere).
struct RunInbox {
  // Datagrams heard while the loop had no time for them, at most this many
  // (more are dropped, as a full socket drops them).
  static constexpr size_t DATAGRAMS_MAX = 8192;
  // And at most this many of one socket: a flood at one transfer's port
  // fills its own share, never the others'.
  static constexpr int SOCKET_SHARE = 256;

  std::mutex mutex;
  std::vector<RunCommand> commands;
  std::vector<RunDatagram> datagrams;
  std::vector<uint8_t> bytes;
  std::unordered_map<Socket, int> shares;  // datagrams waiting, by socket
  bool loop_waiting = false;  // the loop waits (or is about to): a datagram wakes it
  RunIo* io = nullptr;  // woken after each post; cleared when the run goes
  void post(const RunCommand& command);
  // From a signal handler or the console's own thread: no lock, no
  // allocation; the loop takes it with the commands. kind: stop_starting
  // or shutdown. interrupt_first: a stop_starting, true only the first time.
  void post_interrupt(RunCommandKind kind);
  bool interrupt_first();
  std::atomic<int> interrupts{0};  // the kinds posted so, as bits
  std::atomic<RunIo*> interrupt_wake{nullptr};  // the run's io while it lives
  std::vector<RunCommand> take();
  // The port's: wakes the loop only when it waits. False when the socket's
  // share is full (the datagram is dropped; the port may leave the socket
  // unheard a moment).
  bool post_datagram(Socket socket, const uint8_t* data, int length, const SocketAddress& from);
  // Swaps what was heard into *list and *heard (whose old contents go).
  void take_datagrams(std::vector<RunDatagram>* list, std::vector<uint8_t>* heard);
  // Before the loop waits: false when datagrams wait already (no wait
  // then); otherwise the next datagram wakes it. waited() after the wait.
  bool may_wait();
  void waited();
};

class UpgradeRun {
 public:
  // The plan is made here: each card's wave, the journal's first write.
  // image holds the file's bytes, stamped for each start.
  UpgradeRun(std::vector<RunCard> cards, std::vector<uint8_t> image, const OpenedImage& opened,
             const RunOptions& options, RunEvents* events, RunIo* io,
             std::unique_ptr<CheckTransport> checks = nullptr, SessionViews* views = nullptr);
  ~UpgradeRun();
  UpgradeRun(const UpgradeRun&) = delete;
  UpgradeRun& operator=(const UpgradeRun&) = delete;

  // From any thread.
  void post(const RunCommand& command) { inbox_->post(command); }
  std::shared_ptr<RunInbox> inbox() const { return inbox_; }

  // The loop: passes until the run has ended.
  void run();
  // One pass: the commands, the work due by now, the wait for the next.
  // False once the run has ended.
  bool pass();

  bool ended() const { return phase_ == Phase::ended; }
  // The operator stopped the run (stop_all, stop_starting) before any halt.
  bool stopped_by_operator() const { return operator_stop_; }
  const std::vector<RunCard>& cards() const { return cards_; }
  const RolloutPlan& plan() const { return plan_; }
  RolloutStatus rollout_status() const;
  std::vector<CardResult> results() const;  // every card's latest, in run order
  std::shared_ptr<Report> report() const { return report_; }

 private:
  struct Slot;
  enum class Phase { waiting_start, sending, settling, checking_after, ended };
  void begin_run();
  void take_commands();
  void stop_card(uint32_t ip);
  void stop_running(bool shutdown);
  void stop_starting();
  bool schedule_holds(int64_t now);
  bool wave_holds(int64_t now);
  void open_gate(bool opened, const std::string& who);
  int64_t window_wait_ms(int64_t at) ;
  void start_due_cards(int64_t now);
  void start_card(size_t index, int64_t now);
  void line_without_transfer(const RunCard& card, CardOutcome outcome, const std::string& message);
  std::string stop_reason() const;
  void drive_sessions(int64_t now);
  void take_heard(int64_t now);
  void deliver(int64_t now, const RunDatagram& d, const uint8_t* data);
  void end_slot(Slot& slot);
  void drive_checks(int64_t now, bool readable);
  void give_up_late_checks(int64_t now);
  bool recheck_holds(int64_t now);
  void on_line(const CardResult& card);
  void on_checked(const CardResult& card);
  void settle_run();
  void tell_record();
  int64_t next_due(int64_t now) const;
  int free_slot() const;
  bool sending_to(uint32_t ip) const;
  bool any_running() const;
  void tell_waiting(RunWait what, int wave);
  void tell_news(RunWaiting news);
  void tell_halt_once(const RolloutStatus& status);
  void tell_hold(WaveHold hold, int64_t starts_in_ms);
  void tell_settled(const CardResult& card, int wave, SettledBy by);
  CardResult judged(const RunCard& card) const;
  CardResult latest_of(uint32_t ip) const;
  int wave_of(uint32_t ip) const;

  std::vector<RunCard> cards_;
  std::vector<uint8_t> image_;
  OpenedImage opened_;
  RunOptions options_;
  RunEvents* events_;
  SessionViews* views_;
  RunIo* io_;
  std::unique_ptr<CheckTransport> transport_;
  std::shared_ptr<RunInbox> inbox_;

  Phase phase_ = Phase::waiting_start;
  RolloutPlan plan_;
  std::unique_ptr<Rollout> rollout_;
  std::map<uint32_t, int> waves_;
  std::shared_ptr<Report> report_;
  std::shared_ptr<Journal> journal_;
  std::string not_kept_;
  LocalTime start_time_{};
  std::vector<std::unique_ptr<Slot>> slots_;
  // Hears the port's sockets (each transfer's own, the checks'); from the
  // first start until the run goes.
  std::unique_ptr<PortReceiver> receiver_;
  std::vector<RunDatagram> heard_;
  std::vector<uint8_t> heard_bytes_;
  // The transfers' datagrams that came while a question held the run.
  std::vector<RunDatagram> held_;
  std::vector<uint8_t> held_bytes_;
  SessionPause pause_;
  size_t cursor_ = 0;              // the next card in run order
  int64_t next_start_ms_ = 0;      // BETWEEN_STARTS_MS after the last start
  int64_t cursor_due_ms_ = -1;     // when the next card is looked at again; -1: on a change
  bool answer_waited_ = false;     // the answer window is given once
  int64_t answer_until_ms_ = -1;   // while it runs
  bool paused_ = false;
  bool stopping_ = false;          // stop_all: nothing more starts
  bool shutting_down_ = false;     // shutdown: the rest ends aborted
  bool report_now_ = false;        // stop_all: the report does not wait for the checks
  bool record_behind_ = false;     // the kept report was behind when last told
  bool operator_stop_ = false;     // stop_all or stop_starting before any halt: the report says so
  long long start_at_wall_ = NO_FIRST_START;  // the schedule's first start, by the wall clock
  int held_wave_ = 0;              // the wave the policy holds, as last seen
  int64_t held_since_ms_ = 0;      // when the wave before it settled
  bool gate_open_ = false;         // its gate, when it has one
  std::vector<uint32_t> stopped_;  // cards stopped before their turn
  BatchProgress progress_;
  bool halt_told_ = false;
  RunWait told_wait_ = RunWait::nothing;
  int told_wave_ = 0;
  int64_t next_heartbeat_ms_ = 0;
  int64_t next_journal_retry_ms_ = -1;
  int64_t next_journal_sync_ms_ = -1;  // rows written in place flushed then
  std::vector<std::pair<uint32_t, int64_t>> checking_;  // " OK." cards whose check is out, and when
  Verifier verifier_;
  bool checks_running_ = false;
  int64_t next_check_ms_ = 0;
  bool check_ready_ = false;  // the checks' socket was readable
  int64_t check_limit_ms_ = 0;  // a rollout's give-up on a card's check
  int64_t recheck_at_ms_ = -1;  // the applied cards are asked again then
  bool rechecking_ = false;     // and are being asked
};
