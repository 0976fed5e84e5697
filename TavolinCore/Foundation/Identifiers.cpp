#include "TavolinCore/Foundation/Identifiers.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace tavolin {
namespace {

std::optional<std::uint8_t> hexNibble(char c) {
  if (c >= '0' && c <= '9')
    return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f')
    return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F')
    return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

std::string makeIdentifier(std::string_view prefix) {
  // One generator per thread: it is not thread-safe, and seeding it per call is slow.
  thread_local boost::uuids::random_generator generator;
  return std::string(prefix) + uuidString(generator());
}

std::string uuidString(const boost::uuids::uuid& uuid) {
  std::string text = boost::uuids::to_string(uuid);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::optional<boost::uuids::uuid> uuidFromString(std::string_view text) {
  if (text.size() != 36)
    return std::nullopt;
  boost::uuids::uuid uuid{};
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-')
        return std::nullopt;
      ++i;
      continue;
    }
    const auto high = hexNibble(text[i]);
    const auto low = hexNibble(text[i + 1]);
    if (!high || !low)
      return std::nullopt;
    uuid.data[byte++] = static_cast<std::uint8_t>(*high << 4 | *low);
    i += 2;
  }
  return uuid;
}

}  // namespace tavolin
