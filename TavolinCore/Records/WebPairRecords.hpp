#pragma once

// Records of browser pairing (POST /v1/web/pair): the browser proves it holds the local pairing
// code and receives the direct-access configuration it uses from then on. The code itself is
// never sent back. Keys equal the field names; coding is the generic one of JSONCodec.hpp.

#include <string>

#include <boost/describe/class.hpp>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/DirectAccessRecords.hpp"
#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

struct WebPairRequest {
  std::string pairingCode{};
  std::string publicKey{};

  friend bool operator==(const WebPairRequest&, const WebPairRequest&) = default;
};
BOOST_DESCRIBE_STRUCT(WebPairRequest, (), (pairingCode, publicKey))

struct WebPairResponse {
  Device device{};
  DirectAccessConfigResponse directAccess{};
  std::string routeName{};
  std::string pairedAt{};

  friend bool operator==(const WebPairResponse&, const WebPairResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(WebPairResponse, (), (device, directAccess, routeName, pairedAt))

}  // namespace tavolin
