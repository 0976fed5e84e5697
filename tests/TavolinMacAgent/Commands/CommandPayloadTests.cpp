#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/CommandPayload.hpp"

namespace tavolin {
namespace {

TEST(CommandPayload, IntegersTakeNumbersTowardZeroAndSignedDigitStrings) {
  const JSONObject payload{{"n", -2.9},   {"s", "+12"},   {"big", 1e19}, {"spaced", " 1"},
                           {"word", "x"}, {"flag", true}, {"neg", "-7"}};
  EXPECT_EQ(CommandPayload::integer(payload, "n"), -2);
  EXPECT_EQ(CommandPayload::integer(payload, "s"), 12);
  EXPECT_EQ(CommandPayload::integer(payload, "neg"), -7);
  for (const char* absent : {"big", "spaced", "word", "flag", "missing"}) {
    EXPECT_EQ(CommandPayload::integer(payload, absent), std::nullopt) << absent;
  }
}

TEST(CommandPayload, RealsTakeNumbersAndWholeDecimalStrings) {
  const JSONObject payload{{"n", 0.5},     {"s", "-1.25"}, {"e", "1e2"},     {"partial", "1.5px"},
                           {"inf", "inf"}, {"empty", ""},  {"null", nullptr}};
  EXPECT_EQ(CommandPayload::real(payload, "n"), 0.5);
  EXPECT_EQ(CommandPayload::real(payload, "s"), -1.25);
  EXPECT_EQ(CommandPayload::real(payload, "e"), 100.0);
  for (const char* absent : {"partial", "inf", "empty", "null", "missing"}) {
    EXPECT_EQ(CommandPayload::real(payload, absent), std::nullopt) << absent;
  }
}

TEST(CommandPayload, StringListsKeepStringsInOrderAndSkipOthers) {
  const JSONObject payload{{"list", JSONArray{"command", 1, nullptr, "shift"}}, {"text", "a"}};
  EXPECT_EQ(CommandPayload::stringList(payload, "list"),
            (std::vector<std::string>{"command", "shift"}));
  EXPECT_EQ(CommandPayload::stringList(payload, "text"), std::nullopt);
}

}  // namespace
}  // namespace tavolin
