// The checks' own sockets: a "sysinfo" request to each card asked, and the
// replies read the way discovery reads them, each taken only as the answer
// to the query it replies to.
#include <algorithm>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "protocol/packet.h"
#include "upgrade/run/run.h"

namespace {

// The queries of one moment share a socket; a later one gets a new socket.
const int64_t ROUND_MS = 250;
// A socket stays open this long after its last query, for the replies.
const int64_t REPLY_WAIT_MS = 2500;

class SocketChecks : public CheckTransport {
 public:
  SocketChecks(RunIo* io, uint16_t port) : io_(io), port_(port) {}
  ~SocketChecks() override {
    for (const Round& round : rounds_) io_->close(round.socket);
  }

  uint64_t query(uint32_t ip) override {
    const int64_t now = io_->now_ms();
    close_done(now);
    if (rounds_.empty() || now - rounds_.back().opened >= ROUND_MS) {
      const Socket socket = io_->open();
      if (!socket) return 0;  // asked nothing: the check hears nothing either
      Round round;
      round.socket = socket;
      round.opened = now;
      rounds_.push_back(std::move(round));
    }
    Round& round = rounds_.back();
    round.last_query = now;
    Heard& heard = round.asked[ip] = Heard{};
    heard.query = ++queries_;
    uint8_t request[SYSINFO_REQUEST_SIZE];
    const int length = build_sysinfo_request(request);
    io_->send(round.socket, request, length, make_address(ip, port_));
    return heard.query;
  }

  bool take(Socket socket, const uint8_t* data, int length, const SocketAddress& from) override {
    const auto it = std::find_if(rounds_.begin(), rounds_.end(),
                                 [&](const Round& r) { return r.socket == socket; });
    if (it == rounds_.end()) return false;
    // Short datagrams and ICMP resets alike count for nothing.
    if (length >= 4 && length <= DATAGRAM_MAX) take_reply(*it, data, length, from);
    return true;
  }

  std::vector<Answer> read() override {
    std::vector<Answer> answers;
    answers.swap(answers_);
    close_done(io_->now_ms());
    return answers;
  }

 private:
  struct Heard {
    int copies = 0;  // datagrams from the address asked, on this socket
    uint64_t query = 0;  // the number of the query that asked it
    Answer answer;
  };
  struct Round {
    Socket socket = 0;  // the port's
    int64_t opened = 0, last_query = 0;
    std::unordered_map<uint32_t, Heard> asked;  // by address: what its reply said
  };

  static bool same(const Answer& a, const Answer& b) {
    return a.version == b.version && a.has_mac == b.has_mac &&
           std::memcmp(a.mac, b.mac, sizeof a.mac) == 0;
  }

  void take_reply(Round& round, const uint8_t* data, int length, const SocketAddress& from) {
    std::memcpy(datagram_, data, static_cast<size_t>(length));
    uint8_t answer[REPLY_ANSWER_MAX];
    const int answer_length = build_reply_answer(datagram_, length, answer);
    if (answer_length > 0) io_->send(round.socket, answer, answer_length, from);
    datagram_[length] = 0;
    DeviceRecord record{};
    if (!parse_sysinfo(&record, reinterpret_cast<char*>(datagram_) + 4, "")) return;
    // A reply speaks only for the address it came from.
    if (record.ip != from.ip || !record.version) return;
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
      answers_.push_back(contest);
      return;
    }
    // A card answers a query once (the way may bring it twice): a third
    // datagram, or a second that says something else, is someone else's.
    Heard& h = it->second;
    ++h.copies;
    if (h.copies == 1) {
      heard.query = h.query;
      h.answer = heard;
      answers_.push_back(heard);
    } else if (!same(h.answer, heard) || h.copies > 2) {
      Answer contest;
      contest.ip = from.ip;
      contest.contested = true;
      answers_.push_back(contest);
    }
  }

  void close_done(int64_t now) {
    // The current round stays: a reply to it may be on its way.
    while (rounds_.size() > 1 && now - rounds_.front().last_query >= REPLY_WAIT_MS) {
      io_->close(rounds_.front().socket);
      rounds_.pop_front();
    }
    if (rounds_.size() == 1 && now - rounds_.front().last_query >= REPLY_WAIT_MS * 4) {
      io_->close(rounds_.front().socket);
      rounds_.clear();
    }
  }

  static constexpr int DATAGRAM_MAX = 1599;
  RunIo* io_;
  uint16_t port_;
  uint64_t queries_ = 0;
  std::deque<Round> rounds_;
  std::vector<Answer> answers_;  // taken since the last read
  uint8_t datagram_[DATAGRAM_MAX + 1] = {};
};

}  // namespace

std::unique_ptr<CheckTransport> open_check_transport(RunIo* io, uint16_t card_port) {
  // A socket can be had: the checks' first query will open its own.
  SocketOwner probe = udp_open(0);
  if (!probe) return nullptr;
  return std::make_unique<SocketChecks>(io, card_port);
}
