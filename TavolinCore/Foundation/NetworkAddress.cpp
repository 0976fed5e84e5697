#include "TavolinCore/Foundation/NetworkAddress.hpp"

#include <algorithm>
#include <string>

#include "TavolinCore/Foundation/Whitespace.hpp"

namespace tavolin {
namespace {

// Longer than any address text with a zone and a port; beyond it, nothing is worth parsing.
constexpr std::size_t kMaxTextLength = 80;

}  // namespace

std::optional<boost::asio::ip::address> addressInPeerText(std::string_view text) {
  namespace ip = boost::asio::ip;
  text = trimmedWhitespaceAndNewlines(text);
  if (text.empty() || text.size() > kMaxTextLength)
    return std::nullopt;
  if (text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos)
      return std::nullopt;
    const auto rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':')
      return std::nullopt;
    text = text.substr(1, close - 1);
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    text = text.substr(0, text.find(':'));
  }
  // The zone names an interface of the host that wrote it, not a different peer.
  text = text.substr(0, text.find('%'));
  boost::system::error_code error;
  const auto address = ip::make_address(std::string(text), error);
  if (error)
    return std::nullopt;
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return ip::make_address_v4(ip::v4_mapped, address.to_v6());
  return address;
}

}  // namespace tavolin
