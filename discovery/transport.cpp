// The real ports of the discovery service: the system clock and the
// platform's sockets.
#include <algorithm>
#include <chrono>

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
  // Wakes as a datagram arrives, and looks at stop between short waits on
  // the socket, so a quit is seen at once.
  bool wait_for_datagram(Event& stop, DiscoveryTransport& net, Socket s, uint32_t ms) override {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (stop.is_set()) return true;
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      long slice = static_cast<long>(std::min<int64_t>(left.count(), ARRIVAL_SLICE_US));
      if (net.readable(s, slice)) return stop.is_set();
    }
  }

 private:
  static constexpr int64_t ARRIVAL_SLICE_US = 50000;
};

class SocketTransport : public DiscoveryTransport {
 public:
  Socket open() override {
    SocketOwner s = udp_open(0);
    // Not fatal: a smaller buffer only loses replies of very large fleets,
    // which the next pass asks again.
    if (s) enlarge_receive_buffer(s.get(), DISCOVERY_RECEIVE_BUFFER);
    return s.release();
  }
  void close_socket(Socket s) override { socket_close(s); }
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
