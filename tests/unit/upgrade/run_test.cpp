// The run on a fake clock and an in-memory network, one pass at a time,
// without sockets or threads: fake cards at 127.0.0.n answer the sessions'
// datagrams whenever the run waits, what they send reaches the run through
// its inbox as the product's receiving thread posts it, the clock moves
// only when nothing is ready, and what the run tells its front is recorded
// with the time it came.
// Also the helpers the fronts use before a run starts and when it is over.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "image/image.h"
#include "platform/files.h"
#include "protocol/csv.h"
#include "protocol/packet.h"
#include "protocol/sha256.h"
#include "tools/mkimage/image_maker.h"
#include "upgrade/pages/progress_words.h"
#include "upgrade/pages/report_box.h"
#include "upgrade/run/run.h"
#include "upgrade/run/run_tally.h"
#include "upgrade/record/kept_report.h"
#include "upgrade/policy/rollout_json.h"
#include "upgrade/policy/batch.h"

namespace {

using Bytes = std::vector<uint8_t>;

const LocalTime CLOCK_START{2000, 6, 15, 10, 30, 0};
const uint32_t IMAGE_VERSION = 0x0102;  // the test image's
const int64_t NEVER = std::numeric_limits<int64_t>::max();

uint32_t card_ip(int n) { return htonl(0x7F000000u | static_cast<uint32_t>(n)); }  // 127.0.0.n

// A civil time some seconds after start.
LocalTime civil_time(const LocalTime& start, int64_t seconds) {
  std::tm tm{};
  tm.tm_year = start.year - 1900;
  tm.tm_mon = start.month - 1;
  tm.tm_mday = start.day;
  tm.tm_hour = start.hour;
  tm.tm_min = start.minute;
  tm.tm_sec = start.second;
  std::time_t t = timegm(&tm) + static_cast<std::time_t>(seconds);
  gmtime_r(&t, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

// A card at 127.0.0.n on the in-memory network. It answers a write request
// with ACK 0 (or its ERROR), each DATA with its ACK, delay_ms after the
// datagram came and never before from_ms, from a port of its own; or it
// stays silent. Asked "sysinfo" by the checks' transport, it answers with
// `sysinfo` (MAC and version), when it has one.
struct FakeCard {
  enum class Acts { answers, errs, silent };
  int n = 0;
  Acts acts = Acts::answers;
  std::string error = "Flash error";
  int64_t delay_ms = 0;
  int64_t from_ms = 0;
  std::string sysinfo;         // the reply's text after "+IP"; empty: silent to queries
  int64_t sysinfo_delay_ms = 0;

  std::vector<int64_t> wrq_at;  // when each write request came
  Bytes wrq;                    // the first one
  Bytes received;               // the blocks in order, each once
  uint16_t block = 0;
  int64_t first_data_ms = -1;
  std::vector<SocketAddress> peers;  // where each datagram came from

  // What it sends back, when: (at, bytes).
  std::vector<std::pair<int64_t, Bytes>> take(int64_t now, const uint8_t* buf, int len,
                                              const SocketAddress& from) {
    if (len < 4) return {};
    peers.push_back(from);
    const uint16_t op = get_be16(buf);
    Bytes reply;
    if (op == OP_RRQ) {
      if (sysinfo.empty()) return {};
      const std::string text = "MX-2 SNMP/WEB Card\r\n+PROD : 0x00010004\r\n+IP : 127.0.0." +
                               std::to_string(n) + "\r\n" + sysinfo;
      reply = {0, 3, 0, 1};
      reply.insert(reply.end(), text.begin(), text.end());
      return {{now + sysinfo_delay_ms, reply}};
    }
    if (op == OP_WRQ) {
      if (wrq_at.empty()) wrq.assign(buf, buf + len);
      wrq_at.push_back(now);
      if (acts == Acts::errs) {
        reply = {0, 5, 0, 0};
        reply.insert(reply.end(), error.begin(), error.end());
        reply.push_back(0);
      } else {
        reply = {0, 4, 0, 0};
      }
    } else if (op == OP_DATA) {
      const uint16_t b = get_be16(buf + 2);
      if (b == static_cast<uint16_t>(block + 1)) {
        block = b;
        received.insert(received.end(), buf + 4, buf + len);
        if (first_data_ms < 0) first_data_ms = now;
      }
      reply = {0, 4, buf[2], buf[3]};
    } else {
      return {};
    }
    if (acts == Acts::silent) return {};
    return {{std::max(now + delay_ms, from_ms), reply}};
  }
};

// The run's system, in memory: a counter for a clock, sockets that are
// numbers with a port each on 127.0.0.1, cards that answer what is sent
// to them, and a network that hands each datagram, when it is due, to the
// socket of its port through the run's inbox, as the product's receiving
// thread does (RunInbox::post_datagram, which wakes a waiting loop). The
// wait returns when woken, else moves the clock to the next datagram due,
// the test's next step, or the end of the wait. No sockets, no threads.
class FakeIo : public RunIo {
 public:
  static constexpr uint16_t FIRST_PORT = 40000;
  int64_t now = 0;
  LocalTime start = CLOCK_START;
  int64_t wall_shift_s = 0;  // the wall clock's jumps (daylight saving, set by hand)
  std::set<int> failing_opens;  // the opens (from 0) that give no socket
  int opens = 0;
  std::map<int, std::unique_ptr<FakeCard>> cards;  // by n
  uint16_t port = 69;           // the cards' TFTP port
  std::map<Socket, uint16_t> open_ports;  // the sockets open, with their ports
  int most_open = 0;

  // Runs f at fake time t, as if the front did it then.
  void at(int64_t t, std::function<void()> f) { steps_.emplace(t, std::move(f)); }

  int64_t now_ms() override { return now; }
  LocalTime local_time() override { return civil_time(start, now / 1000 + wall_shift_s); }
  Socket open() override {
    const int index = opens++;
    if (failing_opens.count(index)) return 0;
    return open_quietly();
  }
  // A socket for the test's own transport, not counted as the run's.
  Socket open_quietly() {
    const Socket s = ++next_socket_;
    open_ports[s] = static_cast<uint16_t>(FIRST_PORT + s);
    most_open = std::max(most_open, static_cast<int>(open_ports.size()));
    return s;
  }
  void close(Socket s) override { open_ports.erase(s); }
  uint16_t port_of(Socket s) const {
    auto it = open_ports.find(s);
    return it == open_ports.end() ? 0 : it->second;
  }
  int send(Socket s, const void* data, int length, const SocketAddress& to) override {
    const uint16_t from_port = port_of(s);
    if (!from_port) return -1;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const int n = static_cast<int>(ntohl(to.ip) & 0xFF);
    auto it = cards.find(n);
    // A card hears its TFTP port and the port it answers from.
    if (it != cards.end() && (ntohl(to.ip) >> 8) == 0x7F0000 &&
        (address_port(to) == port || address_port(to) == 2000 + n)) {
      const SocketAddress from = make_address(text_to_ip("127.0.0.1"), from_port);
      // The card answers from a port of its own (its transfer ID).
      const SocketAddress card = make_address(to.ip, static_cast<uint16_t>(2000 + n));
      for (auto& [at, reply] : it->second->take(now, bytes, length, from)) put(at, card, from_port, reply);
    } else {
      sent_elsewhere.push_back({to, Bytes(bytes, bytes + length)});
    }
    return length;
  }
  // Datagrams the run sent to no card's TFTP port (errors to a stranger).
  std::vector<std::pair<SocketAddress, Bytes>> sent_elsewhere;

  // A datagram on the network, due at `at`, for whatever socket has the port.
  void put(int64_t at, const SocketAddress& from, uint16_t to_port, Bytes bytes) {
    network_.emplace(at, Datagram{from, to_port, std::move(bytes)});
  }

  void wake() override { woken_ = true; }
  std::unique_ptr<PortReceiver> hear(const std::shared_ptr<RunInbox>& inbox) override {
    inbox_ = inbox;
    return std::make_unique<PortReceiver>();
  }
  void wait(int64_t wait_ms) override {
    const int64_t until = now + wait_ms;
    for (;;) {
      run_steps();
      deliver_due();
      if (woken_ || now >= until) break;
      int64_t next = until;
      if (!network_.empty()) next = std::min(next, network_.begin()->first);
      if (!steps_.empty()) next = std::min(next, steps_.begin()->first);
      now = std::max(now, next);
    }
    const bool came = woken_;
    woken_ = false;
    // A wait of nothing with nothing come is work due now; the pass after
    // does it. More of them in a row is a loop that spins: a real clock
    // would move meanwhile, so this one does too, a millisecond a time.
    empty_waits_ = wait_ms == 0 && !came ? empty_waits_ + 1 : 0;
    longest_spin = std::max(longest_spin, empty_waits_);
    if (empty_waits_ > 2) ++now;
  }
  int longest_spin = 0;  // the most empty waits of nothing in a row

  void add_cards(const std::vector<int>& ns) {
    for (int n : ns) {
      auto card = std::make_unique<FakeCard>();
      card->n = n;
      cards[n] = std::move(card);
    }
  }

 private:
  struct Datagram {
    SocketAddress from;
    uint16_t to_port;
    Bytes bytes;
  };
  // The receiving path of the product: each datagram due goes into the
  // run's inbox with the socket it came on (one for a closed port is lost).
  void deliver_due() {
    while (!network_.empty() && network_.begin()->first <= now) {
      Datagram d = std::move(network_.begin()->second);
      network_.erase(network_.begin());
      for (const auto& [s, p] : open_ports)
        if (p == d.to_port && inbox_)
          inbox_->post_datagram(s, d.bytes.data(), static_cast<int>(d.bytes.size()), d.from);
    }
  }
  void run_steps() {
    while (!steps_.empty() && steps_.begin()->first <= now) {
      auto f = std::move(steps_.begin()->second);
      steps_.erase(steps_.begin());
      f();
    }
  }
  std::multimap<int64_t, std::function<void()>> steps_;
  std::multimap<int64_t, Datagram> network_;
  std::shared_ptr<RunInbox> inbox_;
  Socket next_socket_ = 0;
  bool woken_ = false;
  int empty_waits_ = 0;
};

// The checks' transport: each query recorded; a card given a version
// answers it at once, as a datagram on a socket of its own.
class FakeChecks : public CheckTransport {
 public:
  explicit FakeChecks(FakeIo* io) : io_(io), socket_(io->open_quietly()) {}
  std::map<uint32_t, uint32_t> versions;
  std::set<uint32_t> other_macs;  // answer as another device at the card's address
  std::vector<std::pair<uint32_t, int64_t>> queries;

  uint64_t query(uint32_t ip) override {
    queries.emplace_back(ip, io_->now);
    const uint64_t number = queries.size();
    auto it = versions.find(ip);
    if (it == versions.end()) return number;
    // The card's own MAC, as the test's cards have it, unless told another.
    Answer a;
    a.ip = ip;
    a.version = it->second;
    const uint8_t mac[6] = {0x00, 0x0a, 0xff, 0x10, 0x20, static_cast<uint8_t>(ntohl(ip) & 0xFF)};
    std::memcpy(a.mac, mac, 6);
    if (other_macs.count(ip)) a.mac[0] = 0x02;
    a.has_mac = true;
    a.query = number;
    answers_.push_back(a);
    io_->put(io_->now, make_address(ip, 69), io_->port_of(socket_), Bytes{1});
    return number;
  }
  bool take(Socket socket, const uint8_t*, int, const SocketAddress&) override {
    return socket == socket_;
  }
  std::vector<Answer> read() override {
    std::vector<Answer> out;
    out.swap(answers_);
    return out;
  }
  int queries_of(int n) const {
    return static_cast<int>(std::count_if(queries.begin(), queries.end(),
                                          [&](const auto& q) { return q.first == card_ip(n); }));
  }

 private:
  FakeIo* io_;
  Socket socket_;
  std::vector<Answer> answers_;
};

struct FakeView : SessionView {
  std::string title;
  std::vector<std::string> statuses, percents;
  uint32_t range = 0;
  int closes = 0;
  // Worded as the progress window words them.
  void stage(SessionStage stage, const char* ip) override {
    if (stage == SessionStage::connecting) title = progress_title(ip);
    if (stage != SessionStage::requested) statuses.push_back(progress_status(stage, ip));
  }
  void set_progress_range(uint32_t high) override { range = high; }
  void sent(uint32_t, uint32_t percent) override { percents.push_back(progress_percent(percent)); }
  void close(int) override { ++closes; }
};

// "ip result" per journal row, in the run's order.
std::vector<std::string> states(const std::vector<CardResult>& cards) {
  std::vector<std::string> out;
  for (const CardResult& c : cards)
    out.push_back(std::string(ip_to_text(c.ip)) + " " + result_count_word(c));
  return out;
}

// What the run tells its front, with the fake time it came.
struct Recorder : RunEvents, SessionViews {
  FakeIo* io = nullptr;
  struct Start {
    int n;
    int slot;
    int64_t at;
    std::vector<std::string> journal;  // the journal's rows as the card started
  };
  std::vector<Start> starts;
  struct Line {
    int n;
    CardOutcome outcome;
    int64_t at;
  };
  std::vector<Line> lines;
  std::vector<std::tuple<int, CardOutcome, int64_t>> checked;
  std::vector<std::tuple<int, CardOutcome, int>> settled_cards;  // n, outcome, wave
  std::vector<int64_t> settled_card_at;
  std::vector<std::pair<int, int>> waiting_cards;  // n, wave
  std::vector<std::pair<RunWait, int>> waits;
  std::vector<int> waves;
  std::vector<RolloutStatus> halts;
  std::vector<std::tuple<int, int, bool>> progress_seen;
  std::set<int> running;
  size_t most_running = 0;
  std::shared_ptr<Journal> journal;
  std::vector<size_t> checks_started_for;
  // cards, wait, when told, the local time it is due
  std::vector<std::tuple<size_t, int64_t, int64_t, std::string>> rechecks;
  std::vector<std::tuple<int, CardOutcome, int>> rechecked;  // n, outcome, wave
  bool view_slot0 = false;
  FakeView view;

  int settles = 0;
  int64_t settled_at = -1;
  std::string text, kept;
  std::vector<CardResult> cards;
  RolloutStatus status;
  int ends = 0;
  int64_t ended_at = -1;

  static int n_of(uint32_t ip) { return static_cast<int>(ntohl(ip) & 0xFF); }

  SessionView* session_view(int slot) override {
    return view_slot0 && slot == 0 ? &view : nullptr;
  }
  void planned(const RunPlanned& plan) override {
    journal = plan.journal;
    if (!plan.rollout) return;
    for (const RunCard& card : plan.cards)
      if (card.wave) waiting_cards.emplace_back(n_of(card.record.ip), card.wave);
  }
  void started(const RunStarted& start) override {
    const int n = n_of(start.card.record.ip);
    starts.push_back({n, start.slot, io->now, states(journal_cards(journal.get()))});
    running.insert(n);
    most_running = std::max(most_running, running.size());
  }
  void line(const CardResult& card) override {
    lines.push_back({n_of(card.ip), card.outcome, io->now});
    running.erase(n_of(card.ip));
  }
  void settled(const RunSettled& s) override {
    const CardResult& card = s.card;
    switch (s.by) {
      case SettledBy::check:
        checked.emplace_back(n_of(card.ip), card.outcome, io->now);
        break;
      case SettledBy::rollout:
        settled_cards.emplace_back(n_of(card.ip), card.outcome, s.wave);
        settled_card_at.push_back(io->now);
        break;
      case SettledBy::recheck:
        rechecked.emplace_back(n_of(card.ip), card.outcome, s.wave);
        break;
    }
  }
  // A wave begins with progress of its own: the waves apart from the counts.
  void progress(const BatchProgress& p) override {
    if (p.tick) return;
    const int told = waves.empty() ? 0 : waves.back();
    if (p.wave != told) return waves.push_back(p.wave);
    progress_seen.emplace_back(p.total, p.settled, p.failed);
  }
  std::vector<std::pair<WaveHold, int64_t>> holds;
  void waiting(const RunWaiting& w) override {
    switch (w.what) {
      case RunWait::held:
        holds.emplace_back(w.hold, io->now);
        break;
      case RunWait::halted:
        halts.push_back(w.halt);
        break;
      case RunWait::verify:
        checks_started_for.push_back(w.cards);
        break;
      case RunWait::recheck:
        rechecks.emplace_back(w.cards, w.wait_ms, io->now, local_time_words(w.at));
        break;
      default:
        waits.emplace_back(w.what, w.wave);
    }
  }
  void summary(const RunSummary& s) override {
    ++settles;
    settled_at = io->now;
    text = report_box_text(s);
    cards = s.cards;
    kept = s.kept_path;
    status = s.rollout;
  }
  void ended() override {
    ++ends;
    ended_at = io->now;
  }

  const Start* start_of(int n) const {
    for (const Start& s : starts)
      if (s.n == n) return &s;
    return nullptr;
  }
  const Line* line_of(int n) const {
    for (const Line& l : lines)
      if (l.n == n) return &l;
    return nullptr;
  }
  std::vector<int> start_order() const {
    std::vector<int> out;
    for (const Start& s : starts) out.push_back(s.n);
    return out;
  }
  std::vector<int> line_order() const {
    std::vector<int> out;
    for (const Line& l : lines) out.push_back(l.n);
    return out;
  }
};

std::vector<CardOutcome> outcomes_of(const std::vector<CardResult>& cards) {
  std::vector<CardOutcome> out;
  for (const CardResult& c : cards) out.push_back(c.outcome);
  return out;
}

std::string read_text(const std::string& path) {
  std::string text;
  read_file_text(path, 1 << 20, &text, nullptr);
  return text;
}

class RunTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/daveridur-run-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ImagePlan plan;
    plan.body = make_body(3000, 4);
    image_ = make_image(plan);
    opened_ = opened_image_of(dir_ + "/fw.bin", image_, IMAGE_VERSION);
    events_.io = &io_;
  }
  void TearDown() override {
    run_.reset();
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  // Cards 127.0.0.n in run order, each with a fake card that answers after
  // delay_ms (900: well inside the 1.1 s before a resend).
  void cards(const std::vector<int>& ns, int64_t delay_ms = 900) {
    io_.add_cards(ns);
    for (int n : ns) {
      RunCard c;
      c.record.filled = 1;
      c.record.ip = card_ip(n);
      c.record.version = 0x0100;
      const uint8_t mac[6] = {0x00, 0x0a, 0xff, 0x10, 0x20, static_cast<uint8_t>(n)};
      std::memcpy(c.record.mac, mac, 6);
      std::strcpy(c.record.user_name, "admin");
      std::strcpy(c.record.password, "pw");
      cards_.push_back(c);
      io_.cards[n]->delay_ms = delay_ms;
    }
  }
  RunCard& card(int n) {
    for (RunCard& c : cards_)
      if (c.record.ip == card_ip(n)) return c;
    ADD_FAILURE() << "no card " << n;
    return cards_.front();
  }
  FakeCard& fake(int n) { return *io_.cards.at(n); }
  // The run over the cards so far; checks: the loop's checks answer the
  // versions given to the returned transport.
  UpgradeRun& make(RunOptions options = {}, bool with_checks = false) {
    options.card_port = io_.port;
    std::unique_ptr<CheckTransport> transport;
    if (with_checks) {
      auto owned = std::make_unique<FakeChecks>(&io_);
      checks_ = owned.get();
      transport = std::move(owned);
    }
    return make(options, std::move(transport));
  }
  UpgradeRun& make(RunOptions options, std::unique_ptr<CheckTransport> transport) {
    options.card_port = io_.port;
    run_ = std::make_unique<UpgradeRun>(cards_, image_, opened_, options, &events_, &io_,
                                        std::move(transport), &events_);
    return *run_;
  }
  // An image of about that many bytes: blocks enough for transfers to overlap.
  void image_of(size_t bytes) {
    ImagePlan plan;
    plan.body = make_body(bytes, 4);
    image_ = make_image(plan);
    opened_ = opened_image_of(dir_ + "/fw.bin", image_, IMAGE_VERSION);
  }
  // Starts the run and passes until it has ended.
  void run_to_end(int most_passes = 500000) {
    run_->post({RunCommandKind::start});
    for (int n = 0; run_->pass(); ++n)
      if (n > most_passes) {
        ADD_FAILURE() << "the run did not end; fake time " << io_.now;
        return;
      }
    EXPECT_TRUE(run_->ended());
    EXPECT_EQ(events_.settles, 1);
    EXPECT_EQ(events_.ends, 1);
    EXPECT_LE(io_.longest_spin, 2) << "the loop waited for nothing again and again";
    // Every card has its one row in the report, and the run's latest of
    // each is that row.
    const std::vector<CardResult> rows = report_cards(run_->report().get());
    const std::vector<CardResult> latest = run_->results();
    ASSERT_EQ(rows.size(), cards_.size());
    ASSERT_EQ(events_.cards.size(), cards_.size());
    for (size_t i = 0; i < cards_.size(); ++i) {
      EXPECT_EQ(latest[i].ip, cards_[i].record.ip);
      const auto it = std::find_if(rows.begin(), rows.end(),
                                   [&](const CardResult& r) { return r.ip == latest[i].ip; });
      ASSERT_NE(it, rows.end());
      EXPECT_EQ(it->outcome, latest[i].outcome) << ip_to_text(latest[i].ip);
    }
  }
  void post_at(int64_t t, RunCommandKind kind, int n = 0) {
    io_.at(t, [this, kind, n] { run_->post({kind, n ? card_ip(n) : 0u}); });
  }
  // The image as card n took it: the file's bytes with the stamp of when
  // its transfer started.
  Bytes stamped_at(int64_t start_ms) {
    Bytes b = image_;
    const LocalTime t = civil_time(io_.start, start_ms / 1000);
    stamp_header(b.data(), b.size(), &t);
    return b;
  }
  std::vector<CardOutcome> results() { return outcomes_of(run_->results()); }
  // A fresh fixture for the next case of a table.
  void fresh() {
    TearDown();
    io_ = FakeIo();
    events_ = Recorder();
    cards_.clear();
    checks_ = nullptr;
    SetUp();
  }

  FakeIo io_;
  Recorder events_;
  FakeChecks* checks_ = nullptr;
  std::vector<RunCard> cards_;
  std::unique_ptr<UpgradeRun> run_;
  std::string dir_;
  Bytes image_;
  OpenedImage opened_;
};

// ---- The plain run

// Six cards through four sessions: starts in run order and 100 ms apart,
// never more than four at once, a freed session taken by the next card;
// each card takes the image with the stamp of its own start; the journal
// names every card from the first start on.
TEST_F(RunTest, SixCardsThroughFourSessions) {
  cards({1, 2, 3, 4, 5, 6});
  fake(3).delay_ms = 100;  // done first
  fake(4).acts = FakeCard::Acts::errs;
  fake(4).delay_ms = 0;
  make();
  run_to_end();

  EXPECT_EQ(events_.start_order(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(events_.most_running, 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(events_.starts[i].slot, i);
    EXPECT_EQ(events_.starts[i].at, 100 * i);
  }
  // Card 4's error freed its session: card 5 starts the pause after the
  // last start, card 6 as soon as card 3 is done.
  EXPECT_EQ(events_.line_of(4)->at, 300);
  EXPECT_EQ(events_.starts[4].slot, 3);
  EXPECT_EQ(events_.starts[4].at, 400);
  EXPECT_EQ(events_.starts[5].slot, 2);
  EXPECT_EQ(events_.starts[5].at, events_.line_of(3)->at);
  EXPECT_GE(events_.starts[5].at, 1000);
  EXPECT_EQ(events_.line_order(), (std::vector<int>{4, 3, 1, 2, 5, 6}));

  EXPECT_EQ(fake(1).wrq, (Bytes{0, 2, 'u', 'p', 'g', 'r', 'a', 'd', 'e', '@', 'p', 'w', '@', 'a', 'd',
                                'm', 'i', 'n', 0, 'o', 'c', 't', 'e', 't', 0}));
  for (int n : {1, 2, 3, 5, 6}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(fake(n).wrq_at.size(), 1u);
    EXPECT_EQ(fake(n).received, stamped_at(events_.start_of(n)->at));
  }
  // Card 5's first block went after card 6's start restamped the shared
  // copy a second later: it still carries its own.
  EXPECT_GT(fake(5).first_data_ms, events_.start_of(6)->at);
  EXPECT_NE(stamped_at(events_.start_of(6)->at), stamped_at(events_.start_of(5)->at));
  EXPECT_TRUE(fake(4).received.empty());

  const std::string text =
      "127.0.0.4 Flash error\r\n127.0.0.3 OK.\r\n127.0.0.1 OK.\r\n127.0.0.2 OK.\r\n"
      "127.0.0.5 OK.\r\n127.0.0.6 OK.\r\n";
  EXPECT_EQ(report_text(run_->report().get()), text);
  EXPECT_EQ(events_.text, text);
  EXPECT_EQ(events_.kept, "");
  EXPECT_EQ(outcomes_of(events_.cards),
            (std::vector<CardOutcome>{CardOutcome::card_error, CardOutcome::ok, CardOutcome::ok,
                                      CardOutcome::ok, CardOutcome::ok, CardOutcome::ok}));
  const std::vector<CardResult> rows = run_->results();  // run order
  EXPECT_EQ(outcomes_of(rows),
            (std::vector<CardOutcome>{CardOutcome::ok, CardOutcome::ok, CardOutcome::ok,
                                      CardOutcome::card_error, CardOutcome::ok, CardOutcome::ok}));
  EXPECT_EQ(rows[0].bytes_sent, image_.size());
  EXPECT_EQ(rows[3].bytes_sent, 0u);
  EXPECT_EQ(rows[3].message, "Flash error");
  EXPECT_EQ(rows[0].image_version, IMAGE_VERSION);
  EXPECT_EQ(rows[0].version_before, 0x0100u);

  EXPECT_EQ(events_.starts[0].journal,
            (std::vector<std::string>{"127.0.0.1 sending", "127.0.0.2 pending", "127.0.0.3 pending",
                                      "127.0.0.4 pending", "127.0.0.5 pending",
                                      "127.0.0.6 pending"}));
  EXPECT_EQ(events_.starts[5].journal,
            (std::vector<std::string>{"127.0.0.1 sending", "127.0.0.2 sending", "127.0.0.3 ok",
                                      "127.0.0.4 card_error", "127.0.0.5 sending",
                                      "127.0.0.6 sending"}));
  EXPECT_EQ(states(journal_cards(events_.journal.get())),
            (std::vector<std::string>{"127.0.0.1 ok", "127.0.0.2 ok", "127.0.0.3 ok",
                                      "127.0.0.4 card_error", "127.0.0.5 ok", "127.0.0.6 ok"}));

  using P = std::tuple<int, int, bool>;
  EXPECT_EQ(events_.progress_seen, (std::vector<P>{P{6, 0, false}, P{6, 1, true}, P{6, 2, true},
                                              P{6, 3, true}, P{6, 4, true}, P{6, 5, true},
                                              P{6, 6, true}}));
  // Off, the run plans nothing and tells nothing of a rollout.
  EXPECT_TRUE(events_.waiting_cards.empty());
  EXPECT_TRUE(events_.settled_cards.empty());
  EXPECT_TRUE(events_.waves.empty());
  EXPECT_FALSE(events_.status.halted);
  EXPECT_EQ(events_.ended_at, events_.settled_at);
}

// One card through the run's loop: what its view shows, and the percent
// text set only when it changes.
TEST_F(RunTest, OneCardShowsItsTransferInItsView) {
  cards({7}, 0);
  events_.view_slot0 = true;
  make();
  run_to_end();
  const FakeView& v = events_.view;
  EXPECT_EQ(v.title, "Upg 127.0.0.7");
  EXPECT_EQ(v.statuses, (std::vector<std::string>{"Connecting to UPS 127.0.0.7 ...",
                                                  "127.0.0.7 Connected . Start the upgrade !",
                                                  "To : 127.0.0.7"}));
  EXPECT_EQ(v.range, image_.size());
  EXPECT_EQ(v.closes, 1);
  EXPECT_EQ(v.percents.back(), "100%");
  EXPECT_EQ(std::adjacent_find(v.percents.begin(), v.percents.end()), v.percents.end());
  EXPECT_EQ(fake(7).first_data_ms, SESSION_CONNECTED_MS);  // "Connected" shows first
  EXPECT_EQ(fake(7).received, stamped_at(0));
  EXPECT_EQ(results(), std::vector<CardOutcome>{CardOutcome::ok});
}

// As many sessions run at once as asked, up to the most a run holds, and at
// least one.
TEST_F(RunTest, HoldsAsManySessionsAsAsked) {
  struct Case {
    int asked;
    size_t held;
  };
  for (Case c : {Case{1, 1}, Case{64, 64}, Case{100, 64}, Case{0, 1}}) {
    SCOPED_TRACE(c.asked);
    fresh();
    std::vector<int> ns;
    for (int n = 1; n <= 70; ++n) ns.push_back(n);
    cards(ns);
    RunOptions options;
    options.parallel = c.asked;
    make(options);
    run_to_end();
    EXPECT_EQ(events_.most_running, c.held);
    ASSERT_EQ(events_.starts.size(), 70u);
    for (size_t i = 1; i < events_.starts.size(); ++i)
      EXPECT_GE(events_.starts[i].at - events_.starts[i - 1].at, int64_t{BETWEEN_STARTS_MS});
    EXPECT_EQ(std::count(events_.text.begin(), events_.text.end(), '\n'), 70);
    const std::vector<CardOutcome> outcomes = results();
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), CardOutcome::ok), 70);
  }
}

// The overall limit the front gives reaches each session: a card that
// answers every block just in time still ends at it.
TEST_F(RunTest, TransferLimitReachesTheSessions) {
  cards({1, 2});
  RunOptions options;
  options.transfer_limit_ticks = 30;
  make(options);
  run_to_end();
  ASSERT_EQ(events_.lines.size(), 2u);
  EXPECT_EQ(events_.lines[0].outcome, CardOutcome::timeout);
  EXPECT_EQ(events_.lines[0].at, 3100);  // the 31st tick
  EXPECT_LT(fake(1).received.size(), image_.size());
  EXPECT_FALSE(fake(1).received.empty());
  EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::timeout, CardOutcome::timeout}));
}

