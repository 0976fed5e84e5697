#pragma once

#include <optional>
#include <string_view>

#include <boost/asio/ip/address.hpp>

namespace tavolin {

// The IP address in a peer or forwarded-for text: "198.51.100.2", "2001:db8::1", and the forms
// with a port or an IPv6 zone that servers and proxies write ("198.51.100.2:5000",
// "[fe80::1%eth0]:443"). Surrounding blanks are ignored and an IPv4-mapped IPv6 address reads as
// IPv4, so one host has one address whichever way it is written. Anything else yields nothing.
// Pure; callable from any thread.
std::optional<boost::asio::ip::address> addressInPeerText(std::string_view text);

}  // namespace tavolin
