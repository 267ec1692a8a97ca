// The upload session over real loopback sockets: a peer socket on 127.0.0.1
// plays the card, the fake view records what the window would show, and time
// moves only by explicit ticks or the clock passed to session_run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/image.h"
#include "protocol/packet.h"
#include "tools/mkimage/image_maker.h"
#include "upgrade/pages/progress_words.h"
#include "upgrade/run/run.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FakeView : SessionView {
  std::string title;
  std::vector<std::string> statuses;
  std::vector<std::string> percents;
  std::vector<uint32_t> positions;
  uint32_t range = 0xDEAD;
  int closes = 0;

  std::vector<SessionStage> stages;

  // Worded as the progress window words them.
  void stage(SessionStage stage, const char* ip) override {
    stages.push_back(stage);
    if (stage == SessionStage::connecting) title = progress_title(ip);
    if (stage != SessionStage::requested) statuses.push_back(progress_status(stage, ip));
  }
  void set_progress_range(uint32_t high) override { range = high; }
  void sent(uint32_t p, uint32_t percent) override {
    percents.push_back(progress_percent(percent));
    positions.push_back(p);
  }
  void close(int result) override {
    ++closes;
    EXPECT_EQ(result, 1);
  }
};

uint32_t loopback(int last = 1) { return htonl(0x7F000000u | static_cast<uint32_t>(last)); }

// A datagram socket bound to 127.0.0.x on a port of its own.
struct Peer {
  int fd = -1;
  uint16_t port = 0;
  SocketAddress last_from{};

  explicit Peer(int last = 1) {
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = loopback(last);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
  }
  ~Peer() { ::close(fd); }

  // The next datagram within a second; empty when none came.
  Bytes receive(long usec = 1000000) {
    if (!socket_readable(static_cast<Socket>(fd), usec)) return {};
    Bytes b(2000);
    int n = socket_recv_from(static_cast<Socket>(fd), b.data(), 2000, &last_from);
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
  }
  // Nothing more has arrived. Loopback delivers within the send call, so a
  // short look is enough.
  bool quiet(long usec = 20000) { return !socket_readable(static_cast<Socket>(fd), usec); }
  void send(const Bytes& b, const SocketAddress& to) {
    socket_send_to(static_cast<Socket>(fd), b.data(), static_cast<int>(b.size()), to);
  }
};

Bytes ack(uint16_t block) { return {0, 4, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)}; }

// The session in place 0 of a batch of the test's, writing to the peer's
// port on 127.0.0.1.
class Session : public testing::Test {
 protected:
  void TearDown() override { session_allocator = saved_allocator_; }

  // The image stays the caller's and must outlive the session.
  UploadSession* open(const Bytes& image, int slot = 0, Peer* card = nullptr) {
    UploadSession* s = &sessions_[slot];
    *s = UploadSession{};
    s->pause = &pause_;
    s->socket = udp_open(0);
    s->report = &report_;
    s->ip = loopback();
    s->port = (card ? card : &card_)->port;
    std::strcpy(s->user_name, "admin");
    std::strcpy(s->password, "pw");
    s->slot = slot;
    s->image_size = static_cast<uint32_t>(image.size());
    s->cursor = image.data();
    return s;
  }
  // Delivers what the peer sent: waits until the session's socket has it,
  // then runs one poll.
  void poll(UploadSession* s, SessionView* view) {
    ASSERT_TRUE(socket_readable(s->socket.get(), 1000000));
    session_poll(view, s);
  }
  // The card's first ACK: "Connected" shows, and the first block goes once
  // that has been on show, by the session's clock (a tick due by then runs
  // first).
  void connect(UploadSession* s, SessionView* view, Peer* from = nullptr) {
    answer(ack(0), from);
    poll(s, view);
    ASSERT_TRUE(s->connected_wait);
    session_run(view, s, s->connected_until_ms, SessionInput::none);
    ASSERT_FALSE(s->connected_wait);
  }
  void ticks(UploadSession* s, int n, SessionView* view) {
    for (int i = 0; i < n; ++i) session_tick(view, s);
  }
  // The card's answer to the peer's last datagram's sender.
  void answer(const Bytes& b, Peer* from = nullptr) {
    Peer* p = from ? from : &card_;
    p->send(b, card_.last_from);
  }

