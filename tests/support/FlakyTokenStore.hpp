#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin::testing {

// An in-memory token store that counts its calls and can be told to fail each operation with a
// keychain error. `values` is open so tests can seed and inspect what is stored.
class FlakyTokenStore final : public TokenStore {
 public:
  std::optional<std::string> read(TavolinTokenKey key) override {
    ++reads;
    if (failRead)
      throw TokenStoreError::unexpectedStatus(-1);
    return peek(key);
  }
  void write(std::string_view value, TavolinTokenKey key) override {
    ++writes;
    if (failWrite)
      throw TokenStoreError::unexpectedStatus(-2);
    values[key] = std::string(value);
  }
  void remove(TavolinTokenKey key) override {
    ++removes;
    if (failRemove)
      throw TokenStoreError::unexpectedStatus(-3);
    values.erase(key);
  }

  std::optional<std::string> peek(TavolinTokenKey key) const {
    const auto found = values.find(key);
    return found == values.end() ? std::nullopt : std::optional(found->second);
  }
  void seed(std::string_view value, TavolinTokenKey key) { values[key] = std::string(value); }

  std::map<TavolinTokenKey, std::string> values;
  bool failRead = false;
  bool failWrite = false;
  bool failRemove = false;
  int reads = 0;
  int writes = 0;
  int removes = 0;
};

}  // namespace tavolin::testing
