#pragma once
// The upgrade engine: the TFTP write transfer of one image to one card (an
// upload session, driven by one function with the time passed in), and the
// batch that confirms, owns its sessions and their threads, hands the cards
// to them and reports every outcome.
//
// The session's window and the batch's message boxes, main window and device
// table are ports: Win32 adapters in the product, the command-line tool's
// own, fakes natively.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image/image.h"
#include "platform/event.h"
#include "platform/udp.h"
#include "protocol/sysinfo.h"
#include "upgrade/results.h"
#include "upgrade/rollout.h"

inline constexpr int WINDOW_SESSIONS = 4;  // the window's batch: four progress windows
inline constexpr int BATCH_SESSIONS_MAX = 64;
inline constexpr int SESSION_BUFFER = 1436;
inline constexpr uint16_t SESSION_TIMEOUT_LIMIT = 320;
inline constexpr uint16_t SESSION_BLOCK_SIZE = 512;
inline constexpr uint32_t SESSION_MAX_BLOCKS = 65535;  // block numbers are 16 bits
// A whole transfer, however steady the card's pace: 30 minutes of ticks.
inline constexpr uint32_t SESSION_TRANSFER_LIMIT_TICKS = 30 * 60 * 10;
inline constexpr uint32_t SESSION_TICK_MS = 100;
inline constexpr uint32_t TICK_TIMER = 0x1000;  // + slot, every 100 ms
inline constexpr uint32_t POLL_TIMER = 0x2000;  // + slot, every 2 ms
// The pause between two starts of a batch.
inline constexpr uint32_t BETWEEN_STARTS_MS = 100;

enum : uint16_t { SESSION_CONNECTING = 0, SESSION_SENDING = 1, SESSION_LAST_SENT = 2 };

// Result lines; each follows the card's IP text.
inline constexpr const char* LINE_OK = " OK.\r\n";
inline constexpr const char* LINE_TIMEOUT = " Timeout.\r\n";
inline constexpr const char* LINE_ABORTED = " User Aborted !\r\n";
inline constexpr const char* LINE_NO_CONNECTION = " No connection , abort.\r\n";
inline constexpr const char* LINE_SOCKET_ERROR = " Socket Error !\r\n";
inline constexpr const char* LINE_NO_MEMORY = " Out of memory , abort.\r\n";
inline constexpr const char* LINE_TOO_LARGE = " Image too large for the card , abort.\r\n";
inline constexpr const char* LINE_NO_SESSION = " No session could be started , abort.\r\n";

// The kept record of a batch: every card of the batch in batch order with
// its last known state, written whole again at every change, so that
// whatever moment the program is stopped at the file names every card.
// A write that fails (the file held open elsewhere) is tried again at the
// next change and by journal_retry; the cards whose state is not on disk
// carry the reason until a write succeeds.
inline constexpr int64_t JOURNAL_RETRY_MS = 3000;
using FileWriter = std::function<bool(const std::string& path, const std::string& bytes,
                                      std::string* reason)>;
struct Journal {
  std::mutex mutex;
  std::vector<CardResult> cards;  // batch order
  std::vector<bool> unsaved;      // beside cards: its latest state is not on disk
  std::vector<bool> renoted;      // beside cards: unsaved changed since journal_notes
  std::string path;               // empty: not kept
  std::string failure;            // why the last write failed; empty when it did not
  int64_t failed_ms = 0;          // when, by the caller's clock
  std::function<int64_t()> clock_ms;
  FileWriter write;  // write_file_whole unless a test holds the file
};
// Starts the journal at path with the cards of the batch (their outcome as
// given, pending for the cards still to go), replacing what is there. False
// with the reason when the file cannot be written; the journal stays unkept.
bool journal_start(Journal* journal, const std::string& path, const std::vector<CardResult>& cards,
                   std::string* reason);
// The same for a kept report in folder (made when missing) named by start:
// never over another file, "..._2.csv" and on when the name is taken.
bool journal_start_kept(Journal* journal, const std::string& folder, const LocalTime& start,
                        const std::vector<CardResult>& cards, std::string* reason);