  UploadSession sessions_[4];
  SessionPause pause_;  // the batch's
  Report report_;
  // The outcomes the report holds, in line order.
  std::vector<CardOutcome> outcomes() {
    std::vector<CardOutcome> out;
    for (const CardResult& c : report_cards(&report_)) out.push_back(c.outcome);
    return out;
  }
  Peer card_;
  FakeView view_;
  SessionAllocator saved_allocator_ = session_allocator;
};

TEST_F(Session, ThousandByteImageEndsOnTheAckOfItsShortBlock) {
  Bytes image = make_body(1000, 5);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  EXPECT_EQ(view_.title, "Upg 127.0.0.1");
  EXPECT_EQ(view_.statuses, std::vector<std::string>{"Connecting to UPS 127.0.0.1 ..."});
  EXPECT_EQ(view_.range, 1000u);
  // The request went: the window may show.
  EXPECT_EQ(view_.stages, (std::vector<SessionStage>{SessionStage::connecting, SessionStage::requested}));

  const uint8_t wrq[] = {
      0, 2,                                                            // opcode WRQ
      'u', 'p', 'g', 'r', 'a', 'd', 'e', '@', 'p', 'w', '@', 'a', 'd', 'm', 'i', 'n', 0,  // file: password first
      'o', 'c', 't', 'e', 't', 0,                                      // mode
  };
  EXPECT_EQ(card_.receive(), Bytes(wrq, wrq + sizeof wrq));

  connect(s, &view_);
  Bytes data1 = card_.receive();
  ASSERT_EQ(data1.size(), 4u + 512);
  EXPECT_EQ(Bytes(data1.begin(), data1.begin() + 4), (Bytes{0, 3, 0, 1}));  // DATA, block 1
  EXPECT_EQ(Bytes(data1.begin() + 4, data1.end()), Bytes(image.begin(), image.begin() + 512));
  EXPECT_EQ(view_.percents.back(), "51%");
  EXPECT_EQ(view_.positions.back(), 512u);
  EXPECT_EQ(view_.statuses, (std::vector<std::string>{"Connecting to UPS 127.0.0.1 ...",
                                                      "127.0.0.1 Connected . Start the upgrade !",
                                                      "To : 127.0.0.1"}));
  EXPECT_EQ(s->state, SESSION_SENDING);

  answer(ack(1));
  poll(s, &view_);
  Bytes data2 = card_.receive();
  ASSERT_EQ(data2.size(), 4u + 488);
  EXPECT_EQ(Bytes(data2.begin(), data2.begin() + 4), (Bytes{0, 3, 0, 2}));
  EXPECT_EQ(Bytes(data2.begin() + 4, data2.end()), Bytes(image.begin() + 512, image.end()));
  EXPECT_EQ(view_.percents.back(), "100%");
  EXPECT_EQ(s->state, SESSION_LAST_SENT);

  answer(ack(2));
  poll(s, &view_);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::ok});
  EXPECT_EQ(view_.closes, 1);
  EXPECT_FALSE(s->socket);
  EXPECT_EQ(s->send_buf, nullptr);
  EXPECT_EQ(s->recv_buf, nullptr);
  EXPECT_TRUE(card_.quiet());
}

// Images whose size is a multiple of the block size end with an empty block;
// the empty image is one empty block at 100 %. The text is set when it changes.
struct SizeCase {
  uint32_t size;
  uint16_t blocks;
  std::vector<std::string> percents;
};

class SessionSizes : public Session, public testing::WithParamInterface<SizeCase> {};

