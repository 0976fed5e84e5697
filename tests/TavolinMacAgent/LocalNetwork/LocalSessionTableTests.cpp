#include <string>

#include <gtest/gtest.h>

#include "tests/TavolinMacAgent/LocalNetwork/LocalNetworkControlPlaneFixture.hpp"

namespace tavolin {
namespace {

using testing::LocalNetworkControlPlaneTest;
using Table = LocalSessionTable;

// Controllers choose session ids and how many signals they post; neither may grow the agent.
TEST_F(LocalNetworkControlPlaneTest, SessionTable_MadeUpIdsAndSignalFloodsStayWithinBounds) {
  const auto session = createSession({{"webConsole", true}});
  const std::string signals = "/v1/controllers/sessions/" + session.id + "/signals";
  const std::string quality = R"({"type":"quality","payload":{"quality":"480p"}})";
  const std::size_t posted = Table::maxSignalsPerSession + 100;
  for (std::size_t i = 0; i < posted; ++i)
    ASSERT_EQ(send("POST", signals, quality, localAuth()).statusCode, 201);
  const auto kept = plane->sessions().signals(session.id, 0, "agent");
  ASSERT_EQ(kept.size(), Table::maxSignalsPerSession);
  EXPECT_EQ(kept.front().sequence, static_cast<std::int64_t>(posted - kept.size() + 1));
  EXPECT_EQ(kept.back().sequence, static_cast<std::int64_t>(posted));

  // Ending made-up ids leaves placeholders, the oldest going first; an ended session that
  // still took signals loses them with it.
  const auto end = [&](const std::string& id) {
    return send("POST", "/v1/controllers/sessions/" + id + "/end", "{}", localAuth());
  };
  ASSERT_EQ(end("made-up-0").statusCode, 200);
  EXPECT_EQ(
      send("POST", "/v1/controllers/sessions/made-up-0/signals", quality, localAuth()).statusCode,
      201);
  for (std::size_t i = 1; i < Table::maxEndedSessions + 50; ++i)
    ASSERT_EQ(end("made-up-" + std::to_string(i)).statusCode, 200);
  EXPECT_EQ(plane->sessions().endedCount(), Table::maxEndedSessions);
  EXPECT_EQ(send("GET", "/v1/controllers/sessions/made-up-0", {}, localAuth()).statusCode, 404);
  EXPECT_EQ(plane->sessions().signalListCount(), 1u) << "only the active session's";
  EXPECT_EQ(send("GET", "/v1/controllers/sessions/" + session.id, {}, localAuth()).statusCode, 200);
}

}  // namespace
}  // namespace tavolin