// Every card's state at once (the batch's order), written at once. False
// when the file is behind.
bool journal_set(Journal* journal, const std::vector<CardResult>& cards);
// A card's new state (matched by address; a card not in the batch is added
// at the end), written at once. False when the file is behind.
bool journal_update(Journal* journal, const CardResult& card);
// Writes again when a write failed and JOURNAL_RETRY_MS have passed since;
// true when the file is (now) up to date.
bool journal_retry(Journal* journal);
bool journal_behind(Journal* journal);
// "Report saved: <path>" or "Report not saved: <reason>"; empty when the
// journal is not kept.
std::string journal_status(Journal* journal);
// Every card whose state is not on disk, with its note "Report not saved:
// <reason>", and each card saved since the last call, with an empty note.
std::vector<std::pair<CardResult, std::string>> journal_notes(Journal* journal);
std::vector<CardResult> journal_cards(Journal* journal);
// Every card still pending takes this outcome, written at once (the
// program is about to go).
bool journal_end_pending(Journal* journal, CardOutcome outcome);

// The text of one batch: whole lines appended under one lock, no size limit;
// beside it one result per card line, and the batch's journal. UTF-8
// throughout: the cards' messages are cleaned into it, and a front shows it
// in its own code page.
struct Report {
  std::mutex mutex;
  std::string text;
  std::vector<CardResult> cards;     // in line order
  std::vector<CardResult> starting;  // cards whose line is still to come
  std::string path;                  // the kept file, once written
  std::function<LocalTime()> clock = local_time_now;
  // Called after each card line, outside the lock, on the thread that ended it.
  std::function<void(const CardResult&)> card_done;
  // Called after each check outcome (report_check), outside the lock, with
  // the card as it now stands.
  std::function<void(const CardResult&)> checked;
  // Told of every card's start, line and check before anyone hears of it.
  std::shared_ptr<Journal> journal;
};
void report_append(Report* report, const std::string& line);
std::string report_text(Report* report);
// A card handed to the batch; its line comes later through report_card.
void report_card_start(Report* report, const CardResult& card);
// The same for a card that is not sent anything: the journal hears only of its line.
void report_card_queue(Report* report, const CardResult& card);
// A card's line (ip_text + the outcome's line, or the card's message) and
// its result; message is used for card_error only.
void report_card(Report* report, const char* ip_text, uint32_t ip, CardOutcome outcome,
                 const std::string& message, uint32_t bytes_sent);
// A check outcome after " OK.": the card's result changes and the kept file
// is written again. False when the card is not in this report.
bool report_check(Report* report, uint32_t ip, CardOutcome outcome, uint32_t answered_version,
                  int seconds);
// The report box's last line for the kept file in folder: the journal's
// status, the journal started there (pending for no card) when it has none.
// "Report saved: <path>" or "Report not saved: <reason>".
std::string keep_report(Report* report, const std::string& folder, const LocalTime& start);
std::vector<CardResult> report_cards(Report* report);

// The questions open in the progress windows of one batch: while any is,
// none of the batch's sessions does timer work (a datagram waits in its
// socket for the work after).
struct SessionPause {
  std::atomic<int> questions{0};
};

// The session's window: dialog 112 in the product, a recording fake in tests.
class SessionView {
 public:
  virtual ~SessionView() = default;
  virtual void set_title(const char* text) = 0;
  virtual void set_status(const char* text) = 0;
  virtual void set_progress_range(uint32_t high) = 0;  // low is 0
  virtual void set_progress_position(uint32_t position) = 0;
  virtual void set_percent(const char* text) = 0;
  virtual void delay(uint32_t ms) = 0;  // holds the window's thread
  // Asks "Are you sure ?" (title "Upgrade Box"); 1 for Yes. Timers of every
  // session may fire while the question is open; those of the batch do
  // nothing meanwhile.
  virtual int confirm_abort() = 0;
  virtual void close(int result) = 0;
};