TEST_P(SessionSizes, BlocksAndPercents) {
  const SizeCase& c = GetParam();
  Bytes image = make_body(c.size, 9);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  Bytes received;
  for (uint16_t block = 0; block < c.blocks; ++block) {
    if (block == 0) {
      connect(s, &view_);
    } else {
      answer(ack(block));
      poll(s, &view_);
    }
    Bytes data = card_.receive();
    ASSERT_GE(data.size(), 4u);
    EXPECT_EQ(get_be16(&data[2]), block + 1);
    received.insert(received.end(), data.begin() + 4, data.end());
  }
  EXPECT_EQ(received, image);
  EXPECT_EQ(view_.percents, c.percents);
  EXPECT_TRUE(outcomes().empty());
  answer(ack(c.blocks));
  poll(s, &view_);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::ok});
  EXPECT_EQ(view_.closes, 1);
}

INSTANTIATE_TEST_SUITE_P(Images, SessionSizes,
                         testing::Values(SizeCase{1024, 3, {"50%", "100%"}},
                                         SizeCase{0, 1, {"100%"}},
                                         SizeCase{511, 1, {"100%"}},
                                         SizeCase{512, 2, {"100%"}}));

TEST_F(Session, CardThatNeverAnswersGetsFiveRequestsThenTimeout) {
  Bytes image = make_body(100, 1);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  Bytes wrq = card_.receive();
  const std::vector<int> resend_ticks = {11, 31, 71, 151};
  for (int tick = 1; tick <= 320; ++tick) {
    session_tick(&view_, s);
    bool expected = std::find(resend_ticks.begin(), resend_ticks.end(), tick) != resend_ticks.end();
    if (expected)
      EXPECT_EQ(card_.receive(), wrq) << tick;
    else
      EXPECT_TRUE(card_.quiet(0)) << tick;  // loopback delivers within the send call
  }
  EXPECT_TRUE(card_.quiet());
  EXPECT_TRUE(outcomes().empty());
  EXPECT_EQ(view_.closes, 0);
  session_tick(&view_, s);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::timeout});
  EXPECT_EQ(view_.closes, 1);
  session_tick(&view_, s);  // an ended session counts nothing more
  EXPECT_EQ(view_.closes, 1);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::timeout});
}

// A card that acknowledges every block just inside the time-out still ends
// at the transfer's overall limit (30 minutes of ticks unless set).
TEST_F(Session, SlowCardEndsAtTheOverallLimit) {
  EXPECT_EQ(UploadSession{}.transfer_limit_ticks, 30u * 60 * 10);
  Bytes image = make_body(5000, 2);  // 10 blocks
  UploadSession* s = open(image);
  s->transfer_limit_ticks = 1000;
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  for (uint16_t block = 0; block < 3; ++block) {
    ticks(s, 300, &view_);  // resends come and go meanwhile
    while (!card_.quiet(0)) card_.receive();
    if (block == 0) {
      connect(s, &view_);  // a tick may come while "Connected" shows
    } else {
      answer(ack(block));
      poll(s, &view_);
    }
    EXPECT_FALSE(card_.receive().empty());  // the next block
  }
  ASSERT_LT(s->transfer_ticks, 1000u);
  ticks(s, static_cast<int>(1000 - s->transfer_ticks), &view_);
  EXPECT_TRUE(outcomes().empty());
  session_tick(&view_, s);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::timeout});
  EXPECT_EQ(view_.closes, 1);
  EXPECT_EQ(s->sent, 3u * 512);
}

TEST_F(Session, RepeatedOldAckIsIgnored) {
  Bytes image = make_body(5000, 2);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  connect(s, &view_);
  card_.receive();
  for (uint16_t block = 1; block < 5; ++block) {
    answer(ack(block));
    poll(s, &view_);
    card_.receive();
  }
  EXPECT_EQ(s->block, 5);
  ticks(s, 5, &view_);
  answer(ack(4));
  poll(s, &view_);
  EXPECT_TRUE(card_.quiet());
  EXPECT_EQ(s->ticks, 5);  // no progress, no reset
  EXPECT_EQ(s->block, 5);
}

