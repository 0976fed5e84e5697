#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/ControlPlane/HTTPClient.hpp"
#include "TavolinMacAgent/Platform/BrowserTabs.hpp"

namespace tavolin {

struct DevToolsTarget {
  std::string id{};
  std::string title{};
  std::string url{};

  bool operator==(const DevToolsTarget&) const = default;
};

// The page targets of a DevTools /json/list answer, in its order. Anything that is not an array
// of objects gives nothing; entries of other types, or without a usable id, are skipped.
std::vector<DevToolsTarget> parseDevToolsPageTargets(std::string_view body);

// The DevTools port a Chromium-family browser listens on, from its command line: the
// --remote-debugging-port value, or for port 0 the one it wrote to DevToolsActivePort in its
// --user-data-dir.
std::optional<std::uint16_t> devToolsPort(const std::vector<std::string>& commandLine);

// Tabs of Chromium-family browsers started with a remote debugging port, read from the DevTools
// HTTP endpoint on the loopback interface. The endpoint shows one tab strip: every tab is in
// window 1, numbered in the endpoint's order, and the first (most recently used) is the active
// one. A browser without a port has no tabs. Main actor only.
class DevToolsBrowserTabs final : public BrowserTabs {
 public:
  using PortResolver = std::function<std::optional<std::uint16_t>(const RunningApplication&)>;

  // By default the port is read from the browser process's command line.
  explicit DevToolsBrowserTabs(PortResolver resolver = {});

  Awaitable<std::vector<BrowserTab>> tabs(const RunningApplication& browser) override;
  Awaitable<std::optional<std::string>> focusTab(const RunningApplication& browser,
                                                 std::int64_t windowIndex,
                                                 std::int64_t tabIndex) override;

 private:
  // The page targets, or why they could not be read.
  struct Listing {
    std::vector<DevToolsTarget> targets{};
    std::optional<std::string> error{};
  };
  Awaitable<Listing> list(std::uint16_t port);
  Awaitable<HTTPResponse> get(std::uint16_t port, std::string path);

  PortResolver resolver_;
  std::shared_ptr<HTTPClient> http_;
};

}  // namespace tavolin
