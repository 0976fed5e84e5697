#include "TavolinCore/Streaming/TavolinConnectionPolicy.hpp"

#include <algorithm>
#include <iterator>
#include <string>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/RawValues.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"

namespace tavolin {

namespace TavolinConnectionPolicies {

constexpr RawValueTable<TavolinConnectionPolicy, 3> rawValues{{
    {TavolinConnectionPolicy::localOnly, "local_only"},
    {TavolinConnectionPolicy::directPreferred, "direct_preferred"},
    {TavolinConnectionPolicy::relayAllowed, "relay_allowed"},
}};
static_assert(listsCases(rawValues, allCases));

std::string_view rawValue(TavolinConnectionPolicy policy) {
  return rawValueIn(rawValues, policy);
}

std::optional<TavolinConnectionPolicy> fromRawValue(std::string_view raw) {
  return caseForRawValue(rawValues, raw);
}

TavolinConnectionPolicy fromMetadataValue(std::optional<std::string_view> value) {
  if (!value)
    return TavolinConnectionPolicy::directPreferred;
  std::string normalized = asciiLowercased(trimmedWhitespaceAndNewlines(*value));
  std::replace(normalized.begin(), normalized.end(), '-', '_');
  return fromRawValue(normalized).value_or(TavolinConnectionPolicy::directPreferred);
}

std::string_view displayTitle(TavolinConnectionPolicy policy) {
  switch (policy) {
    case TavolinConnectionPolicy::localOnly:
      return "Local Only";
    case TavolinConnectionPolicy::directPreferred:
      return "Direct Preferred";
    case TavolinConnectionPolicy::relayAllowed:
      return "Relay Disabled";
  }
  return {};
}

std::string_view detailTitle(TavolinConnectionPolicy policy) {
  switch (policy) {
    case TavolinConnectionPolicy::localOnly:
      return "same network only";
    case TavolinConnectionPolicy::directPreferred:
      return "no media relay";
    case TavolinConnectionPolicy::relayAllowed:
      return "legacy setting ignored";
  }
  return {};
}

std::string_view systemImage(TavolinConnectionPolicy policy) {
  switch (policy) {
    case TavolinConnectionPolicy::localOnly:
      return "wifi";
    case TavolinConnectionPolicy::directPreferred:
      return "point.3.connected.trianglepath.dotted";
    case TavolinConnectionPolicy::relayAllowed:
      return "network.slash";
  }
  return {};
}

bool isRelayURL(std::string_view url) {
  const std::string normalized = asciiLowercased(trimmedWhitespaceAndNewlines(url));
  return normalized.starts_with("turn:") || normalized.starts_with("turns:");
}

std::vector<TavolinICEServer> filteredIceServers(const std::vector<TavolinICEServer>& servers) {
  std::vector<TavolinICEServer> kept;
  for (const auto& server : servers) {
    TavolinICEServer filtered{.username = server.username, .credential = server.credential};
    std::copy_if(server.urls.begin(), server.urls.end(), std::back_inserter(filtered.urls),
                 [](const std::string& url) { return !isRelayURL(url); });
    if (!filtered.urls.empty())
      kept.push_back(std::move(filtered));
  }
  return kept;
}

std::vector<TavolinICEServer> stunServersFromList(std::string_view commaList) {
  TavolinICEServer server;
  while (!commaList.empty()) {
    const auto comma = commaList.find(',');
    const std::string_view url = trimmedWhitespaceAndNewlines(commaList.substr(0, comma));
    commaList = comma == std::string_view::npos ? std::string_view{} : commaList.substr(comma + 1);
    if (!url.empty() && !isRelayURL(url))
      server.urls.emplace_back(url);
  }
  if (server.urls.empty())
    return {};
  return {std::move(server)};
}

}  // namespace TavolinConnectionPolicies

boost::json::value JSONCoding<TavolinConnectionPolicy>::encode(TavolinConnectionPolicy policy) {
  return boost::json::string(TavolinConnectionPolicies::rawValue(policy));
}

TavolinConnectionPolicy JSONCoding<TavolinConnectionPolicy>::decode(const boost::json::value& json,
                                                                    std::string_view path) {
  if (const auto* text = json.if_string()) {
    if (const auto policy = TavolinConnectionPolicies::fromRawValue(*text))
      return *policy;
  }
  json_detail::throwTypeMismatch("a connection policy", path);
}

}  // namespace tavolin
