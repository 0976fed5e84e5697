#include "TavolinCore/Streaming/TavolinNativeVideoWire.hpp"

#include <algorithm>

namespace tavolin::TavolinNativeVideoWire {
namespace {

constexpr std::size_t kPrefixBytes = 8;

}  // namespace

Bytes encode(const TavolinNativeVideoPacketHeader& header, std::span<const std::uint8_t> payload) {
  const std::string json = encodeJSON(header);
  // Headers are a few hundred bytes; one past 32 bits would be a bug in the caller.
  const auto length = static_cast<std::uint32_t>(json.size());
  Bytes packet(kPrefixBytes + json.size() + payload.size());
  auto out = std::copy(magic.begin(), magic.end(), packet.begin());
  for (int shift = 24; shift >= 0; shift -= 8)
    *out++ = static_cast<std::uint8_t>(length >> shift);
  out = std::copy(json.begin(), json.end(), out);
  std::copy(payload.begin(), payload.end(), out);
  return packet;
}

Packet decode(std::span<const std::uint8_t> data) {
  using Error = TavolinNativeVideoWireError;
  if (data.size() < kPrefixBytes || !std::equal(magic.begin(), magic.end(), data.begin()))
    throw Error(Error::Kind::invalidPacket);
  std::uint64_t length = 0;
  for (std::size_t i = 4; i < kPrefixBytes; ++i)
    length = (length << 8) | data[i];
  if (data.size() - kPrefixBytes < length)
    throw Error(Error::Kind::invalidPacket);
  const auto header = data.subspan(kPrefixBytes, length);
  return {decodeJSON<TavolinNativeVideoPacketHeader>(
              std::string_view(reinterpret_cast<const char*>(header.data()), header.size())),
          Bytes(data.begin() + static_cast<std::ptrdiff_t>(kPrefixBytes + length), data.end())};
}

std::int64_t fragmentCount(std::size_t payloadBytes, std::size_t maxFragmentBytes) {
  return static_cast<std::int64_t>(
      std::max<std::size_t>(1, (payloadBytes + maxFragmentBytes - 1) / maxFragmentBytes));
}

std::vector<Bytes> fragmentedPackets(TavolinNativeVideoPacketHeader header,
                                     std::span<const std::uint8_t> frame,
                                     std::size_t maxFragmentBytes) {
  const std::size_t size = std::clamp(maxFragmentBytes, minMaxFragmentBytes, maxMaxFragmentBytes);
  header.fragmentCount = fragmentCount(frame.size(), size);
  header.payloadBytes = static_cast<std::int64_t>(frame.size());
  std::vector<Bytes> packets;
  packets.reserve(static_cast<std::size_t>(header.fragmentCount));
  for (std::int64_t index = 0; index < header.fragmentCount; ++index) {
    header.fragmentIndex = index;
    const std::size_t begin = static_cast<std::size_t>(index) * size;
    packets.push_back(encode(header, frame.subspan(begin, std::min(size, frame.size() - begin))));
  }
  return packets;
}

}  // namespace tavolin::TavolinNativeVideoWire
