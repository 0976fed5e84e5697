#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "TavolinMacAgent/LocalNetwork/RecentEntries.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

TEST(RecentEntries, KeepsTheNewestWithinCountAndAge) {
  RecentEntries<int> entries(3, 60s);
  const Date start{};
  for (int i = 0; i < 10'000; ++i)
    entries.insert("id-" + std::to_string(i), i, start);
  EXPECT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries.find("id-9996", start), nullptr);
  ASSERT_NE(entries.find("id-9997", start), nullptr);
  EXPECT_EQ(*entries.find("id-9999", start), 9999);

  // Replacing an entry makes it the newest rather than a second copy.
  entries.insert("id-9997", -1, start + 10s);
  entries.insert("new", 1, start + 10s);
  EXPECT_EQ(entries.find("id-9998", start + 10s), nullptr);
  EXPECT_EQ(*entries.find("id-9997", start + 10s), -1);

  // An entry is found up to its lifetime, not after, even before the next insert prunes it.
  EXPECT_NE(entries.find("id-9999", start + 60s), nullptr);
  EXPECT_EQ(entries.find("id-9999", start + 60s + 1ns), nullptr);
  entries.insert("later", 2, start + 71s);
  EXPECT_EQ(entries.size(), 1u);
}

}  // namespace
}  // namespace tavolin
