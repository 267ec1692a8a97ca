#pragma once
// The upload session: the TFTP write transfer of one image to one card, a
// state machine driven by one function with the time passed in. Whoever
// drives it (the run's loop) waits on its socket until its next tick.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/udp.h"
#include "upgrade/record/journal.h"

inline constexpr int WINDOW_SESSIONS = 4;  // the window's batch: four progress windows
inline constexpr int BATCH_SESSIONS_MAX = 64;
inline constexpr int SESSION_BUFFER = 1436;
inline constexpr uint16_t SESSION_TIMEOUT_LIMIT = 320;
inline constexpr uint16_t SESSION_BLOCK_SIZE = 512;
inline constexpr uint32_t SESSION_MAX_BLOCKS = 65535;  // block numbers are 16 bits
// A whole transfer, however steady the card's pace: 30 minutes of ticks.
inline constexpr uint32_t SESSION_TRANSFER_LIMIT_TICKS = 30 * 60 * 10;
inline constexpr uint32_t SESSION_TICK_MS = 100;
// How long "Connected" shows before the first block goes.
inline constexpr uint32_t SESSION_CONNECTED_MS = 100;
// The pause between two starts of a batch.
inline constexpr uint32_t BETWEEN_STARTS_MS = 100;

enum : uint16_t { SESSION_CONNECTING = 0, SESSION_SENDING = 1, SESSION_LAST_SENT = 2 };



// The questions open in the fronts of one run ("Are you sure ?"): while any
// is, none of the run's sessions does timer work (a datagram waits in its
// socket for the work after).
struct SessionPause {
  std::atomic<int> questions{0};
};

// How far a transfer has come, as its view is told it: connecting (the
// request is about to go), requested (it went: the session runs),
// connected (the card's first ACK came; the first block waits a moment)
// and sending (the blocks go).
enum class SessionStage { connecting, requested, connected, sending };

// What a session shows: dialog 112 in the window, a counter in the
// command-line tool, a recording fake in tests. It is told data (the stage,
// the card's address, the bytes and percent sent); the front words it.
// Called on the thread that drives the session; the front hands it on to
// its own.
class SessionView {
 public:
  virtual ~SessionView() = default;
  virtual void stage(SessionStage stage, const char* ip_text) = 0;
  virtual void set_progress_range(uint32_t high) = 0;  // low is 0
  // The percent sent changed (at most once per percent): sent bytes of it.
  virtual void sent(uint32_t position, uint32_t percent) = 0;
  virtual void close(int result) = 0;
};

// Where a session of a run sends from: the run's datagram port, whose
// sockets are numbers of its own.
class DatagramSender {
 public:
  virtual int send(Socket socket, const void* data, int length, const SocketAddress& to) = 0;

 protected:
  ~DatagramSender() = default;
};

// The TFTP error a datagram from the card's address but another port gets
// on a transfer's socket: that port is not the transfer's.
inline constexpr uint16_t TFTP_UNKNOWN_TID = 5;
inline constexpr const char* TFTP_UNKNOWN_TID_TEXT = "Unknown transfer ID";

struct UploadSession {
  SocketOwner socket;              // closed when the session ends
  // Or the transfer's socket of its run's port (sender): the run hears it
  // and hands the session every datagram that came on it (session_deliver).
  Socket shared_socket = 0;
  DatagramSender* sender = nullptr;
  // When a datagram from a foreign port was last told "Unknown transfer
  // ID": at most once a tick, so a flood is not echoed back.
  int64_t foreign_told_ms = -1;
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
  SessionPause* pause = nullptr;   // its run's; none: never held
  int64_t next_tick_ms = 0;        // by the clock of session_run
  // After the first ACK the card is given a moment before the first block,
  // with "Connected" on show meanwhile.
  bool connected_wait = false;
  int64_t connected_until_ms = 0;
  int64_t now_ms = 0;              // the time of the datagram being handled
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

// Allocation of the two packet buffers; tests replace it to make it fail.
using SessionAllocator = uint8_t* (*)(size_t size);
extern SessionAllocator session_allocator;

// Sets the title, status and range, allocates the buffers and sends the
// write request; the first tick is due SESSION_TICK_MS after now_ms. 1 when
// the session runs; 0 when it has already ended (no memory, or an image of
// more blocks than the card can number).
int begin_session(SessionView* view, UploadSession* s, int64_t now_ms = 0);
void session_tick(SessionView* view, UploadSession* s);
// Takes one waiting datagram, if any, and applies the transfer's rules to
// it; 1 when a datagram was taken.
int session_poll(SessionView* view, UploadSession* s);
// True while a question holds the session's run.
bool session_paused(const UploadSession* s);
// The one driver of a session: unless a question holds the run, the tick
// due by now_ms (a late tick runs once, not once per period missed), the
// first block once "Connected" has shown, then every waiting datagram.
// Returns when it is next due, by the same clock: the driver calls again by
// then, and whenever the socket has a datagram.
// What the driver knows of the socket: maybe (it is asked), a datagram
// waits (the driver's wait said so: taken without asking, from a socket
// that does not block), or none.
enum class SessionInput { maybe, waiting, none };
int64_t session_run(SessionView* view, UploadSession* s, int64_t now_ms,
                    SessionInput input = SessionInput::maybe);
// A datagram the run heard on the session's socket: handled as one taken
// from the session's own socket, at now_ms (one from elsewhere than the
// transfer's peer is dropped, or told "Unknown transfer ID"). Returns when the session is next due, as session_run does.
int64_t session_deliver(SessionView* view, UploadSession* s, int64_t now_ms, const uint8_t* data,
                        int32_t length, const SocketAddress& from);
// Ends a running session at once as aborted, with its line (the operator
// or the system stopped it).
void abort_session(SessionView* view, UploadSession* s);
// Releases the buffers, closes the socket and the window; only the first
// call does anything.
void end_session(SessionView* view, UploadSession* s, int result);
