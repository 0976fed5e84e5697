// Peer classification of arbitrary endpoint and forwarded-for text, checked against the rules
// that must hold whatever the text: the forwarded peer is one trimmed list entry and only from
// loopback, a forwarded request is never local, matching ignores case and surrounding blanks,
// and the audit address and the counting address are lower-case.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalPeerClassification.hpp"
#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"

namespace {

void require(bool condition) {
  if (!condition)
    std::abort();
}

std::string asciiUppercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavolin;
  const std::string text(reinterpret_cast<const char*>(data), size);

  const bool local = isLocalPairingPeer(text);
  require(local == isLocalPairingPeer(asciiUppercased(text)));
  require(local == isLocalPairingPeer(" \t" + text + "\r\n\u00A0"));
  require(!isTailscaleIPv4(text) || isPrivateMeshAddress(text));

  const std::string normalized = SecurityAuditStore::normalizedRemoteAddress(text);
  require(normalized == asciiLowercased(normalized));
  const std::string address = peerAddress(text);
  require(address == asciiLowercased(address));
  require(!isLoopbackPeer(text) || address.starts_with("127.") || address == "::1");

  LocalHTTPRequest direct;
  direct.remotePeer = text;
  require(authPeerIdentifier(direct) == text);
  const std::string_view directRoute = routeName(direct);
  require(directRoute == LocalRouteNames::localNetwork ||
          directRoute == LocalRouteNames::privateMesh);
  require(isDirectLocalRequest(direct) == local);
  require(isTrustedWebPairingTransport(direct) == local);
  require(isTrustedDirectAccessTransport(direct) == local);

  LocalHTTPRequest forwarded;
  forwarded.headers = {{"x-forwarded-for", text}};
  forwarded.remotePeer = "::1";
  const std::string peer = authPeerIdentifier(forwarded);
  require(!peer.empty() && peer.find(',') == std::string::npos &&
          trimmedWhitespaceAndNewlines(peer) == peer);
  require(peer == "::1" || text.find(peer) != std::string::npos);
  const std::string_view forwardedRoute = routeName(forwarded);
  require(forwardedRoute == LocalRouteNames::directInternet ||
          forwardedRoute == LocalRouteNames::privateMesh);
  require(!isDirectLocalRequest(forwarded) && !isTrustedWebPairingTransport(forwarded) &&
          !isTrustedDirectAccessTransport(forwarded));

  // From anywhere but loopback the header names nobody, yet still marks the request proxied.
  forwarded.remotePeer = "192.168.1.20:51234";
  require(authPeerIdentifier(forwarded) == forwarded.remotePeer);
  require(routeName(forwarded) == LocalRouteNames::directInternet);
  require(!isDirectLocalRequest(forwarded) && !isTrustedWebPairingTransport(forwarded));

  const std::size_t half = text.size() / 2;
  const std::string_view first = std::string_view(text).substr(0, half);
  const std::string_view second = std::string_view(text).substr(half);
  require(constantTimeEqual(text, text));
  require(!constantTimeEqual(text, text + '\0'));
  require(constantTimeEqual(first, second) == (first == second));
  return 0;
}
