#include <gtest/gtest.h>

#include "TavolinCore/PhoneHost/PhoneHostQualityPreset.hpp"

namespace tavolin {
namespace {

TEST(PhoneHostQualityPreset, RawValuesRoundTripExactlyAndRowsStayAligned) {
  using namespace PhoneHostQualityPresets;
  for (const auto preset : allCases) {
    EXPECT_EQ(fromRawValue(rawValue(preset)), preset);
    EXPECT_EQ(id(preset), rawValue(preset));
  }
  EXPECT_EQ(fromRawValue("Balanced"), std::nullopt);
  EXPECT_EQ(fromRawValue(""), std::nullopt);
  // The table is indexed by the enumeration: a shifted row would show here.
  EXPECT_EQ(displayTitle(PhoneHostQualityPreset::lowData), "Low Data");
  EXPECT_EQ(detailTitle(PhoneHostQualityPreset::crisp), "12 fps, sharper text");
  EXPECT_EQ(targetFramesPerSecond(PhoneHostQualityPreset::smooth), 30);
  EXPECT_EQ(jpegQuality(PhoneHostQualityPreset::balanced), 0.68);
}

}  // namespace
}  // namespace tavolin