TEST_F(RunTest, SocketThatFailsToOpenIsItsCardsLine) {
  cards({1, 2, 3}, 0);
  io_.failing_opens = {0};
  RunOptions options;
  options.parallel = 1;  // a session the failure held would never come back
  make(options);
  run_to_end();
  EXPECT_EQ(events_.text, "127.0.0.1 Socket Error !\r\n127.0.0.2 OK.\r\n127.0.0.3 OK.\r\n");
  EXPECT_TRUE(fake(1).wrq_at.empty());
  EXPECT_EQ(fake(3).received.size(), image_.size());
  EXPECT_EQ(events_.start_of(3)->slot, 0);
  EXPECT_EQ(io_.opens, 3);  // each transfer its own socket
  EXPECT_EQ(results(),
            (std::vector<CardOutcome>{CardOutcome::socket_error, CardOutcome::ok, CardOutcome::ok}));
  EXPECT_EQ(states(journal_cards(events_.journal.get()))[0], "127.0.0.1 socket_error");
}

// ---- Cards not sent

// A card the front's gate settled takes its line at its turn, without a
// session or a transfer, while the card after it waits for a session.
TEST_F(RunTest, GatedCardsTakeTheirLinesWithoutATransfer) {
  cards({1, 2, 3, 4, 5});
  fake(3).delay_ms = 0;
  card(2).gate = CardOutcome::skipped_version;
  card(2).message = "Skipped : version 1.02 .";
  card(4).gate = CardOutcome::skipped_done;
  card(4).message = "2026-01-01_000000.csv";
  card(5).gate = CardOutcome::no_connection;
  RunOptions options;
  options.parallel = 1;
  make(options);
  run_to_end();
  EXPECT_EQ(events_.text,
            "127.0.0.2 Skipped : version 1.02 .\r\n127.0.0.1 OK.\r\n"
            "127.0.0.4 Skipped : done in 2026-01-01_000000.csv .\r\n"
            "127.0.0.5 No connection , abort.\r\n127.0.0.3 OK.\r\n");
  // Card 3's last blocks went after the pause that follows its start.
  EXPECT_EQ(events_.line_of(4)->at, events_.start_of(3)->at + BETWEEN_STARTS_MS);
  EXPECT_EQ(events_.line_of(2)->at, 100);  // while card 1 holds the one session
  EXPECT_EQ(events_.start_order(), (std::vector<int>{1, 3}));
  for (int n : {2, 4, 5}) EXPECT_TRUE(fake(n).wrq_at.empty()) << n;
  EXPECT_EQ(io_.opens, 2);  // a socket per transfer; a gated card needs none
  EXPECT_EQ(events_.start_of(3)->journal,
            (std::vector<std::string>{"127.0.0.1 ok", "127.0.0.2 skipped_version",
                                      "127.0.0.3 sending", "127.0.0.4 pending",
                                      "127.0.0.5 pending"}));
  EXPECT_EQ(results(),
            (std::vector<CardOutcome>{CardOutcome::ok, CardOutcome::skipped_version,
                                      CardOutcome::ok, CardOutcome::skipped_done,
                                      CardOutcome::no_connection}));
  EXPECT_EQ(run_->results()[3].message, "2026-01-01_000000.csv");
}

