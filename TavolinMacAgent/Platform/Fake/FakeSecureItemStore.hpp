#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/Security/SecureItemStore.hpp"

namespace tavolin {

// In-memory SecureItemStore for tests. It keeps the real rules (one item per (service, account),
// update never creates, add refuses a duplicate), records every call, and can be told which
// status the next call of an operation returns instead of doing anything. Thread-safe.
class FakeSecureItemStore final : public SecureItemStore {
 public:
  enum class Operation { copy, update, add, remove };

  struct Call {
    Operation operation;
    SecureItemQuery query;
    std::optional<std::string> data;                       // what update and add were given
    std::optional<SecureItemAccessibility> accessibility;  // add only

    friend bool operator==(const Call&, const Call&) = default;
  };

  struct Item {
    SecureItemQuery query;
    std::string data;
    SecureItemAccessibility accessibility;
  };

  SecureItemCopyResult copy(const SecureItemQuery& query) override;
  std::int32_t update(const SecureItemQuery& query, std::string_view data) override;
  std::int32_t add(const SecureItemQuery& query, std::string_view data,
                   SecureItemAccessibility accessibility) override;
  std::int32_t remove(const SecureItemQuery& query) override;

  // The next call of `operation` returns `status` and changes nothing (a forced copy returns no
  // data).
  void failNext(Operation operation, std::int32_t status);
  // Stores an item as it is, bypassing the rules: for seeding data a writer would not produce.
  void putItem(Item item);

  std::vector<Call> calls() const;
  std::vector<Operation> operations() const;
  std::vector<Item> items() const;

 private:
  std::optional<std::int32_t> takeForcedStatus(Operation operation);
  std::vector<Item>::iterator findMatching(const SecureItemQuery& query);

  mutable std::mutex lock_;
  std::vector<Item> items_;
  std::vector<Call> calls_;
  std::map<Operation, std::int32_t> forcedStatuses_;
};

}  // namespace tavolin
