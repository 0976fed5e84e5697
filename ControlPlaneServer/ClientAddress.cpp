#include "ControlPlaneServer/ClientAddress.hpp"

#include <algorithm>

#include "TavolinCore/Foundation/NetworkAddress.hpp"

namespace tavolin {

std::string clientIdentity(const asio::ip::address& peer,
                           std::optional<std::string_view> forwardedFor) {
  auto client = addressInPeerText(peer.to_string()).value_or(peer);
  if (client.is_loopback() && forwardedFor) {
    if (const auto forwarded = addressInPeerText(forwardedFor->substr(0, forwardedFor->find(','))))
      client = *forwarded;
  }
  if (client.is_v4())
    return client.to_string();
  auto bytes = client.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), std::uint8_t{0});
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace tavolin
