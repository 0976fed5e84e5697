#include "TavolinCore/Foundation/UserDefaults.hpp"

#include "TavolinCore/Foundation/SecureFiles.hpp"

namespace tavolin {

JSONObject UserDefaults::load() const {
  try {
    const auto text = readFileIfExists(file_);
    if (!text)
      return {};
    const JSONValue parsed = JSONValue::parse(*text);
    if (const JSONObject* object = parsed.object())
      return *object;
  } catch (const std::exception&) {
    // A damaged preferences file must not stop the agent; it is replaced on the next write.
  }
  return {};
}

void UserDefaults::save(const JSONObject& values) {
  std::filesystem::create_directories(file_.parent_path());
  writeFileAtomically(file_, JSONValue(values).serialize());
}

std::optional<JSONValue> UserDefaults::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const JSONObject values = load();
  if (const JSONValue* found = values.find(key))
    return *found;
  return std::nullopt;
}

void UserDefaults::set(std::string_view key, JSONValue value) {
  std::lock_guard lock(mutex_);
  JSONObject values = load();
  values.set(std::string(key), std::move(value));
  save(values);
}

void UserDefaults::remove(std::string_view key) {
  std::lock_guard lock(mutex_);
  JSONObject values = load();
  values.erase(key);
  save(values);
}

}  // namespace tavolin
