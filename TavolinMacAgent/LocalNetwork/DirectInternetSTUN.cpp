#include "TavolinMacAgent/LocalNetwork/DirectInternetSTUN.hpp"

#include "TavolinCore/Foundation/Whitespace.hpp"

namespace tavolin {

std::vector<TavolinICEServer> directInternetSTUNServers(const Environment& environment) {
  const std::string configured =
      environmentValue(environment, "TAVOLIN_DIRECT_STUN_URLS").value_or("");
  const std::string value = asciiLowercased(trimmedWhitespaceAndNewlines(configured));
  if (value == "none")
    return {};
  if (value.empty())
    return {TavolinICEServer{{"stun:stun.l.google.com:19302"}}};

  std::vector<TavolinICEServer> servers;
  std::string_view rest = value;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view url = trimmedWhitespaceAndNewlines(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    if (url.starts_with("stun:") || url.starts_with("stuns:")) {
      servers.push_back(TavolinICEServer{{std::string(url)}});
    }
  }
  return servers;
}

}  // namespace tavolin
