#include "ControlPlaneServer/ClientAddress.hpp"

#include <algorithm>

#include "TavolinCore/Foundation/Whitespace.hpp"

namespace tavolin {
namespace {

// Longer than any address text with a zone and a port; beyond it, nothing is worth parsing.
constexpr std::size_t kMaxEntryLength = 80;

asio::ip::address unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  return address;
}

}  // namespace

std::optional<asio::ip::address> forwardedAddress(std::string_view entry) {
  entry = trimmedWhitespaceAndNewlines(entry);
  if (entry.empty() || entry.size() > kMaxEntryLength)
    return std::nullopt;
  if (entry.front() == '[') {
    const auto close = entry.find(']');
    if (close == std::string_view::npos)
      return std::nullopt;
    const auto rest = entry.substr(close + 1);
    if (!rest.empty() && rest.front() != ':')
      return std::nullopt;
    entry = entry.substr(1, close - 1);
  } else if (std::count(entry.begin(), entry.end(), ':') == 1) {
    entry = entry.substr(0, entry.find(':'));
  }
  boost::system::error_code error;
  const auto address = asio::ip::make_address(std::string(entry), error);
  if (error)
    return std::nullopt;
  return address;
}

std::string clientIdentity(const asio::ip::address& peer,
                           std::optional<std::string_view> forwardedFor) {
  auto client = unmapped(peer);
  if (client.is_loopback() && forwardedFor) {
    if (const auto forwarded = forwardedAddress(forwardedFor->substr(0, forwardedFor->find(','))))
      client = unmapped(*forwarded);
  }
  if (client.is_v4())
    return client.to_string();
  auto bytes = client.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), std::uint8_t{0});
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace tavolin
