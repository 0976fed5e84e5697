#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Security/SecureItemStore.hpp"
#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

// The service under which the agent keeps its items.
inline constexpr std::string_view kKeychainServiceName = "app.tavolin.mac-agent";

// One generic-password item per key: account = the key's raw value, data = the value's UTF-8
// bytes. Keeps no state of its own; failing statuses throw TokenStoreError.
class KeychainTokenStore final : public TokenStore {
 public:
  KeychainTokenStore(std::shared_ptr<SecureItemStore> items, std::string service,
                     std::optional<std::string> accessGroup = std::nullopt);

  const std::string& service() const { return service_; }
  const std::optional<std::string>& accessGroup() const { return accessGroup_; }

  std::optional<std::string> read(TavolinTokenKey key) override;
  void write(std::string_view value, TavolinTokenKey key) override;
  void remove(TavolinTokenKey key) override;

 private:
  SecureItemQuery query(TavolinTokenKey key) const;

  std::shared_ptr<SecureItemStore> items_;
  std::string service_;
  std::optional<std::string> accessGroup_;
};

}  // namespace tavolin