// One upload session of a batch.
struct UploadSession {
  SocketOwner socket;              // closed when the session ends
  SocketAddress from_addr{};       // sender of the last datagram
  int32_t from_len = 0;
  SocketAddress dest_addr{};       // the card's port 69, then the port of its ACK 0
  uint32_t dest_len = 0;
  Report* report = nullptr;
  uint16_t timeout_limit = SESSION_TIMEOUT_LIMIT;
  uint16_t block_size = SESSION_BLOCK_SIZE;  // 1 to SESSION_BUFFER - 4
  char ip_text[20] = "";
  uint32_t ip = 0;                 // network byte order
  uint16_t port = 69;
  const char* request_prefix = "upgrade";
  // The account is copied from the card's record: the record may be
  // rewritten by a merge while the transfer runs.
  char user_name[32] = "";
  char password[32] = "";
  int32_t slot = 0;                // its place in the batch, 0 to sessions - 1
  SessionPause* pause = nullptr;   // its batch's; none: never held
  int64_t next_tick_ms = 0;        // by the clock of session_run
  uint16_t ticks = 0;              // ticks since the last DATA sent, or the start
  uint32_t transfer_ticks = 0;     // ticks since the start
  uint32_t transfer_limit_ticks = SESSION_TRANSFER_LIMIT_TICKS;
  uint16_t state = SESSION_CONNECTING;
  uint16_t block = 0;              // the last DATA block sent
  uint32_t image_size = 0;
  uint32_t sent = 0;
  uint32_t shown_percent = 0xFFFFFFFFu;  // the percent text last set
  const uint8_t* cursor = nullptr;  // into the batch's image copy
  // This session's own stamp field: the worker restamps the shared copy for
  // every later start, so the session never reads those four bytes from it.
  bool has_stamp = false;
  uint8_t stamp[4] = {0, 0, 0, 0};
  std::unique_ptr<uint8_t[]> send_buf;  // the last packet sent, kept for resending
  uint32_t send_len = 0;
  std::unique_ptr<uint8_t[]> recv_buf;
  int32_t recv_len = 0;
  bool ended = false;              // set once, by end_session
};

// Allocation of the two packet buffers; tests replace it to make it fail.
using SessionAllocator = uint8_t* (*)(size_t size);
extern SessionAllocator session_allocator;

// The window's creation: sets the title, status and range, allocates the
// buffers and sends the write request; the first tick is due
// SESSION_TICK_MS after now_ms. 1 when the session runs; 0 when it has
// already ended (no memory, or an image of more blocks than the card can
// number). Hiding Abort, the 20 x slot pixel offset, topmost and the two
// timers are the window adapter's.
int begin_session(SessionView* view, UploadSession* s, int64_t now_ms = 0);
void session_tick(SessionView* view, UploadSession* s);
// Takes one waiting datagram, if any, and applies the transfer's rules to
// it; 1 when a datagram was taken.
int session_poll(SessionView* view, UploadSession* s);
// True while a question holds the session's batch.
bool session_paused(const UploadSession* s);
// The one driver of a session, whatever its front: unless a question holds
// the batch, the tick due by now_ms (a late tick runs once, not once per
// period missed), then one waiting datagram. Returns when the next tick is
// due, by the same clock: the front calls again by then, and whenever the
// socket has a datagram. The progress window calls it from its timers and
// its socket notification, run_session_loop from its wait on the socket.
int64_t session_run(SessionView* view, UploadSession* s, int64_t now_ms);
// A timer id of the session in that slot (the caller kills any other).
bool is_session_timer(uint32_t timer_id, int32_t slot);
// Ends a running session at once as aborted, with its line (the session is
// stopped from outside: the system's session ends).
void abort_session(SessionView* view, UploadSession* s);
// Releases the buffers, closes the socket and the window; only the first
// call does anything.
void end_session(SessionView* view, UploadSession* s, int result);
// Enter, Esc or Abort (ids 1 and 2) asks whether to abort; the question
// holds the sessions of the batch.
void session_command(SessionView* view, UploadSession* s, int command_id);