// A card counted unanswered at the last refresh pass is given the answer
// window, once per run: the answers merged meanwhile (answered) let their
// cards go; a card still unanswered after it gets no_connection, never a
// transfer. Its line waits for a free session like a start.
TEST_F(RunTest, AnswerWindowOncePerRunAndOnlyForUnansweredCards) {
  struct Case {
    const char* name;
    uint32_t window_ms;
    int parallel;
    std::vector<uint32_t> unanswered;  // per card
    int64_t answered_at;               // the merge, -1: none
    std::vector<int> answered;
    int64_t first_from_ms;  // card 1 answers from then on
    std::vector<std::pair<int, int64_t>> starts, no_connection;
  };
  const Case cases[] = {
      {"all_answered", 1500, 4, {0, 0, 0}, -1, {}, 0, {{1, 0}, {2, 100}, {3, 200}}, {}},
      {"first_silent", 1500, 4, {1, 0, 0}, -1, {}, 0, {{2, 1500}, {3, 1600}}, {{1, 1500}}},
      {"window_once", 1500, 4, {1, 2, 0}, -1, {}, 0, {{3, 1500}}, {{1, 1500}, {2, 1500}}},
      {"later_cards", 1500, 4, {0, 1, 1}, -1, {}, 0, {{1, 0}}, {{2, 1600}, {3, 1600}}},
      {"answer_ends_the_wait", 1500, 4, {1, 0, 0}, 700, {1}, 0, {{1, 700}, {2, 800}, {3, 900}}, {}},
      {"last_pass_answers", 1500, 4, {1, 3, 1}, 500, {1, 3}, 0, {{1, 500}, {3, 1500}}, {{2, 1500}}},
      {"no_window", 0, 4, {1, 0, 0}, -1, {}, 0, {{2, 0}, {3, 100}}, {{1, 0}}},
      {"line_waits_for_a_session", 0, 1, {0, 1, 0}, -1, {}, 2000, {{1, 0}, {3, 2100}}, {{2, 2100}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    cards({1, 2, 3}, 0);
    fake(1).from_ms = c.first_from_ms;
    for (int n = 1; n <= 3; ++n) card(n).record.unanswered_queries = c.unanswered[n - 1];
    RunOptions options;
    options.answer_window_ms = c.window_ms;
    options.parallel = c.parallel;
    make(options);
    for (int n : c.answered) post_at(c.answered_at, RunCommandKind::answered, n);
    run_to_end();
    std::vector<std::pair<int, int64_t>> starts, lost;
    for (const auto& s : events_.starts) starts.emplace_back(s.n, s.at);
    for (const auto& l : events_.lines)
      if (l.outcome == CardOutcome::no_connection) lost.emplace_back(l.n, l.at);
    EXPECT_EQ(starts, c.starts);
    EXPECT_EQ(lost, c.no_connection);
    for (const auto& [n, at] : c.no_connection) EXPECT_TRUE(fake(n).wrq_at.empty()) << n;
  }
}

// ---- Rollouts

// Waves 1, then 2 at a time, no failure allowed: the next wave waits for
// the check of the one before; a failure halts it, the card still sending
// finishes and is checked (its failure counted), the rest are not started.
TEST_F(RunTest, WavesWaitForChecksAndAFailureHalts) {
  cards({1, 2, 3, 4, 5, 6});
  card(1).gate = CardOutcome::skipped_version;
  card(1).message = "Skipped : version 1.02 .";
  card(1).record.version = IMAGE_VERSION;
  fake(4).acts = FakeCard::Acts::errs;
  RunOptions options;
  options.rollout.on = true;
  options.rollout.steps = {{false, 1}, {false, 2}};
  options.checks = RunChecks::each_ok;
  make(options, true);
  checks_->versions[card_ip(2)] = IMAGE_VERSION;
  checks_->versions[card_ip(3)] = 0x0100;  // answers, but with the old version
  run_to_end();

  EXPECT_EQ(events_.waiting_cards,
            (std::vector<std::pair<int, int>>{{2, 1}, {3, 2}, {4, 2}, {5, 3}, {6, 3}}));
  EXPECT_EQ(events_.waves, (std::vector<int>{1, 2}));
  EXPECT_EQ(events_.start_order(), (std::vector<int>{2, 3, 4}));
  const std::pair<RunWait, int> for_wave_1{RunWait::wave, 1};
  EXPECT_NE(std::find(events_.waits.begin(), events_.waits.end(), for_wave_1), events_.waits.end());
  // " OK." is not settled: wave 2 starts at card 2's check, not at its line.
  ASSERT_GE(events_.checked.size(), 1u);
  const auto [checked_n, checked_outcome, checked_at] = events_.checked[0];
  EXPECT_EQ(checked_n, 2);
  EXPECT_EQ(checked_outcome, CardOutcome::applied);
  // Asked a second after its line, applied once it held the version for
  // the settle period.
  EXPECT_EQ(checked_at, events_.line_of(2)->at + VERIFY_FAST_PERIOD_MS + VERIFY_SETTLE_MS);
  EXPECT_EQ(fake(3).wrq_at, std::vector<int64_t>{checked_at});
  for (int n : {5, 6}) EXPECT_TRUE(fake(n).wrq_at.empty()) << n;
  EXPECT_EQ(checks_->queries_of(1), 0);

  using S = std::tuple<int, CardOutcome, int>;
  EXPECT_EQ(events_.settled_cards,
            (std::vector<S>{S{1, CardOutcome::skipped_version, 0}, S{2, CardOutcome::applied, 1},
                            S{4, CardOutcome::card_error, 2}, S{5, CardOutcome::not_started, 3},
                            S{6, CardOutcome::not_started, 3}, S{3, CardOutcome::not_applied, 2}}));
  // The cards not started are told while card 3 still sends; the report
  // waits for card 3's check.
  EXPECT_LT(events_.settled_card_at[4], events_.line_of(3)->at);
  EXPECT_GE(events_.settled_at, events_.settled_card_at[5]);
  ASSERT_EQ(events_.halts.size(), 1u);
  EXPECT_EQ(events_.halts[0].halted_in_wave, 2);
  const RolloutStatus& s = events_.status;
  EXPECT_TRUE(s.halted);
  EXPECT_EQ(s.failures, 2);
  EXPECT_EQ(s.not_started, 2);
  EXPECT_EQ(s.waves_run, 2);
  EXPECT_EQ(events_.text,
            "Rollout halted in wave 2: 127.0.0.4 refused (\"Flash error\"), 127.0.0.3 not applied "
            "(still 1.00); 2 cards not started.\r\n"
            "127.0.0.1 Skipped : version 1.02 .\r\n127.0.0.2 OK.\r\n127.0.0.4 Flash error\r\n"
            "127.0.0.5 Not started : rollout halted .\r\n"
            "127.0.0.6 Not started : rollout halted .\r\n127.0.0.3 Not applied : still 1.00 .\r\n");
  EXPECT_EQ(results(),
            (std::vector<CardOutcome>{CardOutcome::skipped_version, CardOutcome::applied,
                                      CardOutcome::not_applied, CardOutcome::card_error,
                                      CardOutcome::not_started, CardOutcome::not_started}));
  EXPECT_EQ(states(journal_cards(events_.journal.get()))[2], "127.0.0.3 not_applied");
}

// One wave larger than the sessions: the budget halts it as soon as it is
// spent, and the cards whose turn had not come are never sent (no request
// reaches them); without a budget nothing halts.
TEST_F(RunTest, FailureBudgetHaltsAWaveLargerThanTheSessions) {
  using O = CardOutcome;
  struct Case {
    const char* name;
    int max_failures;
    std::set<int> failing;
    int64_t delay_ms;
    bool halted;
    std::vector<O> outcomes;
  };
  const Case cases[] = {
      {"first_fails_none_allowed", 0, {1}, 0, true,
       {O::card_error, O::not_started, O::not_started, O::not_started, O::not_started}},
      {"second_failure_of_one_allowed", 1, {1, 2}, 0, true,
       {O::card_error, O::card_error, O::not_started, O::not_started, O::not_started}},
      {"one_failure_allowed", 1, {2}, 0, false,
       {O::applied, O::card_error, O::applied, O::applied, O::applied}},
      {"no_budget", -1, {1, 2, 3, 4, 5}, 0, false,
       {O::card_error, O::card_error, O::card_error, O::card_error, O::card_error}},
      {"fails_in_a_freed_session", 0, {3}, 900, true,
       {O::applied, O::applied, O::card_error, O::not_started, O::not_started}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    cards({1, 2, 3, 4, 5}, c.delay_ms);
    for (int n : c.failing) {
      fake(n).acts = FakeCard::Acts::errs;
      fake(n).delay_ms = 0;  // at once
    }
    RunOptions options;
    options.parallel = 2;
    options.rollout.on = true;
    options.rollout.max_failures = c.max_failures;
    options.checks = RunChecks::each_ok;
    make(options, true);
    for (int n = 1; n <= 5; ++n) checks_->versions[card_ip(n)] = IMAGE_VERSION;
    run_to_end();
    EXPECT_EQ(results(), c.outcomes);
    EXPECT_EQ(outcomes_of(events_.cards).size(), 5u);
    EXPECT_EQ(events_.status.halted, c.halted);
    EXPECT_EQ(events_.halts.size(), c.halted ? 1u : 0u);
    for (int n = 1; n <= 5; ++n) {
      const bool sent = c.outcomes[n - 1] != O::not_started;
      EXPECT_EQ(fake(n).wrq_at.empty(), !sent) << n;
      EXPECT_EQ(events_.start_of(n) != nullptr, sent) << n;
    }
    EXPECT_EQ(events_.text.find("Rollout halted") == 0, c.halted) << events_.text;
  }
}

// ---- Commands

// Paused, no card starts; the transfers running go on to their end.
// Resumed, the next card starts at once.
TEST_F(RunTest, PauseHoldsStartsButNotTransfers) {
  cards({1, 2, 3, 4, 5});
  make();
  post_at(150, RunCommandKind::pause);
  post_at(20000, RunCommandKind::resume);
  run_to_end();
  EXPECT_EQ(events_.starts[1].at, 100);
  EXPECT_EQ(events_.starts[2].at, 20000);
  EXPECT_EQ(events_.starts[3].at, 20100);
  EXPECT_EQ(events_.starts[4].at, 20200);
  EXPECT_LT(events_.line_of(1)->at, 20000);
  EXPECT_LT(events_.line_of(2)->at, 20000);
  EXPECT_EQ(fake(3).wrq_at, std::vector<int64_t>{20000});
  const std::pair<RunWait, int> paused{RunWait::paused, 0};
  EXPECT_NE(std::find(events_.waits.begin(), events_.waits.end(), paused), events_.waits.end());
  EXPECT_EQ(results(), std::vector<CardOutcome>(5, CardOutcome::ok));
}

// Stopped while sending: " User Aborted !" at once, nothing more sent to
// it. Stopped before its turn: never sent, aborted when its turn comes.
// The others go on.
TEST_F(RunTest, StopOneCard) {
  cards({1, 2, 3, 4});
  RunOptions options;
  options.parallel = 2;
  make(options);
  post_at(150, RunCommandKind::stop_card, 1);
  post_at(150, RunCommandKind::stop_card, 4);
  run_to_end();
  EXPECT_EQ(events_.line_of(1)->at, 150);
  EXPECT_EQ(events_.start_of(3)->at, 200);
  EXPECT_EQ(events_.start_order(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(fake(1).wrq_at.size(), 1u);
  EXPECT_TRUE(fake(1).received.empty());
  EXPECT_TRUE(fake(4).wrq_at.empty());
  EXPECT_EQ(events_.text,
            "127.0.0.1 User Aborted !\r\n127.0.0.4 User Aborted !\r\n127.0.0.2 OK.\r\n"
            "127.0.0.3 OK.\r\n");
  EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::aborted, CardOutcome::ok,
                                                 CardOutcome::ok, CardOutcome::aborted}));
  EXPECT_EQ(states(journal_cards(events_.journal.get()))[3], "127.0.0.4 aborted");
}

// In a rollout the operator's stop is a failure: a card stopped before its
// turn spends the budget, and the run halts there.
TEST_F(RunTest, StopBeforeItsTurnCountsAgainstTheBudget) {
  cards({1, 2, 3}, 0);
  RunOptions options;
  options.parallel = 1;
  options.rollout.on = true;
  options.rollout.max_failures = 0;
  options.checks = RunChecks::each_ok;
  make(options, true);
  for (int n = 1; n <= 3; ++n) checks_->versions[card_ip(n)] = IMAGE_VERSION;
  post_at(50, RunCommandKind::stop_card, 2);
  run_to_end();
  EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::applied, CardOutcome::aborted,
                                                 CardOutcome::not_started}));
  EXPECT_TRUE(fake(2).wrq_at.empty());
  EXPECT_TRUE(fake(3).wrq_at.empty());
  EXPECT_TRUE(events_.status.halted);
  EXPECT_EQ(events_.status.failures, 1);
  using S = std::tuple<int, CardOutcome, int>;
  EXPECT_EQ(events_.settled_cards,
            (std::vector<S>{S{2, CardOutcome::aborted, 1}, S{3, CardOutcome::not_started, 1},
                            S{1, CardOutcome::applied, 1}}));
}

