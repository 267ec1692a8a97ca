#include "platform/udp.h"

#include <cstring>

SocketAddress make_address(uint32_t ip, uint16_t port) {
  SocketAddress a;
  std::memset(&a, 0, sizeof a);
  a.family = 2;
  put_be16(reinterpret_cast<uint8_t*>(&a.port_be), port);
  a.ip = ip;
  return a;
}

uint16_t address_port(const SocketAddress& a) {
  return get_be16(reinterpret_cast<const uint8_t*>(&a.port_be));
}
