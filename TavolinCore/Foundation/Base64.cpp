#include "TavolinCore/Foundation/Base64.hpp"

#include <array>

namespace tavolin {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  }
  return table;
}

constexpr auto kDecodeTable = makeDecodeTable();

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = bytes[i] << 16;
    if (rest == 2) {
      n |= bytes[i + 1] << 8;
    }
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  }
  const auto value = [&](std::size_t i) {
    return static_cast<std::int32_t>(kDecodeTable[static_cast<unsigned char>(text[i])]);
  };
  Bytes out(text.size() / 4 * 3 - padding);
  // Whole quantums first, four characters to three bytes; a negative table entry marks a
  // character outside the alphabet and survives the OR.
  const std::size_t fullQuantums = (text.size() - (padding > 0 ? 4 : 0)) / 4;
  std::uint8_t* write = out.data();
  for (std::size_t q = 0; q < fullQuantums; ++q) {
    const std::size_t i = q * 4;
    const std::int32_t a = value(i), b = value(i + 1), c = value(i + 2), d = value(i + 3);
    if ((a | b | c | d) < 0) {
      return std::nullopt;
    }
    const std::uint32_t n = (a << 18) | (b << 12) | (c << 6) | d;
    *write++ = static_cast<std::uint8_t>(n >> 16);
    *write++ = static_cast<std::uint8_t>(n >> 8);
    *write++ = static_cast<std::uint8_t>(n);
  }
  if (padding > 0) {
    const std::size_t i = text.size() - 4;
    const std::int32_t a = value(i), b = value(i + 1);
    const std::int32_t c = padding == 1 ? value(i + 2) : 0;
    if ((a | b | c) < 0) {
      return std::nullopt;
    }
    const std::uint32_t n = (a << 18) | (b << 12) | (c << 6);
    *write++ = static_cast<std::uint8_t>(n >> 16);
    if (padding == 1) {
      *write++ = static_cast<std::uint8_t>(n >> 8);
    }
  }
  return out;
}

std::string base64URLEncode(std::span<const std::uint8_t> bytes) {
  std::string text = base64Encode(bytes);
  while (!text.empty() && text.back() == '=') {
    text.pop_back();
  }
  for (char& c : text) {
    if (c == '+') {
      c = '-';
    } else if (c == '/') {
      c = '_';
    }
  }
  return text;
}

std::optional<Bytes> base64URLDecode(std::string_view text) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-') {
      c = '+';
    } else if (c == '_') {
      c = '/';
    }
  }
  while (standard.size() % 4 != 0) {
    standard += '=';
  }
  return base64Decode(standard);
}

}  // namespace tavolin
