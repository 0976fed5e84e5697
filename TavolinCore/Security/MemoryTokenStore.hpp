#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

// Values held in memory for the life of the object; every operation takes the lock and none
// fails.
class MemoryTokenStore final : public TokenStore {
 public:
  std::optional<std::string> read(TavolinTokenKey key) override;
  void write(std::string_view value, TavolinTokenKey key) override;
  void remove(TavolinTokenKey key) override;

 private:
  std::mutex lock_;
  std::map<TavolinTokenKey, std::string> values_;
};

}  // namespace tavolin
