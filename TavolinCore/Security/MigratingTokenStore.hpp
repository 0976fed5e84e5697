#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

// Moves values from `legacy` into `primary` lazily: a key moves when it is first read or
// written. Errors of `primary`, and of reading `legacy`, are thrown; failing to delete from
// `legacy` is ignored, since the value is already safe in `primary` and the next access retries.
// Adds no locking of its own.
class MigratingTokenStore final : public TokenStore {
 public:
  MigratingTokenStore(std::shared_ptr<TokenStore> primary, std::shared_ptr<TokenStore> legacy,
                      bool deleteLegacyAfterMigration);

  std::optional<std::string> read(TavolinTokenKey key) override;
  void write(std::string_view value, TavolinTokenKey key) override;
  // Deletes from both stores whatever `deleteLegacyAfterMigration` says, so that a deleted key
  // does not come back from `legacy` on the next read.
  void remove(TavolinTokenKey key) override;

 private:
  void removeFromLegacyIgnoringErrors(TavolinTokenKey key) noexcept;

  std::shared_ptr<TokenStore> primary_;
  std::shared_ptr<TokenStore> legacy_;
  bool deleteLegacyAfterMigration_;
};

}  // namespace tavolin
