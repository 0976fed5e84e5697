#include <X11/keysym.h>
#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/X11/X11KeyboardMapping.hpp"

namespace tavolin {
namespace {

using KeySyms = std::vector<X11KeySymbols::KeySym>;

// Keycodes 8-13, two levels each: 8 "a A", 9 empty, 10 "1 !", 11 empty, 12 "b" alone,
// 13 "! !" (the same keysym again on a higher keycode).
X11KeyboardMapping sample() {
  return X11KeyboardMapping(
      8, 2, {XK_a, XK_A, 0, 0, XK_1, XK_exclam, 0, 0, XK_b, 0, XK_exclam, XK_exclam});
}

TEST(X11KeyboardMapping, Strokes_PlainLevelFirstThenShiftedLowestKeycode) {
  const X11KeyboardMapping mapping = sample();
  EXPECT_EQ(mapping.minKeycode(), 8);
  EXPECT_EQ(mapping.maxKeycode(), 13);
  EXPECT_EQ(mapping.strokeFor(XK_a), (X11KeyStroke{8, false}));
  EXPECT_EQ(mapping.strokeFor(XK_A), (X11KeyStroke{8, true}));
  EXPECT_EQ(mapping.strokeFor(XK_b), (X11KeyStroke{12, false}));
  // Unshifted on 13 beats shifted on 10.
  EXPECT_EQ(mapping.strokeFor(XK_exclam), (X11KeyStroke{13, false}));
  EXPECT_FALSE(mapping.strokeFor(XK_B));
  EXPECT_FALSE(mapping.strokeFor(X11KeySymbols::noSymbol));
  EXPECT_EQ(mapping.keysym(7, 0), X11KeySymbols::noSymbol);
  EXPECT_EQ(mapping.keysym(14, 0), X11KeySymbols::noSymbol);
  EXPECT_EQ(mapping.keysym(8, 2), X11KeySymbols::noSymbol);
}

TEST(X11KeyboardMapping, SpareKeycodes_AreTheWhollyEmptyOnesHighestFirst) {
  X11KeyboardMapping mapping = sample();
  EXPECT_EQ(mapping.spareKeycodes(), (std::vector<std::uint8_t>{11, 9}));
  mapping.bind(11, 0x0100041F);
  EXPECT_EQ(mapping.strokeFor(0x0100041F), (X11KeyStroke{11, false}));
  EXPECT_EQ(mapping.rows(10, 12), (KeySyms{XK_1, XK_exclam, 0x0100041F, 0x0100041F, XK_b, 0}));
  EXPECT_EQ(mapping.spareKeycodes(), (std::vector<std::uint8_t>{9}));
  mapping.bind(11, X11KeySymbols::noSymbol);
  EXPECT_EQ(mapping.spareKeycodes(), (std::vector<std::uint8_t>{11, 9}));
  mapping.bind(200, XK_a);  // outside: ignored
  EXPECT_TRUE(mapping.rows(12, 14).empty());
  EXPECT_TRUE(mapping.rows(12, 10).empty());
}

TEST(X11KeyboardMapping, MalformedReplies_NeverReadPastTheirData) {
  // A trailing partial row is dropped; rows past keycode 255 do not exist.
  const X11KeyboardMapping ragged(8, 2, {XK_a, XK_A, XK_b});
  EXPECT_EQ(ragged.maxKeycode(), 8);
  EXPECT_FALSE(ragged.strokeFor(XK_b));
  const X11KeyboardMapping empty(8, 0, {XK_a});
  EXPECT_FALSE(empty.strokeFor(XK_a));
  EXPECT_TRUE(empty.spareKeycodes().empty());
  const X11KeyboardMapping top(254, 1, {XK_a, 0, XK_b, XK_c});
  EXPECT_EQ(top.maxKeycode(), 255);
  EXPECT_FALSE(top.strokeFor(XK_b));
  EXPECT_EQ(top.spareKeycodes(), (std::vector<std::uint8_t>{255}));
}

}  // namespace
}  // namespace tavolin