TEST_F(Session, FollowsTheReplyPortAndIgnoresEveryOtherSender) {
  Bytes image = make_body(2000, 3);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();

  Peer reply_port;  // the card's fresh port
  connect(s, &view_, &reply_port);
  EXPECT_TRUE(card_.quiet());
  Bytes data1 = reply_port.receive();
  EXPECT_EQ(get_be16(&data1[2]), 1);
  EXPECT_EQ(address_port(s->dest_addr), reply_port.port);

  // Resent to the followed port.
  ticks(s, 11, &view_);
  EXPECT_EQ(reply_port.receive(), data1);
  EXPECT_TRUE(card_.quiet());

  // ACK 1 from port 69's stand-in, from another local port and from another
  // address: all ignored, ticks untouched.
  Peer stranger;
  Peer other_address(2);
  card_.send(ack(1), reply_port.last_from);
  poll(s, &view_);
  stranger.send(ack(1), reply_port.last_from);
  poll(s, &view_);
  other_address.send(ack(1), reply_port.last_from);
  poll(s, &view_);
  other_address.send({0, 5, 0, 1, 'x', 0}, reply_port.last_from);
  poll(s, &view_);
  EXPECT_EQ(s->block, 1);
  EXPECT_EQ(s->ticks, 11);
  EXPECT_TRUE(outcomes().empty());
  EXPECT_TRUE(reply_port.quiet());

  reply_port.send(ack(1), reply_port.last_from);
  poll(s, &view_);
  EXPECT_EQ(get_be16(&reply_port.receive()[2]), 2);
}

TEST_F(Session, FirstAckMustComeFromTheCardsAddress) {
  Bytes image = make_body(100, 3);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  Peer other_address(2);
  other_address.send(ack(0), card_.last_from);
  poll(s, &view_);
  EXPECT_EQ(s->state, SESSION_CONNECTING);
  EXPECT_EQ(address_port(s->dest_addr), card_.port);
  EXPECT_TRUE(card_.quiet());
  EXPECT_TRUE(other_address.quiet());
}

struct ErrorCase {
  const char* name;
  Bytes datagram;
  const char* line;
};

class SessionErrors : public Session, public testing::WithParamInterface<ErrorCase> {};

