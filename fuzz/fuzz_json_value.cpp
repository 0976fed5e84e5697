// Parses arbitrary bytes as a JSONValue; whatever parses must survive an encode/decode round
// trip. Boost.JSON 1.81 parses long or extreme numbers a few units in the last place off, so
// numbers are compared within that tolerance; everything else must be identical.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavolinCore/JSON/JSONValue.hpp"

namespace {

bool sameValue(const tavolin::JSONValue& lhs, const tavolin::JSONValue& rhs) {
  if (lhs.kind() != rhs.kind())
    return false;
  if (const double* number = lhs.number()) {
    const double tolerance = std::fabs(*number) * 1e-14;
    return std::fabs(*number - *rhs.number()) <= tolerance;
  }
  if (const auto* array = lhs.array()) {
    if (array->size() != rhs.array()->size())
      return false;
    for (std::size_t i = 0; i < array->size(); ++i) {
      if (!sameValue((*array)[i], (*rhs.array())[i]))
        return false;
    }
    return true;
  }
  if (const auto* object = lhs.object()) {
    if (object->size() != rhs.object()->size())
      return false;
    for (const auto& [key, value] : *object) {
      const tavolin::JSONValue* other = rhs.object()->find(key);
      if (other == nullptr || !sameValue(value, *other))
        return false;
    }
    return true;
  }
  return lhs == rhs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const tavolin::JSONValue value = tavolin::JSONValue::parse(text);
    if (!sameValue(tavolin::JSONValue::parse(value.serialize()), value))
      std::abort();
  } catch (const tavolin::JSONDecodingError&) {
  }
  return 0;
}
