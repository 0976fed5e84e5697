#include "TavolinCore/Security/KeychainTokenStore.hpp"

#include <utility>

#include "TavolinCore/Foundation/UTF8.hpp"

namespace tavolin {

KeychainTokenStore::KeychainTokenStore(std::shared_ptr<SecureItemStore> items, std::string service,
                                       std::optional<std::string> accessGroup)
    : items_(std::move(items)),
      service_(std::move(service)),
      accessGroup_(std::move(accessGroup)) {}

SecureItemQuery KeychainTokenStore::query(TavolinTokenKey key) const {
  return SecureItemQuery{.service = service_,
                         .account = std::string(TavolinTokenKeys::rawValue(key)),
                         .accessGroup = accessGroup_};
}

std::optional<std::string> KeychainTokenStore::read(TavolinTokenKey key) {
  auto result = items_->copy(query(key));
  if (result.status == SecureItemStatus::itemNotFound) {
    return std::nullopt;
  }
  if (result.status != SecureItemStatus::success) {
    throw TokenStoreError::unexpectedStatus(result.status);
  }
  if (!result.data || !isValidUTF8(*result.data)) {
    throw TokenStoreError::invalidData();
  }
  return std::move(result.data);
}

void KeychainTokenStore::write(std::string_view value, TavolinTokenKey key) {
  const auto itemQuery = query(key);
  const auto updated = items_->update(itemQuery, value);
  if (updated == SecureItemStatus::success) {
    return;
  }
  if (updated != SecureItemStatus::itemNotFound) {
    throw TokenStoreError::unexpectedStatus(updated);
  }
  const auto added =
      items_->add(itemQuery, value, SecureItemAccessibility::afterFirstUnlockThisDeviceOnly);
  if (added != SecureItemStatus::success) {
    throw TokenStoreError::unexpectedStatus(added);
  }
}

void KeychainTokenStore::remove(TavolinTokenKey key) {
  const auto status = items_->remove(query(key));
  if (status != SecureItemStatus::success && status != SecureItemStatus::itemNotFound) {
    throw TokenStoreError::unexpectedStatus(status);
  }
}

}  // namespace tavolin
