#include "TavolinCore/Foundation/Identifiers.hpp"

#include <algorithm>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace tavolin {

std::string makeIdentifier(std::string_view prefix) {
  // One generator per thread: it is not thread-safe, and seeding it per call is slow.
  thread_local boost::uuids::random_generator generator;
  std::string uuid = boost::uuids::to_string(generator());
  std::transform(uuid.begin(), uuid.end(), uuid.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return std::string(prefix) + uuid;
}

}  // namespace tavolin
