#include "TavolinMacAgent/Platform/Linux/DevToolsBrowserTabs.hpp"

#include <algorithm>
#include <exception>
#include <fstream>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"
#include "TavolinMacAgent/Platform/Linux/ProcessFiles.hpp"

namespace tavolin {
namespace {

// The endpoint is local; a browser that does not answer within this is busy or hung, and a
// heartbeat must not wait on it.
constexpr auto kStepTimeout = std::chrono::seconds(2);
constexpr std::size_t kMaxListBytes = 8 * 1024 * 1024;

std::optional<std::string_view> switchValue(const std::vector<std::string>& commandLine,
                                            std::string_view name) {
  for (const std::string& argument : commandLine) {
    if (argument.size() > name.size() && argument.starts_with(name) &&
        argument[name.size()] == '=') {
      return std::string_view(argument).substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

std::optional<std::uint16_t> portNumber(std::string_view text) {
  const auto value = parseInteger(text);
  if (!value || *value < 0 || *value > 65535)
    return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

// Ids go into a URL path; the browser makes them of hex digits and dashes.
bool isPlainId(std::string_view id) {
  return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '_' || c == '.';
  });
}

std::optional<std::uint16_t> portOfProcess(const RunningApplication& browser) {
  if (!browser.processIdentifier)
    return std::nullopt;
  return devToolsPort(processCommandLine(*browser.processIdentifier));
}

}  // namespace

std::vector<DevToolsTarget> parseDevToolsPageTargets(std::string_view body) {
  std::vector<DevToolsTarget> targets;
  JSONValue value;
  try {
    value = JSONValue::parse(body);
  } catch (const JSONDecodingError&) {
    return targets;
  }
  const JSONArray* entries = value.array();
  if (entries == nullptr)
    return targets;
  for (const JSONValue& entry : *entries) {
    const JSONObject* object = entry.object();
    if (object == nullptr)
      continue;
    const auto text = [&](std::string_view key) -> const std::string* {
      const JSONValue* field = object->find(key);
      return field == nullptr ? nullptr : field->string();
    };
    const std::string* type = text("type");
    const std::string* id = text("id");
    if (type == nullptr || *type != "page" || id == nullptr || !isPlainId(*id))
      continue;
    const std::string* title = text("title");
    const std::string* url = text("url");
    targets.push_back({*id, title ? *title : "", url ? *url : ""});
  }
  return targets;
}

std::optional<std::uint16_t> devToolsPort(const std::vector<std::string>& commandLine) {
  const auto configured = switchValue(commandLine, "--remote-debugging-port");
  if (!configured)
    return std::nullopt;
  const auto port = portNumber(*configured);
  if (!port || *port != 0)
    return port;
  // Port 0: the browser picked one and wrote it, first line, to its profile directory.
  const auto profile = switchValue(commandLine, "--user-data-dir");
  if (!profile)
    return std::nullopt;
  std::ifstream file(std::filesystem::path(*profile) / "DevToolsActivePort");
  std::string line;
  if (!std::getline(file, line))
    return std::nullopt;
  const auto written = portNumber(line);
  if (!written || *written == 0)
    return std::nullopt;
  return written;
}

DevToolsBrowserTabs::DevToolsBrowserTabs(PortResolver resolver)
    : resolver_(resolver ? std::move(resolver) : PortResolver(portOfProcess)),
      http_(
          std::make_shared<HTTPClient>(HTTPClientOptions{.maxResponseBodyBytes = kMaxListBytes})) {}

Awaitable<HTTPResponse> DevToolsBrowserTabs::get(std::uint16_t port, std::string path) {
  HTTPRequest request;
  request.url = "http://127.0.0.1:" + std::to_string(port) + path;
  request.timeout = kStepTimeout;
  co_return co_await http_->send(std::move(request));
}

Awaitable<DevToolsBrowserTabs::Listing> DevToolsBrowserTabs::list(std::uint16_t port) {
  Listing listing;
  try {
    const HTTPResponse response = co_await get(port, "/json/list");
    if (response.status != 200) {
      listing.error =
          "the browser's DevTools endpoint answered HTTP " + std::to_string(response.status);
    } else {
      listing.targets = parseDevToolsPageTargets(response.body);
    }
  } catch (const std::exception& error) {
    listing.error = std::string("the browser's DevTools endpoint failed: ") + error.what();
  }
  co_return listing;
}

Awaitable<std::vector<BrowserTab>> DevToolsBrowserTabs::tabs(const RunningApplication& browser) {
  std::vector<BrowserTab> tabs;
  const auto port = resolver_(browser);
  if (!port)
    co_return tabs;
  const Listing listing = co_await list(*port);
  for (std::size_t i = 0; i < listing.targets.size(); ++i) {
    const DevToolsTarget& target = listing.targets[i];
    tabs.push_back({.windowIndex = 1,
                    .tabIndex = static_cast<std::int64_t>(i + 1),
                    .isActive = i == 0,
                    .title = target.title,
                    .url = target.url});
  }
  co_return tabs;
}

Awaitable<std::optional<std::string>> DevToolsBrowserTabs::focusTab(
    const RunningApplication& browser, std::int64_t windowIndex, std::int64_t tabIndex) {
  const auto port = resolver_(browser);
  if (!port) {
    co_return std::string(
        "the browser was not started with --remote-debugging-port, so its tabs cannot be "
        "reached");
  }
  if (windowIndex != 1)
    co_return "window " + std::to_string(windowIndex) + " not found";
  const Listing listing = co_await list(*port);
  if (listing.error)
    co_return listing.error;
  if (tabIndex < 1 || static_cast<std::uint64_t>(tabIndex) > listing.targets.size())
    co_return "tab " + std::to_string(tabIndex) + " of window 1 not found";
  const std::string path =
      "/json/activate/" + listing.targets[static_cast<std::size_t>(tabIndex - 1)].id;
  try {
    const HTTPResponse response = co_await get(*port, path);
    if (response.status == 200)
      co_return std::nullopt;
    co_return "the browser refused to activate the tab (HTTP " + std::to_string(response.status) +
        ")";
  } catch (const std::exception& error) {
    co_return std::string("the browser's DevTools endpoint failed: ") + error.what();
  }
}

}  // namespace tavolin
