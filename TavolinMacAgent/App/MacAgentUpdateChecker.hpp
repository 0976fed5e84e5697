#pragma once

#include <chrono>
#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/describe/class.hpp>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Platform/SystemInfo.hpp"

namespace tavolin {

// The hosted description of the newest agent build. Keys equal the field names.
struct MacAgentUpdateManifest {
  std::string version{};
  std::string build{};
  std::optional<std::string> releaseDate{};
  std::string downloadURL{};
  std::optional<std::string> sha256{};
  std::optional<std::string> minimumSystemVersion{};
  std::optional<bool> notarized{};
  std::optional<std::vector<std::string>> releaseNotes{};

  friend bool operator==(const MacAgentUpdateManifest&, const MacAgentUpdateManifest&) = default;
};
BOOST_DESCRIBE_STRUCT(MacAgentUpdateManifest, (),
                      (version, build, releaseDate, downloadURL, sha256, minimumSystemVersion,
                       notarized, releaseNotes))

struct MacAgentUpdateAvailable {
  MacAgentUpdateManifest manifest;
  friend bool operator==(const MacAgentUpdateAvailable&, const MacAgentUpdateAvailable&) = default;
};
struct MacAgentUpToDate {
  std::string currentVersion;
  std::string build;
  friend bool operator==(const MacAgentUpToDate&, const MacAgentUpToDate&) = default;
};
struct MacAgentUpdateFailed {
  std::string message;
  friend bool operator==(const MacAgentUpdateFailed&, const MacAgentUpdateFailed&) = default;
};

using MacAgentUpdateCheckResult =
    std::variant<MacAgentUpdateAvailable, MacAgentUpToDate, MacAgentUpdateFailed>;

// Dotted versions, builds and system versions alike: pieces between dots (empty ones dropped)
// compare as integers, a piece that is not one counts as 0 and so does a missing piece; so
// "1.10" > "1.9" and "1.2" == "1.2.0" == "1.2.beta".
std::strong_ordering compareVersion(std::string_view a, std::string_view b);

// What the manifest download returned: the body, and the status when the answer was HTTP.
struct HTTPPayload {
  std::string data;
  std::optional<int> statusCode;
};

// Tells whether a newer agent build than this one is published. A value: copy it freely; copies
// share the HTTP client.
struct MacAgentUpdateChecker {
  using PayloadLoader = std::function<Awaitable<HTTPPayload>(std::string url)>;

  static constexpr std::string_view kHostedManifestURL =
      "https://tavolin.app/downloads/mac-agent/latest.json";
  static constexpr std::chrono::seconds kRequestTimeout{12};
  // A manifest is well under a kilobyte; a body this large is not one.
  static constexpr std::size_t kMaxManifestBytes = 1024 * 1024;

  // Versions of this build and of `system`, the manifest URL from the environment, and a loader
  // with its own HTTP client, which reads the certificate store: build it off the main actor.
  MacAgentUpdateChecker(const Environment& environment, OperatingSystemRelease system);

  // TAVOLIN_MAC_UPDATE_MANIFEST_URL, trimmed, when it is an absolute http(s) URL; else the
  // hosted manifest.
  static std::string manifestURLFrom(const Environment& environment);

  // GETs the URL with a fresh request (nothing is cached) within `timeout` for the whole
  // exchange. A body over kMaxManifestBytes fails the load.
  static PayloadLoader httpLoader(std::chrono::steady_clock::duration timeout = kRequestTimeout);

  // Runs on the caller's executor. Every failure (transport, time-out, status, decoding, a
  // system older than the build requires) is a `MacAgentUpdateFailed`; only cancellation is
  // thrown, so that a cancelled task still ends.
  Awaitable<MacAgentUpdateCheckResult> checkForUpdates() const;

  std::string manifestURL;
  std::string currentVersion;
  std::string currentBuild;
  std::string currentSystemVersion;
  // Named in the text of a failed system requirement.
  std::string systemName;
  PayloadLoader loadPayload;
};

}  // namespace tavolin
