#pragma once

#include <cstdint>
#include <iterator>
#include <span>
#include <string>

#include <boost/algorithm/hex.hpp>

namespace tavolin::testing {

// Lower-case hexadecimal, for comparing bytes against known-answer vectors.
inline std::string hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  boost::algorithm::hex_lower(bytes.begin(), bytes.end(), std::back_inserter(text));
  return text;
}

}  // namespace tavolin::testing
