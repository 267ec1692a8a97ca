#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "protocol/packet.h"

namespace {

std::string packed(const char* format, std::initializer_list<FieldArg> args) {
  char out[64];
  std::memset(out, '#', sizeof out);
  int n = pack_fields(out, sizeof out, format, args);
  return std::string(out, n);
}

using namespace std::string_literals;

TEST(PackFields, WritesEveryFieldWithItsTerminator) {
  struct Case {
    const char* format;
    std::initializer_list<FieldArg> args;
    std::string expected;
  };
  const Case cases[] = {
      {"%", {}, "%"},
      {"%%", {}, "%"},
      {"a%", {}, "a%"},
      {"%s", {""}, "\0"s},
      {"%s%s", {"sysinfo", "octet"}, "sysinfo\0octet\0"s},
      {"%u", {4294967295u}, "4294967295\0"s},
      {"%d", {-5}, "-5\0"s},
      {"%d", {42}, "42\0"s},
      {"%c", {0x141}, "\x41"s},
      {"%x", {7}, "x"},              // unknown conversion: the letter stays
      {"%5d", {7}, "5d"},            // widths are not understood either
      {"up%s@%s", {"pw", "op"}, "uppw\0@op\0"s},
      {"", {}, ""},
      {"%s%d", {}, "\0" "0\0"s},     // missing arguments read as empty / 0
  };
  for (const Case& c : cases) EXPECT_EQ(packed(c.format, c.args), c.expected) << c.format;
}

TEST(PackFields, LongErrorTextIs33Bytes) {
  EXPECT_EQ(packed("%s", {"Disk full or allocation exceeded"}).size(), 33u);
}

TEST(PackFields, StopsAtCapacity) {
  char out[4] = {};
  EXPECT_EQ(pack_fields(out, 3, "%s", {"abcdef"}), 3);
  EXPECT_EQ(std::string(out, 3), "abc");
}

TEST(Packets, SysinfoRequestIsTheSixteenBytes) {
  uint8_t out[SYSINFO_REQUEST_SIZE];
  ASSERT_EQ(build_sysinfo_request(out), 16);
  const uint8_t expected[16] = {
      0x00, 0x01,                                      // RRQ
      's', 'y', 's', 'i', 'n', 'f', 'o', 0x00,         // file name
      'o', 'c', 't', 'e', 't', 0x00,                   // mode
  };
  EXPECT_EQ(std::memcmp(out, expected, 16), 0);
}

TEST(Packets, DataIsAnsweredByLengthWithBlockOne) {
  std::vector<uint8_t> data(600, 'x');
  data[0] = 0x00, data[1] = 0x03;  // DATA
  data[2] = 0x00, data[3] = 0x07;  // block 7: the ACK still says 1
  uint8_t out[REPLY_ANSWER_MAX];

  ASSERT_EQ(build_reply_answer(data.data(), 515, out), 4);
  const uint8_t ack[4] = {0x00, 0x04, 0x00, 0x01};
  EXPECT_EQ(std::memcmp(out, ack, 4), 0);

  ASSERT_EQ(build_reply_answer(data.data(), 516, out), 37);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0x05);  // ERROR
  EXPECT_EQ(out[2], 0x00);
  EXPECT_EQ(out[3], 0x03);  // disk full
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out) + 4, 33),
            "Disk full or allocation exceeded\0"s);
  EXPECT_EQ(build_reply_answer(data.data(), 600, out), 37);
}

TEST(Packets, OtherOpcodesGetNoAnswer) {
  uint8_t out[REPLY_ANSWER_MAX];
  for (uint8_t op : {1, 2, 4, 5, 0, 9}) {
    const uint8_t datagram[6] = {0x00, op, 0x00, 0x01, 'a', 0};
    EXPECT_EQ(build_reply_answer(datagram, 6, out), 0) << int(op);
  }
  const uint8_t wide_opcode[4] = {0x01, 0x03, 0x00, 0x01};
  EXPECT_EQ(build_reply_answer(wide_opcode, 4, out), 0);
}

TEST(Packets, AnswerGoesToTheSourceAddressAndPort) {
  ASSERT_TRUE(net_startup());
  SocketOwner program_socket = udp_open(0), card_socket = udp_open(0);
  Socket program = program_socket.get(), card = card_socket.get();
  ASSERT_TRUE(program && card);
  const uint32_t loopback = text_to_ip("127.0.0.1");

  const uint8_t reply[8] = {0x00, 0x03, 0x00, 0x01, 't', 'e', 'x', 't'};
  socket_send_to(card, reply, sizeof reply, make_address(loopback, socket_local_port(program)));
  ASSERT_TRUE(socket_readable(program, 2000000));
  uint8_t got[64];
  SocketAddress from;
  ASSERT_EQ(socket_recv_from(program, got, sizeof got, &from), 8);
  EXPECT_EQ(address_port(from), socket_local_port(card));

  answer_reply(program, got, 8, from);
  ASSERT_TRUE(socket_readable(card, 2000000));
  SocketAddress back;
  ASSERT_EQ(socket_recv_from(card, got, sizeof got, &back), 4);
  const uint8_t ack[4] = {0x00, 0x04, 0x00, 0x01};
  EXPECT_EQ(std::memcmp(got, ack, 4), 0);
  EXPECT_EQ(address_port(back), socket_local_port(program));

  // An ACK arriving at the program is not answered.
  answer_reply(program, ack, 4, from);
  EXPECT_FALSE(wait_readable(card, 200000));
}

