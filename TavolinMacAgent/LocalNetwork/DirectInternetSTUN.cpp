#include "TavolinMacAgent/LocalNetwork/DirectInternetSTUN.hpp"

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
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
  return TavolinConnectionPolicies::stunServersFromList(value);
}

}  // namespace tavolin