// Stop all: the running transfers end aborted, the cards not started are
// not started, stopped by the operator, and the report says so first (the
// transfers it aborts halt no rollout); with or without a rollout.
TEST_F(RunTest, StopAll) {
  for (bool rollout : {false, true}) {
    SCOPED_TRACE(rollout);
    fresh();
    cards({1, 2, 3, 4, 5});
    RunOptions options;
    options.parallel = 2;
    options.rollout.on = rollout;
    if (rollout) options.checks = RunChecks::each_ok;
    make(options, rollout);
    post_at(150, RunCommandKind::stop_all);
    run_to_end();
    // At the next turn: the pause after the last start.
    EXPECT_EQ(events_.settled_at, events_.starts[1].at + BETWEEN_STARTS_MS);
    EXPECT_EQ(events_.start_order(), (std::vector<int>{1, 2}));
    for (int n : {3, 4, 5}) EXPECT_TRUE(fake(n).wrq_at.empty()) << n;
    const std::string not_started = " Not started : stopped by the operator .\r\n";
    EXPECT_EQ(events_.text, "Stopped by the operator: 3 cards not started.\r\n"
                            "127.0.0.1 User Aborted !\r\n127.0.0.2 User Aborted !\r\n127.0.0.3" +
                                not_started + "127.0.0.4" + not_started + "127.0.0.5" +
                                not_started);
    EXPECT_EQ(journal_cards(events_.journal.get())[4].message, STOPPED_BY_OPERATOR);
    EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::aborted, CardOutcome::aborted,
                                                   CardOutcome::not_started,
                                                   CardOutcome::not_started,
                                                   CardOutcome::not_started}));
    if (rollout) {
      EXPECT_EQ(events_.status.not_started, 3);
      EXPECT_EQ(events_.status.failures, 2);
    }
  }
}