TEST(Packets, OversizedDatagramIsCutToTheBuffer) {
  // Both systems hand over the part that fits and keep the socket usable.
  ASSERT_TRUE(net_startup());
  SocketOwner receiver_socket = udp_open(0), sender_socket = udp_open(0);
  Socket receiver = receiver_socket.get(), sender = sender_socket.get();
  ASSERT_TRUE(receiver && sender);
  const SocketAddress to = make_address(text_to_ip("127.0.0.1"), socket_local_port(receiver));
  std::vector<uint8_t> big(2000, 'b');
  socket_send_to(sender, big.data(), static_cast<int>(big.size()), to);
  const uint8_t small[5] = {0, 3, 0, 1, 's'};
  socket_send_to(sender, small, sizeof small, to);

  uint8_t got[1600];
  SocketAddress from;
  ASSERT_TRUE(socket_readable(receiver, 2000000));
  EXPECT_EQ(socket_recv_from(receiver, got, 1599, &from), 1599);
  EXPECT_EQ(address_port(from), socket_local_port(sender));
  ASSERT_TRUE(socket_readable(receiver, 2000000));
  EXPECT_EQ(socket_recv_from(receiver, got, 1599, &from), 5);
}

TEST(Sockets, AnOwnerClosesItsSocketOnEveryPathButRelease) {
  // A closed socket has no local port any more.
  Socket first = udp_open(0).release();
  ASSERT_NE(first, 0u);
  {
    SocketOwner owner(first);
    EXPECT_NE(socket_local_port(owner.get()), 0);
  }
  EXPECT_EQ(socket_local_port(first), 0);

  SocketOwner a = udp_open(0);
  Socket moved = a.get();
  SocketOwner b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(b.get(), moved);
  SocketOwner c = udp_open(0);
  Socket replaced = c.get();
  c = std::move(b);  // closes what c held
  EXPECT_EQ(socket_local_port(replaced), 0);
  EXPECT_NE(socket_local_port(moved), 0);

  Socket kept = c.release();
  EXPECT_FALSE(c);
  EXPECT_NE(socket_local_port(kept), 0);
  socket_close(kept);
}

TEST(AddressTexts, IpAndMacTexts) {
  EXPECT_STREQ(ip_to_text(0), "0.0.0.0");
  EXPECT_STREQ(ip_to_text(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_STREQ(ip_to_text(text_to_ip("192.168.1.20")), "192.168.1.20");
  const uint8_t mac[6] = {0x00, 0x0A, 0xFF, 0x10, 0x20, 0x3B};
  char text[18];
  EXPECT_STREQ(mac_to_text(text, mac), "00-0a-ff-10-20-3b");
}

TEST(AddressTexts, StripBlanksRemovesOnlySpaces) {
  char text[] = " 192.168. 1.5 ";
  EXPECT_STREQ(strip_blanks(text, text), "192.168.1.5");
  char out[16];
  EXPECT_STREQ(strip_blanks(out, "1.2\t.3 "), "1.2\t.3");
}

TEST(AddressTexts, DottedConversionFollowsTheSocketLibrary) {
  struct Case {
    const char* text;
    const char* expected;  // nullptr: not an address (all ones)
  };
  const Case cases[] = {
      {"10.69.0.5", "10.69.0.5"},
      {"10.69.0.5\r\n+MAC", "10.69.0.5"},  // ends at white space
      {"10.69.0.5 junk", "10.69.0.5"},
      {"0x0a.010.0.1", "10.8.0.1"},        // hex and octal parts
      {"10.1", "10.0.0.1"},
      {"10.1.258", "10.1.1.2"},
      {"167772161", "10.0.0.1"},
      {"192.168.1.300", nullptr},
      {"1.2.3.4.5", nullptr},
      {"1.2.3.", nullptr},
      {"08.1.1.1", nullptr},
      {"a.b.c.d", nullptr},
      {"", nullptr},
      {"1.2.3.4x", nullptr},
      {"4294967296", nullptr},
  };
  for (const Case& c : cases) {
    uint32_t ip = text_to_ip(c.text);
    if (c.expected)
      EXPECT_STREQ(ip_to_text(ip), c.expected) << c.text;
    else
      EXPECT_EQ(ip, 0xFFFFFFFFu) << c.text;
  }
}

TEST(AddressTexts, ClassfulNetworkPart) {
  struct Case {
    const char* ip;
    uint32_t cls;
    const char* network;
  };
  const Case cases[] = {
      {"10.1.2.3", 0x00, "10.0.0.0"},       {"127.0.0.1", 0x00, "127.0.0.0"},
      {"172.20.5.9", 0x80, "172.20.0.0"},   {"192.168.1.20", 0xC0, "192.168.1.0"},
      {"224.1.2.3", 0xE0, "224.1.2.0"},     {"250.1.2.3", 0xF0, "250.1.2.0"},
      {"128.0.0.1", 0x80, "128.0.0.0"},     {"191.255.1.1", 0x80, "191.255.0.0"},
  };
  for (const Case& c : cases) {
    uint32_t ip = text_to_ip(c.ip);
    EXPECT_EQ(address_class(ip), c.cls) << c.ip;
    EXPECT_STREQ(ip_to_text(network_part(ip)), c.network) << c.ip;
  }
}

}  // namespace
