#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Security/SecureItemStore.hpp"
#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

// The service under which the agent keeps its items.
inline constexpr std::string_view kKeychainServiceName = "app.tavolin.mac-agent";

// One generic-password item per key: account = the key's raw value, data = the value's UTF-8
// bytes. Failing statuses throw TokenStoreError.
//
// Every item call is a round trip to the Secret Service over D-Bus, and controller requests read
// the pairing code, the direct-access secret and the controller pins on the main actor. So each
// key is read from the items once and then answered from memory, an absent key included; a write
// or remove through this store replaces what is remembered. A failed read remembers nothing and
// a failed write or remove forgets the key, so the next read asks the items again. Items changed
// by anyone else are seen after a restart.
class KeychainTokenStore final : public TokenStore {
 public:
  KeychainTokenStore(std::shared_ptr<SecureItemStore> items, std::string service,
                     std::optional<std::string> accessGroup = std::nullopt);

  const std::string& service() const { return service_; }
  const std::optional<std::string>& accessGroup() const { return accessGroup_; }

  std::optional<std::string> read(TavolinTokenKey key) override;
  void write(std::string_view value, TavolinTokenKey key) override;
  void remove(TavolinTokenKey key) override;

  // Reads every key once, so that later reads are answered from memory: called at start, before
  // the first request. A key that fails to read is left to the read that needs it.
  void warm();

 private:
  // What is known of one key. `generation` counts writes and removes, so that a read that went
  // to the items while one of them ran does not bring back the value it replaced.
  struct Remembered {
    std::optional<std::optional<std::string>> value;
    std::uint64_t generation = 0;
  };

  SecureItemQuery query(TavolinTokenKey key) const;
  std::optional<std::string> readItem(TavolinTokenKey key);
  void writeItem(std::string_view value, TavolinTokenKey key);
  void removeItem(TavolinTokenKey key);
  // Records the outcome of a write or remove; nothing known after a failure.
  void replace(TavolinTokenKey key, std::optional<std::optional<std::string>> value);
  Remembered& remembered(TavolinTokenKey key);

  std::shared_ptr<SecureItemStore> items_;
  std::string service_;
  std::optional<std::string> accessGroup_;

  std::mutex rememberedLock_;
  std::array<Remembered, TavolinTokenKeys::allCases.size()> remembered_;
  // One write or remove at a time, so that what is remembered ends as the items do. Reads never
  // take it: a read does not wait for a write's round trip.
  std::mutex writeLock_;
};

}  // namespace tavolin
