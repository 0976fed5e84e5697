#include <set>
#include <string>

#include <gtest/gtest.h>

#include "TavolinCore/Security/PairingCode.hpp"

namespace tavolin {
namespace {

TEST(PairingCode, EightUniformDigitsWithLeadingZeros) {
  std::set<std::string> codes;
  bool leadingZero = false;
  for (int i = 0; i < 2000; ++i) {
    const std::string code = makePairingCode();
    ASSERT_TRUE(isPairingCode(code)) << code;
    leadingZero = leadingZero || code.front() == '0';
    codes.insert(code);
  }
  // One in ten codes starts with 0; missing them all in 2000 means the padding is lost.
  EXPECT_TRUE(leadingZero);
  EXPECT_GT(codes.size(), 1990u);
  EXPECT_FALSE(isPairingCode("1234567"));
  EXPECT_FALSE(isPairingCode("1234567a"));
}

}  // namespace
}  // namespace tavolin
