#include "TavolinCore/Security/MemoryTokenStore.hpp"

namespace tavolin {

std::optional<std::string> MemoryTokenStore::read(TavolinTokenKey key) {
  std::lock_guard guard(lock_);
  const auto it = values_.find(key);
  if (it == values_.end()) {
    return std::nullopt;
  }
  return it->second;
}

void MemoryTokenStore::write(std::string_view value, TavolinTokenKey key) {
  std::lock_guard guard(lock_);
  values_.insert_or_assign(key, std::string(value));
}

void MemoryTokenStore::remove(TavolinTokenKey key) {
  std::lock_guard guard(lock_);
  values_.erase(key);
}

}  // namespace tavolin
