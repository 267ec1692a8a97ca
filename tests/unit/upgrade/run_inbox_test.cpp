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
  inbox.post_datagram(reinterpret_cast<const uint8_t*>(first.data()), static_cast<int>(first.size()), a);
  inbox.post_datagram(reinterpret_cast<const uint8_t*>(second.data()), static_cast<int>(second.size()), b);
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
  // Taken once: the next take has nothing, and a waiting loop may wait.
  inbox.take_datagrams(&list, &bytes);
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(inbox.may_wait());
}

// The receiving thread hears the run's socket; a datagram that comes while
// the loop waits wakes it at once, not at the end of its wait.
TEST(RunInbox, TheReceivingThreadWakesTheWaitingLoop) {
  SystemRunIo io;
  auto inbox = std::make_shared<RunInbox>();
  inbox->io = &io;
  SocketOwner socket(udp_open(0)), sender(udp_open(0));
  ASSERT_TRUE(socket && sender);
  std::unique_ptr<TransferReceiver> receiver = io.receive(socket.get(), inbox);
  ASSERT_TRUE(receiver);
  const SocketAddress to = make_address(text_to_ip("127.0.0.1"), socket_local_port(socket.get()));
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(inbox->may_wait());
    const uint8_t byte = static_cast<uint8_t>(round);
    socket_send_to(sender.get(), &byte, 1, to);
    const auto began = std::chrono::steady_clock::now();
    std::vector<unsigned char> ready;
    io.wait({}, 5000, &ready);
    inbox->waited();
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took, std::chrono::milliseconds(2000)) << "the loop slept through the datagram";
    std::vector<RunDatagram> list;
    std::vector<uint8_t> bytes;
    inbox->take_datagrams(&list, &bytes);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(bytes[list[0].at], byte);
  }
  inbox->io = nullptr;
}

}  // namespace
