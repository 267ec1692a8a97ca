#pragma once
// Forced into every GoogleTest program: EXPECT_EQ / ASSERT_EQ / EXPECT_NE on
// two C strings would compare their addresses, which holds or not depending
// on whether the optimiser merged equal literals. Such a comparison does not
// compile; compare texts with EXPECT_STREQ or as std::string.
#include <gtest/gtest.h>

namespace testing::internal {
#define DAVERIDUR_NO_ADDRESS_COMPARE(A, B)                                                  \
  template <>                                                                            \
  AssertionResult CmpHelperEQ<A, B>(const char*, const char*, A const&, B const&) = delete; \
  template <>                                                                            \
  AssertionResult CmpHelperNE<A, B>(const char*, const char*, A const&, B const&) = delete;
DAVERIDUR_NO_ADDRESS_COMPARE(const char*, const char*)
DAVERIDUR_NO_ADDRESS_COMPARE(char*, char*)
DAVERIDUR_NO_ADDRESS_COMPARE(const char*, char*)
DAVERIDUR_NO_ADDRESS_COMPARE(char*, const char*)
#undef DAVERIDUR_NO_ADDRESS_COMPARE
}  // namespace testing::internal
