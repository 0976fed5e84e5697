#include <limits>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/X11/X11WheelAxis.hpp"

namespace tavolin {
namespace {

TEST(X11WheelAxis, SmallDeltasCarryTheirRemainderUntilAClickIsFull) {
  X11WheelAxis axis;
  EXPECT_EQ(axis.clicks(3), 0);
  EXPECT_EQ(axis.clicks(46), 0);
  EXPECT_EQ(axis.clicks(1), 1);  // 3 + 46 + 1 = 50
  EXPECT_EQ(axis.clicks(0), 0);
  EXPECT_EQ(axis.clicks(120), 2);
  EXPECT_EQ(axis.clicks(30), 1);  // 20 carried
  EXPECT_EQ(axis.clicks(-49), 0);
  EXPECT_EQ(axis.clicks(-51), -2);
}

TEST(X11WheelAxis, ReversalDropsTheCarriedPixels) {
  X11WheelAxis axis;
  EXPECT_EQ(axis.clicks(49), 0);
  EXPECT_EQ(axis.clicks(-50), -1);  // not 0, as 49 - 50 would give
  EXPECT_EQ(axis.clicks(-40), 0);
  EXPECT_EQ(axis.clicks(45), 0);
  EXPECT_EQ(axis.clicks(5), 1);
}

TEST(X11WheelAxis, HugeDeltasAreCappedAndCarryNothing) {
  X11WheelAxis axis;
  EXPECT_EQ(axis.clicks(std::numeric_limits<std::int32_t>::max()), 100);
  EXPECT_EQ(axis.clicks(49), 0);
  EXPECT_EQ(axis.clicks(std::numeric_limits<std::int32_t>::min()), -100);
  EXPECT_EQ(axis.clicks(-49), 0);
  EXPECT_EQ(axis.clicks(-5050), -100);
  EXPECT_EQ(axis.clicks(-50), -1);
}

}  // namespace
}  // namespace tavolin
