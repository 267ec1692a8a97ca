#include <poll.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/bsd_sockets.h"
#include "platform/udp.h"

namespace {

int fd_of(Socket s) { return static_cast<int>(s); }

}  // namespace

int net_startup() { return 1; }
void net_cleanup() {}

Socket socket_create_udp() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  if (fd == 0) {
    // Descriptor 0 would read as "no socket": move it out of the way.
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    if (moved < 0) return 0;
    fd = moved;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return static_cast<Socket>(fd);
}

int socket_bind_any(Socket s, uint16_t port) { return bind_any_address(fd_of(s), port); }

int socket_set_nonblocking(Socket s) {
  const int flags = ::fcntl(fd_of(s), F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd_of(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

int socket_enable_broadcast(Socket s) {
  int on = 1;
  return ::setsockopt(fd_of(s), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

void socket_close(Socket s) {
  if (s) ::close(fd_of(s));
}

int socket_send_to(Socket s, const void* data, int len, const SocketAddress& to) {
  sockaddr_in sin = to_native(to);
  ssize_t n = ::sendto(fd_of(s), data, static_cast<size_t>(len), 0,
                       reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  return n < 0 ? -1 : static_cast<int>(n);
}

int socket_recv_from(Socket s, void* buf, int cap, SocketAddress* from) {
  sockaddr_in sin;
  socklen_t len = sizeof sin;
  std::memset(&sin, 0, sizeof sin);
  ssize_t n = ::recvfrom(fd_of(s), buf, static_cast<size_t>(cap), 0,
                         reinterpret_cast<sockaddr*>(&sin), &len);
  // An ICMP error about an earlier send (a scanned address without a card,
  // a router that cannot reach it) is not this socket's failure.
  if (n < 0)
    return (errno == ECONNREFUSED || errno == ECONNRESET || errno == EHOSTUNREACH ||
            errno == ENETUNREACH)
               ? RECV_RESET
               : RECV_FAILED;
  if (from) *from = from_native(sin);
  return static_cast<int>(n);
}

int socket_readable(Socket s, long usec) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd_of(s), &set);
  timeval tv{0, usec};
  return ::select(fd_of(s) + 1, &set, nullptr, nullptr, &tv) > 0;
}

int socket_wait_any(const Socket* sockets, int count, long ms, unsigned char* ready) {
  if (count < 0 || count > SOCKET_WAIT_MAX) return -1;
  pollfd fds[SOCKET_WAIT_MAX];
  for (int i = 0; i < count; ++i) fds[i] = pollfd{fd_of(sockets[i]), POLLIN, 0};
  int n = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(ms < 0 ? 0 : ms));
  for (int i = 0; i < count; ++i) ready[i] = n > 0 && (fds[i].revents & (POLLIN | POLLERR)) != 0;
  return n < 0 ? -1 : n;
}

uint32_t local_host_first_address() {
  char name[128];
  if (::gethostname(name, sizeof name - 1) != 0) return 0;
  name[sizeof name - 1] = 0;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0 || !list) return 0;
  uint32_t ip = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(list);
  return ip;
}

uint16_t socket_local_port(Socket s) { return bound_port<socklen_t>(fd_of(s)); }
