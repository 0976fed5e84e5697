#include "TavolinCore/Foundation/SecureFiles.hpp"

#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TavolinCore/Foundation/Identifiers.hpp"

namespace tavolin {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void throwErrno(const char* what, const fs::path& path) {
  throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

constexpr std::string_view kTemporaryInfix = ".tmp-";

fs::path temporaryFileFor(const fs::path& file) {
  std::string name = file.filename().string();
  name.insert(name.begin(), '.');
  name += makeIdentifier(kTemporaryInfix);
  return file.parent_path() / name;
}

bool isTemporaryFileName(std::string_view name) {
  const std::size_t infix = name.rfind(kTemporaryInfix);
  // A dot, a name of at least one character, the infix, and the UUID exactly as written.
  if (infix == std::string_view::npos || infix < 2 || !name.starts_with('.'))
    return false;
  const std::string_view uuid = name.substr(infix + kTemporaryInfix.size());
  const auto parsed = uuidFromString(uuid);
  return parsed && uuidString(*parsed) == uuid;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

void ensurePrivateDirectory(const fs::path& directory) {
  fs::create_directories(directory);
  fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace);
}

void writeFileAtomically(const fs::path& file, std::string_view contents, fs::perms mode) {
  const fs::path temporary = temporaryFileFor(file);
  FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                           static_cast<mode_t>(mode)));
  if (fd.get() < 0)
    throwErrno("open", temporary);
  try {
    // The umask may have narrowed the mode, and an explicit mode is what callers rely on.
    if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0)
      throwErrno("fchmod", temporary);
    std::size_t written = 0;
    while (written < contents.size()) {
      const ssize_t n = ::write(fd.get(), contents.data() + written, contents.size() - written);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        throwErrno("write", temporary);
      }
      written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0)
      throwErrno("fsync", temporary);
    if (::close(fd.release()) != 0)
      throwErrno("close", temporary);
    if (::rename(temporary.c_str(), file.c_str()) != 0)
      throwErrno("rename", file);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  const fs::path directory = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  FileDescriptor directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directoryFd.get() >= 0) {
    ::fsync(directoryFd.get());
  }
}

std::size_t removeStaleTemporaryFiles(const fs::path& directory) noexcept {
  std::size_t removed = 0;
  std::error_code error;
  fs::directory_iterator entries(directory, error);
  for (const fs::directory_iterator end; !error && entries != end; entries.increment(error)) {
    const fs::directory_entry& entry = *entries;
    std::error_code ignored;
    // symlink_status: a link is a link, whatever its name or target.
    if (entry.symlink_status(ignored).type() != fs::file_type::regular ||
        !isTemporaryFileName(entry.path().filename().native())) {
      continue;
    }
    if (fs::remove(entry.path(), ignored))
      ++removed;
  }
  return removed;
}

std::optional<std::string> readFileIfExists(const fs::path& file) {
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT)
      return std::nullopt;
    throwErrno("open", file);
  }
  std::string contents;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      throwErrno("read", file);
    }
    if (n == 0)
      break;
    contents.append(buffer, static_cast<std::size_t>(n));
  }
  return contents;
}

}  // namespace tavolin
