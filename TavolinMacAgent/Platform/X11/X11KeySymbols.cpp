#include "TavolinMacAgent/Platform/X11/X11KeySymbols.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace tavolin::X11KeySymbols {
namespace {

// XF86XK_Fn; the header spells it with a macro it undefines again.
constexpr KeySym kFn = 0x10081000 + 0x1D0;

// Sorted by key code for the binary search.
constexpr std::array<std::pair<std::uint16_t, KeySym>, 94> kKeySyms{{
    {0, XK_a},
    {1, XK_s},
    {2, XK_d},
    {3, XK_f},
    {4, XK_h},
    {5, XK_g},
    {6, XK_z},
    {7, XK_x},
    {8, XK_c},
    {9, XK_v},
    {11, XK_b},
    {12, XK_q},
    {13, XK_w},
    {14, XK_e},
    {15, XK_r},
    {16, XK_y},
    {17, XK_t},
    {18, XK_1},
    {19, XK_2},
    {20, XK_3},
    {21, XK_4},
    {22, XK_6},
    {23, XK_5},
    {24, XK_equal},
    {25, XK_9},
    {26, XK_7},
    {27, XK_minus},
    {28, XK_8},
    {29, XK_0},
    {30, XK_bracketright},
    {31, XK_o},
    {32, XK_u},
    {33, XK_bracketleft},
    {34, XK_i},
    {35, XK_p},
    {36, XK_Return},
    {37, XK_l},
    {38, XK_j},
    {39, XK_apostrophe},
    {40, XK_k},
    {41, XK_semicolon},
    {42, XK_backslash},
    {43, XK_comma},
    {44, XK_slash},
    {45, XK_n},
    {46, XK_m},
    {47, XK_period},
    {48, XK_Tab},
    {49, XK_space},
    {50, XK_grave},
    {51, XK_BackSpace},
    {53, XK_Escape},
    {55, XK_Super_L},
    {56, XK_Shift_L},
    {57, XK_Caps_Lock},
    {58, XK_Alt_L},
    {59, XK_Control_L},
    {60, XK_Shift_R},
    {61, XK_Alt_R},
    {62, XK_Control_R},
    {63, kFn},
    {64, XK_F17},
    {72, XF86XK_AudioRaiseVolume},
    {73, XF86XK_AudioLowerVolume},
    {74, XF86XK_AudioMute},
    {79, XK_F18},
    {80, XK_F19},
    {90, XK_F20},
    {96, XK_F5},
    {97, XK_F6},
    {98, XK_F7},
    {99, XK_F3},
    {100, XK_F8},
    {101, XK_F9},
    {103, XK_F11},
    {105, XK_F13},
    {106, XK_F16},
    {107, XK_F14},
    {109, XK_F10},
    {111, XK_F12},
    {113, XK_F15},
    {114, XK_Insert},
    {115, XK_Home},
    {116, XK_Prior},
    {117, XK_Delete},
    {118, XK_F4},
    {119, XK_End},
    {120, XK_F2},
    {121, XK_Next},
    {122, XK_F1},
    {123, XK_Left},
    {124, XK_Right},
    {125, XK_Down},
    {126, XK_Up},
}};

static_assert(std::is_sorted(kKeySyms.begin(), kKeySyms.end()));

constexpr KeySym kUnicodeKeySymBase = 0x01000000;

}  // namespace

std::optional<KeySym> forKeyCode(std::uint16_t keyCode) {
  const auto found =
      std::lower_bound(kKeySyms.begin(), kKeySyms.end(), keyCode,
                       [](const auto& entry, std::uint16_t code) { return entry.first < code; });
  if (found == kKeySyms.end() || found->first != keyCode)
    return std::nullopt;
  return found->second;
}

std::optional<KeySym> forCodePoint(char32_t codePoint) {
  if (codePoint == U'\n' || codePoint == U'\r')
    return XK_Return;
  if (codePoint == U'\t')
    return XK_Tab;
  const bool control = codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0);
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  if (control || surrogate || codePoint > 0x10FFFF)
    return std::nullopt;
  if (codePoint <= 0xFF)
    return static_cast<KeySym>(codePoint);
  return kUnicodeKeySymBase + static_cast<KeySym>(codePoint);
}

std::vector<KeySym> forModifiers(ModifierFlags modifiers) {
  std::vector<KeySym> keys;
  if (modifiers & Modifier::command)
    keys.push_back(XK_Super_L);
  if (modifiers & Modifier::control)
    keys.push_back(XK_Control_L);
  if (modifiers & Modifier::option)
    keys.push_back(XK_Alt_L);
  if (modifiers & Modifier::shift)
    keys.push_back(XK_Shift_L);
  return keys;
}

}  // namespace tavolin::X11KeySymbols
