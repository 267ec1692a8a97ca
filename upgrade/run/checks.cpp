// The checks' own sockets: a "sysinfo" request to each card asked, and the
// replies read the way discovery reads them, each taken only as the answer
// to the query it replies to.
#include <chrono>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "protocol/packet.h"
#include "upgrade/run/run.h"

namespace {

using Clock = std::chrono::steady_clock;

// The queries of one moment share a socket; a later one gets a new socket.
const auto ROUND = std::chrono::milliseconds(250);
// A socket stays open this long after its last query, for the replies.
const auto REPLY_WAIT = std::chrono::milliseconds(2500);

class SocketChecks : public CheckTransport {
 public:
  explicit SocketChecks(uint16_t port) : port_(port) {}

  uint64_t query(uint32_t ip) override {
    const Clock::time_point now = Clock::now();
    close_done(now);
    if (rounds_.empty() || now - rounds_.back().opened >= ROUND) {
      SocketOwner socket = udp_open(0);
      if (!socket) return 0;  // asked nothing: the check hears nothing either
      socket_set_nonblocking(socket.get());
      Round round;
      round.socket = std::move(socket);
      round.opened = now;
      rounds_.push_back(std::move(round));
    }
    Round& round = rounds_.back();
    round.last_query = now;
    Heard& heard = round.asked[ip] = Heard{};
    heard.query = ++queries_;
    uint8_t request[SYSINFO_REQUEST_SIZE];
    const int length = build_sysinfo_request(request);
    socket_send_to(round.socket.get(), request, length, make_address(ip, port_));
    return heard.query;
  }

  std::vector<Socket> sockets() override {
    std::vector<Socket> all;
    for (const Round& round : rounds_) all.push_back(round.socket.get());
    return all;
  }

  std::vector<Answer> read() override {
    std::vector<Answer> answers;
    for (Round& round : rounds_) read_round(round, &answers);
    close_done(Clock::now());
    return answers;
  }

 private:
  struct Heard {
    int copies = 0;  // datagrams from the address asked, on this socket
    uint64_t query = 0;  // the number of the query that asked it
    Answer answer;
  };
  struct Round {
    SocketOwner socket;
    Clock::time_point opened, last_query;
    std::unordered_map<uint32_t, Heard> asked;  // by address: what its reply said
  };

  static bool same(const Answer& a, const Answer& b) {
    return a.version == b.version && a.has_mac == b.has_mac &&
           std::memcmp(a.mac, b.mac, sizeof a.mac) == 0;
  }

  void read_round(Round& round, std::vector<Answer>* answers) {
    // A burst of replies is read whole; the wait comes back for more.
    for (int n = 0; n < READ_MOST; ++n) {
      SocketAddress from{};
      const int length = socket_recv_from(round.socket.get(), datagram_, DATAGRAM_MAX, &from);
      if (length == RECV_FAILED) return;  // nothing more waiting
      if (length < 4) continue;           // short datagrams and ICMP resets alike
      answer_reply(round.socket.get(), datagram_, length, from);
      datagram_[length] = 0;
      DeviceRecord record{};
      if (!parse_sysinfo(&record, reinterpret_cast<char*>(datagram_) + 4, "")) continue;
      // A reply speaks only for the address it came from.
      if (record.ip != from.ip || !record.version) continue;
      Answer heard;
      heard.ip = record.ip;
      heard.version = record.version;
      std::memcpy(heard.mac, record.mac, sizeof heard.mac);
      static const uint8_t none[6] = {};
      heard.has_mac = std::memcmp(record.mac, none, sizeof none) != 0;
      auto it = round.asked.find(from.ip);
      if (it == round.asked.end()) {
        // Nobody asked this address here: whoever sent it knew where to
        // send without seeing a query to it.
        Answer contest;
        contest.ip = from.ip;
        contest.contested = true;
        answers->push_back(contest);
        continue;
      }
      // A card answers a query once (the way may bring it twice): a third
      // datagram, or a second that says something else, is someone else's.
      Heard& h = it->second;
      ++h.copies;
      if (h.copies == 1) {
        heard.query = h.query;
        h.answer = heard;
        answers->push_back(heard);
      } else if (!same(h.answer, heard) || h.copies > 2) {
        Answer contest;
        contest.ip = from.ip;
        contest.contested = true;
        answers->push_back(contest);
      }
    }
  }

  void close_done(Clock::time_point now) {
    // The current round stays: the loop may be waiting on its socket.
    while (rounds_.size() > 1 && now - rounds_.front().last_query >= REPLY_WAIT) rounds_.pop_front();
    if (rounds_.size() == 1 && now - rounds_.front().last_query >= REPLY_WAIT * 4) rounds_.clear();
  }

  static constexpr int DATAGRAM_MAX = 1599;
  static constexpr int READ_MOST = 64;
  uint16_t port_;
  uint64_t queries_ = 0;
  std::deque<Round> rounds_;
  uint8_t datagram_[DATAGRAM_MAX + 1] = {};
};

}  // namespace

std::unique_ptr<CheckTransport> open_check_transport(uint16_t card_port) {
  // A socket can be had: the checks' first query will open its own.
  SocketOwner probe = udp_open(0);
  if (!probe) return nullptr;
  return std::make_unique<SocketChecks>(card_port);
}
