// JSON strings must stay valid whatever bytes a card sent: escapes for the
// characters JSON reserves, UTF-8 kept, other high bytes as code points.
#include <gtest/gtest.h>

#include "protocol/json.h"

namespace {

struct JsonCase {
  const char* name;
  std::string in;
  std::string out;
};

class JsonString : public testing::TestWithParam<JsonCase> {};

TEST_P(JsonString, Escapes) { EXPECT_EQ(json_string(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonString,
    testing::Values(JsonCase{"Plain", "admin", "\"admin\""},
                    JsonCase{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
                    JsonCase{"Controls", std::string("t\tn\nr\rz\0e\x1f\x7f", 11),
                             "\"t\\tn\\nr\\rz\\u0000e\\u001f\\u007f\""},
                    JsonCase{"Utf8Kept", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c",
                             "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c\""},
                    JsonCase{"Latin1Byte", "caf\xe9", "\"caf\\u00e9\""},
                    JsonCase{"CutSequence", "x\xe2\x82", "\"x\\u00e2\\u0082\""},
                    JsonCase{"Overlong", "\xc0\xaf", "\"\\u00c0\\u00af\""},
                    JsonCase{"Surrogate", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
                    // No sequence begins with F5 to FF, whatever follows.
                    JsonCase{"PastTheLastLead", "\xf5\x80\x80\xff\xbf\xbf",
                             "\"\\u00f5\\u0080\\u0080\\u00ff\\u00bf\\u00bf\""}),
    [](const testing::TestParamInfo<JsonCase>& info) { return info.param.name; });

TEST(JsonObject, MembersInOrderOnOneLine) {
  EXPECT_EQ(json_object({{"ip", "10.69.0.1"}, {"user", "o\"ps"}}),
            "{\"ip\":\"10.69.0.1\",\"user\":\"o\\\"ps\"}");
  EXPECT_EQ(json_object({}), "{}");
}

}  // namespace
