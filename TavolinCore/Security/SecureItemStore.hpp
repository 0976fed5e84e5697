#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavolin {

// Result codes of secure item operations, numbered like the keychain's OSStatus values so that
// a failure reads the same whichever backend produced it.
namespace SecureItemStatus {
inline constexpr std::int32_t success = 0;
inline constexpr std::int32_t itemNotFound = -25300;
inline constexpr std::int32_t duplicateItem = -25299;
// No secure storage reachable: no session bus, no service, no default collection.
inline constexpr std::int32_t notAvailable = -25291;
inline constexpr std::int32_t authFailed = -25293;
// The storage is locked and could not be unlocked without the user.
inline constexpr std::int32_t interactionNotAllowed = -25308;
inline constexpr std::int32_t internalError = -26276;
}  // namespace SecureItemStatus

// When an item may be read, in the keychain's terms. Backends without such a notion record it
// with the item and leave access to the storage's own lock.
enum class SecureItemAccessibility {
  whenUnlocked,
  afterFirstUnlock,
  afterFirstUnlockThisDeviceOnly,
};

inline std::string_view accessibilityName(SecureItemAccessibility accessibility) {
  switch (accessibility) {
    case SecureItemAccessibility::whenUnlocked:
      return "whenUnlocked";
    case SecureItemAccessibility::afterFirstUnlock:
      return "afterFirstUnlock";
    case SecureItemAccessibility::afterFirstUnlockThisDeviceOnly:
      return "afterFirstUnlockThisDeviceOnly";
  }
  return {};
}

// Selects generic-password items. Without an access group it matches items of any group.
struct SecureItemQuery {
  std::string service;
  std::string account;
  std::optional<std::string> accessGroup;

  friend bool operator==(const SecureItemQuery&, const SecureItemQuery&) = default;
};

struct SecureItemCopyResult {
  std::int32_t status = SecureItemStatus::itemNotFound;
  // The item's raw bytes, not necessarily UTF-8; may be absent even on success.
  std::optional<std::string> data{};
};

// Storage of small secrets, one generic-password item per (service, account), shaped after the
// keychain item calls. Failures are reported as statuses, never thrown. Calls block until the
// backend answers (which may mean waiting for the user to unlock the storage), so keep them off
// latency-sensitive threads; implementations are safe to call from any thread. The store owns
// no item beyond the call: every call goes to the backend.
class SecureItemStore {
 public:
  virtual ~SecureItemStore() = default;

  // The data of the first matching item; itemNotFound when none matches.
  virtual SecureItemCopyResult copy(const SecureItemQuery& query) = 0;
  // Replaces the data of the matching items; itemNotFound (and nothing created) when none match.
  virtual std::int32_t update(const SecureItemQuery& query, std::string_view data) = 0;
  // Creates an item; duplicateItem when one already matches.
  virtual std::int32_t add(const SecureItemQuery& query, std::string_view data,
                           SecureItemAccessibility accessibility) = 0;
  // Deletes the matching items; itemNotFound when none match.
  virtual std::int32_t remove(const SecureItemQuery& query) = 0;
};

}  // namespace tavolin
