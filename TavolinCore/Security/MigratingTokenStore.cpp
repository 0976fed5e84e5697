#include "TavolinCore/Security/MigratingTokenStore.hpp"

#include <utility>

namespace tavolin {

MigratingTokenStore::MigratingTokenStore(std::shared_ptr<TokenStore> primary,
                                         std::shared_ptr<TokenStore> legacy,
                                         bool deleteLegacyAfterMigration)
    : primary_(std::move(primary)),
      legacy_(std::move(legacy)),
      deleteLegacyAfterMigration_(deleteLegacyAfterMigration) {}

std::optional<std::string> MigratingTokenStore::read(TavolinTokenKey key) {
  if (auto value = primary_->read(key)) {
    // A copy left behind by an earlier migration whose legacy delete failed.
    if (deleteLegacyAfterMigration_) {
      removeFromLegacyIgnoringErrors(key);
    }
    return value;
  }
  auto value = legacy_->read(key);
  if (!value) {
    return std::nullopt;
  }
  primary_->write(*value, key);
  if (deleteLegacyAfterMigration_) {
    removeFromLegacyIgnoringErrors(key);
  }
  return value;
}

void MigratingTokenStore::write(std::string_view value, TavolinTokenKey key) {
  primary_->write(value, key);
  if (deleteLegacyAfterMigration_) {
    removeFromLegacyIgnoringErrors(key);
  }
}

void MigratingTokenStore::remove(TavolinTokenKey key) {
  primary_->remove(key);
  removeFromLegacyIgnoringErrors(key);
}

void MigratingTokenStore::removeFromLegacyIgnoringErrors(TavolinTokenKey key) noexcept {
  try {
    legacy_->remove(key);
  } catch (...) {
    // Best effort: the value already lives in `primary`.
  }
}

}  // namespace tavolin
