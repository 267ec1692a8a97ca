// A run waits on every session's socket at once: more than Winsock's
// default 64 of a set.
#define FD_SETSIZE 260
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <cstring>

#include "platform/bsd_sockets.h"
#include "platform/udp.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace {

SOCKET sock_of(Socket s) { return static_cast<SOCKET>(s); }

}  // namespace

int net_startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void net_cleanup() { WSACleanup(); }

Socket socket_create_udp() {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return 0;
  // Without this, an ICMP port-unreachable from one card makes the next
  // recvfrom on the socket fail with WSAECONNRESET. Not every stack has it;
  // socket_recv_from reports that error separately for those that don't.
  BOOL report = FALSE;
  DWORD unused = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr, nullptr);
  return static_cast<Socket>(s);
}

int socket_bind_any(Socket s, uint16_t port) { return bind_any_address(sock_of(s), port); }

int socket_set_nonblocking(Socket s) {
  u_long on = 1;
  return ioctlsocket(sock_of(s), FIONBIO, &on) == 0;
}

int socket_enable_broadcast(Socket s) {
  int on = 1;
  return ::setsockopt(sock_of(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

void socket_close(Socket s) {
  if (s) ::closesocket(sock_of(s));
}

int socket_send_to(Socket s, const void* data, int len, const SocketAddress& to) {
  sockaddr_in sin = to_native(to);
  int n = ::sendto(sock_of(s), static_cast<const char*>(data), len, 0,
                   reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  return n == SOCKET_ERROR ? -1 : n;
}

int socket_recv_from(Socket s, void* buf, int cap, SocketAddress* from) {
  sockaddr_in sin;
  int len = sizeof sin;
  std::memset(&sin, 0, sizeof sin);
  int n = ::recvfrom(sock_of(s), static_cast<char*>(buf), cap, 0,
                     reinterpret_cast<sockaddr*>(&sin), &len);
  if (n == SOCKET_ERROR) {
    int err = WSAGetLastError();
    // Likewise an unreachable host or network, from a router on the way to
    // a scanned address, and a TTL expired on the way (WSAENETRESET).
    if (err == WSAECONNRESET || err == WSAECONNREFUSED || err == WSAEHOSTUNREACH ||
        err == WSAENETUNREACH || err == WSAENETRESET)
      return RECV_RESET;
    // A datagram longer than the buffer: Winsock fills the buffer and calls
    // it an error. Take the part that fits, as the POSIX call does, so one
    // oversized datagram from anyone on the network can't end a receiver.
    if (err != WSAEMSGSIZE) return RECV_FAILED;
    n = cap;
  }
  if (from) *from = from_native(sin);
  return n;
}

int socket_readable(Socket s, long usec) {
  // A datagram already waiting is seen without select, which under Wine costs
  // a round trip to its server for every block of a transfer. An empty
  // datagram reads as 0 here: select still decides then.
  u_long waiting = 0;
  if (ioctlsocket(sock_of(s), FIONREAD, &waiting) == 0 && waiting > 0) return 1;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock_of(s), &set);
  timeval tv{0, usec};
  return ::select(0, &set, nullptr, nullptr, &tv) > 0;
}

int socket_wait_any(const Socket* sockets, int count, long ms, unsigned char* ready) {
  if (count < 0 || count > SOCKET_WAIT_MAX) return -1;
  fd_set set;
  FD_ZERO(&set);
  for (int i = 0; i < count; ++i) FD_SET(sock_of(sockets[i]), &set);
  timeval tv{ms < 0 ? 0 : ms / 1000, ms < 0 ? 0 : (ms % 1000) * 1000};
  int n = count ? ::select(0, &set, nullptr, nullptr, &tv) : (Sleep(static_cast<DWORD>(ms < 0 ? 0 : ms)), 0);
  for (int i = 0; i < count; ++i) ready[i] = n > 0 && FD_ISSET(sock_of(sockets[i]), &set);
  return n == SOCKET_ERROR ? -1 : n;
}

int socket_notify_window(Socket s, uintptr_t window, uint32_t message) {
  return WSAAsyncSelect(sock_of(s), reinterpret_cast<HWND>(window), message, FD_READ) == 0;
}

uint32_t local_host_first_address() {
  char name[128];
  if (::gethostname(name, sizeof name - 1) != 0) return 0;
  name[sizeof name - 1] = 0;
  hostent* host = ::gethostbyname(name);
  if (!host || host->h_addrtype != AF_INET || !host->h_addr_list || !host->h_addr_list[0]) return 0;
  uint32_t ip;
  std::memcpy(&ip, host->h_addr_list[0], 4);
  return ip;
}

uint16_t socket_local_port(Socket s) { return bound_port<int>(sock_of(s)); }
