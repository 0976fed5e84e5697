#include <set>
#include <sstream>
#include <string>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/KeyNames.hpp"
#include "TavolinMacAgent/Platform/X11/X11KeySymbols.hpp"

namespace tavolin {
namespace {

// Every key name controllers may send, written out independently of the name table.
constexpr std::string_view kKeyNames =
    "a s d f h g z x c v b q w e r y t 1 2 3 4 6 5 equal = 9 7 minus - 8 0 rightbracket ] o "
    "u leftbracket [ i p return enter l j quote ' k semicolon ; backslash \\ comma , slash "
    "/ n m period . tab space grave ` delete backspace escape esc command shift capslock "
    "option control rightshift rightoption rightcontrol function f17 volumeup volumedown "
    "mute f18 f19 f20 f5 f6 f7 f3 f8 f9 f11 f13 f16 f14 f10 f12 f15 help home pageup "
    "forwarddelete f4 end f2 pagedown f1 left leftarrow right rightarrow down downarrow up "
    "uparrow";

std::vector<std::string> keyNames() {
  std::vector<std::string> names;
  std::istringstream words{std::string(kKeyNames)};
  for (std::string name; words >> name;)
    names.push_back(name);
  return names;
}

TEST(X11KeySymbols, EveryNamedKeyCodeHasAKeySymAndNoOtherCodeHasOne) {
  const std::vector<std::string> names = keyNames();
  ASSERT_EQ(names.size(), KeyNames::nameCount());
  std::set<std::uint16_t> named;
  std::set<X11KeySymbols::KeySym> keysyms;
  for (const std::string& name : names) {
    const auto code = KeyNames::keyCode(name);
    ASSERT_TRUE(code) << name;
    named.insert(*code);
    const auto keysym = X11KeySymbols::forKeyCode(*code);
    ASSERT_TRUE(keysym) << name;
    keysyms.insert(*keysym);
  }
  // Two names of one key share a keysym; different keys never do.
  EXPECT_EQ(keysyms.size(), named.size());
  for (std::uint16_t code = 0; code < 300; ++code) {
    if (!named.contains(code)) {
      EXPECT_FALSE(X11KeySymbols::forKeyCode(code)) << code;
    }
  }
  EXPECT_EQ(X11KeySymbols::forKeyCode(*KeyNames::keyCode("Page_Up")), XK_Prior);
  EXPECT_EQ(X11KeySymbols::forKeyCode(*KeyNames::keyCode("forwarddelete")), XK_Delete);
  EXPECT_EQ(X11KeySymbols::forKeyCode(*KeyNames::keyCode("delete")), XK_BackSpace);
  EXPECT_EQ(X11KeySymbols::forKeyCode(*KeyNames::keyCode("command")), XK_Super_L);
  EXPECT_EQ(X11KeySymbols::forKeyCode(*KeyNames::keyCode("volumeup")), XF86XK_AudioRaiseVolume);
}

TEST(X11KeySymbols, CodePoints_Latin1DirectOthersUnicodeControlsNone) {
  EXPECT_EQ(X11KeySymbols::forCodePoint(U'a'), XK_a);
  EXPECT_EQ(X11KeySymbols::forCodePoint(U' '), XK_space);
  EXPECT_EQ(X11KeySymbols::forCodePoint(U'~'), XK_asciitilde);
  EXPECT_EQ(X11KeySymbols::forCodePoint(0xA0), XK_nobreakspace);
  EXPECT_EQ(X11KeySymbols::forCodePoint(0xFF), XK_ydiaeresis);
  EXPECT_EQ(X11KeySymbols::forCodePoint(0x100), 0x01000100u);
  EXPECT_EQ(X11KeySymbols::forCodePoint(0x041F), 0x0100041Fu);
  EXPECT_EQ(X11KeySymbols::forCodePoint(0x1F600), 0x0101F600u);
  EXPECT_EQ(X11KeySymbols::forCodePoint(0x10FFFF), 0x0110FFFFu);
  EXPECT_EQ(X11KeySymbols::forCodePoint(U'\n'), XK_Return);
  EXPECT_EQ(X11KeySymbols::forCodePoint(U'\r'), XK_Return);
  EXPECT_EQ(X11KeySymbols::forCodePoint(U'\t'), XK_Tab);
  for (char32_t none : {char32_t{0}, char32_t{0x1B}, char32_t{0x1F}, char32_t{0x7F}, char32_t{0x80},
                        char32_t{0x9F}, char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000}}) {
    EXPECT_FALSE(X11KeySymbols::forCodePoint(none)) << static_cast<std::uint32_t>(none);
  }
}

TEST(X11KeySymbols, Modifiers_HeldInAFixedOrderFunctionHoldsNothing) {
  using namespace Modifier;
  EXPECT_EQ(X11KeySymbols::forModifiers(shift | command | option | control),
            (std::vector<X11KeySymbols::KeySym>{XK_Super_L, XK_Control_L, XK_Alt_L, XK_Shift_L}));
  EXPECT_TRUE(X11KeySymbols::forModifiers(function).empty());
  EXPECT_TRUE(X11KeySymbols::forModifiers(0).empty());
}

}  // namespace
}  // namespace tavolin
