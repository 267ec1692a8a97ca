#include "discovery/discovery.h"
#include "discovery/receive_buffer.h"
#include "platform/adapters.h"
#include "protocol/packet.h"

namespace {

class SystemClock : public ServiceClock {
 public:
  bool wait(Event& e, uint32_t ms) override { return e.wait(ms); }
  bool wait_all(Event* const* events, int count, uint32_t ms) override {
    return ::wait_all(events, count, ms);
  }
};

class SocketTransport : public DiscoveryTransport {
 public:
  Socket open() override {
    Socket s = udp_open(0);
    // Not fatal: a smaller buffer only loses replies of very large fleets,
    // which the next pass asks again.
    if (s) enlarge_receive_buffer(s, DISCOVERY_RECEIVE_BUFFER);
    return s;
  }
  int enable_broadcast(Socket s) override { return socket_enable_broadcast(s); }
  void send_request(Socket s, uint32_t ip) override { send_sysinfo_request(s, ip); }
  // Windows sends a limited broadcast out of one adapter only; the directed
  // ones reach the cards on the other subnets.
  std::vector<uint32_t> broadcast_addresses() override {
    return broadcast_targets(list_adapter_addresses());
  }
  int readable(Socket s, long usec) override { return wait_readable(s, usec); }
  int receive(Socket s, uint8_t* buf, int cap, SocketAddress* from) override {
    return socket_recv_from(s, buf, cap, from);
  }
  void answer(Socket s, const uint8_t* datagram, int length, const SocketAddress& from) override {
    answer_reply(s, datagram, length, from);
  }
};

}  // namespace

ServiceClock* system_clock() {
  static SystemClock clock;
  return &clock;
}

DiscoveryTransport* socket_transport() {
  static SocketTransport transport;
  return &transport;
}
