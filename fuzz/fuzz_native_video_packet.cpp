// Decodes arbitrary bytes as a native video packet. Only the wire error or a JSON decoding error
// may come out; a packet that decodes must encode back and decode to the same header and payload.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "TavolinCore/Streaming/TavolinNativeVideoWire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace wire = tavolin::TavolinNativeVideoWire;
  try {
    const auto packet = wire::decode(std::span(data, size));
    const auto again = wire::decode(wire::encode(packet.header, packet.payload));
    if (!(again.header == packet.header) || again.payload != packet.payload)
      std::abort();
  } catch (const tavolin::TavolinNativeVideoWireError&) {
  } catch (const tavolin::JSONDecodingError&) {
  }
  return 0;
}