TEST_P(SessionErrors, EndAtOnceWithTheCardsMessage) {
  Bytes image = make_body(100, 3);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  answer(GetParam().datagram);
  poll(s, &view_);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::card_error});
  EXPECT_EQ(report_.text, GetParam().line);  // the card's own message
  EXPECT_EQ(view_.closes, 1);
  EXPECT_TRUE(card_.quiet());
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, SessionErrors,
    testing::Values(
        ErrorCase{"before_first_ack",
                  {0, 5,                                // opcode ERROR
                   0, 2,                                // code, not shown
                   'A', 'c', 'c', 'o', 'u', 'n', 't', ' ', 'e', 'r', 'r', 'o', 'r', 0},
                  "127.0.0.1 Account error\r\n"},
        ErrorCase{"without_terminator", {0, 5, 0, 0, 'B', 'a', 'd'}, "127.0.0.1 Bad\r\n"},
        ErrorCase{"empty_message", {0, 5, 0, 0}, "127.0.0.1 \r\n"},
        ErrorCase{"text_after_nul", {0, 5, 0, 0, 'F', 'a', 'i', 'l', 0, 'x', 'y'},
                  "127.0.0.1 Fail\r\n"},
        // The card's text never passes for the program's own words.
        ErrorCase{"own_words", {0, 5, 0, 0, 'O', 'K', '.', 0}, "127.0.0.1 Card error: \"OK.\"\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A card's message may hold line breaks and control bytes, and be as long
// as a datagram: it must not add or fake report lines.
TEST_F(Session, HostileErrorTextStaysOneSaneLine) {
  Bytes image = make_body(100, 3);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  std::string text = "Bad\r\n10.69.0.9 OK.\r\n\x01\t\x7f\xe9" + std::string(1400, 'x');
  Bytes error = {0, 5, 0, 0};
  error.insert(error.end(), text.begin(), text.end());  // no terminator, buffer-sized
  answer(error);
  poll(s, &view_);
  std::string kept = "Bad  10.69.0.9 OK.     \xEF\xBF\xBD";  // 24 characters
  std::string expected = "127.0.0.1 " + kept + std::string(200 - 3 - 24, 'x');
  EXPECT_EQ(report_.text, expected + "...\r\n");
  EXPECT_EQ(report_safe_text(std::string(200, 'y')), std::string(200, 'y'));  // the limit itself
  EXPECT_EQ(view_.closes, 1);
}

// The run's loop passes readable when its wait saw a datagram and handles
// it at once; a pass that follows (or a readable that comes late) finds
// nothing of it, so each datagram is handled once. A question holds the
// session; the datagram waits for the pass after it.
TEST_F(Session, DatagramHandledOnceHoweverOftenItIsPolled) {
  Bytes image = make_body(2000, 3);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  answer(ack(0));
  ASSERT_TRUE(socket_readable(s->socket.get(), 1000000));
  session_run(&view_, s, 10);  // the wait saw the datagram
  session_run(&view_, s, 12);  // a pass right after it
  EXPECT_EQ(s->state, SESSION_SENDING);
  EXPECT_TRUE(card_.quiet());  // "Connected" shows first
  session_run(&view_, s, 110, SessionInput::none);
  EXPECT_EQ(get_be16(card_.receive().data() + 2), 1);
  EXPECT_TRUE(card_.quiet());

  answer(ack(1));
  ASSERT_TRUE(socket_readable(s->socket.get(), 1000000));
  session_run(&view_, s, 114);
  session_run(&view_, s, 115);  // told readable again, late
  EXPECT_EQ(get_be16(card_.receive().data() + 2), 2);
  EXPECT_TRUE(card_.quiet());

  answer(ack(2));
  ASSERT_TRUE(socket_readable(s->socket.get(), 1000000));
  pause_.questions = 1;
  EXPECT_TRUE(session_paused(s));
  session_run(&view_, s, 116);
  EXPECT_TRUE(card_.quiet());
  pause_.questions = 0;
  session_run(&view_, s, 118);
  EXPECT_EQ(get_be16(card_.receive().data() + 2), 3);
  EXPECT_TRUE(card_.quiet());
  EXPECT_EQ(view_.percents, (std::vector<std::string>{"25%", "51%", "76%"}));
  EXPECT_EQ(s->ticks, 0);  // the tick at 100 ms came before block 1 reset the count
}

// Ticks come by the time passed in: the first 100 ms after the start, a
// late one once however late it is, and none while a question is open.
TEST_F(Session, TicksFollowTheClockPassedIn) {
  Bytes image = make_body(100, 3);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s, 5000), 1);
  card_.receive();
  EXPECT_EQ(session_run(&view_, s, 5099), 5100);
  EXPECT_EQ(s->ticks, 0);
  EXPECT_EQ(session_run(&view_, s, 5100), 5200);
  EXPECT_EQ(s->ticks, 1);
  EXPECT_EQ(session_run(&view_, s, 5150), 5200);
  EXPECT_EQ(s->ticks, 1);
  // Three periods late: one tick, the next a period from now.
  EXPECT_EQ(session_run(&view_, s, 5530), 5630);
  EXPECT_EQ(s->ticks, 2);
  pause_.questions = 1;
  session_run(&view_, s, 9000);
  EXPECT_EQ(s->ticks, 2);
  pause_.questions = 0;
  // Ten ticks: the request is sent again at the 11th (1.1 s) and no sooner.
  for (int64_t at = 9000; s->ticks < 10; at += 100) session_run(&view_, s, at);
  EXPECT_TRUE(card_.quiet());
  session_run(&view_, s, 9000 + 10 * 100);
  EXPECT_EQ(s->ticks, 11);
  EXPECT_FALSE(card_.receive().empty());
}

