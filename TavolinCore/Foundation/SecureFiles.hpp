#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tavolin {

// Creates `directory` (and its parents) and sets it to 0700, also when it already existed
// with wider permissions. Throws std::filesystem::filesystem_error.
void ensurePrivateDirectory(const std::filesystem::path& directory);

// Replaces `file` so that a reader sees the old or the new content, never a torn one:
// a temporary file beside it (".<name>.tmp-<UUID>") is written with `mode`, fsynced, renamed over
// the target, and the directory is fsynced. Throws std::filesystem::filesystem_error.
void writeFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::owner_write);

// Removes the temporary files that writeFileAtomically leaves in `directory` when the process
// dies between creating and renaming one: regular files named exactly ".<name>.tmp-<UUID>" with
// an upper-case UUID. Nothing else is touched; symbolic links are neither followed nor removed
// and subdirectories are not entered. Failures are ignored. Answers how many files it removed.
// Only for start-up: a writer running meanwhile in another process would lose its rename.
std::size_t removeStaleTemporaryFiles(const std::filesystem::path& directory) noexcept;

// The whole file, or nothing when it does not exist. Other failures throw
// std::filesystem::filesystem_error.
std::optional<std::string> readFileIfExists(const std::filesystem::path& file);

}  // namespace tavolin
