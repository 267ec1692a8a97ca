// The strict address reader: what an operator might type or a list might
// hold, and which of the addresses it reads can be a card.
#include <gtest/gtest.h>

#include "protocol/address.h"
#include "protocol/packet.h"

namespace {

struct Case {
  const char* text;
  const char* read;  // the address as ip_to_text shows it; nullptr: refused
};

TEST(Address, ReadsOnlyFourPlainDecimalNumbers) {
  const Case cases[] = {
      {"10.69.0.5", "10.69.0.5"},     {"0.0.0.0", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"}, {"1.20.100.200", "1.20.100.200"},
      {"10.69.0.010", nullptr},       {"010.69.0.5", nullptr},  // octal to inet_addr
      {"10.69.0.00", nullptr},        {"0x0a.69.0.5", nullptr},
      {"0", nullptr},                 {"0x", nullptr},           // 0.0.0.0 to inet_addr
      {"10.69.5", nullptr},           {"167772165", nullptr},    // short forms
      {"10.69.0.256", nullptr},       {"10.69.0.1000", nullptr},
      {"10.69.0.5.", nullptr},        {".10.69.0.5", nullptr},
      {"10..0.5", nullptr},           {"10.69.0.5 ", nullptr},
      {" 10.69.0.5", nullptr},        {"10.69.0.-1", nullptr},
      {"10.69.0.+5", nullptr},        {"", nullptr},
      {"10.69.0.5x", nullptr},
  };
  for (const Case& c : cases) {
    uint32_t ip = 0x12345678;
    bool ok = read_dotted_address(c.text, &ip);
    EXPECT_EQ(ok, c.read != nullptr) << c.text;
    if (ok && c.read) {
      EXPECT_STREQ(ip_to_text(ip), c.read) << c.text;
    }
  }
  uint32_t ip = 0;
  EXPECT_FALSE(read_dotted_address(std::string("10.69.0.5\0", 10), &ip)) << "a NUL inside";
}

TEST(Address, OnlyUnicastAddressesCanBeCards) {
  const Case cases[] = {
      {"10.69.0.5", "10.69.0.5"},   {"1.0.0.0", "1.0.0.0"},
      {"126.255.255.255", "126.255.255.255"}, {"128.0.0.1", "128.0.0.1"},
      {"223.255.255.254", "223.255.255.254"}, {"8.8.8.8", "8.8.8.8"},
      {"0.0.0.0", nullptr},         {"0.1.2.3", nullptr},
      {"127.0.0.1", nullptr},       {"127.255.0.9", nullptr},
      {"224.0.0.1", nullptr},       {"239.255.255.255", nullptr},
      {"240.0.0.1", nullptr},       {"255.255.255.255", nullptr},
  };
  for (const Case& c : cases) {
    uint32_t ip = 0;
    std::string why;
    bool ok = read_card_address(c.text, &ip, &why);
    EXPECT_EQ(ok, c.read != nullptr) << c.text;
    if (ok) {
      EXPECT_STREQ(ip_to_text(ip), c.read);
    } else {
      EXPECT_NE(why.find(std::string("\"") + c.text + "\""), std::string::npos) << why;
      EXPECT_NE(why.find("cannot be a card"), std::string::npos) << why;
    }
  }
  uint32_t ip = 0;
  std::string why;
  EXPECT_FALSE(read_card_address("10.69.0.010", &ip, &why));
  EXPECT_EQ(why, "\"10.69.0.010\" is not an address: four numbers 0-255 separated by dots, "
                 "without leading zeros");
}

}  // namespace
