#include "TavolinMacAgent/Platform/Linux/ProcessFiles.hpp"

#include <fstream>
#include <iterator>

namespace tavolin {
namespace {

// Command lines and environments are far below this; the bound protects against a process
// that grew its environment without limit.
constexpr std::size_t kMaxProcFileBytes = 4 * 1024 * 1024;

// The NUL-separated strings of /proc/<pid>/<file>.
std::vector<std::string> procStrings(std::int64_t pid, const char* file) {
  std::vector<std::string> strings;
  if (pid <= 0)
    return strings;
  std::ifstream stream("/proc/" + std::to_string(pid) + "/" + file, std::ios::binary);
  if (!stream)
    return strings;
  std::string text;
  text.resize(kMaxProcFileBytes);
  stream.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(stream.gcount()));
  std::string_view rest = text;
  while (!rest.empty()) {
    const auto end = rest.find('\0');
    strings.emplace_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  }
  return strings;
}

}  // namespace

std::vector<std::string> processCommandLine(std::int64_t pid) {
  return procStrings(pid, "cmdline");
}

std::optional<std::string> processEnvironmentValue(std::int64_t pid, std::string_view name) {
  for (const std::string& entry : procStrings(pid, "environ")) {
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
      return entry.substr(name.size() + 1);
  }
  return std::nullopt;
}

}  // namespace tavolin
