// The checks' own socket: a "sysinfo" request to each card asked, and the
// replies read the way discovery reads them.
#include <cstring>

#include "protocol/packet.h"
#include "upgrade/run.h"

namespace {

class SocketChecks : public CheckTransport {
 public:
  SocketChecks(SocketOwner socket, uint16_t port) : socket_(std::move(socket)), port_(port) {}
  void query(uint32_t ip) override {
    uint8_t request[SYSINFO_REQUEST_SIZE];
    const int length = build_sysinfo_request(request);
    socket_send_to(socket_.get(), request, length, make_address(ip, port_));
  }
  Socket socket() override { return socket_.get(); }
  std::vector<Answer> read() override {
    std::vector<Answer> answers;
    // A burst of replies is read whole; the wait comes back for more.
    for (int n = 0; n < READ_MOST && socket_readable(socket_.get(), 0); ++n) {
      SocketAddress from{};
      const int length = socket_recv_from(socket_.get(), datagram_, DATAGRAM_MAX, &from);
      if (length < 4) continue;  // short datagrams and ICMP resets alike
      answer_reply(socket_.get(), datagram_, length, from);
      datagram_[length] = 0;
      DeviceRecord record{};
      if (!parse_sysinfo(&record, reinterpret_cast<char*>(datagram_) + 4, "")) continue;
      // A reply speaks only for the address it came from.
      if (record.ip != from.ip || !record.version) continue;
      answers.push_back({record.ip, record.version});
    }
    return answers;
  }

 private:
  static constexpr int DATAGRAM_MAX = 1599;
  static constexpr int READ_MOST = 64;
  SocketOwner socket_;
  uint16_t port_;
  uint8_t datagram_[DATAGRAM_MAX + 1] = {};
};

}  // namespace

std::unique_ptr<CheckTransport> open_check_transport(uint16_t card_port) {
  SocketOwner socket = udp_open(0);
  if (!socket) return nullptr;
  return std::make_unique<SocketChecks>(std::move(socket), card_port);
}
