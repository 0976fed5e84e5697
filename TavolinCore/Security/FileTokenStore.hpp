#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

// One file per key, `<rootDirectory>/<raw value>.txt`, in a 0700 directory with mode 0600,
// replaced atomically on write. Used for development, for an explicit directory, and where no
// Secret Service is reachable. File-system errors are thrown as
// std::filesystem::filesystem_error.
class FileTokenStore final : public TokenStore {
 public:
  explicit FileTokenStore(std::filesystem::path rootDirectory);

  const std::filesystem::path& rootDirectory() const { return rootDirectory_; }
  std::filesystem::path fileFor(TavolinTokenKey key) const;

  // Nothing when the file is missing (or the root is not a directory). Newline characters
  // (\n, \r) are stripped from both ends, spaces are kept; an empty file is an empty string. A file
  // that is not UTF-8 throws filesystem_error with std::errc::illegal_byte_sequence: the value is
  // text, and handing out the raw bytes would let a damaged or foreign file pass as a token.
  std::optional<std::string> read(TavolinTokenKey key) override;
  void write(std::string_view value, TavolinTokenKey key) override;
  void remove(TavolinTokenKey key) override;

 private:
  std::filesystem::path rootDirectory_;
};

}  // namespace tavolin