TEST_F(Session, ShortAndForeignDatagramsAreIgnored) {
  Bytes image = make_body(100, 3);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  ticks(s, 3, &view_);
  for (const Bytes& b : {Bytes{0, 4, 0}, Bytes{0, 3, 0, 0}, Bytes{0, 1, 0, 0}, Bytes{0}}) {
    answer(b);
    poll(s, &view_);
  }
  EXPECT_EQ(s->state, SESSION_CONNECTING);
  EXPECT_EQ(s->ticks, 3);
  EXPECT_TRUE(card_.quiet());
  session_poll(&view_, s);  // nothing waiting: returns at once
  EXPECT_TRUE(outcomes().empty());
}

// After the first ACK "Connected" shows for SESSION_CONNECTED_MS before the
// first block goes, by the clock passed in: the run's loop is told when
// that is due. The card repeating its ACK 0 meanwhile brings nothing
// forward, and a question holds the block like any other work.
TEST_F(Session, FirstBlockGoesOnceConnectedHasShown) {
  Bytes image = make_body(1000, 5);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s, 1000), 1);
  card_.receive();
  answer(ack(0));
  ASSERT_TRUE(socket_readable(s->socket.get(), 1000000));
  EXPECT_EQ(session_run(&view_, s, 1010), 1100);  // the tick is due before the block
  EXPECT_EQ(view_.statuses.back(), "127.0.0.1 Connected . Start the upgrade !");
  EXPECT_TRUE(card_.quiet());

  answer(ack(0));  // the card, impatient
  ASSERT_TRUE(socket_readable(s->socket.get(), 1000000));
  EXPECT_EQ(session_run(&view_, s, 1050), 1100);
  EXPECT_TRUE(card_.quiet());
  EXPECT_EQ(session_run(&view_, s, 1100, SessionInput::none), 1110);  // the tick; the block is next
  EXPECT_EQ(session_run(&view_, s, 1109, SessionInput::none), 1110);
  EXPECT_TRUE(card_.quiet());
  EXPECT_EQ(view_.statuses.size(), 2u);

  pause_.questions = 1;
  session_run(&view_, s, 1110, SessionInput::none);
  EXPECT_TRUE(card_.quiet());
  pause_.questions = 0;
  EXPECT_EQ(session_run(&view_, s, 1150, SessionInput::none), 1200);
  Bytes data1 = card_.receive();
  ASSERT_EQ(data1.size(), 4u + 512);
  EXPECT_EQ(get_be16(&data1[2]), 1);
  EXPECT_EQ(view_.statuses.back(), "To : 127.0.0.1");
  EXPECT_EQ(view_.statuses.size(), 3u);
  EXPECT_EQ(s->ticks, 0);
  EXPECT_TRUE(card_.quiet()) << "one block, not one per ACK 0";

  // A late ACK 0 acknowledges nothing of block 1.
  answer(ack(0));
  ASSERT_TRUE(socket_readable(s->socket.get(), 1000000));
  session_run(&view_, s, 1160);
  EXPECT_TRUE(card_.quiet());
  EXPECT_EQ(s->block, 1);
  EXPECT_EQ(view_.percents, std::vector<std::string>{"51%"});
}

