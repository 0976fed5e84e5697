#pragma once

// Which network paths a streaming session's peer connection may use, as a controller asks for it
// in the session metadata. Media never flows through a relay whatever the policy says:
// `relayAllowed` survives only so that stored and transmitted values still parse, and is shown
// as disabled. Pure values and functions, callable from any thread.

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

// Case order is the ordinal order of stored values.
enum class TavolinConnectionPolicy { localOnly, directPreferred, relayAllowed };

namespace TavolinConnectionPolicies {

inline constexpr std::array<TavolinConnectionPolicy, 3> allCases{
    TavolinConnectionPolicy::localOnly, TavolinConnectionPolicy::directPreferred,
    TavolinConnectionPolicy::relayAllowed};

// "local_only", "direct_preferred", "relay_allowed"; also the policy's id and its JSON.
std::string_view rawValue(TavolinConnectionPolicy policy);
// Exact match of the raw value.
std::optional<TavolinConnectionPolicy> fromRawValue(std::string_view raw);
// Lenient: trimmed, lower-cased, "-" read as "_". Missing or unknown gives `directPreferred`.
TavolinConnectionPolicy fromMetadataValue(std::optional<std::string_view> value);

std::string_view displayTitle(TavolinConnectionPolicy policy);
std::string_view detailTitle(TavolinConnectionPolicy policy);
// The status interface's icon name.
std::string_view systemImage(TavolinConnectionPolicy policy);

// "turn:" and "turns:" URLs, after trimming and in any case.
bool isRelayURL(std::string_view url);

// The servers with every relay URL removed, in order; a server left without URLs is dropped.
// The same for every policy, so it takes none.
std::vector<TavolinICEServer> filteredIceServers(const std::vector<TavolinICEServer>& servers);

// A configured comma list of STUN URLs as the servers to offer: entries trimmed, empty and relay
// ones dropped, the rest in order as one server; none when nothing is left.
std::vector<TavolinICEServer> stunServersFromList(std::string_view commaList);

}  // namespace TavolinConnectionPolicies

// JSON is the raw value; any other value fails the decode.
template <>
struct JSONCoding<TavolinConnectionPolicy> {
  static boost::json::value encode(TavolinConnectionPolicy policy);
  static TavolinConnectionPolicy decode(const boost::json::value& json, std::string_view path);
};

}  // namespace tavolin
