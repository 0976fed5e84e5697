// Decodes arbitrary bytes as the records the agent receives from control planes, phones, data
// channels and the update server; whatever decodes must encode to JSON that decodes again.
// (Exact equality is not asked: Boost.JSON 1.81 may parse extreme numbers inside payload objects
// a few units in the last place off.)
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TavolinCore/Records/PhoneHostRecords.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Streaming/TavolinDataChannel.hpp"
#include "TavolinMacAgent/App/MacAgentUpdateChecker.hpp"

namespace {

template <class Record>
void roundTrip(std::string_view text) {
  try {
    const Record record = tavolin::decodeJSON<Record>(text);
    const std::string encoded = tavolin::encodeJSON(record);
    try {
      tavolin::decodeJSON<Record>(encoded);
    } catch (const tavolin::JSONDecodingError&) {
      std::abort();
    }
  } catch (const tavolin::JSONDecodingError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  roundTrip<tavolin::SessionsResponse>(text);
  roundTrip<tavolin::CommandsResponse>(text);
  roundTrip<tavolin::SignalsResponse>(text);
  roundTrip<tavolin::EnrollmentRequestResponse>(text);
  roundTrip<tavolin::EnrollmentClaimResponse>(text);
  roundTrip<tavolin::DeviceResponse>(text);
  roundTrip<tavolin::SessionResponse>(text);
  roundTrip<tavolin::CommandResponse>(text);
  roundTrip<tavolin::DeviceDetailResponse>(text);
  roundTrip<tavolin::TransportConfigResponse>(text);
  roundTrip<tavolin::ScreenFramePayload>(text);
  roundTrip<tavolin::TavolinDataChannelEnvelope>(text);
  roundTrip<tavolin::TavolinDirectPingMessage>(text);
  roundTrip<tavolin::TavolinDirectCommandMessage>(text);
  roundTrip<tavolin::PhoneHostFrameUploadPayload>(text);
  roundTrip<tavolin::PhoneHostLatestFrameResponse>(text);
  roundTrip<tavolin::MacAgentUpdateManifest>(text);
  return 0;
}
