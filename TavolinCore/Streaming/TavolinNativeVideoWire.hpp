#pragma once

// The binary packet of the native video channel: "TAVT", a big-endian 32-bit header length, a
// JSON header and a slice of the encoded frame. Every fragment of a frame repeats the whole
// header, so a receiver can reassemble by (frameId, fragmentIndex) from an unordered, lossy
// channel. Pure functions, callable from any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/describe/class.hpp>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"

namespace tavolin {

namespace TavolinNativeVideoPacketType {
inline constexpr std::string_view h264Frame = "h264_avcc_frame";
inline constexpr std::string_view hevcFrame = "hevc_hvcc_frame";
}  // namespace TavolinNativeVideoPacketType

struct TavolinNativeVideoPacketHeader {
  std::string type{};
  std::string sessionId{};
  std::int64_t frameId{};
  std::int64_t fragmentIndex{};
  std::int64_t fragmentCount{};
  std::int64_t timestampNs{};
  std::uint64_t captureUptimeNs{};
  std::string capturedAt{};
  std::int64_t width{};
  std::int64_t height{};
  std::string codec{};
  std::string format{};
  bool isKeyFrame{};
  std::string quality{};
  // Standard Base64, in index order (H.264: SPS, PPS; HEVC: VPS, SPS, PPS).
  std::vector<std::string> parameterSetsBase64{};
  // Of the whole frame, not of this fragment.
  std::int64_t payloadBytes{};
  std::optional<std::string> encodedAt{};
  std::optional<std::uint64_t> encodedUptimeNs{};
  std::optional<std::int64_t> encodeDurationMilliseconds{};
  std::optional<std::string> sendStartedAt{};
  std::optional<std::uint64_t> sendStartedUptimeNs{};
  std::optional<std::int64_t> sendQueueMilliseconds{};
  std::optional<std::int64_t> nativeFramesSent{};
  std::optional<std::int64_t> nativeFramesDropped{};
  std::optional<std::int64_t> nativeBackpressureDrops{};
  std::optional<std::int64_t> targetFramesPerSecond{};

  friend bool operator==(const TavolinNativeVideoPacketHeader&,
                         const TavolinNativeVideoPacketHeader&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinNativeVideoPacketHeader, (),
                      (type, sessionId, frameId, fragmentIndex, fragmentCount, timestampNs,
                       captureUptimeNs, capturedAt, width, height, codec, format, isKeyFrame,
                       quality, parameterSetsBase64, payloadBytes, encodedAt, encodedUptimeNs,
                       encodeDurationMilliseconds, sendStartedAt, sendStartedUptimeNs,
                       sendQueueMilliseconds, nativeFramesSent, nativeFramesDropped,
                       nativeBackpressureDrops, targetFramesPerSecond))

class TavolinNativeVideoWireError : public TavolinError {
 public:
  enum class Kind { invalidPacket };
  explicit TavolinNativeVideoWireError(Kind kind)
      : TavolinError("The native video packet is malformed."), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

namespace TavolinNativeVideoWire {

inline constexpr std::string_view magic = "TAVT";
inline constexpr std::size_t defaultMaxFragmentBytes = 48000;
inline constexpr std::size_t minMaxFragmentBytes = 1200;
inline constexpr std::size_t maxMaxFragmentBytes = 256000;

struct Packet {
  TavolinNativeVideoPacketHeader header;
  Bytes payload;
};

Bytes encode(const TavolinNativeVideoPacketHeader& header, std::span<const std::uint8_t> payload);

// Throws TavolinNativeVideoWireError for short data, a wrong magic or a header length past the
// end, and the JSON decoding error for a malformed header. Fragment fields are not checked
// against the data: reassembly is the receiver's job.
Packet decode(std::span<const std::uint8_t> data);

// max(1, ceil(payloadBytes / maxFragmentBytes)): an empty frame is still one packet.
std::int64_t fragmentCount(std::size_t payloadBytes, std::size_t maxFragmentBytes);

// One packet per fragment of `frame`; `header` carries the frame's fields, and the fragment
// index, fragment count and payload byte count are filled in here. `maxFragmentBytes` is
// clamped to [minMaxFragmentBytes, maxMaxFragmentBytes].
std::vector<Bytes> fragmentedPackets(TavolinNativeVideoPacketHeader header,
                                     std::span<const std::uint8_t> frame,
                                     std::size_t maxFragmentBytes = defaultMaxFragmentBytes);

}  // namespace TavolinNativeVideoWire

}  // namespace tavolin
