#include "TavolinMacAgent/Snapshot/AppCategory.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"

namespace tavolin::AppCategory {
namespace {

constexpr std::array<std::string_view, 13> kScriptableBrowsers = {
    "com.apple.Safari",    "com.apple.SafariTechnologyPreview",
    "com.google.Chrome",   "com.google.Chrome.canary",
    "com.brave.Browser",   "com.microsoft.edgemac",
    "com.vivaldi.Vivaldi", "chromium",
    "chromium-browser",    "google-chrome",
    "brave-browser",       "microsoft-edge",
    "vivaldi-stable"};

}  // namespace

bool isScriptableBrowser(std::string_view bundleIdentifier) {
  return std::any_of(
      kScriptableBrowsers.begin(), kScriptableBrowsers.end(),
      [&](std::string_view known) { return equalsIgnoringCase(known, bundleIdentifier); });
}

std::string category(const std::optional<std::string>& bundleIdentifier, std::string_view name) {
  const std::string identifier = asciiLowercased(bundleIdentifier.value_or(""));
  const std::string folded = asciiLowercased(name);
  const auto contains = [&](std::initializer_list<std::string_view> words) {
    return std::any_of(words.begin(), words.end(), [&](std::string_view word) {
      return identifier.find(word) != std::string::npos || folded.find(word) != std::string::npos;
    });
  };
  if ((bundleIdentifier && isScriptableBrowser(*bundleIdentifier)) || contains({"firefox"}))
    return std::string(browsers);
  // The Linux names (editors, mail clients, terminals, file managers) extend the macOS ones.
  if (identifier.starts_with("com.apple.dt.") ||
      contains({"xcode", "cursor", "codex", "visual studio code", "jetbrains"})) {
    return std::string(developer);
  }
  if (contains({"slack", "mail", "messages", "discord", "thunderbird"}))
    return std::string(communication);
  if (contains({"finder", "system settings", "terminal", "xterm", "konsole", "nautilus",
                "org.gnome.settings"})) {
    return std::string(system);
  }
  return std::string(apps);
}

int rank(const std::optional<std::string>& category) {
  constexpr std::array<std::string_view, 5> kOrder = {browsers, developer, communication, system,
                                                      apps};
  if (!category)
    return 5;
  const auto found = std::find(kOrder.begin(), kOrder.end(), *category);
  return found == kOrder.end() ? 5 : static_cast<int>(found - kOrder.begin());
}

}  // namespace tavolin::AppCategory
