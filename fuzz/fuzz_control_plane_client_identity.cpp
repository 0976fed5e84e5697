// Reads arbitrary "x-forwarded-for" text as the loopback proxy would pass it on. Whatever comes
// in, the identity is an IPv4 address or an IPv6 /64.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ControlPlaneServer/ClientAddress.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const auto loopback = boost::asio::ip::make_address("127.0.0.1");
  const std::string identity = tavolin::clientIdentity(loopback, text);
  boost::system::error_code error;
  const auto slash = identity.find('/');
  boost::asio::ip::make_address(identity.substr(0, slash), error);
  if (error || (slash != std::string::npos && identity.substr(slash) != "/64"))
    std::abort();
  return 0;
}
