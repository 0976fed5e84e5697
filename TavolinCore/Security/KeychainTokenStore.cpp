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

KeychainTokenStore::Remembered& KeychainTokenStore::remembered(TavolinTokenKey key) {
  return remembered_[static_cast<std::size_t>(key)];
}

std::optional<std::string> KeychainTokenStore::read(TavolinTokenKey key) {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(rememberedLock_);
    const Remembered& known = remembered(key);
    if (known.value)
      return *known.value;
    generation = known.generation;
  }
  std::optional<std::string> value = readItem(key);
  std::lock_guard lock(rememberedLock_);
  if (Remembered& known = remembered(key); known.generation == generation)
    known.value = value;
  return value;
}

void KeychainTokenStore::write(std::string_view value, TavolinTokenKey key) {
  std::lock_guard lock(writeLock_);
  try {
    writeItem(value, key);
  } catch (...) {
    replace(key, std::nullopt);
    throw;
  }
  replace(key, std::optional<std::string>(value));
}

void KeychainTokenStore::remove(TavolinTokenKey key) {
  std::lock_guard lock(writeLock_);
  try {
    removeItem(key);
  } catch (...) {
    replace(key, std::nullopt);
    throw;
  }
  replace(key, std::optional<std::string>());
}

void KeychainTokenStore::warm() {
  for (const TavolinTokenKey key : TavolinTokenKeys::allCases) {
    try {
      read(key);
    } catch (const TokenStoreError&) {
    }
  }
}

void KeychainTokenStore::replace(TavolinTokenKey key,
                                 std::optional<std::optional<std::string>> value) {
  std::lock_guard lock(rememberedLock_);
  Remembered& known = remembered(key);
  ++known.generation;
  known.value = std::move(value);
}

std::optional<std::string> KeychainTokenStore::readItem(TavolinTokenKey key) {
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

void KeychainTokenStore::writeItem(std::string_view value, TavolinTokenKey key) {
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

void KeychainTokenStore::removeItem(TavolinTokenKey key) {
  const auto status = items_->remove(query(key));
  if (status != SecureItemStatus::success && status != SecureItemStatus::itemNotFound) {
    throw TokenStoreError::unexpectedStatus(status);
  }
}

}  // namespace tavolin
