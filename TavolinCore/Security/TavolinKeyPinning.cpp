#include "TavolinCore/Security/TavolinKeyPinning.hpp"

#include <cstdint>
#include <map>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Security/CryptoPrimitives.hpp"

namespace tavolin {
namespace {

using PinMap = std::map<std::string, std::string>;

// True when the text holds nothing but Unicode white space and line breaks. Controllers may
// send keys from platforms that pad with no-break or ideographic spaces, so ASCII alone is not
// enough. Malformed UTF-8 counts as content.
bool isBlank(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::uint32_t codePoint = 0;
    std::size_t length = 0;
    if (lead < 0x80) {
      codePoint = lead;
      length = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      codePoint = lead & 0x1F;
      length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      codePoint = lead & 0x0F;
      length = 3;
    } else {
      return false;  // every white-space code point fits in three bytes
    }
    if (i + length > text.size()) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto continuation = static_cast<unsigned char>(text[i + k]);
      if ((continuation & 0xC0) != 0x80) {
        return false;
      }
      codePoint = (codePoint << 6) | (continuation & 0x3F);
    }
    const bool whiteSpace = (codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x20 ||
                            codePoint == 0x85 || codePoint == 0xA0 || codePoint == 0x1680 ||
                            (codePoint >= 0x2000 && codePoint <= 0x200A) || codePoint == 0x2028 ||
                            codePoint == 0x2029 || codePoint == 0x202F || codePoint == 0x205F ||
                            codePoint == 0x3000;
    if (!whiteSpace) {
      return false;
    }
    i += length;
  }
  return true;
}

PinMap loadPins(TokenStore& store, TavolinTokenKey key) {
  const std::optional<std::string> text = store.read(key);
  if (!text || text->empty()) {
    return {};
  }
  return decodeJSON<PinMap>(*text);
}

}  // namespace

TavolinKeyPinningError::TavolinKeyPinningError(Kind kind, std::string description,
                                               std::string peerId, std::string expectedFingerprint,
                                               std::string actualFingerprint)
    : TavolinError(std::move(description)),
      kind_(kind),
      peerId_(std::move(peerId)),
      expectedFingerprint_(std::move(expectedFingerprint)),
      actualFingerprint_(std::move(actualFingerprint)) {}

TavolinKeyPinningError TavolinKeyPinningError::missingPublicKey(std::string peerId) {
  std::string description = "Peer " + peerId + " did not provide a public key.";
  return TavolinKeyPinningError(Kind::missingPublicKey, std::move(description), std::move(peerId),
                                {}, {});
}

TavolinKeyPinningError TavolinKeyPinningError::publicKeyChanged(std::string peerId,
                                                                std::string expectedFingerprint,
                                                                std::string actualFingerprint) {
  std::string description = "Peer " + peerId + " public key changed from " + expectedFingerprint +
                            " to " + actualFingerprint + ".";
  return TavolinKeyPinningError(Kind::publicKeyChanged, std::move(description), std::move(peerId),
                                std::move(expectedFingerprint), std::move(actualFingerprint));
}

TavolinKeyPinningResult TavolinKeyPinning::verifyOrTrustDevice(
    std::string_view deviceId, std::optional<std::string_view> publicKey) {
  return verifyOrTrust(TavolinTokenKey::pinnedDevicePublicKeys, deviceId, publicKey);
}

TavolinKeyPinningResult TavolinKeyPinning::verifyOrTrustController(
    std::string_view controllerId, std::optional<std::string_view> publicKey) {
  return verifyOrTrust(TavolinTokenKey::pinnedControllerPublicKeys, controllerId, publicKey);
}

std::string TavolinKeyPinning::fingerprint(std::string_view publicKey) {
  static constexpr char kHex[] = "0123456789abcdef";
  const SHA256Digest digest = sha256(byteSpan(publicKey));
  std::string text;
  text.reserve(35);
  for (std::size_t i = 0; i < 12; ++i) {
    if (i > 0) {
      text += ':';
    }
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

TavolinKeyPinningResult TavolinKeyPinning::verifyOrTrust(
    TavolinTokenKey storeKey, std::string_view peerId, std::optional<std::string_view> publicKey) {
  // Bytes that are not UTF-8 are no key, and pinning them would leave a pin map that no longer
  // reads back as JSON.
  if (!publicKey || isBlank(*publicKey) || !isValidUTF8(*publicKey) || !isValidUTF8(peerId)) {
    throw TavolinKeyPinningError::missingPublicKey(std::string(peerId));
  }
  PinMap pins = loadPins(store_, storeKey);
  std::string presentedFingerprint = fingerprint(*publicKey);
  if (const auto pinned = pins.find(std::string(peerId)); pinned != pins.end()) {
    if (pinned->second == *publicKey) {
      return TavolinKeyPinningResult::alreadyTrusted(std::move(presentedFingerprint));
    }
    throw TavolinKeyPinningError::publicKeyChanged(std::string(peerId), fingerprint(pinned->second),
                                                   std::move(presentedFingerprint));
  }
  pins.emplace(std::string(peerId), std::string(*publicKey));
  store_.write(encodeJSON(pins), storeKey);
  return TavolinKeyPinningResult::newlyTrusted(std::move(presentedFingerprint));
}

}  // namespace tavolin
