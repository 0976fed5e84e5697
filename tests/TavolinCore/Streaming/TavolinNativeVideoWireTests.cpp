#include <gtest/gtest.h>

#include "TavolinCore/Streaming/TavolinDataChannel.hpp"
#include "TavolinCore/Streaming/TavolinNativeVideoWire.hpp"

namespace tavolin {
namespace {

namespace wire = TavolinNativeVideoWire;

TavolinNativeVideoPacketHeader keyFrameHeader() {
  TavolinNativeVideoPacketHeader header;
  header.type = TavolinNativeVideoPacketType::h264Frame;
  header.sessionId = "local_session_A";
  header.frameId = 42;
  header.fragmentCount = 1;
  header.timestampNs = 1'000'000;
  header.captureUptimeNs = 18'446'744'073'709'551'000ull;  // beyond the signed range
  header.capturedAt = "2026-12-06T10:00:00.000Z";
  header.width = 1280;
  header.height = 720;
  header.codec = "h264";
  header.format = "avcc";
  header.isKeyFrame = true;
  header.quality = "720p";
  header.parameterSetsBase64 = {"Z0LAHg==", "aM4G4g=="};
  header.payloadBytes = 3;
  return header;
}

void expectInvalidPacket(const Bytes& data) {
  try {
    wire::decode(data);
    ADD_FAILURE() << "decoded " << data.size() << " bytes";
  } catch (const TavolinNativeVideoWireError& error) {
    EXPECT_EQ(error.kind(), TavolinNativeVideoWireError::Kind::invalidPacket);
  }
}

TEST(TavolinNativeVideoWireFraming, LayoutRoundTripAndOmittedOptionals) {
  const auto header = keyFrameHeader();
  const Bytes payload{0x00, 0x01, 0xFF};
  const Bytes packet = wire::encode(header, payload);
  ASSERT_GE(packet.size(), 8u);
  EXPECT_EQ(std::string(packet.begin(), packet.begin() + 4), "TAVT");
  const std::size_t length = (std::size_t{packet[4]} << 24) | (std::size_t{packet[5]} << 16) |
                             (std::size_t{packet[6]} << 8) | packet[7];
  EXPECT_EQ(packet.size(), 8 + length + payload.size());
  const std::string json(packet.begin() + 8, packet.begin() + 8 + length);
  EXPECT_EQ(json.find("encodedAt"), std::string::npos);
  EXPECT_EQ(json.find("null"), std::string::npos);

  const auto decoded = wire::decode(packet);
  EXPECT_EQ(decoded.header, header);
  EXPECT_EQ(decoded.payload, payload);

  // A packet that ends right after its header carries an empty payload.
  const Bytes bare(packet.begin(), packet.begin() + 8 + static_cast<std::ptrdiff_t>(length));
  EXPECT_TRUE(wire::decode(bare).payload.empty());
}

TEST(TavolinNativeVideoWireFraming, MalformedPacketsAndHeaders) {
  expectInvalidPacket({});
  expectInvalidPacket({'T', 'A', 'V', 'T', 0, 0, 0});
  expectInvalidPacket({'T', 'A', 'V', 'X', 0, 0, 0, 2, '{', '}'});
  // 0x00 0x00 0x01 0x00 is 256 bytes of header, more than is there.
  Bytes shortHeader{'T', 'A', 'V', 'T', 0, 0, 1, 0};
  shortHeader.resize(8 + 255, ' ');
  expectInvalidPacket(shortHeader);
  // An empty header is framed correctly; it fails as JSON, not as framing.
  EXPECT_THROW(wire::decode(Bytes{'T', 'A', 'V', 'T', 0, 0, 0, 0}), JSONDecodingError);
  // Required fields must all be there.
  const std::string partial = R"({"type":"h264_avcc_frame","sessionId":"s"})";
  Bytes missing{'T', 'A', 'V', 'T', 0, 0, 0, static_cast<std::uint8_t>(partial.size())};
  missing.insert(missing.end(), partial.begin(), partial.end());
  EXPECT_THROW(wire::decode(missing), JSONDecodingError);
}

TEST(TavolinNativeVideoWireFragmenting, SlicesWithoutEmptyTailAndRepeatsTheHeader) {
  EXPECT_EQ(wire::fragmentCount(0, 1200), 1);
  EXPECT_EQ(wire::fragmentCount(2400, 1200), 2);
  EXPECT_EQ(wire::fragmentCount(2401, 1200), 3);

  Bytes frame(2400);
  for (std::size_t i = 0; i < frame.size(); ++i)
    frame[i] = static_cast<std::uint8_t>(i * 7);
  // Below the smallest allowed fragment size: clamped up to 1200.
  const auto packets = wire::fragmentedPackets(keyFrameHeader(), frame, 100);
  ASSERT_EQ(packets.size(), 2u);
  Bytes joined;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const auto packet = wire::decode(packets[i]);
    EXPECT_EQ(packet.header.fragmentIndex, static_cast<std::int64_t>(i));
    EXPECT_EQ(packet.header.fragmentCount, 2);
    EXPECT_EQ(packet.header.payloadBytes, 2400);
    EXPECT_EQ(packet.header.frameId, 42);
    EXPECT_EQ(packet.header.parameterSetsBase64.size(), 2u);
    EXPECT_EQ(packet.payload.size(), 1200u);
    joined.insert(joined.end(), packet.payload.begin(), packet.payload.end());
  }
  EXPECT_EQ(joined, frame);