// Drives a session without a window, by the steady clock: it sleeps on the
// socket until a datagram comes or the next tick is due, until the session
// ends. poll_ms is the wait while a question holds the batch. When stop
// turns true the session is aborted the way the window's Abort is (the
// view is asked).
void run_session_loop(UploadSession* s, SessionView* view, uint32_t poll_ms,
                      const std::function<bool()>& stop = nullptr);

// How far a batch has come, for the main window's taskbar button.
struct BatchProgress {
  int total = 0;        // cards in the batch; 0: no batch runs
  int settled = 0;      // cards whose line is in
  bool failed = false;  // a card's line is not " OK."
};
enum class TaskbarState { none, normal, error, paused };
// What the button shows; questions is how many questions are open meanwhile.
TaskbarState taskbar_state(const BatchProgress& progress, int questions);

// A batch run as a rollout (upgrade/rollout.h): the cards the gate lets go,
// in batch order, split into waves; a wave starts when every card of the one
// before has settled (its check after the upgrade said applied or not
// verified, or it failed), and failures past the budget halt the run. Off:
// the batch as without a rollout.
struct RolloutOptions {
  bool on = false;
  std::vector<WaveStep> steps;  // empty: one wave of every card
  int max_failures = -1;        // below 0: failure_budget's default
};

// The cards of a batch as the rollout plans them: each checked row's record
// and its gate (asked once), in batch order; the plan of those it lets go.
struct BatchGate {
  int row = 0;
  DeviceRecord record;
  CardOutcome gate = CardOutcome::pending;  // pending: planned
  std::string message;                      // for card_error and skipped_version
  int wave = 0;                             // 0: not planned
};

// What the batch needs from the rest of the program. Called on the batch's
// worker thread; the adapter hands table and window work to their thread.
class BatchPorts {
 public:
  virtual ~BatchPorts() = default;
  virtual int row_count() = 0;
  virtual int row_checked(int row) = 0;
  // Copies the row's record; 0 when the row has none.
  virtual int row_record(int row, DeviceRecord* record) = 0;
  // Shows the row's card as being upgraded (ICON_NO_WRITE).
  virtual void show_row_upgrading(int row) = 0;
  // "Daveridur -- Confirmation", question, Yes/No; 1 for Yes.
  virtual int ask_confirmation(const std::string& text) = 0;
  // "Daveridur -- Information"; returns when the operator closed it.
  virtual void show_report(const std::string& text) = 0;
  // The same for a batch's report, with its cards and the kept file (empty
  // when none was written), for a form that fits a long one.
  virtual void show_batch_report(const std::string& text, const std::vector<CardResult>& cards,
                                 const std::string& kept_path) {
    (void)cards;
    (void)kept_path;
    show_report(text);
  }
  // The batch's progress changed (any thread); a total of 0 at the end.
  virtual void batch_progress(const BatchProgress& progress) { (void)progress; }
  // Why nothing was sent, in an error box owned by the main window; returns
  // when the operator closed it.
  virtual void show_refusal(const std::string& text) = 0;
  virtual void enable_main_window(int enabled) = 0;
  // Runs the session's front (its progress window, a loop) on the thread
  // the batch started for it; returns when the session has ended, and the
  // batch gives its place to the next card.
  virtual void run_session(UploadSession* s) = 0;
  // How many sessions the batch holds at once (1 to BATCH_SESSIONS_MAX).
  virtual int session_count() { return WINDOW_SESSIONS; }
  // Before a card waits for a session: CardOutcome::pending lets it go on,
  // any other outcome is its line without a transfer (message for
  // card_error and skipped_version). The window lets every card go.
  virtual CardOutcome card_gate(const DeviceRecord& record, std::string* message) {
    (void)record;
    (void)message;
    return CardOutcome::pending;
  }
  // How long a card still counted unanswered is given, once per batch, for
  // the merge of its answer to the last refresh pass.
  virtual uint32_t answer_window_ms();
  // Every half second while the batch waits for a free session.
  virtual void batch_waiting() {}
  // A journal the front has started already (the command-line tool's
  // --report): the batch sets its cards there. None: the batch starts one.
  virtual std::shared_ptr<Journal> front_journal() { return nullptr; }
  virtual void sleep_ms(uint32_t ms) = 0;
  virtual LocalTime local_time() = 0;
  virtual SocketOwner open_socket() = 0;  // udp_open(0) in the product
  // How many ticks a card's whole transfer may take.
  virtual uint32_t transfer_limit_ticks() { return SESSION_TRANSFER_LIMIT_TICKS; }
  // Where reports are kept; empty: they are not.
  virtual std::string reports_folder() { return ""; }
  // A UTF-8 text as the report box shows it.
  virtual std::string display_text(const std::string& utf8) { return utf8; }
  // A card's line was added (on the thread that ended it). The report lives
  // as long as someone holds it.
  virtual void card_done(const std::shared_ptr<Report>&, const CardResult&) {}
  // The batch's kept report was started (kept: at every change); the front
  // tries a write that failed again while the journal is behind.
  virtual void journal_started(const std::shared_ptr<Journal>&) {}
  // The batch starts and ends: what the front does while one runs (the
  // window holds off the system's shutdown).
  virtual void batch_running(bool running) { (void)running; }
  // True once the batch must start no more cards (the system's session
  // ends): those left are reported aborted.
  virtual bool stopping() { return false; }
  // The report box was closed; the cards whose line was " OK." are given.
  virtual void report_closed(const std::vector<uint32_t>& ok_ips) { (void)ok_ips; }

