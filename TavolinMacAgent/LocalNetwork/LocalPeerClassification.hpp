#pragma once

// Which way a request reached the local control plane and who sent it. The server is reachable
// directly on the local network, through a private-mesh HTTPS proxy on this machine, or through
// a public HTTPS proxy; both proxies add "x-forwarded-for" (client first) and
// "x-forwarded-proto". Any client can write those headers, so the address they name is believed
// only on connections from this machine, where the proxies sit; elsewhere the headers still make
// the request count as proxied, never as a direct local one. Pure functions, callable from any
// thread.

#include <string>
#include <string_view>

#include "TavolinMacAgent/LocalNetwork/LocalHTTP.hpp"

namespace tavolin {

namespace LocalRouteNames {
inline constexpr std::string_view localNetwork = "local-network";
inline constexpr std::string_view privateMesh = "private-mesh";
inline constexpr std::string_view directInternet = "direct-internet";
}  // namespace LocalRouteNames

// On a connection from loopback, the first non-empty "x-forwarded-for" entry, trimmed, when
// there is one; otherwise the connection's remote peer.
std::string authPeerIdentifier(const LocalHTTPRequest& request);

// The address in a peer text, the key that failures are counted by: port, brackets and IPv6
// zone dropped, an IPv4-mapped IPv6 address read as IPv4, IPv6 in its canonical form. A text
// that is no address comes back trimmed and lower-cased.
std::string peerAddress(std::string_view peer);

// The connection came from this machine: 127.0.0.0/8 or ::1.
bool isLoopbackPeer(std::string_view remotePeer);

// "private-mesh" when the peer or the connection is a mesh address, else "direct-internet" when
// the request was forwarded, else "local-network".
std::string_view routeName(const LocalHTTPRequest& request);

// Loopback, private IPv4 (10/8, 172.16/12, 192.168/16), link-local IPv4, IPv6 loopback,
// link-local and unique-local (which holds the mesh IPv6 range), and local host names. Matched
// anywhere in the text, so an endpoint with a port or a zone counts.
bool isLocalPairingPeer(std::string_view peer);

// A dotted address in 100.64.0.0/10. Pieces that are not numbers are skipped, so a port on the
// last piece makes the text fail.
bool isTailscaleIPv4(std::string_view text);

// A mesh IPv4 address, or text beginning (in any case) with the mesh IPv6 prefix.
bool isPrivateMeshAddress(std::string_view text);

// Not forwarded, and from a local pairing peer.
bool isDirectLocalRequest(const LocalHTTPRequest& request);

// Direct local, or forwarded with "x-forwarded-proto" https.
bool isTrustedDirectAccessTransport(const LocalHTTPRequest& request);

// Direct local, or forwarded with https from a private-mesh peer.
bool isTrustedWebPairingTransport(const LocalHTTPRequest& request);

// Byte comparison whose running time depends only on the longer length, never on where the
// texts differ.
bool constantTimeEqual(std::string_view lhs, std::string_view rhs);

}  // namespace tavolin