// Stop starting (the command, or the flag the first Ctrl+C sets): the
// running transfers finish and, in a rollout, are checked; the cards not
// started get the operator's line.
TEST_F(RunTest, StopStartingLetsTheRunningFinish) {
  for (bool rollout : {false, true}) {
    SCOPED_TRACE(rollout);
    fresh();
    cards({1, 2, 3, 4});
    RunOptions options;
    options.parallel = 2;
    options.rollout.on = rollout;
    if (rollout) options.checks = RunChecks::each_ok;
    make(options, rollout);
    if (rollout)
      for (int n = 1; n <= 4; ++n) checks_->versions[card_ip(n)] = IMAGE_VERSION;
    if (rollout) {
      // As a signal handler posts it: the inbox's lock-free entry.
      io_.at(150, [&] { EXPECT_TRUE(run_->inbox()->interrupt_first()); });
    } else {
      post_at(150, RunCommandKind::stop_starting);
    }
    run_to_end();
    EXPECT_EQ(events_.start_order(), (std::vector<int>{1, 2}));
    for (int n : {3, 4}) EXPECT_TRUE(fake(n).wrq_at.empty()) << n;
    EXPECT_EQ(fake(2).received, stamped_at(100));
    const std::string stopped = " Not started : stopped by the operator .\r\n";
    EXPECT_EQ(events_.text, "Stopped by the operator: 2 cards not started.\r\n127.0.0.3" + stopped +
                                "127.0.0.4" + stopped + "127.0.0.1 OK.\r\n127.0.0.2 OK.\r\n");
    const CardOutcome done = rollout ? CardOutcome::applied : CardOutcome::ok;
    EXPECT_EQ(results(), (std::vector<CardOutcome>{done, done, CardOutcome::not_started,
                                                   CardOutcome::not_started}));
    EXPECT_EQ(run_->results()[2].message, STOPPED_BY_OPERATOR);
    EXPECT_FALSE(events_.status.halted);
  }
}

// ---- The schedule, by the run's local clock

// A start time sends nothing before it; within its minute the run starts
// at once; one already past today is tomorrow's.
TEST_F(RunTest, StartAtSendsNothingBeforeItsTime) {
  struct Case {
    int start_at;
    int64_t first_ms;
  };
  // The clock starts at 10:30:00.
  for (const Case& c : {Case{10 * 60 + 45, 15 * 60 * 1000}, Case{10 * 60 + 30, 0},
                        Case{10 * 60 + 29, (24 * 60 - 1) * 60 * 1000LL}}) {
    SCOPED_TRACE(c.start_at);
    fresh();
    cards({1, 2});
    RunOptions options;
    options.schedule.start_at = c.start_at;
    make(options);
    run_to_end();
    EXPECT_EQ(fake(1).wrq_at, std::vector<int64_t>{c.first_ms});
    EXPECT_EQ(fake(2).wrq_at, std::vector<int64_t>{c.first_ms + BETWEEN_STARTS_MS});
    const std::pair<RunWait, int> waited{RunWait::start_time, 0};
    EXPECT_EQ(std::count(events_.waits.begin(), events_.waits.end(), waited), c.first_ms ? 1 : 0);
    EXPECT_EQ(results(), std::vector<CardOutcome>(2, CardOutcome::ok));
  }
}

// A window across midnight, 23:59-00:01, the run begun at 00:00:50: open
// after midnight; at 00:01 the card sending finishes and the next waits for
// the opening at 23:59, when it starts.
TEST_F(RunTest, WindowAcrossMidnightHoldsStartsUntilItOpensAgain) {
  io_.start = LocalTime{2000, 6, 15, 0, 0, 50};
  cards({1, 2, 3});
  RunOptions options;
  options.parallel = 1;
  options.schedule.window_from = 23 * 60 + 59;
  options.schedule.window_to = 1;
  make(options);
  run_to_end();
  const int64_t closes = 10 * 1000, opens = (24 * 3600 - 60 - 50) * 1000LL;
  EXPECT_EQ(events_.start_of(1)->at, 0);
  EXPECT_LT(events_.start_of(2)->at, closes);
  EXPECT_GT(events_.line_of(2)->at, closes);  // the transfer under way went on
  // The local clock tells whole seconds: the opening is seen within one.
  ASSERT_EQ(fake(3).wrq_at.size(), 1u);
  EXPECT_GE(fake(3).wrq_at[0], opens);
  EXPECT_LT(fake(3).wrq_at[0], opens + 1000);
  const std::pair<RunWait, int> waited{RunWait::window, 0};
  EXPECT_EQ(std::count(events_.waits.begin(), events_.waits.end(), waited), 1);
  EXPECT_EQ(results(), std::vector<CardOutcome>(3, CardOutcome::ok));
  EXPECT_EQ(fake(3).received, stamped_at(fake(3).wrq_at[0]));
}

// The schedule follows the wall clock as it jumps: a start time the spring
// skips starts at the jump, a window the autumn's hour reopens opens, a
// start already reached does not hold the run when the clock goes back,
// and a clock set by hand moves the start either way.
TEST_F(RunTest, ScheduleFollowsTheWallClockAcrossJumps) {
  struct Case {
    const char* name;
    LocalTime clock;
    int start_at, window_from, window_to;
    int64_t jump_at_ms, jump_s;
    int64_t first_ms;  // card 1 starts within a second of it
  };
  const int64_t hour = 3600;
  const LocalTime before_two{2000, 3, 26, 1, 59, 50};
  for (const Case& c : {
           Case{"spring, start skipped", before_two, 2 * 60 + 30, -1, -1, 10000, hour, 10000},
           Case{"spring, start and window at 03:00", before_two, 3 * 60, 3 * 60, 4 * 60, 10000, hour,
                10000},
           Case{"autumn, window again", before_two, -1, 60, 90, 10000, -hour, 10000},
           Case{"autumn after the start", {2000, 10, 29, 1, 54, 50}, 115, -1, -1, 10050, -hour, 10000},
           Case{"clock set forward", CLOCK_START, 12 * 60, -1, -1, 60000, 5400, 60000},
           Case{"clock set back", CLOCK_START, 10 * 60 + 45, -1, -1, 60000, -hour, 4500000},
       }) {
    SCOPED_TRACE(c.name);
    fresh();
    io_.start = c.clock;
    io_.at(c.jump_at_ms, [this, c] { io_.wall_shift_s += c.jump_s; });
    cards({1, 2});
    RunOptions options;
    options.schedule.start_at = c.start_at;
    options.schedule.window_from = c.window_from;
    options.schedule.window_to = c.window_to;
    make(options);
    run_to_end();
    ASSERT_EQ(fake(1).wrq_at.size(), 1u);
    EXPECT_GE(fake(1).wrq_at[0], c.first_ms);
    EXPECT_LT(fake(1).wrq_at[0], c.first_ms + 1000);
    // Nothing holds card 2 after card 1, the clock going back included.
    ASSERT_EQ(fake(2).wrq_at.size(), 1u);
    EXPECT_EQ(fake(2).wrq_at[0], fake(1).wrq_at[0] + BETWEEN_STARTS_MS);
    EXPECT_EQ(results(), std::vector<CardOutcome>(2, CardOutcome::ok));
  }
}