// A question in one front holds every session of its run, and only those:
// another run's session goes on, and a session of the run that starts
// meanwhile is held as well.
TEST_F(Session, QuestionHoldsTheSessionsOfItsRunOnly) {
  Bytes image = make_body(3000, 4);
  Peer card1, card2, card3;
  UploadSession* s0 = open(image, 0);
  ASSERT_EQ(begin_session(&view_, s0), 1);
  FakeView view1;
  UploadSession* s1 = open(image, 1, &card1);
  ASSERT_EQ(begin_session(&view1, s1), 1);
  SessionPause other_run;
  FakeView view2;
  UploadSession* s2 = open(image, 2, &card2);
  s2->pause = &other_run;
  ASSERT_EQ(begin_session(&view2, s2), 1);
  card_.receive();
  card1.receive();
  card2.receive();

  pause_.questions = 1;  // "Are you sure ?"
  FakeView view3;
  UploadSession* s3 = open(image, 3, &card3);
  ASSERT_EQ(begin_session(&view3, s3), 1);
  card3.receive();
  answer(ack(0));
  card1.send(ack(0), card1.last_from);
  card2.send(ack(0), card2.last_from);
  card3.send(ack(0), card3.last_from);
  ASSERT_TRUE(socket_readable(s2->socket.get(), 1000000));
  for (int64_t at = 0; at <= 2000; at += 100) {
    session_run(&view_, s0, at);
    session_run(&view1, s1, at);
    session_run(&view2, s2, at);
    session_run(&view3, s3, at);
  }
  EXPECT_EQ(s0->ticks, 0);
  EXPECT_EQ(s1->ticks, 0);
  EXPECT_EQ(s3->ticks, 0);
  EXPECT_EQ(s0->state, SESSION_CONNECTING);
  EXPECT_EQ(s3->state, SESSION_CONNECTING);
  EXPECT_TRUE(card_.quiet());
  EXPECT_TRUE(card3.quiet());
  // The other run's session took its ACK and ticks on.
  EXPECT_EQ(get_be16(&card2.receive()[2]), 1);
  EXPECT_GT(s2->ticks, 0);
  pause_.questions = 0;
  EXPECT_TRUE(outcomes().empty());

  // Closed: they carry on with what waited meanwhile.
  ASSERT_TRUE(socket_readable(s0->socket.get(), 1000000));
  ASSERT_TRUE(socket_readable(s1->socket.get(), 1000000));
  session_run(&view_, s0, 2050);
  session_run(&view1, s1, 2050);
  EXPECT_EQ(s0->state, SESSION_SENDING);
  EXPECT_EQ(s1->ticks, 1);  // the late tick ran once, not once per period held
  session_run(&view_, s0, 2150, SessionInput::none);
  session_run(&view1, s1, 2150, SessionInput::none);
  EXPECT_EQ(get_be16(&card_.receive()[2]), 1);
  EXPECT_EQ(get_be16(&card1.receive()[2]), 1);
  EXPECT_EQ(s1->ticks, 0);  // the block reset it
  session_run(&view1, s1, 2250);
  EXPECT_EQ(s1->ticks, 1);
}

// The operator's Abort (the front asked and was told Yes) or the system's
// end: the line " User Aborted !", the view closed, nothing more sent. A
// second abort adds nothing.
TEST_F(Session, AbortAddsItsLineOnceAndSendsNothing) {
  Bytes image = make_body(2000, 3);
  UploadSession* s = open(image);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  connect(s, &view_);
  card_.receive();
  abort_session(&view_, s);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::aborted});
  EXPECT_EQ(report_.text, "127.0.0.1 User Aborted !\r\n");
  EXPECT_EQ(report_cards(&report_)[0].bytes_sent, 512u);
  EXPECT_EQ(view_.closes, 1);
  EXPECT_FALSE(s->socket);
  abort_session(&view_, s);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::aborted});
  EXPECT_EQ(view_.closes, 1);
  session_run(&view_, s, 5000);  // no resend, no tick
  EXPECT_TRUE(card_.quiet());
}

