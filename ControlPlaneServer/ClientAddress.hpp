#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/ip/address.hpp>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// Who a request counts against in the per-client limits, as text: an IPv4 address
// ("203.0.113.7", IPv4-mapped IPv6 read as IPv4) or an IPv6 /64 ("2001:db8:1:2::/64"), the
// block one subscriber usually holds, so that walking through it gains nothing.
//
// The client is the TCP peer. Only when the peer is on loopback, where the TLS reverse proxy
// sits, does the first "x-forwarded-for" entry name the client instead; from anywhere else the
// header is the client's own word and is ignored. An entry that is not an IP address leaves
// the peer as the client. Pure; callable from any thread.
std::string clientIdentity(const asio::ip::address& peer,
                           std::optional<std::string_view> forwardedFor);

}  // namespace tavolin
