#include <cstdio>
#include <cstring>
#include <new>

#include "protocol/packet.h"
#include "upgrade/session/session.h"

namespace {

uint8_t* allocate_buffer(size_t size) { return new (std::nothrow) uint8_t[size]; }

// Ticks without progress at which the last packet is sent again.
const uint16_t RESEND_TICKS[] = {11, 31, 71, 151};

const char MODE_OCTET[] = "octet";

void append_result(UploadSession* s, CardOutcome outcome, const std::string& message = "") {
  report_card(s->report, s->ip_text, s->ip, outcome, message, s->sent);
}

Socket socket_of(const UploadSession* s) { return s->socket ? s->socket.get() : s->shared_socket; }

int send_datagram(UploadSession* s, const void* data, int length, const SocketAddress& to) {
  if (s->sender) return s->sender->send(s->shared_socket, data, length, to);
  return socket_send_to(socket_of(s), data, length, to);
}

void send_last_packet(UploadSession* s) {
  send_datagram(s, s->send_buf.get(), static_cast<int>(s->send_len), s->dest_addr);
}

// Copies the next n image bytes, the stamp field taken from the session's
// own copy of it (the shared bytes may be rewritten for a later start).
void copy_image_bytes(const UploadSession* s, uint8_t* dest, uint32_t n) {
  const uint32_t offset = s->sent;
  const uint32_t lo = static_cast<uint32_t>(IMAGE_STAMP_AT), hi = lo + 4;
  if (!s->has_stamp || offset >= hi || offset + n <= lo) {
    if (n) std::memcpy(dest, s->cursor, n);
    return;
  }
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t at = offset + i;
    dest[i] = at >= lo && at < hi ? s->stamp[at - lo] : s->cursor[i];
  }
}

void send_next_block(SessionView* view, UploadSession* s) {
  uint8_t* packet = s->send_buf.get();
  put_be16(packet, OP_DATA);
  s->block = static_cast<uint16_t>(s->block + 1);
  put_be16(packet + 2, s->block);
  uint32_t left = s->image_size - s->sent;
  uint32_t n = left < s->block_size ? left : s->block_size;
  copy_image_bytes(s, packet + 4, n);
  s->ticks = 0;
  s->send_len = n + 4;
  s->sent += n;
  s->cursor += n;
  send_last_packet(s);

  // An empty image has nothing left to send from the start: it is complete.
  uint32_t percent =
      s->image_size ? static_cast<uint32_t>(uint64_t{s->sent} * 100 / s->image_size) : 100;
  // Blocks come at the card's pace, thousands a second: a window that
  // repainted its bar and text for every block would spend its time on that.
  if (percent != s->shown_percent) {
    s->shown_percent = percent;
    view->sent(s->sent, percent);
  }
  if (n < s->block_size) s->state = SESSION_LAST_SENT;
}

void handle_ack(SessionView* view, UploadSession* s) {
  if (get_be16(s->recv_buf.get() + 2) != s->block) return;  // a repeated or stray ACK
  // A repeated ACK 0 while "Connected" shows: block 1 is not due yet.
  if (s->connected_wait) return;
  if (s->state == SESSION_LAST_SENT) {
    append_result(s, CardOutcome::ok);
    end_session(view, s, 1);
    return;
  }
  if (s->state == SESSION_CONNECTING) {
    s->state = SESSION_SENDING;
    // The card answers from a port of its own; the rest of the transfer,
    // retransmissions included, goes there.
    s->dest_addr = s->from_addr;
    view->stage(SessionStage::connected, s->ip_text);
    // The first block goes once that has been on show a moment.
    s->connected_wait = true;
    s->connected_until_ms = s->now_ms + SESSION_CONNECTED_MS;
    return;
  }
  send_next_block(view, s);
}

void end_connected_wait(SessionView* view, UploadSession* s) {
  s->connected_wait = false;
  view->stage(SessionStage::sending, s->ip_text);
  send_next_block(view, s);
}

void handle_error(SessionView* view, UploadSession* s) {
  const char* message = reinterpret_cast<const char*>(s->recv_buf.get()) + 4;
  size_t room = static_cast<size_t>(s->recv_len) - 4;
  const void* nul = std::memchr(message, 0, room);
  size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - message) : room;
  append_result(s, CardOutcome::card_error, report_safe_text(std::string(message, length)));
  end_session(view, s, 1);
}

// Before the first ACK only the card's own address may answer (from any
// port); afterwards only the address and port the transfer follows.
bool from_the_card(const UploadSession* s) {
  if (s->state == SESSION_CONNECTING) return s->from_addr.ip == s->ip;
  return s->from_addr.ip == s->dest_addr.ip && s->from_addr.port_be == s->dest_addr.port_be;
}

}  // namespace

SessionAllocator session_allocator = allocate_buffer;

int begin_session(SessionView* view, UploadSession* s, int64_t now_ms) {
  s->next_tick_ms = now_ms + SESSION_TICK_MS;
  if (!s->ip_text[0]) std::snprintf(s->ip_text, sizeof s->ip_text, "%s", ip_to_text(s->ip));

  view->stage(SessionStage::connecting, s->ip_text);
  view->set_progress_range(s->image_size);

  // The last block is always a short one, so the count is size / 512 + 1;
  // past 65535 the card would see block numbers start again at 0.
  if (s->block_size == 0 || s->block_size > SESSION_BUFFER - 4 ||
      s->image_size / s->block_size + 1 > SESSION_MAX_BLOCKS) {
    append_result(s, CardOutcome::too_large);
    end_session(view, s, 1);
    return 0;
  }
  s->send_buf.reset(session_allocator(SESSION_BUFFER));
  s->recv_buf.reset(session_allocator(SESSION_BUFFER));
  if (!s->send_buf || !s->recv_buf) {
    append_result(s, CardOutcome::no_memory);
    end_session(view, s, 1);
    return 0;
  }

  s->dest_addr = make_address(s->ip, s->port);
  s->dest_len = sizeof s->dest_addr;
  std::string name = std::string(s->request_prefix) + "@" + s->password + "@" + s->user_name;
  uint8_t* packet = s->send_buf.get();
  put_be16(packet, OP_WRQ);
  int length = pack_fields(reinterpret_cast<char*>(packet) + 2, SESSION_BUFFER - 2, "%s%s",
                           {name.c_str(), MODE_OCTET});
  s->send_len = static_cast<uint32_t>(2 + length);
  send_last_packet(s);
  view->stage(SessionStage::requested, s->ip_text);
  return 1;
}