  // ---- The rollout (none of these is called while it is off)
  // Asked once, before the batch plans its cards.
  virtual RolloutOptions rollout_options() { return {}; }
  // Each planned card once, when the plan is made and before any starts
  // (the window's Result column: waiting_column_text(wave)).
  virtual void card_waiting(const DeviceRecord& record, int wave) {
    (void)record;
    (void)wave;
  }
  // A card's final result, once per card as it settles (any thread): its
  // line when it was not sent or failed, its check's outcome after " OK.",
  // its not_started line after a halt. wave 0: not in the plan.
  virtual void card_settled(const CardResult& card, int wave) {
    (void)card;
    (void)wave;
  }
  // The run is over, every started card settled (or given up on), before
  // the report box; the status holds the true failure count.
  virtual void rollout_ended(const RolloutStatus& status) { (void)status; }
};

// The rollout's plan over the ports' checked rows, as run_batch makes it:
// each card's gate asked once; *plan holds the cards it lets go.
std::vector<BatchGate> plan_batch(BatchPorts* ports, const RolloutOptions& options,
                                  RolloutPlan* plan);
// A started card whose check has not settled this long after its " OK."
// is counted no_answer: the wait for a wave never hangs on a lost check.
inline constexpr int64_t ROLLOUT_CHECK_LIMIT_MS = 330000;

// The confirmation text for the checked rows against the image version; 0
// when a checked row has no record (the batch must not start).
int confirm_upgrade_text(BatchPorts* ports, uint32_t version, std::string* text);
// 1 when the operator answered Yes.
int confirm_upgrade(BatchPorts* ports, uint32_t version);
// Behind the Upgrade command: confirm, signal busy, disable the main window, start
// the worker. 1 when a batch was started.
// The image is the one the Open command accepted, as it was then.
int start_batch(BatchPorts* ports, Event* busy, const OpenedImage& image);
// Why the image read for the batch must not be sent: the reader's refusal,
// or that its bytes are not those opened (another size, digest or
// version). nullptr when it may go, with its bytes in file.
const char* image_refusal(const OpenedImage& opened, ImageFile* file);
// The worker's whole run; resets busy and enables the main window at the end.
void batch_worker(BatchPorts* ports, Event* busy, OpenedImage opened);
// Every checked card of the ports' rows, from the last row to the first,
// through the batch's sessions, with image (the file's bytes, stamped for
// each start) as opened; the report once all have ended. Returns when
// every session's thread has been joined.
void run_batch(BatchPorts* ports, std::vector<uint8_t>* image, const OpenedImage& opened);
