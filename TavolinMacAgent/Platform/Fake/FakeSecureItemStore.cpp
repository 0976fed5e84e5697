#include "TavolinMacAgent/Platform/Fake/FakeSecureItemStore.hpp"

#include <algorithm>
#include <utility>

namespace tavolin {
namespace {

bool matches(const SecureItemQuery& query, const SecureItemQuery& item) {
  return query.service == item.service && query.account == item.account &&
         (!query.accessGroup || query.accessGroup == item.accessGroup);
}

}  // namespace

std::optional<std::int32_t> FakeSecureItemStore::takeForcedStatus(Operation operation) {
  const auto it = forcedStatuses_.find(operation);
  if (it == forcedStatuses_.end()) {
    return std::nullopt;
  }
  const auto status = it->second;
  forcedStatuses_.erase(it);
  return status;
}

std::vector<FakeSecureItemStore::Item>::iterator FakeSecureItemStore::findMatching(
    const SecureItemQuery& query) {
  return std::find_if(items_.begin(), items_.end(),
                      [&](const Item& item) { return matches(query, item.query); });
}

SecureItemCopyResult FakeSecureItemStore::copy(const SecureItemQuery& query) {
  std::lock_guard guard(lock_);
  calls_.push_back({Operation::copy, query, std::nullopt, std::nullopt});
  if (const auto forced = takeForcedStatus(Operation::copy)) {
    return {*forced, std::nullopt};
  }
  const auto it = findMatching(query);
  if (it == items_.end()) {
    return {SecureItemStatus::itemNotFound, std::nullopt};
  }
  return {SecureItemStatus::success, it->data};
}

std::int32_t FakeSecureItemStore::update(const SecureItemQuery& query, std::string_view data) {
  std::lock_guard guard(lock_);
  calls_.push_back({Operation::update, query, std::string(data), std::nullopt});
  if (const auto forced = takeForcedStatus(Operation::update)) {
    return *forced;
  }
  bool found = false;
  for (auto& item : items_) {
    if (matches(query, item.query)) {
      item.data = std::string(data);
      found = true;
    }
  }
  return found ? SecureItemStatus::success : SecureItemStatus::itemNotFound;
}

std::int32_t FakeSecureItemStore::add(const SecureItemQuery& query, std::string_view data,
                                      SecureItemAccessibility accessibility) {
  std::lock_guard guard(lock_);
  calls_.push_back({Operation::add, query, std::string(data), accessibility});
  if (const auto forced = takeForcedStatus(Operation::add)) {
    return *forced;
  }
  // One item per (service, account), whatever its access group.
  const auto duplicate = std::find_if(items_.begin(), items_.end(), [&](const Item& item) {
    return item.query.service == query.service && item.query.account == query.account;
  });
  if (duplicate != items_.end()) {
    return SecureItemStatus::duplicateItem;
  }
  items_.push_back({query, std::string(data), accessibility});
  return SecureItemStatus::success;
}

std::int32_t FakeSecureItemStore::remove(const SecureItemQuery& query) {
  std::lock_guard guard(lock_);
  calls_.push_back({Operation::remove, query, std::nullopt, std::nullopt});
  if (const auto forced = takeForcedStatus(Operation::remove)) {
    return *forced;
  }
  const auto removed =
      std::erase_if(items_, [&](const Item& item) { return matches(query, item.query); });
  return removed > 0 ? SecureItemStatus::success : SecureItemStatus::itemNotFound;
}

void FakeSecureItemStore::failNext(Operation operation, std::int32_t status) {
  std::lock_guard guard(lock_);
  forcedStatuses_[operation] = status;
}

void FakeSecureItemStore::putItem(Item item) {
  std::lock_guard guard(lock_);
  items_.push_back(std::move(item));
}

std::vector<FakeSecureItemStore::Call> FakeSecureItemStore::calls() const {
  std::lock_guard guard(lock_);
  return calls_;
}

std::vector<FakeSecureItemStore::Operation> FakeSecureItemStore::operations() const {
  std::lock_guard guard(lock_);
  std::vector<Operation> out;
  for (const auto& call : calls_) {
    out.push_back(call.operation);
  }
  return out;
}

std::vector<FakeSecureItemStore::Item> FakeSecureItemStore::items() const {
  std::lock_guard guard(lock_);
  return items_;
}

}  // namespace tavolin
