// The discovery service with real sockets and threads against cardsim, in
// the private network.
#include <gtest/gtest.h>

#include "settings/settings.h"
#include "tests/net/discovery/harness.h"

namespace {

using namespace harness;

const char TWO_CARDS[] =
    "ip=10.69.0.5 mac=00-0a-ff-00-00-05 fw=1.02\n"
    "ip=10.69.0.6 mac=00-0a-ff-00-00-06 fw=2.10 write=0\n";

class DiscoveryNet : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static std::string folder = temp_dir();
    set_settings_folder(folder.c_str());
  }
  Cardsim sim;
  Rig rig;

  void start(const char* cards) {
    ASSERT_TRUE(sim.start(cards));
    ASSERT_TRUE(rig.start());
  }
  uint32_t unanswered_queries(const char* ip, int* image = nullptr) {
    bool ok = false;
    DeviceRecord r = rig.record_of(ip, &ok, image);
    return ok ? r.unanswered_queries : 0xFFFFFFFFu;
  }
  // Waits until the answers to the pass just sent have been merged.
  bool answered(const char* ip) {
    return wait_until([&] { return unanswered_queries(ip) == 0; }, 3000);
  }
  void discover_both() {
    modal_step_event(rig.svc).set();
    send_broadcast_request(rig.svc);
    ASSERT_TRUE(wait_until([&] { return rig.rows() == 2; }, 3000));
    modal_step_event(rig.svc).reset();
  }
};

TEST_F(DiscoveryNet, BroadcastWhileBusyListsCardsUntilAPassConfirmsThem) {
  start(TWO_CARDS);
  discover_both();
  int image = -1;
  EXPECT_EQ(unanswered_queries("10.69.0.5", &image), 1u);
  EXPECT_EQ(image, ICON_NO_REPLY);
  EXPECT_EQ(unanswered_queries("10.69.0.6", &image), 1u);
  EXPECT_EQ(image, ICON_NO_REPLY);
  // Each reply is answered as it is read, but the card records the ACK a
  // moment later: the row may show first.
  EXPECT_TRUE(wait_until([&] { return sim.count("answer", "kind", "ACK") == 2u; }, 3000));

  rig.pass();
  ASSERT_TRUE(answered("10.69.0.5"));
  ASSERT_TRUE(answered("10.69.0.6"));
  unanswered_queries("10.69.0.5", &image);
  EXPECT_EQ(image, ICON_READY);
  unanswered_queries("10.69.0.6", &image);
  EXPECT_EQ(image, ICON_NO_WRITE);
  bool ok = false;
  DeviceRecord r = rig.record_of("10.69.0.6", &ok);
  EXPECT_EQ(r.version, 0x020Au);
  EXPECT_STREQ(r.user_name, "admin");
  EXPECT_STREQ(r.password, "");
  EXPECT_EQ(sim.count("sysinfo", "via", "unicast"), 2u);
}

TEST_F(DiscoveryNet, BroadcastRepliesWhileIdleAreNeitherAnsweredNorMerged) {
  start(TWO_CARDS);
  send_broadcast_request(rig.svc);
  // A card waits two seconds for an answer, then records that none came.
  ASSERT_TRUE(wait_until([&] { return sim.count("answer", "kind", "NONE") == 2; }, 5000));
  EXPECT_EQ(sim.count("sysinfo", "via", "broadcast"), 2u);
  EXPECT_EQ(sim.count("answer", "kind", "ACK"), 0u);
  EXPECT_EQ(rig.rows(), 0);
}

