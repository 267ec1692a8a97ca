// The run's inbox and the system's receiving thread, as the product uses
// them: datagrams kept apart, and a waiting loop woken by the first one.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/udp.h"
#include "protocol/address.h"
#include "upgrade/run/run.h"

namespace {

TEST(RunInbox, EachDatagramKeepsItsOwnBytes) {
  RunInbox inbox;
  const std::string first = "first datagram", second = "2nd";
  SocketAddress a{}, b{};
  a.port_be = 1;
  b.port_be = 2;
  inbox.post_datagram(7, reinterpret_cast<const uint8_t*>(first.data()), static_cast<int>(first.size()), a);
  inbox.post_datagram(8, reinterpret_cast<const uint8_t*>(second.data()), static_cast<int>(second.size()), b);
  std::vector<RunDatagram> list;
  std::vector<uint8_t> bytes;
  inbox.take_datagrams(&list, &bytes);
  ASSERT_EQ(list.size(), 2u);
  auto text = [&](const RunDatagram& d) {
    return std::string(bytes.begin() + static_cast<long>(d.at),
                       bytes.begin() + static_cast<long>(d.at) + d.length);
  };
  EXPECT_EQ(text(list[0]), first);
  EXPECT_EQ(text(list[1]), second);
  EXPECT_EQ(list[1].from.port_be, 2);
  EXPECT_EQ(list[0].socket, 7u);
  EXPECT_EQ(list[1].socket, 8u);
  // Taken once: the next take has nothing, and a waiting loop may wait.
  inbox.take_datagrams(&list, &bytes);
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(inbox.may_wait());
}

// A flood at one socket fills its own share of the inbox, not the others'.
TEST(RunInbox, OneSocketsFloodLeavesRoomForTheOthers) {
  RunInbox inbox;
  const uint8_t byte = 1;
  SocketAddress from{};
  int taken = 0;
  for (int i = 0; i < RunInbox::SOCKET_SHARE * 4; ++i) taken += inbox.post_datagram(1, &byte, 1, from);
  EXPECT_EQ(taken, RunInbox::SOCKET_SHARE);
  EXPECT_TRUE(inbox.post_datagram(2, &byte, 1, from));
  std::vector<RunDatagram> list;
  std::vector<uint8_t> bytes;
  inbox.take_datagrams(&list, &bytes);
  EXPECT_TRUE(inbox.post_datagram(1, &byte, 1, from)) << "a share frees when the loop takes it";
}

// The receiving thread hears every open socket of the port at once, the
// older ones too; a datagram that comes while the loop waits wakes it at
// once, not at the end of its wait; a closed socket is heard no more.
TEST(RunInbox, TheReceivingThreadHearsEverySocketAndWakesTheLoop) {
  SystemRunIo io;
  auto inbox = std::make_shared<RunInbox>();
  inbox->io = &io;
  std::unique_ptr<PortReceiver> receiver = io.hear(inbox);
  ASSERT_TRUE(receiver);
  std::vector<Socket> sockets;
  for (int i = 0; i < 3; ++i) sockets.push_back(io.open());
  SocketOwner sender(udp_open(0));
  ASSERT_TRUE(sender);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const Socket to_socket = sockets[static_cast<size_t>(round)];
    ASSERT_TRUE(to_socket);
    const SocketAddress to =
        make_address(text_to_ip("127.0.0.1"), socket_local_port(io.system_socket(to_socket)));
    ASSERT_TRUE(inbox->may_wait());
    const uint8_t byte = static_cast<uint8_t>(round);
    socket_send_to(sender.get(), &byte, 1, to);
    const auto began = std::chrono::steady_clock::now();
    io.wait(5000);
    inbox->waited();
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took, std::chrono::milliseconds(2000)) << "the loop slept through the datagram";
    std::vector<RunDatagram> list;
    std::vector<uint8_t> bytes;
    inbox->take_datagrams(&list, &bytes);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].socket, to_socket);
    EXPECT_EQ(bytes[list[0].at], byte);
  }
  io.close(sockets[0]);
  EXPECT_EQ(io.system_socket(sockets[0]), 0u);
  EXPECT_EQ(io.send(sockets[0], "x", 1, make_address(text_to_ip("127.0.0.1"), 9)), -1);
  receiver.reset();
  inbox->io = nullptr;
}

}  // namespace