void session_tick(SessionView* view, UploadSession* s) {
  if (s->ended) return;
  ++s->ticks;
  ++s->transfer_ticks;
  // A card that answers each block just in time would otherwise hold its
  // slot for hours.
  if (s->ticks > s->timeout_limit || s->transfer_ticks > s->transfer_limit_ticks) {
    append_result(s, CardOutcome::timeout);
    end_session(view, s, 1);
    return;
  }
  // The card answered the request: nothing is sent again while "Connected"
  // shows before the first block.
  if (s->connected_wait) return;
  for (uint16_t at : RESEND_TICKS)
    if (s->ticks == at) send_last_packet(s);
}

namespace {

// A datagram from the card's address but not from the transfer's port is
// told so (RFC 1350), without disturbing the transfer; one from any other
// address is dropped unanswered: the transfer is no reflector for spoofers.
void tell_foreign(UploadSession* s) {
  if (s->from_addr.ip != s->ip) return;
  if (s->foreign_told_ms >= 0 && s->now_ms - s->foreign_told_ms < SESSION_TICK_MS) return;
  s->foreign_told_ms = s->now_ms;
  uint8_t packet[4 + 32] = {};
  put_be16(packet, OP_ERROR);
  put_be16(packet + 2, TFTP_UNKNOWN_TID);
  const size_t n = std::strlen(TFTP_UNKNOWN_TID_TEXT);
  std::memcpy(packet + 4, TFTP_UNKNOWN_TID_TEXT, n);
  send_datagram(s, packet, static_cast<int>(4 + n + 1), s->from_addr);
}

// Applies the transfer's rules to the datagram in recv_buf.
void handle_datagram(SessionView* view, UploadSession* s) {
  if (s->recv_len < 0) return;  // receive errors
  if (!from_the_card(s)) return tell_foreign(s);
  if (s->recv_len < 4) return;
  switch (get_be16(s->recv_buf.get())) {
    case OP_ACK:
      handle_ack(view, s);
      return;
    case OP_ERROR:
      handle_error(view, s);
      return;
    default:
      return;
  }
}

// Takes the datagram waiting on the session's socket.
int take_datagram(SessionView* view, UploadSession* s) {
  s->from_len = sizeof s->from_addr;
  s->recv_len = socket_recv_from(socket_of(s), s->recv_buf.get(), SESSION_BUFFER, &s->from_addr);
  handle_datagram(view, s);
  return 1;
}

int64_t next_due_of(const UploadSession* s) {
  if (s->connected_wait && s->connected_until_ms < s->next_tick_ms) return s->connected_until_ms;
  return s->next_tick_ms;
}

}  // namespace

int64_t session_deliver(SessionView* view, UploadSession* s, int64_t now_ms, const uint8_t* data,
                        int32_t length, const SocketAddress& from) {
  if (s->ended) return s->next_tick_ms;
  s->now_ms = now_ms;
  s->from_addr = from;
  s->from_len = sizeof s->from_addr;
  s->recv_len = length < SESSION_BUFFER ? length : SESSION_BUFFER;
  if (s->recv_len > 0) std::memcpy(s->recv_buf.get(), data, static_cast<size_t>(s->recv_len));
  handle_datagram(view, s);
  return next_due_of(s);
}

int session_poll(SessionView* view, UploadSession* s) {
  if (s->ended) return 0;
  if (!wait_readable(socket_of(s), 1)) return 0;
  return take_datagram(view, s);
}

void end_session(SessionView* view, UploadSession* s, int result) {
  if (s->ended) return;
  s->ended = true;
  s->send_buf.reset();
  s->recv_buf.reset();
  s->socket.reset();
  s->shared_socket = 0;
  s->sender = nullptr;
  view->close(result);
}

bool session_paused(const UploadSession* s) { return s->pause && s->pause->questions > 0; }

int64_t session_run(SessionView* view, UploadSession* s, int64_t now_ms, SessionInput input) {
  if (s->ended || session_paused(s)) return s->next_tick_ms;
  s->now_ms = now_ms;
  if (now_ms >= s->next_tick_ms) {
    session_tick(view, s);
    // Like window timers, a late tick fires once, not once per period missed.
    s->next_tick_ms += SESSION_TICK_MS;
    if (s->next_tick_ms <= now_ms) s->next_tick_ms = now_ms + SESSION_TICK_MS;
  }
  if (!s->ended && s->connected_wait && now_ms >= s->connected_until_ms)
    end_connected_wait(view, s);
  if (!s->ended && input == SessionInput::maybe) session_poll(view, s);
  if (!s->ended && input == SessionInput::waiting) take_datagram(view, s);
  return next_due_of(s);
}

void abort_session(SessionView* view, UploadSession* s) {
  if (s->ended) return;
  append_result(s, CardOutcome::aborted);
  end_session(view, s, 1);
}