  const auto empty = wire::fragmentedPackets(keyFrameHeader(), {});
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_TRUE(wire::decode(empty[0]).payload.empty());
  EXPECT_EQ(wire::decode(empty[0]).header.payloadBytes, 0);
}

TEST(TavolinDataChannelMessages, FixedTypesSettingsAndOptionalTelemetry) {
  const TavolinDirectPingMessage ping{.pingId = "p1", .sessionId = "s", .sentAt = "t"};
  EXPECT_EQ(encodeJSON(ping), R"({"type":"ping","pingId":"p1","sessionId":"s","sentAt":"t"})");
  const auto envelope =
      decodeJSON<TavolinDataChannelEnvelope>(R"({"type":"native_keyframe_request"})");
  EXPECT_EQ(envelope.type, TavolinDataChannelMessageType::nativeKeyframeRequest);
  EXPECT_FALSE(envelope.sessionId);

  const auto command = decodeJSON<TavolinDirectCommandMessage>(
      R"({"type":"command","commandId":"c","sessionId":"s","commandType":"pointer_click",)"
      R"("payload":{"normalizedX":0.5},"idempotencyKey":"c","expectsResult":true,"sentAt":"t"})");
  EXPECT_TRUE(command.expectsResult);
  EXPECT_EQ(command.payload.size(), 1u);
  EXPECT_THROW(decodeJSON<TavolinDirectCommandMessage>(R"({"type":"command","commandId":"c"})"),
               JSONDecodingError);

  TavolinFrameTelemetryMessage telemetry{.sessionId = "s", .frameId = 1, .width = 1280};
  const std::string json = encodeJSON(telemetry);
  EXPECT_TRUE(json.starts_with(R"({"type":"frame_telemetry")"));
  EXPECT_EQ(json.find("codec"), std::string::npos);
  EXPECT_EQ(decodeJSON<TavolinFrameTelemetryMessage>(json), telemetry);

  EXPECT_FALSE(TavolinDataChannels::input.ordered);
  EXPECT_EQ(TavolinDataChannels::input.maxRetransmits, 0);
  EXPECT_FALSE(TavolinDataChannels::commands.maxRetransmits);
  EXPECT_EQ(TavolinDataChannels::webRTC.size(), 4u);
  for (const auto& channel : TavolinDataChannels::webRTC)
    EXPECT_NE(channel.label, TavolinDataChannelLabel::nativeVideo);
}

}  // namespace
}  // namespace tavolin