// A stop after a halt is no stop of the operator's: the halt's words stay,
// though the stop aborts a transfer the halt let run on.
TEST_F(RunTest, StopAfterAHaltKeepsTheHaltsWords) {
  cards({1, 2, 3});
  RunOptions options;
  options.parallel = 2;
  options.rollout.on = true;
  options.rollout.max_failures = 0;
  options.checks = RunChecks::each_ok;
  make(options, true);
  fake(1).acts = FakeCard::Acts::errs;  // refuses at once: the halt
  run_->post({RunCommandKind::start});
  for (int n = 0; n < 100000 && events_.halts.empty() && run_->pass(); ++n) {
  }
  ASSERT_EQ(events_.halts.size(), 1u);
  ASSERT_EQ(events_.line_of(2), nullptr);  // still sending
  run_->post({RunCommandKind::stop_all});
  run_to_end();
  EXPECT_EQ(events_.text.substr(0, events_.text.find("\r\n")),
            halt_line(events_.status, run_->results()));
  EXPECT_NE(events_.text.find("127.0.0.2 User Aborted !"), std::string::npos) << events_.text;
  EXPECT_NE(events_.text.find("127.0.0.3" + std::string(LINE_NOT_STARTED)), std::string::npos)
      << events_.text;
  EXPECT_EQ(events_.text.find(STOPPED_BY_OPERATOR), std::string::npos);
}

// The system's session ends (the command, or the flag a signal handler
// sets): every card not done ends aborted at once, and the checks of
// --verify never begin.
TEST_F(RunTest, ShutdownEndsEverythingAborted) {
  for (bool by_flag : {false, true}) {
    SCOPED_TRACE(by_flag);
    fresh();
    cards({1, 2, 3, 4});
    fake(1).delay_ms = 0;
    RunOptions options;
    options.parallel = 2;
    options.checks = RunChecks::after_all;
    make(options, true);
    checks_->versions[card_ip(1)] = IMAGE_VERSION;
    if (by_flag) {
      io_.at(250, [&] { run_->inbox()->post_interrupt(RunCommandKind::shutdown); });
    } else {
      post_at(250, RunCommandKind::shutdown);
    }
    run_to_end();
    EXPECT_GE(events_.ended_at, 250);
    EXPECT_LE(events_.ended_at, 250 + BETWEEN_STARTS_MS);
    EXPECT_EQ(events_.start_order(), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(fake(4).wrq_at.empty());
    EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::ok, CardOutcome::aborted,
                                                   CardOutcome::aborted, CardOutcome::aborted}));
    EXPECT_EQ(states(journal_cards(events_.journal.get())),
              (std::vector<std::string>{"127.0.0.1 ok", "127.0.0.2 aborted", "127.0.0.3 aborted",
                                        "127.0.0.4 aborted"}));
    EXPECT_TRUE(events_.checks_started_for.empty());
    EXPECT_TRUE(checks_->queries.empty());
  }
}

// A question open in the front (hold) freezes every session: no tick, no
// resend, no datagram handled; released, they go on where they were.
TEST_F(RunTest, HoldFreezesTheSessionsUntilRelease) {
  cards({1, 2}, 500);
  fake(2).acts = FakeCard::Acts::silent;
  make();
  post_at(250, RunCommandKind::hold);
  post_at(60000, RunCommandKind::release);
  run_to_end();
  // Card 1's ACK 0 came at 500 and waited in the socket.
  EXPECT_EQ(fake(1).first_data_ms, 60000 + SESSION_CONNECTED_MS);
  ASSERT_GE(fake(2).wrq_at.size(), 2u);
  EXPECT_EQ(fake(2).wrq_at[0], 100);
  EXPECT_GT(fake(2).wrq_at[1], 60000);
  EXPECT_LT(fake(2).wrq_at[1], 60000 + 1100);
  EXPECT_GT(events_.line_of(2)->at, 60000 + 30000);
  EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::ok, CardOutcome::timeout}));
}

// ---- Checks in the loop

// --verify: the report first, then the checks of the " OK." cards; the run
// ends when the last is settled.
TEST_F(RunTest, ChecksAfterAllOutlastTheReport) {
  cards({1, 2, 3}, 0);
  fake(3).acts = FakeCard::Acts::errs;
  RunOptions options;
  options.checks = RunChecks::after_all;
  make(options, true);
  checks_->versions[card_ip(1)] = IMAGE_VERSION;  // card 2 never answers
  run_to_end();
  EXPECT_EQ(events_.text, "127.0.0.1 OK.\r\n127.0.0.3 Flash error\r\n127.0.0.2 OK.\r\n");
  EXPECT_EQ(events_.checks_started_for, std::vector<size_t>{2});
  ASSERT_FALSE(checks_->queries.empty());
  EXPECT_GE(checks_->queries.front().second, events_.settled_at + VERIFY_FAST_PERIOD_MS);
  EXPECT_EQ(checks_->queries_of(3), 0);
  using C = std::tuple<int, CardOutcome, int64_t>;
  const int64_t believed = events_.settled_at + VERIFY_FAST_PERIOD_MS + VERIFY_SETTLE_MS;
  EXPECT_EQ(events_.checked,
            (std::vector<C>{C{1, CardOutcome::applied, believed},
                            C{2, CardOutcome::no_answer, events_.settled_at + VERIFY_LIMIT_MS}}));
  EXPECT_EQ(events_.ended_at, events_.settled_at + VERIFY_LIMIT_MS);
  EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::applied, CardOutcome::no_answer,
                                                 CardOutcome::card_error}));
}

// --recheck-after: once every check is over (after the report with
// --verify, or with a rollout's, whose report waits for them), the applied
// cards are asked again; one back on its old firmware is not applied, and
// the run's outcome says so. A stop skips the wait.
TEST_F(RunTest, RecheckAfterTheRunFindsACardThatFellBack) {
  const int64_t SETTLE = 2000, LATER = 600000;
  for (const auto& [stop, rollout] : {std::pair{false, false}, {true, false}, {false, true}}) {
    fresh();
    cards({1, 2, 3}, 0);
    RunOptions options;
    options.checks = rollout ? RunChecks::each_ok : RunChecks::after_all;
    options.rollout.on = rollout;
    options.settle_ms = SETTLE;
    options.recheck_after_ms = LATER;
    make(options, true);
    for (int n : {1, 2}) checks_->versions[card_ip(n)] = IMAGE_VERSION;
    // Card 3 never took it (settled at the checks' limit): not asked again.
    checks_->versions[card_ip(3)] = 0x0100;
    io_.at(400000, [this] { checks_->versions[card_ip(2)] = 0x0100; });
    if (stop) post_at(500000, RunCommandKind::stop_starting);
    run_to_end();
    SCOPED_TRACE(testing::Message() << "stop " << stop << ", rollout " << rollout);
    ASSERT_EQ(events_.rechecks.size(), 1u);
    const auto [applied, wait, checks_over, due] = events_.rechecks[0];
    EXPECT_EQ(applied, 2u);
    EXPECT_EQ(wait, LATER);
    EXPECT_EQ(due, local_time_words(civil_time(io_.start, (checks_over + LATER) / 1000)));
    EXPECT_EQ(checks_over, std::get<2>(events_.checked.at(2)));
    if (stop) {
      EXPECT_EQ(events_.ended_at, 500000);
      EXPECT_TRUE(events_.rechecked.empty());
      EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::applied, CardOutcome::applied,
                                                     CardOutcome::not_applied}));
      continue;
    }
    using R = std::tuple<int, CardOutcome, int>;
    EXPECT_EQ(events_.rechecked, std::vector<R>{R(2, CardOutcome::not_applied, rollout ? 1 : 0)});
    const std::vector<CardResult> cards = run_->results();
    EXPECT_EQ(outcomes_of(cards), (std::vector<CardOutcome>{CardOutcome::applied,
                                                            CardOutcome::not_applied,
                                                            CardOutcome::not_applied}));
    EXPECT_EQ(failure_words(cards[1]), "not applied (fell back to 1.00)");
    EXPECT_EQ(cards[1].verdict, Verdict::not_applied);
    EXPECT_EQ(states(journal_cards(events_.journal.get()))[1], "127.0.0.2 not_applied");
    EXPECT_EQ(run_verdicts(cards, false, false).exit_status, EXIT_CARD_FAILED);
    // Card 1 held the version for the settle period again; the run ended then.
    EXPECT_GE(events_.ended_at, checks_over + LATER + SETTLE);
    EXPECT_LE(events_.ended_at, checks_over + LATER + SETTLE + 6000);
  }
}

// ---- The kept report

// In a reports folder: named by the start, every card from the first start
// on, each change on disk before anyone hears of it, the report's last
// line naming it; the checks that come later rewrite their rows.
TEST_F(RunTest, KeptReportInAFolder) {
  cards({1, 2, 3}, 0);
  std::memcpy(card(1).record.mac, "\x00\x0a\xfe\x01\x02\x03", 6);
  fake(2).acts = FakeCard::Acts::errs;
  fake(2).error = "Flash \"A\", B";
  card(3).gate = CardOutcome::no_connection;
  RunOptions options;
  options.reports_folder = dir_ + "/reports/new";
  make(options);
  std::vector<std::vector<std::string>> on_disk;  // the file's rows at each start
  const std::string file = dir_ + "/reports/new/2000-06-15_103000.csv";
  run_->post({RunCommandKind::start});
  size_t seen = 0;
  while (run_->pass())
    if (events_.starts.size() > seen) {
      ++seen;
      std::vector<CsvRecord> records;
      ASSERT_TRUE(read_csv(read_text(file), false, &records, nullptr));
      std::vector<std::string> rows;
      for (size_t i = 1; i < records.size(); ++i)
        rows.push_back(records[i].fields[2] + " " + records[i].fields[7]);
      on_disk.push_back(rows);
    }
  EXPECT_EQ(on_disk, (std::vector<std::vector<std::string>>{
                         {"127.0.0.1 sending", "127.0.0.2 pending", "127.0.0.3 pending"},
                         {"127.0.0.1 sending", "127.0.0.2 sending", "127.0.0.3 pending"}}));
  EXPECT_EQ(events_.text, "127.0.0.2 Flash \"A\", B\r\n127.0.0.1 OK.\r\n"
                          "127.0.0.3 No connection , abort.\r\nReport saved: " + file);
  EXPECT_EQ(events_.kept, file);

  std::vector<CsvRecord> records;
  ASSERT_TRUE(read_csv(read_text(file), false, &records, nullptr));
  ASSERT_EQ(records.size(), 4u);
  std::vector<std::string> header = report_columns();
  header.push_back("padding (3 rows)");
  EXPECT_EQ(records[0].fields, header);
  // Each row's slot is padded with blanks in the padding cell, after the
  // values, which read as they were written.
  const std::vector<std::string> row1 = {
      "2000-06-15 10:30:00", "2000-06-15 10:30:00", "127.0.0.1", "00-0a-fe-01-02-03", "1.00",
      opened_.path, "1.02", "ok", "OK.", "0", std::to_string(image_.size()), "", "",
      sha256_hex(opened_.digest), "sent"};
  std::vector<std::string> fields = records[1].fields;
  const std::string padding = fields.back();
  fields.pop_back();
  EXPECT_EQ(fields, row1);
  EXPECT_GE(padding.size(), JOURNAL_ROW_SLACK);
  EXPECT_EQ(padding.find_first_not_of(' '), std::string::npos);
  EXPECT_EQ(records[2].fields[7], "card_error");
  EXPECT_EQ(records[2].fields[8], "Flash \"A\", B");
  EXPECT_EQ(records[3].fields[7], "no_connection");
  EXPECT_EQ(records[3].fields[10], "0");

  // The checks outlive the run; each outcome rewrites the file.
  Report* report = run_->report().get();
  EXPECT_FALSE(report_check(report, card_ip(2), CardOutcome::applied, IMAGE_VERSION, 9));
  EXPECT_TRUE(report_check(report, card_ip(1), CardOutcome::applied, IMAGE_VERSION, 74));
  records.clear();
  ASSERT_TRUE(read_csv(read_text(file), false, &records, nullptr));
  EXPECT_EQ(records[1].fields[11], "applied");
  EXPECT_EQ(records[1].fields[12], "74");
  EXPECT_EQ(result_column_text(run_->results()[0]), "applied 1.02 in 74 s");
}

