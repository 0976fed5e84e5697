#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavolin::AppCategory {

inline constexpr std::string_view browsers = "Browsers";
inline constexpr std::string_view developer = "Developer";
inline constexpr std::string_view communication = "Communication";
inline constexpr std::string_view system = "System";
inline constexpr std::string_view apps = "Apps";

// Browsers whose tabs the agent can list and switch, by identifier, ignoring case: the macOS
// bundle identifiers and the Linux desktop ids of the same Chromium-family browsers.
bool isScriptableBrowser(std::string_view bundleIdentifier);

// The category of an application, from its identifier and name compared in lower case; the
// first rule that matches wins and anything else is "Apps".
std::string category(const std::optional<std::string>& bundleIdentifier, std::string_view name);

// Sort rank of a category: "Browsers" 0 through "Apps" 4; no (or an unknown) category 5.
int rank(const std::optional<std::string>& category);

}  // namespace tavolin::AppCategory
