#include "TavolinMacAgent/LocalNetwork/DirectInternetSTUN.hpp"

#include "TavolinCore/Foundation/Whitespace.hpp"
#include "TavolinCore/Streaming/TavolinConnectionPolicy.hpp"

namespace tavolin {

std::vector<TavolinICEServer> directInternetSTUNServers(const Environment& environment) {
  const std::string configured =
      environmentValue(environment, "TAVOLIN_DIRECT_STUN_URLS").value_or("");
  const std::string value = asciiLowercased(trimmedWhitespaceAndNewlines(configured));
  if (value == "none")
    return {};
  if (value.empty())
    return {TavolinICEServer{{"stun:stun.l.google.com:19302"}}};

  TavolinICEServer server;
  std::string_view rest = value;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view url = trimmedWhitespaceAndNewlines(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    if (!url.empty() && !TavolinConnectionPolicies::isRelayURL(url)) {
      server.urls.emplace_back(url);
    }
  }
  if (server.urls.empty())
    return {};
  return {server};
}

}  // namespace tavolin