TEST_F(DiscoveryNet, SilentCardIsMarkedAndCountedPassByPass) {
  start(TWO_CARDS);
  discover_both();
  rig.pass();
  ASSERT_TRUE(answered("10.69.0.5"));
  ASSERT_TRUE(answered("10.69.0.6"));
  ASSERT_TRUE(sim.reload(
      "ip=10.69.0.5 mac=00-0a-ff-00-00-05 fw=1.02\n"
      "ip=10.69.0.6 mac=00-0a-ff-00-00-06 fw=2.10 write=0 silent=1\n"));
  EXPECT_EQ(sim.count("reload", "status", "ok"), 1u);

  struct Step {
    uint32_t count;
    int icon;
  } steps[] = {{1, ICON_NO_WRITE}, {2, ICON_NO_REPLY}, {3, ICON_NO_REPLY}};  // it refuses writes
  for (const Step& s : steps) {
    rig.pass();
    ASSERT_TRUE(answered("10.69.0.5"));  // the other card's answer marks the pass done
    int image = -1;
    EXPECT_EQ(unanswered_queries("10.69.0.6", &image), s.count);
    EXPECT_EQ(image, s.icon) << s.count;
  }
}

TEST_F(DiscoveryNet, OversizedReplyIsRefusedAndStillMerged) {
  start("ip=10.69.0.7 reply_size=600\n");
  query_device(rig.svc, text_to_ip("10.69.0.7"));
  ASSERT_TRUE(wait_until([&] { return rig.rows() == 1; }, 3000));
  ASSERT_TRUE(wait_until([&] { return sim.count("answer", "kind", "ERROR") == 1; }, 3000));
  auto records = sim.records();
  for (auto& r : records) {
    if (r.event == "answer") {
      EXPECT_EQ(r.fields["code"], "3");
    }
  }
  int image = -1;
  EXPECT_EQ(unanswered_queries("10.69.0.7", &image), 0u);
  EXPECT_EQ(image, ICON_READY);
}

TEST_F(DiscoveryNet, TwoCardsStatingOneAddressShareARow) {
  start(
      "ip=10.69.0.5\n"
      "ip=10.69.0.6 text=\"MX-2 SNMP/WEB Card\\r\\n+PROD : 0x00010004\\r\\n+IP : 10.69.0.5\\r\\n"
      "+MAC : 00-0a-ff-00-00-66\\r\\n+FW : v3.01\\r\\n\"\n");
  modal_step_event(rig.svc).set();
  send_broadcast_request(rig.svc);
  ASSERT_TRUE(wait_until([&] { return sim.count("answer", "kind", "ACK") == 2; }, 3000));
  // The ACK goes out before the merge; let the second merge land.
  ASSERT_TRUE(wait_until([&] { return rig.rows() == 1; }, 1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(rig.rows(), 1);
}

TEST_F(DiscoveryNet, EmptyTableSendsNothing) {
  start(TWO_CARDS);
  rig.pass();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(sim.count("sysinfo"), 0u);
  EXPECT_EQ(rig.rows(), 0);
}

TEST_F(DiscoveryNet, QueryToAnAddressWithoutACardDoesNotStopLaterReplies) {
  start(TWO_CARDS);
  query_device(rig.svc, text_to_ip("10.69.0.99"));
  query_device(rig.svc, text_to_ip("10.69.0.5"));
  ASSERT_TRUE(wait_until([&] { return rig.rows() == 1; }, 3000));
  query_device(rig.svc, text_to_ip("10.69.0.99"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  query_device(rig.svc, text_to_ip("10.69.0.6"));
  EXPECT_TRUE(wait_until([&] { return rig.rows() == 2; }, 3000));
}

TEST_F(DiscoveryNet, StopReturnsWithinThreeSeconds) {
  start(TWO_CARDS);
  auto t = Clock::now();
  EXPECT_EQ(stop_discovery(rig.svc), 1);
  EXPECT_LT(ms_since(t), 3000);
  rig.started = false;
}

TEST_F(DiscoveryNet, StopTakesTheFullWaitAfterAReceiveFailure) {
  start(TWO_CARDS);
  // Put a pipe with data where the query socket was: readable, but every
  // receive on it fails.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  ASSERT_GE(dup2(fds[0], static_cast<int>(rig.svc.state->query_socket.get())), 0);
  ASSERT_TRUE(wait_until([&] { return rig.svc.state->running.load() == 2; }, 3000));
  auto t = Clock::now();
  EXPECT_EQ(stop_discovery(rig.svc), 1);
  double took = ms_since(t);
  EXPECT_GE(took, 2990);
  EXPECT_LT(took, 3500);
  rig.started = false;
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
