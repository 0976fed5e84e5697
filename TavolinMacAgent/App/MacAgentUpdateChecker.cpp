#include "TavolinMacAgent/App/MacAgentUpdateChecker.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/system/system_error.hpp>

#include "TavolinCore/ControlPlane/HTTPClient.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"
#include "TavolinCore/Runtime/Diagnostics.hpp"
#include "TavolinCore/Runtime/Task.hpp"
#include "TavolinMacAgent/App/AgentConfiguration.hpp"
#include "TavolinMacAgent/Snapshot/MacSnapshotProvider.hpp"

#ifndef TAVOLIN_AGENT_BUILD
#error "TAVOLIN_AGENT_BUILD comes from the build (TavolinMacAgent/CMakeLists.txt)"
#endif

namespace tavolin {
namespace {

std::vector<std::int64_t> versionPieces(std::string_view text) {
  std::vector<std::int64_t> pieces;
  while (!text.empty()) {
    const auto dot = text.find('.');
    const std::string_view piece = text.substr(0, dot);
    if (!piece.empty())
      pieces.push_back(parseInteger(piece).value_or(0));
    text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  }
  return pieces;
}

// Ends as soon as the exchange does, failure included, so that the race below does not wait out
// the deadline after a refused connection.
Awaitable<std::exception_ptr> exchange(std::shared_ptr<HTTPClient> http, HTTPRequest request,
                                       HTTPResponse& response) {
  try {
    response = co_await http->send(std::move(request));
  } catch (...) {
    co_return std::current_exception();
  }
  co_return nullptr;
}

Awaitable<HTTPPayload> loadOverHTTP(std::shared_ptr<HTTPClient> http, std::string url,
                                    std::chrono::steady_clock::duration timeout) {
  using namespace asio::experimental::awaitable_operators;
  HTTPRequest request;
  request.url = std::move(url);
  request.timeout = timeout;
  // The client bounds each step; this bounds the whole exchange, so a server that trickles
  // its answer cannot hold the check open.
  asio::steady_timer deadline(co_await asio::this_coro::executor, timeout);
  HTTPResponse response;
  auto race = exchange(std::move(http), std::move(request), response) ||
              deadline.async_wait(asio::use_awaitable);
  const auto ending = co_await std::move(race);
  if (ending.index() == 1)
    throw boost::system::system_error(boost::beast::error::timeout);
  if (const auto failure = std::get<0>(ending))
    std::rethrow_exception(failure);
  co_return HTTPPayload{std::move(response.body), response.status};
}

std::string describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return userFacingDescription(error);
  } catch (...) {
    return "an unknown error";
  }
}

}  // namespace

std::strong_ordering compareVersion(std::string_view a, std::string_view b) {
  const auto left = versionPieces(a);
  const auto right = versionPieces(b);
  for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
    const std::int64_t x = i < left.size() ? left[i] : 0;
    const std::int64_t y = i < right.size() ? right[i] : 0;
    if (x != y)
      return x <=> y;
  }
  return std::strong_ordering::equal;
}

MacAgentUpdateChecker::MacAgentUpdateChecker(const Environment& environment,
                                             OperatingSystemRelease system)
    : manifestURL(manifestURLFrom(environment)),
      currentVersion(MacSnapshotProvider::agentVersion),
      currentBuild(TAVOLIN_AGENT_BUILD),
      currentSystemVersion(std::move(system.version)),
      systemName(std::move(system.name)),
      loadPayload(httpLoader()) {}

std::string MacAgentUpdateChecker::manifestURLFrom(const Environment& environment) {
  if (const auto value = environmentValue(environment, "TAVOLIN_MAC_UPDATE_MANIFEST_URL")) {
    const std::string_view url = trimmedWhitespaceAndNewlines(*value);
    if (isAbsoluteHTTPURL(url))
      return std::string(url);
  }
  return std::string(kHostedManifestURL);
}

MacAgentUpdateChecker::PayloadLoader MacAgentUpdateChecker::httpLoader(
    std::chrono::steady_clock::duration timeout) {
  HTTPClientOptions options;
  options.maxResponseBodyBytes = kMaxManifestBytes;
  return [http = std::make_shared<HTTPClient>(std::move(options)), timeout](std::string url) {
    return loadOverHTTP(http, std::move(url), timeout);
  };
}

Awaitable<MacAgentUpdateCheckResult> MacAgentUpdateChecker::checkForUpdates() const {
  MacAgentUpdateManifest manifest;
  std::exception_ptr failure;
  try {
    const HTTPPayload payload = co_await loadPayload(manifestURL);
    if (payload.statusCode && (*payload.statusCode < 200 || *payload.statusCode > 299)) {
      co_return MacAgentUpdateFailed{"Update server returned HTTP " +
                                     std::to_string(*payload.statusCode) + "."};
    }
    manifest = decodeJSON<MacAgentUpdateManifest>(payload.data);
  } catch (const std::exception& error) {
    if (isCancellation(error))
      throw;
    failure = std::current_exception();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure)
    co_return MacAgentUpdateFailed{"Could not check for updates: " + describe(failure)};

  if (manifest.minimumSystemVersion &&
      compareVersion(*manifest.minimumSystemVersion, currentSystemVersion) > 0) {
    co_return MacAgentUpdateFailed{"Tavolin Agent Version " + manifest.version + " (" +
                                   manifest.build + ") requires " + systemName + " " +
                                   *manifest.minimumSystemVersion + " or newer."};
  }
  const auto version = compareVersion(manifest.version, currentVersion);
  if (version > 0 || (version == 0 && compareVersion(manifest.build, currentBuild) > 0))
    co_return MacAgentUpdateAvailable{std::move(manifest)};
  co_return MacAgentUpToDate{currentVersion, currentBuild};
}

}  // namespace tavolin
