#pragma once
// What the two socket adapters share: Winsock keeps the BSD calls and
// sockaddr_in, so the conversions and the calls that differ only in the
// handle's type are written once here. Include after the system's socket
// headers.
#include <cstring>

#include "platform/udp.h"

inline sockaddr_in to_native(const SocketAddress& a) {
  sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = a.port_be;
  sin.sin_addr.s_addr = a.ip;
  return sin;
}

inline SocketAddress from_native(const sockaddr_in& sin) {
  SocketAddress a = make_address(sin.sin_addr.s_addr, 0);
  a.port_be = sin.sin_port;
  return a;
}

template <typename Handle>
int bind_any_address(Handle h, uint16_t port) {
  sockaddr_in sin = to_native(make_address(htonl(INADDR_ANY), port));
  return ::bind(h, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
}

// Length is the system's type for address sizes (socklen_t, int).
template <typename Length, typename Handle>
uint16_t bound_port(Handle h) {
  sockaddr_in sin;
  Length len = sizeof sin;
  if (::getsockname(h, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return 0;
  return ntohs(sin.sin_port);
}
