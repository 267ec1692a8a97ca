#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/packet.h"
#include "protocol/sysinfo.h"

namespace {

class Sysinfo : public ::testing::Test {};

std::string reply(const std::string& prod = "0x00010004", const std::string& fw = "v1.02",
                  bool accept = true) {
  return "MX-2 SNMP/WEB Card\r\n+PROD : " + prod + "\r\n+IP : 10.69.0.5\r\n" +
         "+MAC : 00-0a-ff-10-20-3b\r\n+FW : " + fw + "\r\n" + (accept ? "+WRQ : ACCEPT\r\n" : "");
}

DeviceRecord blank() {
  DeviceRecord r;
  std::memset(&r, 0, sizeof r);
  return r;
}

TEST_F(Sysinfo, AcceptsAReadyCard) {
  DeviceRecord r = blank();
  std::strcpy(r.password, "secret");
  r.unanswered_queries = 3;
  ASSERT_EQ(parse_sysinfo(&r, reply().c_str(), "admin"), 1);
  EXPECT_EQ(r.filled, 1);
  EXPECT_STREQ(ip_to_text(r.ip), "10.69.0.5");
  const uint8_t mac[8] = {0x00, 0x0A, 0xFF, 0x10, 0x20, 0x3B, 0, 0};
  EXPECT_EQ(std::memcmp(r.mac, mac, 8), 0);
  EXPECT_EQ(r.version, 258u);
  EXPECT_STREQ(r.user_name, "admin");
  EXPECT_EQ(r.write_refused, 0);
  // Never written by the parser.
  EXPECT_STREQ(r.password, "secret");
  EXPECT_EQ(r.unanswered_queries, 3u);
}

TEST_F(Sysinfo, ProductCodeUnderTheMask) {
  struct Case {
    const char* prod;
    int accepted;
  };
  const Case cases[] = {
      {"0x00010004", 1}, {"0x0001FF04", 1}, {"0x00012304", 1}, {"00010004", 1},
      {"0x00020004", 0}, {"0x00010005", 0}, {"0x0", 0},        {"zz", 0},
      {"0x100010004", 0},  // beyond 32 bits reads as all ones
  };
  for (const Case& c : cases) {
    DeviceRecord r = blank();
    EXPECT_EQ(parse_sysinfo(&r, reply(c.prod).c_str(), "admin"), c.accepted) << c.prod;
  }
}

TEST_F(Sysinfo, ProductCodeIsReadTwelveCharactersFromTheMarker) {
  DeviceRecord r = blank();
  // Whatever the five characters after "+PROD" are, they are skipped.
  std::string text = reply();
  text.replace(text.find(" : 0x"), 5, "=====");
  EXPECT_EQ(parse_sysinfo(&r, text.c_str(), "admin"), 1);
  // Fewer than five characters behind the marker: the code is 0.
  EXPECT_EQ(parse_sysinfo(&r, "x\r\n+IP : 1.2.3.4\r\n+MAC : 0\r\n+FW : v1.0\r\n+PROD : ", "admin"), 0);
}

TEST_F(Sysinfo, VersionTexts) {
  struct Case {
    const char* fw;
    int accepted;
    uint32_t version;
  };
  const Case cases[] = {
      {"v1.02", 1, 258},
      {"v2.10", 1, 522},
      {"v1.300", 1, 556},  // the minor number carries into the major byte
      {"Firmware v 3. 7", 1, 0x307},
      {"1.02", 0, 0},      // no 'v' anywhere after the marker
      {"v102", 0, 0},      // no '.' after the 'v'
  };
  for (const Case& c : cases) {
    DeviceRecord r = blank();
    std::string text = reply("0x00010004", c.fw, true);
    // Keep the rest of the text free of '.' and 'v' so the searches can
    // only find what the case puts there.
    text.replace(text.find("10.69.0.5"), 9, "167772165");
    text.replace(text.find("MX-2 SNMP/WEB Card"), 18, "card");
    text.replace(text.find("+WRQ : ACCEPT"), 13, "+WRQ : ACCEPT");
    EXPECT_EQ(parse_sysinfo(&r, text.c_str(), "admin"), c.accepted) << c.fw;
    if (c.accepted) {
      EXPECT_EQ(r.version, c.version) << c.fw;
    }
  }
}

TEST_F(Sysinfo, SeparatorsAreSearchedThroughTheRestOfTheText) {
  DeviceRecord r = blank();
  // The 'v' and '.' of the version may sit on later lines.
  const char* text = "x\r\n+FW\r\n+PROD : 0x00010004\r\n+IP : 10.0.0.9\r\n+MAC : 01-02-03-04-05-06\r\n"
                     "note v4\r\nmore .9\r\n";
  ASSERT_EQ(parse_sysinfo(&r, text, "admin"), 1);
  EXPECT_EQ(r.version, 4u * 256 + 9);
}

TEST_F(Sysinfo, MarkersOnlyAfterALineEndAndInAnyOrder) {
  DeviceRecord r = blank();
  const char* reordered =
      "x\r\n+FW : v2.10\r\n+MAC : 00-0a-ff-10-20-3b\r\n+IP : 10.69.0.7\r\n+PROD : 0x00010004";
  ASSERT_EQ(parse_sysinfo(&r, reordered, "admin"), 1);
  EXPECT_STREQ(ip_to_text(r.ip), "10.69.0.7");
  EXPECT_EQ(r.write_refused, 1);

  std::string first_line = reply().substr(reply().find("+PROD"));
  EXPECT_EQ(parse_sysinfo(&r, first_line.c_str(), "admin"), 0);
}

TEST_F(Sysinfo, EachMissingPieceRejects) {
  const char* removed[] = {"\r\n+PROD", "\r\n+IP", "\r\n+MAC", "\r\n+FW"};
  for (const char* marker : removed) {
    std::string text = reply();
    text.erase(text.find(marker), std::strlen(marker));
    DeviceRecord r = blank();
    EXPECT_EQ(parse_sysinfo(&r, text.c_str(), "admin"), 0) << marker + 2;
  }
  DeviceRecord r = blank();
  EXPECT_EQ(parse_sysinfo(&r, "x\r\n+PROD : 0x00010004\r\n+IP 1.2.3.4", "admin"), 0);  // no ':' after +IP
  EXPECT_EQ(parse_sysinfo(&r, "", "admin"), 0);
}

TEST_F(Sysinfo, WriteFlagNeedsTheExactLine) {
  const char* lines[] = {"+WRQ : accept", "+WRQ: ACCEPT", "+WRQ :  ACCEPT", "+WRQ : REFUSE"};
  for (const char* line : lines) {
    std::string text = reply("0x00010004", "v1.02", false) + line + "\r\n";
    DeviceRecord r = blank();
    ASSERT_EQ(parse_sysinfo(&r, text.c_str(), "admin"), 1) << line;
    EXPECT_EQ(r.write_refused, 1) << line;
  }
}

TEST_F(Sysinfo, MalformedAddressesDoNotReject) {
  std::string text = reply();
  text.replace(text.find("10.69.0.5"), 9, "192.168.1.300");
  text.replace(text.find("00-0a-ff-10-20-3b"), 17, "00-0a-1ff-10-20-3b");
  DeviceRecord r = blank();
  ASSERT_EQ(parse_sysinfo(&r, text.c_str(), "admin"), 1);
  EXPECT_EQ(r.ip, 0xFFFFFFFFu);
  const uint8_t mac[6] = {0x00, 0x0A, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(r.mac, mac, 6), 0);

  // Colon and value at the very end of the text.
  EXPECT_EQ(parse_sysinfo(&r, "x\r\n+PROD : 0x00010004\r\n+FW : v1.1\r\n+MAC :\r\n+IP :", "admin"), 1);
  EXPECT_EQ(r.ip, 0xFFFFFFFFu);
}

TEST_F(Sysinfo, TheCallersAccountCutToTheField) {
  DeviceRecord r = blank();
  ASSERT_EQ(parse_sysinfo(&r, reply().c_str(), "operator"), 1);
  EXPECT_STREQ(r.user_name, "operator");

  std::string forty(40, 'u');
  ASSERT_EQ(parse_sysinfo(&r, reply().c_str(), forty.c_str()), 1);
  EXPECT_EQ(std::string(r.user_name), forty.substr(0, 31));
}

TEST(ParseMac, Forms) {
  struct Case {
    const char* text;
    int result;
    uint8_t mac[6];
  };
  const Case cases[] = {
      {"00-0a-ff-10-20-3b\r\n+FW : v1.02", 1, {0x00, 0x0A, 0xFF, 0x10, 0x20, 0x3B}},
      {"00-0a-ff-10-20-3b", 0, {0x00, 0x0A, 0xFF, 0x10, 0x20, 0x3B}},  // nothing after byte 6
      {"00:0a:ff:10:20:3b\r\n", 0, {0x00, 0x0A, 0xFF, 0x10, 0x20, 0x3B}},
      {"00:0a:ff:10:20:3b\r\n+X :", 1, {0x00, 0x0A, 0xFF, 0x10, 0x20, 0x3B}},
      {"00:0a:ff:10:20:3b\r\n-", 1, {0x00, 0, 0, 0, 0, 0}},  // a later '-' wins over ':'
      {"00-0a-100-10-20-3b", 0, {0x00, 0x0A, 0, 0, 0, 0}},
      {"-1-2", 0, {0xFF, 0x02, 0, 0, 0, 0}},
      {"0x1f-0X2e-", 1, {0x1F, 0x2E, 0, 0, 0, 0}},  // text ends before six bytes
      {"", 1, {0, 0, 0, 0, 0, 0}},
      {"zz", 0, {0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    uint8_t mac[6];
    EXPECT_EQ(parse_mac(mac, c.text), c.result) << c.text;
    EXPECT_EQ(std::memcmp(mac, c.mac, 6), 0) << c.text;
  }
}

TEST(MaskedEqual, ComparesOnlyMaskedBits) {
  EXPECT_EQ(masked_equal(0x0001AB04, ACCEPTED_PRODUCT, PRODUCT_MASK), 1);
  EXPECT_EQ(masked_equal(0x0001AB05, ACCEPTED_PRODUCT, PRODUCT_MASK), 0);
  EXPECT_EQ(masked_equal(1, 2, 0), 1);
}

}  // namespace
