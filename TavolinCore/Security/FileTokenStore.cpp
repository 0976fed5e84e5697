#include "TavolinCore/Security/FileTokenStore.hpp"

#include <system_error>
#include <utility>

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/UTF8.hpp"

namespace tavolin {
namespace fs = std::filesystem;
namespace {

// A root that is not a directory holds no values: like a missing file, not an error.
bool isNotADirectory(const fs::filesystem_error& error) {
  return error.code() == std::errc::not_a_directory;
}

}  // namespace

FileTokenStore::FileTokenStore(fs::path rootDirectory) : rootDirectory_(std::move(rootDirectory)) {}

fs::path FileTokenStore::fileFor(TavolinTokenKey key) const {
  return rootDirectory_ / (std::string(TavolinTokenKeys::rawValue(key)) + ".txt");
}

std::optional<std::string> FileTokenStore::read(TavolinTokenKey key) {
  const auto file = fileFor(key);
  std::optional<std::string> contents;
  try {
    contents = readFileIfExists(file);
  } catch (const fs::filesystem_error& error) {
    if (isNotADirectory(error)) {
      return std::nullopt;
    }
    throw;
  }
  if (!contents) {
    return std::nullopt;
  }
  if (!isValidUTF8(*contents)) {
    throw fs::filesystem_error("read", file,
                               std::make_error_code(std::errc::illegal_byte_sequence));
  }
  constexpr std::string_view kNewlines = "\r\n";
  const auto first = contents->find_first_not_of(kNewlines);
  if (first == std::string::npos) {
    return std::string();
  }
  const auto last = contents->find_last_not_of(kNewlines);
  return contents->substr(first, last - first + 1);
}

void FileTokenStore::write(std::string_view value, TavolinTokenKey key) {
  ensurePrivateDirectory(rootDirectory_);
  writeFileAtomically(fileFor(key), value, fs::perms::owner_read | fs::perms::owner_write);
}

void FileTokenStore::remove(TavolinTokenKey key) {
  try {
    fs::remove(fileFor(key));
  } catch (const fs::filesystem_error& error) {
    if (!isNotADirectory(error)) {
      throw;
    }
  }
}

}  // namespace tavolin
