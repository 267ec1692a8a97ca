#pragma once
// The small datagram layer under the card protocol: BSD sockets natively,
// Winsock in the product. Addresses are IPv4 in network byte order.
#include <cstdint>

using Socket = std::uintptr_t;  // 0 means "no socket"

// Laid out like a sockaddr_in (16 bytes) so that a session can keep and copy
// the card's address exactly as it came off the wire.
struct SocketAddress {
  uint16_t family;   // 2 = IPv4
  uint16_t port_be;  // network byte order
  uint32_t ip;       // network byte order
  uint8_t zero[8];
};
static_assert(sizeof(SocketAddress) == 16);

SocketAddress make_address(uint32_t ip, uint16_t port);
uint16_t address_port(const SocketAddress& a);  // host order

// Start and release the socket library (Winsock 1.1 in the product).
int net_startup();
void net_cleanup();

Socket socket_create_udp();  // 0 on failure
int socket_bind_any(Socket s, uint16_t port);
int socket_enable_broadcast(Socket s);
// A receive with nothing waiting fails at once (RECV_FAILED) instead of
// waiting; 1 on success.
int socket_set_nonblocking(Socket s);
void socket_close(Socket s);

// What closes a socket where socket_close must not: a test's fake sockets.
class SocketCloser {
 public:
  virtual void close_socket(Socket s) = 0;

 protected:
  ~SocketCloser() = default;
};

// Owns one socket and closes it when it goes or is given another; moves,
// never copies. get() lends the socket without giving it up.
class SocketOwner {
 public:
  SocketOwner() = default;
  // closer: nullptr for socket_close.
  explicit SocketOwner(Socket s, SocketCloser* closer = nullptr) : s_(s), closer_(closer) {}
  SocketOwner(SocketOwner&& other) noexcept : s_(other.release()), closer_(other.closer_) {}
  SocketOwner& operator=(SocketOwner&& other) noexcept {
    reset(other.release());
    closer_ = other.closer_;
    return *this;
  }
  SocketOwner(const SocketOwner&) = delete;
  SocketOwner& operator=(const SocketOwner&) = delete;
  ~SocketOwner() { reset(); }

  Socket get() const { return s_; }
  explicit operator bool() const { return s_ != 0; }
  // The socket, no longer owned here.
  Socket release() {
    Socket s = s_;
    s_ = 0;
    return s;
  }
  void reset(Socket s = 0) {
    if (s_ && s_ != s) {
      if (closer_)
        closer_->close_socket(s_);
      else
        socket_close(s_);
    }
    s_ = s;
  }

 private:
  Socket s_ = 0;
  SocketCloser* closer_ = nullptr;
};

// Returns the bytes sent or -1.
int socket_send_to(Socket s, const void* data, int len, const SocketAddress& to);

enum : int {
  RECV_FAILED = -1,  // the socket is unusable
  RECV_RESET = -2,   // an ICMP error (port, host or network unreachable) about an earlier send
};
// Returns the datagram's length, RECV_FAILED or RECV_RESET. A datagram
// longer than cap is cut to cap bytes, on both systems.
int socket_recv_from(Socket s, void* buf, int cap, SocketAddress* from);

// The port the socket is bound to (host order), 0 when unknown.
uint16_t socket_local_port(Socket s);

// 1 when the socket becomes readable within usec microseconds.
int socket_readable(Socket s, long usec);

// Waits at most ms milliseconds until one of count sockets is readable;
// ready[i] is set to 1 for each that is. The number ready, 0 when the time
// ran out, -1 on failure. At most SOCKET_WAIT_MAX sockets.
inline constexpr int SOCKET_WAIT_MAX = 256;
int socket_wait_any(const Socket* sockets, int count, long ms, unsigned char* ready);

#ifdef _WIN32
// Posts message to the window whenever a datagram is waiting on the socket
// (again after each receive while more are waiting); makes the socket
// non-blocking. Closing the socket ends it. 1 on success.
int socket_notify_window(Socket s, uintptr_t window, uint32_t message);
#endif

// The first IPv4 address of the local host's name, in network order; 0 when
// the name or its addresses can't be had.
uint32_t local_host_first_address();

// An IPv4 address between network byte order (as sockets hold it) and host
// order (as numbers compare), independent of the host's byte order.
inline uint32_t host_address(uint32_t network_order) {
  const auto* b = reinterpret_cast<const uint8_t*>(&network_order);
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}
inline uint32_t network_address(uint32_t host_order) {
  uint32_t value = 0;
  auto* b = reinterpret_cast<uint8_t*>(&value);
  b[0] = static_cast<uint8_t>(host_order >> 24);
  b[1] = static_cast<uint8_t>(host_order >> 16);
  b[2] = static_cast<uint8_t>(host_order >> 8);
  b[3] = static_cast<uint8_t>(host_order);
  return value;
}

// 16-bit values in network order, independent of the host's byte order.
inline uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
