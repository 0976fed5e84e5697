#include "TavolinMacAgent/LocalNetwork/LocalPeerClassification.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

#include <boost/regex.hpp>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/NetworkAddress.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"

namespace tavolin {

namespace {

constexpr std::string_view kForwardedFor = "x-forwarded-for";
constexpr std::string_view kForwardedProto = "x-forwarded-proto";
constexpr std::string_view kMeshIPv6Prefix = "fd7a:115c:a1e0:";

// A piece read the way a signed decimal integer parser reads it: an optional sign, then digits
// only, within 64 bits.
std::optional<std::int64_t> decimalInteger(std::string_view piece) {
  if (piece.starts_with('+')) {
    piece.remove_prefix(1);
    if (piece.empty() || piece.front() == '-')
      return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (error != std::errc() || end != piece.data() + piece.size())
    return std::nullopt;
  return value;
}

bool hasHTTPSForwardedProto(const LocalHTTPRequest& request) {
  const std::string* proto = request.header(kForwardedProto);
  return proto != nullptr && asciiLowercased(*proto) == "https";
}

// Perl syntax for the look-behind; `^` anchors at the start of the text only.
boost::regex localAddressPattern(const char* pattern) {
  return boost::regex(pattern, boost::regex::perl | boost::regex::no_mod_m);
}

}  // namespace

std::string authPeerIdentifier(const LocalHTTPRequest& request) {
  if (const std::string* forwarded = request.header(kForwardedFor);
      forwarded != nullptr && isLoopbackPeer(request.remotePeer)) {
    const std::string_view list = *forwarded;
    const std::size_t start = list.find_first_not_of(',');
    if (start != std::string_view::npos) {
      const std::string_view first = list.substr(start, list.find(',', start) - start);
      if (const std::string_view peer = trimmedWhitespaceAndNewlines(first); !peer.empty())
        return std::string(peer);
    }
  }
  return request.remotePeer;
}

std::string peerAddress(std::string_view peer) {
  if (const auto address = addressInPeerText(peer))
    return address->to_string();
  return asciiLowercased(trimmedWhitespaceAndNewlines(peer));
}

bool isLoopbackPeer(std::string_view remotePeer) {
  const auto address = addressInPeerText(remotePeer);
  return address && address->is_loopback();
}

std::string_view routeName(const LocalHTTPRequest& request) {
  if (isPrivateMeshAddress(authPeerIdentifier(request)) ||
      isPrivateMeshAddress(request.remotePeer)) {
    return LocalRouteNames::privateMesh;
  }
  if (request.header(kForwardedFor) != nullptr)
    return LocalRouteNames::directInternet;
  return LocalRouteNames::localNetwork;
}

bool isLocalPairingPeer(std::string_view peer) {
  static const std::array<boost::regex, 5> patterns{
      localAddressPattern(R"((?<![0-9])(?:127|10)\.(?:\d{1,3}\.){2}\d{1,3}(?![0-9]))"),
      localAddressPattern(R"((?<![0-9])192\.168\.\d{1,3}\.\d{1,3}(?![0-9]))"),
      localAddressPattern(R"((?<![0-9])172\.(1[6-9]|2[0-9]|3[0-1])\.\d{1,3}\.\d{1,3}(?![0-9]))"),
      localAddressPattern(R"((?<![0-9])169\.254\.\d{1,3}\.\d{1,3}(?![0-9]))"),
      localAddressPattern(R"((^|[^0-9a-f])(?:\[?::1\]?|fe80:|fc[0-9a-f]{2}:|fd[0-9a-f]{2}:))"),
  };
  const std::string text = asciiLowercased(trimmedWhitespaceAndNewlines(peer));
  if (text.empty())
    return false;
  if (text.find("localhost") != std::string::npos || text.find("loopback") != std::string::npos ||
      text.find(".local") != std::string::npos) {
    return true;
  }
  return std::any_of(patterns.begin(), patterns.end(), [&](const boost::regex& pattern) {
    return boost::regex_search(text, pattern);
  });
}

bool isTailscaleIPv4(std::string_view text) {
  std::vector<std::int64_t> numbers;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    if (const auto number = decimalInteger(text.substr(start, dot - start))) {
      // Five numbers already fail; stop before a long text grows the list.
      if (numbers.size() == 4)
        return false;
      numbers.push_back(*number);
    }
    start = dot + 1;
  }
  return numbers.size() == 4 &&
         std::all_of(numbers.begin(), numbers.end(),
                     [](std::int64_t number) { return number >= 0 && number <= 255; }) &&
         numbers[0] == 100 && numbers[1] >= 64 && numbers[1] <= 127;
}

bool isPrivateMeshAddress(std::string_view text) {
  return isTailscaleIPv4(text) || asciiLowercased(text).starts_with(kMeshIPv6Prefix);
}

bool isDirectLocalRequest(const LocalHTTPRequest& request) {
  return request.header(kForwardedFor) == nullptr && isLocalPairingPeer(request.remotePeer);
}

bool isTrustedDirectAccessTransport(const LocalHTTPRequest& request) {
  return isDirectLocalRequest(request) || hasHTTPSForwardedProto(request);
}

bool isTrustedWebPairingTransport(const LocalHTTPRequest& request) {
  return isDirectLocalRequest(request) ||
         (hasHTTPSForwardedProto(request) && isPrivateMeshAddress(authPeerIdentifier(request)));
}

bool constantTimeEqual(std::string_view lhs, std::string_view rhs) {
  const std::size_t length = std::max(lhs.size(), rhs.size());
  std::size_t difference = lhs.size() ^ rhs.size();
  for (std::size_t index = 0; index < length; ++index) {
    const auto left = index < lhs.size() ? static_cast<unsigned char>(lhs[index]) : 0U;
    const auto right = index < rhs.size() ? static_cast<unsigned char>(rhs[index]) : 0U;
    difference |= left ^ right;
  }
  return difference == 0;
}

}  // namespace tavolin
