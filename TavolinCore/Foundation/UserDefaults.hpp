#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin {

// A small persistent key-value store of user preferences: one JSON object in one file
// (AppPaths::userDefaultsFile), re-read on every access so that a change made by another
// process shows, and replaced atomically on every write. A missing or unreadable file reads
// as empty. Thread-safe.
class UserDefaults {
 public:
  explicit UserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

  std::optional<JSONValue> value(std::string_view key) const;
  // Throws std::filesystem::filesystem_error when the file cannot be written.
  void set(std::string_view key, JSONValue value);
  void remove(std::string_view key);

  const std::filesystem::path& file() const { return file_; }

 private:
  JSONObject load() const;
  void save(const JSONObject& values);

  std::filesystem::path file_;
  mutable std::mutex mutex_;
};

}  // namespace tavolin