TEST_F(RunTest, UnwritableReportsFolderStillGivesTheReport) {
  cards({1}, 0);
  ASSERT_TRUE(write_file_whole(dir_ + "/file", "x", nullptr));
  RunOptions options;
  options.reports_folder = dir_ + "/file/reports";  // below a file
  make(options);
  run_to_end();
  EXPECT_EQ(events_.text.rfind("127.0.0.1 OK.\r\nReport not saved: cannot create ", 0), 0u)
      << events_.text;
  EXPECT_EQ(events_.kept, "");
  EXPECT_EQ(results(), std::vector<CardOutcome>{CardOutcome::ok});
}

// A transfer across the hour, midnight or the new year: the report's times,
// seconds and file name from the run's civil time.
TEST_F(RunTest, KeptReportAcrossTheClocksTurns) {
  struct Case {
    LocalTime start;
    std::string file, started, ended;
  };
  const Case cases[] = {
      {{2000, 6, 15, 10, 59, 58}, "2000-06-15_105958.csv", "2000-06-15 10:59:58", "2000-06-15 11:00:03"},
      {{2000, 6, 15, 23, 59, 58}, "2000-06-15_235958.csv", "2000-06-15 23:59:58", "2000-06-16 00:00:03"},
      {{1999, 12, 31, 23, 59, 59}, "1999-12-31_235959.csv", "1999-12-31 23:59:59", "2000-01-01 00:00:04"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    fresh();
    io_.start = c.start;
    cards({1}, 0);
    fake(1).from_ms = 5000;  // the card answers five seconds in
    RunOptions options;
    options.reports_folder = dir_ + "/turns";
    make(options);
    run_to_end();
    std::vector<CsvRecord> records;
    ASSERT_TRUE(read_csv(read_text(dir_ + "/turns/" + c.file), false, &records, nullptr));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].fields[0], c.started);
    EXPECT_EQ(records[1].fields[1], c.ended);
    EXPECT_EQ(records[1].fields[7], "ok");
    EXPECT_EQ(records[1].fields[9], "5");
  }
}

// ---- What the fronts ask before a run and when it is over

DeviceRecord record_of(int n, uint32_t version) {
  DeviceRecord r{};
  r.filled = 1;
  r.ip = htonl(0x0A450000u | static_cast<uint32_t>(n));  // 10.69.0.n
  r.version = version;
  return r;
}

const char WARNING_START[] =
    "WARNING !!\r\n\r\nThe following UPS(s) might have concern(s) of version control !!\r\n"
    "-----------------------------------------------------------\r\n";
const char WARNING_END[] =
    "-----------------------------------------------------------\r\n"
    "Do you want upgrade the UPS(s) regardless the version check ?";

struct ConfirmCase {
  const char* name;
  uint32_t image_version;
  std::vector<DeviceRecord> cards;  // run order
  std::string text;
};

class Confirm : public testing::TestWithParam<ConfirmCase> {};

TEST_P(Confirm, Text) {
  EXPECT_EQ(confirm_upgrade_text(GetParam().cards, GetParam().image_version), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, Confirm,
    testing::Values(
        ConfirmCase{"older_cards_plain_question", 0x0105, {record_of(1, 0x0104)},
                    "Are you sure to upgrade ?"},
        ConfirmCase{"identical", 0x0105, {record_of(1, 0x0105)},
                    std::string(WARNING_START) + "UPS 10.69.0.1 , identical version 1.05\r\n" +
                        WARNING_END},
        ConfirmCase{"newer_and_identical_in_run_order",
                    0x0105,
                    {record_of(3, 0x0105), record_of(2, 0x0104), record_of(1, 0x0200)},
                    std::string(WARNING_START) + "UPS 10.69.0.3 , identical version 1.05\r\n" +
                        "UPS 10.69.0.1 , newer version 2.00\r\n" + WARNING_END},
        ConfirmCase{"no_image_version_no_warning", IMAGE_VERSION_NONE,
                    {record_of(1, 0xFFFF), record_of(2, 0)}, "Are you sure to upgrade ?"},
        ConfirmCase{"no_cards", 0x0105, {}, "Are you sure to upgrade ?"}),
    [](const auto& info) { return std::string(info.param.name); });

// An image that fails its checks, or is not the one the operator confirmed
// (replaced on disk, rebuilt with the same number, or a failed Open that
// left its path), is never sent.
TEST(ImageRefusal, OnlyTheFileOpenedMayGo) {
  char pattern[] = "/tmp/daveridur-refusal-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern, path = dir + "/fw.bin";
  ImagePlan good_plan;
  good_plan.body = make_body(3000, 4);
  const Bytes good = make_image(good_plan);
  struct Case {
    const char* name;
    Broken broken;
    uint16_t file_version;
    size_t body;
    uint32_t seed;
    uint32_t confirmed;
    const char* refusal;  // nullptr: it may go
  };
  const Case cases[] = {
      {"the_same_file", Broken::none, 0x0102, 3000, 4, 0x0102, nullptr},
      {"bad_checksum", Broken::body_sum, 0x0102, 3000, 4, 0x0102, "Bad file checksum !"},
      {"other_product", Broken::product, 0x0102, 3000, 4, 0x0102, "Illegal file format !"},
      {"replaced_by_another_version", Broken::none, 0x0200, 3000, 4, 0x0102,
       "The file has changed since it was opened !"},
      {"same_version_other_bytes", Broken::none, 0x0102, 3000, 5, 0x0102,
       "The file has changed since it was opened !"},
      {"same_version_other_size", Broken::none, 0x0102, 3100, 4, 0x0102,
       "The file has changed since it was opened !"},
      {"valid_after_a_failed_open", Broken::none, 0x0102, 3000, 4, IMAGE_VERSION_NONE,
       "The file has changed since it was opened !"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImagePlan plan;
    plan.body = make_body(c.body, c.seed);
    plan.broken = c.broken;
    plan.version = c.file_version;
    const Bytes bytes = make_image(plan);
    ASSERT_TRUE(write_file_whole(path, std::string(bytes.begin(), bytes.end()), nullptr));
    ImageFile file;
    const char* refusal = image_refusal(opened_image_of(path, good, c.confirmed), &file);
    if (c.refusal) {
      EXPECT_STREQ(refusal, c.refusal);
      EXPECT_TRUE(file.bytes.empty());
    } else {
      EXPECT_EQ(refusal, nullptr);
      EXPECT_EQ(file.bytes, good);
    }
  }
  // Too large for the card: refused before it is read (a sparse file).
  ASSERT_EQ(truncate(path.c_str(), off_t{IMAGE_SIZE_MAX} + 1), 0);
  ImageFile file;
  EXPECT_STREQ(image_refusal(opened_image_of(path, good, 0x0102), &file),
               "Image too large for the card");
  std::remove(path.c_str());
  EXPECT_STREQ(image_refusal(opened_image_of(path, good, 0x0102), &file), "Error in reading file !");
  rmdir(dir.c_str());
}

TEST(JudgeCard, WhichCardsGo) {
  struct Case {
    const char* name;
    uint32_t version, image_version;
    CardJudgement j;
    CardOutcome outcome;
    std::string message;
    bool write_refused = false;
  };
  const Case cases[] = {
      {"older", 0x0101, 0x0102, {}, CardOutcome::pending, ""},
      {"same_version", 0x0102, 0x0102, {}, CardOutcome::skipped_version, "Skipped : version 1.02 ."},
      {"newer", 0x0A05, 0x0102, {}, CardOutcome::skipped_version, "Skipped : version 10.05 ."},
      {"forced", 0x0102, 0x0102, {true, false, true, ""}, CardOutcome::pending, ""},
      {"image_without_version", 0x0200, IMAGE_VERSION_NONE, {}, CardOutcome::pending, ""},
      {"silent", 0x0101, 0x0102, {false, false, false, ""}, CardOutcome::no_connection, ""},
      {"done_before_beats_all", 0x0102, 0x0102, {false, true, false, "a.csv"},
       CardOutcome::skipped_done, "a.csv"},
      // Sent, it would only be refused; a current one is no failure.
      {"refuses_upgrades", 0x0101, 0x0102, {true, false, true, ""}, CardOutcome::card_error,
       REFUSES_UPGRADES_TEXT, true},
      {"refuses_upgrades_current", 0x0102, 0x0102, {}, CardOutcome::skipped_version,
       "Skipped : version 1.02 .", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceRecord r = record_of(1, c.version);
    r.write_refused = c.write_refused ? 1 : 0;
    std::string message;
    EXPECT_EQ(judge_card(r, c.image_version, c.j, &message), c.outcome);
    EXPECT_EQ(message, c.message);
  }
}

TEST(Taskbar, StateOfTheButton) {
  EXPECT_EQ(taskbar_state(BatchProgress{}, 0), TaskbarState::none);
  EXPECT_EQ(taskbar_state(BatchProgress{}, 1), TaskbarState::none);  // a question after the run
  EXPECT_EQ(taskbar_state(BatchProgress{4, 1, false}, 0), TaskbarState::normal);
  EXPECT_EQ(taskbar_state(BatchProgress{4, 2, true}, 0), TaskbarState::error);
  EXPECT_EQ(taskbar_state(BatchProgress{4, 2, true}, 2), TaskbarState::paused);
  EXPECT_EQ(taskbar_state(BatchProgress{4, 0, false}, 1), TaskbarState::paused);
}

// A stop that comes while the run is paused still ends it, with the cards
// not started said so.
TEST_F(RunTest, StopWhilePausedEndsTheRun) {
  for (bool rollout : {false, true}) {
    SCOPED_TRACE(rollout);
    fresh();
    cards({1, 2, 3, 4});
    RunOptions options;
    options.parallel = 1;
    options.rollout.on = rollout;
    options.checks = RunChecks::each_ok;
    make(options, true);
    for (int n = 1; n <= 4; ++n) checks_->versions[card_ip(n)] = IMAGE_VERSION;
    post_at(150, RunCommandKind::pause);
    post_at(30000, RunCommandKind::stop_all);
    run_to_end(20000);
    EXPECT_EQ(events_.start_order(), std::vector<int>{1});
    EXPECT_EQ(results()[3], CardOutcome::not_started);
    EXPECT_EQ(events_.text.rfind("Stopped by the operator: 3 cards not started.", 0), 0u)
        << events_.text;
  }
}

// ---- The policy between waves

// A wave starts the delay after the one before settled, not before (no
// request reaches its card); with a window, at the window's next opening
// after that. The hold is told as the wave settles, with when the next
// starts.
TEST_F(RunTest, WaveDelayHoldsTheNextWaveAndTheWindowToo) {
  struct Case {
    const char* name;
    int64_t delay_ms;
    int window_from, window_to;
  };
  for (const Case& c : {Case{"delay", 30 * 60000, -1, -1}, Case{"delay_then_window", 45 * 60000, 10 * 60, 11 * 60}}) {
    SCOPED_TRACE(c.name);
    fresh();
    cards({1, 2});
    RunOptions options;
    options.rollout.on = true;
    options.rollout.steps = {{false, 1}};
    options.rollout.policy.wave_delay_ms = c.delay_ms;
    options.schedule.window_from = c.window_from;
    options.schedule.window_to = c.window_to;
    options.checks = RunChecks::each_ok;
    make(options, true);
    for (int n = 1; n <= 2; ++n) checks_->versions[card_ip(n)] = IMAGE_VERSION;
    run_to_end();
    EXPECT_EQ(results(), std::vector<CardOutcome>(2, CardOutcome::applied));
    ASSERT_FALSE(events_.checked.empty());
    const int64_t settled = std::get<2>(events_.checked[0]);
    ASSERT_EQ(events_.holds.size(), 1u);
    const auto& [hold, told] = events_.holds[0];
    EXPECT_EQ(told, settled);
    EXPECT_EQ(hold.settled_wave, 1);
    EXPECT_EQ(hold.next_wave, 2);
    EXPECT_EQ(hold.next_cards, 1u);
    EXPECT_EQ(hold.counts.at(VerdictTally::applied), 1);
    EXPECT_FALSE(hold.gate);
    ASSERT_EQ(fake(2).wrq_at.size(), 1u);
    const int64_t starts = fake(2).wrq_at[0];
    if (c.window_from < 0) {
      EXPECT_EQ(starts, settled + c.delay_ms);
      EXPECT_EQ(hold.starts_in_ms, c.delay_ms);
      const std::pair<RunWait, int> delayed{RunWait::delay, 2};
      EXPECT_NE(std::find(events_.waits.begin(), events_.waits.end(), delayed), events_.waits.end());
    } else {
      // 10:30 + the check + 45 minutes is past 11:00: the next day's 10:00.
      const int64_t opens = (24 * 3600 - 30 * 60) * 1000LL;
      EXPECT_GE(starts, opens);
      EXPECT_LT(starts, opens + 1000);
      EXPECT_EQ(local_time_words(hold.starts_at), "2000-06-16 10:00");
    }
  }
}

// A gate: the run waits for a person after the wave (nothing is sent
// meanwhile); the one who opens it is kept, Resume opens it too; refused,
// nothing more starts and the run is stopped by the operator.
TEST_F(RunTest, ManualGateOpenedOrRefused) {
  for (bool open : {true, false}) {
    SCOPED_TRACE(open);
    fresh();
    cards({1, 2, 3});
    RunOptions options;
    options.rollout.on = true;
    options.rollout.steps = {{false, 1}};
    options.rollout.policy.gate = WaveGate::manual;
    options.checks = RunChecks::each_ok;
    make(options, true);
    for (int n = 1; n <= 3; ++n) checks_->versions[card_ip(n)] = IMAGE_VERSION;
    io_.at(10 * 60000, [this, open] {
      RunCommand command{open ? RunCommandKind::open_gate : RunCommandKind::refuse_gate};
      command.who = "alice at the terminal";
      run_->post(command);
    });
    post_at(20 * 60000, RunCommandKind::resume);
    run_to_end();
    const std::pair<RunWait, int> gated{RunWait::gate, 2};
    EXPECT_NE(std::find(events_.waits.begin(), events_.waits.end(), gated), events_.waits.end());
    ASSERT_GE(events_.holds.size(), 1u);
    EXPECT_TRUE(events_.holds[0].first.gate);
    const RolloutStatus& s = events_.status;
    ASSERT_EQ(s.gates.size(), open ? 2u : 1u);
    EXPECT_EQ(s.gates[0].wave, 2);
    EXPECT_TRUE(s.gates[0].answered);
    EXPECT_EQ(s.gates[0].opened, open);
    EXPECT_EQ(s.gates[0].who, "alice at the terminal");
    EXPECT_EQ(local_time_words(s.gates[0].at), "2000-06-15 10:40");
    if (open) {
      ASSERT_EQ(fake(2).wrq_at.size(), 1u);
      EXPECT_EQ(fake(2).wrq_at[0], 10 * 60000);
      ASSERT_EQ(fake(3).wrq_at.size(), 1u);
      EXPECT_EQ(fake(3).wrq_at[0], 20 * 60000);
      EXPECT_EQ(s.gates[1].who, "Resume");
      EXPECT_EQ(results(), std::vector<CardOutcome>(3, CardOutcome::applied));
    } else {
      EXPECT_TRUE(fake(2).wrq_at.empty());
      EXPECT_TRUE(fake(3).wrq_at.empty());
      EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::applied, CardOutcome::not_started,
                                                     CardOutcome::not_started}));
      EXPECT_TRUE(run_->stopped_by_operator());
      EXPECT_EQ(run_verdicts(events_.cards, s.halted, true).exit_status, EXIT_STOPPED);
    }
  }
}