// An abort that comes after the session ended by itself (its last ACK came
// while the question was open) adds nothing. A session of no run is held
// by nothing.
TEST_F(Session, LateAbortAfterTheSessionEndedAddsNothing) {
  Bytes image = make_body(100, 3);
  Report report;
  FakeView view;
  Peer card;
  UploadSession* s = open(image, 1, &card);
  s->report = &report;
  s->pause = nullptr;
  EXPECT_FALSE(session_paused(s));
  ASSERT_EQ(begin_session(&view, s), 1);
  card.receive();
  card.send(ack(0), card.last_from);
  poll(s, &view);
  session_run(&view, s, s->connected_until_ms, SessionInput::none);
  ASSERT_EQ(get_be16(&card.receive()[2]), 1);  // the one, short, block
  card.send(ack(1), card.last_from);
  ASSERT_TRUE(socket_readable(s->socket.get(), 1000000));
  session_run(&view, s, 150);
  ASSERT_EQ(report_cards(&report).size(), 1u);
  EXPECT_EQ(report_cards(&report)[0].outcome, CardOutcome::ok);
  EXPECT_EQ(view.closes, 1);
  abort_session(&view, s);
  EXPECT_EQ(report_cards(&report).size(), 1u);
  EXPECT_EQ(report_text(&report), "127.0.0.1 OK.\r\n");
  EXPECT_EQ(view.closes, 1);
  const uint16_t ticks_then = s->ticks;
  session_run(&view, s, 1000);  // no work on an ended session
  EXPECT_EQ(s->ticks, ticks_then);
  EXPECT_TRUE(card.quiet());
}

TEST_F(Session, FailedAllocationEndsWithALine) {
  Bytes image = make_body(100, 3);
  UploadSession* s = open(image);
  session_allocator = [](size_t) -> uint8_t* { return nullptr; };
  EXPECT_EQ(begin_session(&view_, s), 0);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::no_memory});
  EXPECT_EQ(view_.closes, 1);
  // No request went: no window shows for it.
  EXPECT_EQ(view_.stages, std::vector<SessionStage>{SessionStage::connecting});
  EXPECT_FALSE(s->socket);
  EXPECT_TRUE(card_.quiet());
  session_run(&view_, s, 1000);
  EXPECT_EQ(s->ticks, 0);
}

TEST_F(Session, ImagesBeyondTheBlockNumbersAreRefused) {
  Bytes none;
  UploadSession* s = open(none);
  s->image_size = 65535u * 512;  // 65536 blocks with the empty last one
  EXPECT_EQ(begin_session(&view_, s), 0);
  EXPECT_EQ(outcomes(), std::vector<CardOutcome>{CardOutcome::too_large});
  EXPECT_EQ(view_.closes, 1);
  EXPECT_TRUE(card_.quiet());

  Report fits;
  FakeView view;
  s = open(none);
  s->report = &fits;
  s->image_size = 65535u * 512 - 1;  // 65535 blocks
  EXPECT_EQ(begin_session(&view, s), 1);
  EXPECT_FALSE(card_.receive().empty());
  EXPECT_TRUE(fits.text.empty());
}

TEST_F(Session, SendsItsOwnStampWhateverTheSharedCopyHoldsLater) {
  ImagePlan plan;
  plan.body = make_body(600, 1);
  Bytes image = make_image(plan);
  const Bytes original = image;
  UploadSession* s = open(image);
  s->has_stamp = true;
  const uint8_t stamp[4] = {0xAD, 0xA7, 0x9E, 0x51};
  std::memcpy(s->stamp, stamp, 4);
  ASSERT_EQ(begin_session(&view_, s), 1);
  card_.receive();
  image[IMAGE_STAMP_AT] = 0x77;  // a later start restamped the copy
  connect(s, &view_);
  Bytes data1 = card_.receive();
  ASSERT_EQ(data1.size(), 516u);
  EXPECT_EQ(Bytes(data1.begin() + 4 + 28, data1.begin() + 4 + 32), Bytes(stamp, stamp + 4));
  EXPECT_EQ(Bytes(data1.begin() + 4, data1.begin() + 4 + 28),
            Bytes(original.begin(), original.begin() + 28));
  EXPECT_EQ(Bytes(data1.begin() + 4 + 32, data1.end()),
            Bytes(original.begin() + 32, original.begin() + 512));
}

}  // namespace
