#include "TavolinMacAgent/Commands/KeyNames.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"

namespace tavolin::KeyNames {
namespace {

// Controllers name keys; the codes are the macOS virtual key codes of the ANSI layout, which is
// what every controller already speaks. Platform backends translate codes to their own keys.
constexpr std::array<std::pair<std::string_view, std::uint16_t>, 112> kKeyCodes{{
    {"a", 0},
    {"s", 1},
    {"d", 2},
    {"f", 3},
    {"h", 4},
    {"g", 5},
    {"z", 6},
    {"x", 7},
    {"c", 8},
    {"v", 9},
    {"b", 11},
    {"q", 12},
    {"w", 13},
    {"e", 14},
    {"r", 15},
    {"y", 16},
    {"t", 17},
    {"1", 18},
    {"2", 19},
    {"3", 20},
    {"4", 21},
    {"6", 22},
    {"5", 23},
    {"equal", 24},
    {"=", 24},
    {"9", 25},
    {"7", 26},
    {"minus", 27},
    {"-", 27},
    {"8", 28},
    {"0", 29},
    {"rightbracket", 30},
    {"]", 30},
    {"o", 31},
    {"u", 32},
    {"leftbracket", 33},
    {"[", 33},
    {"i", 34},
    {"p", 35},
    {"return", 36},
    {"enter", 36},
    {"l", 37},
    {"j", 38},
    {"quote", 39},
    {"'", 39},
    {"k", 40},
    {"semicolon", 41},
    {";", 41},
    {"backslash", 42},
    {"\\", 42},
    {"comma", 43},
    {",", 43},
    {"slash", 44},
    {"/", 44},
    {"n", 45},
    {"m", 46},
    {"period", 47},
    {".", 47},
    {"tab", 48},
    {"space", 49},
    {"grave", 50},
    {"`", 50},
    {"delete", 51},
    {"backspace", 51},
    {"escape", 53},
    {"esc", 53},
    {"command", 55},
    {"shift", 56},
    {"capslock", 57},
    {"option", 58},
    {"control", 59},
    {"rightshift", 60},
    {"rightoption", 61},
    {"rightcontrol", 62},
    {"function", 63},
    {"f17", 64},
    {"volumeup", 72},
    {"volumedown", 73},
    {"mute", 74},
    {"f18", 79},
    {"f19", 80},
    {"f20", 90},
    {"f5", 96},
    {"f6", 97},
    {"f7", 98},
    {"f3", 99},
    {"f8", 100},
    {"f9", 101},
    {"f11", 103},
    {"f13", 105},
    {"f16", 106},
    {"f14", 107},
    {"f10", 109},
    {"f12", 111},
    {"f15", 113},
    {"help", 114},
    {"home", 115},
    {"pageup", 116},
    {"forwarddelete", 117},
    {"f4", 118},
    {"end", 119},
    {"f2", 120},
    {"pagedown", 121},
    {"f1", 122},
    {"left", 123},
    {"leftarrow", 123},
    {"right", 124},
    {"rightarrow", 124},
    {"down", 125},
    {"downarrow", 125},
    {"up", 126},
    {"uparrow", 126},
}};

std::string trimmedLowerCase(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos)
    return {};
  text = text.substr(first, text.find_last_not_of(kSpace) - first + 1);
  return asciiLowercased(text);
}

std::optional<std::uint16_t> lookUp(std::string_view name) {
  for (const auto& [known, code] : kKeyCodes) {
    if (known == name)
      return code;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint16_t> keyCode(std::string_view name) {
  const std::string normalized = trimmedLowerCase(name);
  if (const auto code = lookUp(normalized))
    return code;
  std::string compact = normalized;
  std::erase_if(compact, [](char c) { return c == ' ' || c == '_' || c == '-'; });
  return lookUp(compact);
}

std::size_t nameCount() {
  return kKeyCodes.size();
}

ModifierFlags modifierFlags(const std::vector<std::string>& names) {
  ModifierFlags flags = 0;
  for (const auto& name : names) {
    const std::string lowered = trimmedLowerCase(name);
    if (lowered == "command" || lowered == "cmd" || lowered == "meta")
      flags |= Modifier::command;
    if (lowered == "control" || lowered == "ctrl")
      flags |= Modifier::control;
    if (lowered == "option" || lowered == "alt")
      flags |= Modifier::option;
    if (lowered == "shift")
      flags |= Modifier::shift;
    if (lowered == "function" || lowered == "fn")
      flags |= Modifier::function;
  }
  return flags;
}

MouseButton mouseButton(std::string_view name) {
  const std::string lowered = trimmedLowerCase(name);
  if (lowered == "right" || lowered == "secondary")
    return MouseButton::right;
  if (lowered == "middle" || lowered == "center" || lowered == "other")
    return MouseButton::center;
  return MouseButton::left;
}

std::string_view reportedName(MouseButton button) {
  switch (button) {
    case MouseButton::right:
      return "right";
    case MouseButton::center:
      return "center";
    case MouseButton::left:
      break;
  }
  return "left";
}

}  // namespace tavolin::KeyNames