// ---- The port

// Cards that answer at once finish in the time their exchanges take: what
// the port hears wakes the waiting loop, and datagrams that come together
// (cards at one pace answer at the same instants) each keep their own
// bytes. A run much slower than its exchanges is a fault, not a pass.
TEST_F(RunTest, QuickCardsFinishInTheTimeTheirExchangesTake) {
  image_of(20000);
  cards({1, 2, 3, 4}, 10);
  RunOptions options;
  options.parallel = 4;
  make(options);
  run_to_end();
  const int64_t blocks = static_cast<int64_t>(image_.size() / SESSION_BLOCK_SIZE + 1);
  // The request's answer, "Connected" on show, then each block's answer.
  const int64_t usual = 10 + SESSION_CONNECTED_MS + blocks * 10;
  for (int n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(events_.line_of(n));
    EXPECT_EQ(events_.line_of(n)->outcome, CardOutcome::ok);
    EXPECT_EQ(fake(n).received, stamped_at(events_.start_of(n)->at));
    EXPECT_LE(events_.line_of(n)->at - events_.start_of(n)->at, usual * 3 / 2);
  }
}

// Each transfer sends from a socket of its own, on a port of its own (its
// transfer ID); on it only the card's address and the port of its first
// ACK count. A datagram from the card's address but another port is told
// "Unknown transfer ID" (once a tick, however many come) and disturbs
// nothing; one from another address, even another card's ERROR from that
// card's own transfer port, is dropped unanswered.
TEST_F(RunTest, EachTransferHasAPortOfItsOwn) {
  image_of(20000);
  cards({1, 2, 3}, 10);
  RunOptions options;
  options.parallel = 3;
  make(options);
  const Bytes disk_full = {0, 5, 0, 3, 'D', 'i', 's', 'k', ' ', 'f', 'u', 'l', 'l', 0};
  io_.at(400, [&] {
    const uint16_t port1 = address_port(fake(1).peers.front());
    const uint16_t port2 = address_port(fake(2).peers.front());
    io_.put(400, make_address(card_ip(1), 3333), port1, disk_full);
    io_.put(400, make_address(card_ip(1), 3333), port1, Bytes{0, 4, 0, 30});
    io_.put(400, make_address(card_ip(2), 2002), port1, disk_full);
    io_.put(400, make_address(card_ip(9), 2009), port2, disk_full);
    io_.put(400, make_address(card_ip(9), 2009), port2, Bytes{0, 4, 0, 9});
  });
  run_to_end();
  EXPECT_EQ(results(), std::vector<CardOutcome>(3, CardOutcome::ok));
  std::set<uint16_t> ports;
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(fake(n).received, stamped_at(events_.start_of(n)->at));
    for (const SocketAddress& peer : fake(n).peers)
      EXPECT_EQ(address_port(peer), address_port(fake(n).peers.front()));
    ports.insert(address_port(fake(n).peers.front()));
  }
  EXPECT_EQ(ports.size(), 3u) << "transfers shared a port";
  ASSERT_EQ(io_.sent_elsewhere.size(), 1u) << "a stranger was answered, or a flood echoed";
  const auto& [to, told] = io_.sent_elsewhere.front();
  EXPECT_EQ(to.ip, card_ip(1));
  EXPECT_EQ(address_port(to), 3333);
  const std::string text = "Unknown transfer ID";
  Bytes expected = {0, 5, 0, 5};
  expected.insert(expected.end(), text.begin(), text.end());
  expected.push_back(0);
  EXPECT_EQ(told, expected);
  EXPECT_EQ(io_.open_ports.size(), 0u) << "a transfer's socket outlived it";
}

// The checks' own transport over the run's port: an answer counts on the
// socket its query left from even after a later round has opened another;
// an answer without a MAC is not the card's, whose MAC was known.
TEST_F(RunTest, ChecksHearEveryRoundAndWantTheCardsMac) {
  cards({1, 2, 3});
  fake(1).delay_ms = 0;   // its check begins first...
  fake(2).delay_ms = 60;  // ...and this one's a round later
  fake(3).delay_ms = 0;
  auto answer = [](int n, bool mac) {
    char line[64];
    std::snprintf(line, sizeof line, "+MAC : 00-0a-ff-10-20-%02x\r\n", n);
    return std::string(mac ? line : "+MAC : \r\n") + "+FW : v1.02\r\n+WRQ : ACCEPT\r\n";
  };
  fake(1).sysinfo = answer(1, true);
  fake(1).sysinfo_delay_ms = 600;  // after card 2's first query opened its round
  fake(2).sysinfo = answer(2, true);
  fake(3).sysinfo = answer(3, false);
  RunOptions options;
  options.parallel = 3;
  options.checks = RunChecks::each_ok;
  make(options, open_check_transport(&io_, io_.port));
  run_to_end();
  EXPECT_EQ(results(), (std::vector<CardOutcome>{CardOutcome::applied, CardOutcome::applied,
                                                 CardOutcome::not_applied}));
  // Card 1 held the version from its first answer on: applied a settle
  // period after it, not once card 2's rounds stopped.
  auto checked_at = [&](int n) {
    for (const auto& [card, outcome, at] : events_.checked)
      if (card == n) return at;
    return NEVER;
  };
  EXPECT_LT(checked_at(1), VERIFY_SETTLE_MS + 5000);
}

}  // namespace

