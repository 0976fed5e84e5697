#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/KeyNames.hpp"

namespace tavolin {
namespace {

TEST(KeyNames, NamesAreNormalisedBeforeAndAfterDroppingSeparators) {
  EXPECT_EQ(KeyNames::nameCount(), 112u);
  EXPECT_EQ(KeyNames::keyCode("  Page_Up\n"), 116);
  EXPECT_EQ(KeyNames::keyCode("Left-Arrow"), 123);
  EXPECT_EQ(KeyNames::keyCode("-"), 27);  // found as it stands, before "-" is dropped
  EXPECT_EQ(KeyNames::keyCode("="), 24);
  EXPECT_EQ(KeyNames::keyCode("\\"), 42);
  EXPECT_EQ(KeyNames::keyCode("Forward Delete"), 117);
  EXPECT_EQ(KeyNames::keyCode("a"), 0);
  EXPECT_EQ(KeyNames::keyCode("F20"), 90);
  for (const char* unknown : {"ö", "", "  ", "f21", "keypad0"}) {
    EXPECT_EQ(KeyNames::keyCode(unknown), std::nullopt) << unknown;
  }
}

TEST(KeyNames, ModifiersAndButtonsMatchTheirAliases) {
  using namespace KeyNames;
  EXPECT_EQ(modifierFlags({"CMD", "meta", "Alt", "fn", "hyper"}),
            Modifier::command | Modifier::option | Modifier::function);
  EXPECT_EQ(modifierFlags({"ctrl", "Shift"}), Modifier::control | Modifier::shift);
  EXPECT_EQ(modifierFlags({}), 0u);
  EXPECT_EQ(reportedName(mouseButton("Secondary")), "right");
  EXPECT_EQ(reportedName(mouseButton("OTHER")), "center");
  EXPECT_EQ(reportedName(mouseButton("back")), "left");
}

}  // namespace
}  // namespace tavolin
