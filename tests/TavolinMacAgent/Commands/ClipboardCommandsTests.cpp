#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/ClipboardCommands.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Platform/Fake/FakePasteboard.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"

namespace tavolin {
namespace {

using testing::runAwaitable;

class ClipboardCommandsTest : public ::testing::Test {
 protected:
  ClipboardCommandsTest() { ClipboardCommands(pasteboard).registerWith(executor); }

  CompleteCommandPayload set(const JSONObject& payload) {
    return runAwaitable(executor.execute("clipboard_set", payload));
  }

  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
  testing::ManualClock clock;
  CommandExecutor executor{nullptr, clock};
};

TEST_F(ClipboardCommandsTest, Set_PutsTheTextAndCountsWhatAPersonSees) {
  const auto answer = set({{"text", "héllo 👍🏽 🇩🇪"}});
  ASSERT_EQ(answer.status, "succeeded");
  EXPECT_EQ(answer.result, (JSONObject{{"characters", 9}}));
  EXPECT_EQ(pasteboard->string(), "héllo 👍🏽 🇩🇪");

  const auto empty = set({{"text", ""}});
  ASSERT_EQ(empty.status, "succeeded");
  EXPECT_EQ(empty.result, (JSONObject{{"characters", 0}}));
  EXPECT_EQ(pasteboard->string(), "");
  EXPECT_EQ(pasteboard->changeCount(), 2);
}

TEST_F(ClipboardCommandsTest, MissingOrRefused_AnswersItsReasonAndKeepsTheClipboard) {
  pasteboard->copyFromOtherApplication("kept");
  EXPECT_EQ(set({}).result, (JSONObject{{"reason", "missing_text"}}));
  EXPECT_EQ(set({{"text", 12}}).result, (JSONObject{{"reason", "missing_text"}}));
  EXPECT_EQ(set({{"text", nullptr}}).result, (JSONObject{{"reason", "missing_text"}}));
  EXPECT_TRUE(pasteboard->sets().empty());

  pasteboard->failSets();
  const auto refused = set({{"text", "new"}});
  EXPECT_EQ(refused.status, "failed");
  EXPECT_EQ(refused.result, (JSONObject{{"reason", "clipboard_set_failed"}}));
  EXPECT_EQ(pasteboard->string(), "kept");
}

}  // namespace
}  // namespace tavolin
