#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <unordered_map>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/UTF8.hpp"

namespace tavolin {
namespace {

namespace fs = std::filesystem;

// Real entries are a few kilobytes; the bounds keep a hostile data directory from stalling a
// heartbeat.
constexpr std::uintmax_t kMaxEntryFileBytes = 1024 * 1024;
constexpr std::size_t kMaxEntriesPerDirectory = 20000;
constexpr int kMaxDirectoryDepth = 8;

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The string-level escapes of a value; other backslash pairs are left for the key's own rules
// (Exec quoting).
std::string unescapedValue(std::string_view value) {
  std::string result;
  result.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      result.push_back(value[i]);
      continue;
    }
    switch (value[i + 1]) {
      case 's':
        result.push_back(' ');
        break;
      case 'n':
        result.push_back('\n');
        break;
      case 't':
        result.push_back('\t');
        break;
      case 'r':
        result.push_back('\r');
        break;
      case '\\':
        result.push_back('\\');
        break;
      default:
        result.push_back('\\');
        result.push_back(value[i + 1]);
        break;
    }
    ++i;
  }
  return result;
}

std::optional<std::string> readSmallFile(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > kMaxEntryFileBytes || error)
    return std::nullopt;
  std::ifstream stream(file, std::ios::binary);
  if (!stream)
    return std::nullopt;
  std::string text(std::istreambuf_iterator<char>(stream), {});
  if (text.size() > kMaxEntryFileBytes)
    return std::nullopt;
  return text;
}

std::optional<DesktopEntry> readEntry(const fs::path& file, std::string id) {
  const auto text = readSmallFile(file);
  if (!text)
    return std::nullopt;
  auto entry = parseDesktopEntry(*text);
  if (!entry || entry->type != "Application")
    return std::nullopt;
  entry->id = std::move(id);
  entry->path = file;
  return entry;
}

std::optional<fs::file_time_type> modificationTime(const fs::path& directory) {
  std::error_code error;
  const auto time = fs::last_write_time(directory, error);
  if (error)
    return std::nullopt;
  return time;
}

}  // namespace

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text) {
  DesktopEntry entry;
  std::set<std::string, std::less<>> seenKeys;
  bool inDesktopEntry = false;
  bool foundGroup = false;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    line = trimmed(line);
    if (line.empty() || line.front() == '#')
      continue;
    if (line.front() == '[') {
      // A repeated [Desktop Entry] group is malformed; its keys are not taken.
      inDesktopEntry = line == "[Desktop Entry]" && !foundGroup;
      foundGroup = foundGroup || inDesktopEntry;
      continue;
    }
    const auto equals = line.find('=');
    if (!inDesktopEntry || equals == std::string_view::npos)
      continue;
    const std::string_view key = trimmed(line.substr(0, equals));
    if (key.empty() || key.find('[') != std::string_view::npos || seenKeys.contains(key))
      continue;
    seenKeys.emplace(key);
    std::string value = unescapedValue(trimmed(line.substr(equals + 1)));
    if (!isValidUTF8(value))
      continue;
    if (key == "Type") {
      entry.type = std::move(value);
    } else if (key == "Name") {
      entry.name = std::move(value);
    } else if (key == "Exec") {
      entry.exec = std::move(value);
    } else if (key == "TryExec") {
      entry.tryExec = std::move(value);
    } else if (key == "StartupWMClass") {
      entry.startupWMClass = std::move(value);
    } else if (key == "Hidden") {
      entry.hidden = value == "true";
    } else if (key == "NoDisplay") {
      entry.noDisplay = value == "true";
    }
  }
  if (!foundGroup)
    return std::nullopt;
  return entry;
}

std::optional<std::vector<std::string>> desktopExecArguments(std::string_view exec) {
  constexpr std::string_view kFieldCodes = "fFuUickdDnNvm";
  std::vector<std::string> arguments;
  std::string current;
  // An argument made only of field codes disappears; a quoted empty one stays.
  bool hasContent = false;
  bool inQuotes = false;
  const auto finish = [&] {
    if (hasContent)
      arguments.push_back(std::move(current));
    current.clear();
    hasContent = false;
  };
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (inQuotes) {
      if (c == '"') {
        inQuotes = false;
      } else if (c == '\\' && i + 1 < exec.size() &&
                 std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
        current.push_back(exec[++i]);
      } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
        current.push_back('%');
        ++i;
      } else {
        current.push_back(c);
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n') {
      finish();
    } else if (c == '"') {
      inQuotes = true;
      hasContent = true;
    } else if (c == '%') {
      if (i + 1 == exec.size())
        return std::nullopt;
      const char code = exec[++i];
      if (code == '%') {
        current.push_back('%');
        hasContent = true;
      } else if (kFieldCodes.find(code) == std::string_view::npos) {
        return std::nullopt;
      }
    } else {
      current.push_back(c);
      hasContent = true;
    }
  }
  if (inQuotes)
    return std::nullopt;
  finish();
  if (arguments.empty() || arguments.front().empty())
    return std::nullopt;
  return arguments;
}

std::string desktopFileId(const fs::path& relativePath) {
  std::string id;
  for (const auto& part : relativePath) {
    if (!id.empty())
      id.push_back('-');
    id += part.string();
  }
  constexpr std::string_view kSuffix = ".desktop";
  if (id.size() > kSuffix.size() && id.ends_with(kSuffix))
    id.resize(id.size() - kSuffix.size());
  return id;
}

std::vector<fs::path> applicationDirectories(const Environment& environment) {
  std::vector<fs::path> roots;
  const auto nonEmpty = [&](std::string_view name) -> std::optional<std::string> {
    auto value = environmentValue(environment, name);
    if (!value || value->empty())
      return std::nullopt;
    return value;
  };
  if (const auto dataHome = nonEmpty("XDG_DATA_HOME")) {
    roots.emplace_back(*dataHome);
  } else if (const auto home = nonEmpty("HOME")) {
    roots.emplace_back(fs::path(*home) / ".local" / "share");
  }
  const std::string dataDirs = nonEmpty("XDG_DATA_DIRS").value_or("/usr/local/share:/usr/share");
  std::string_view rest = dataDirs;
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    roots.emplace_back(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
  }
  std::vector<fs::path> directories;
  for (const auto& root : roots) {
    if (!root.is_absolute())
      continue;
    auto directory = (root / "applications").lexically_normal();
    if (std::find(directories.begin(), directories.end(), directory) == directories.end())
      directories.push_back(std::move(directory));
  }
  return directories;
}

struct DesktopEntryCatalog::Snapshot {
  // Every directory read, with its time then, so a change anywhere triggers a rescan.
  std::vector<std::pair<fs::path, std::optional<fs::file_time_type>>> stamps;
  // By id; the first directory to hold an id wins, Hidden entries included (they hide the id).
  std::unordered_map<std::string, DesktopEntry> byId;
  // Ids in precedence order.
  std::vector<std::string> order;
  std::unordered_map<std::string, std::string> idByFoldedId;
  std::unordered_map<std::string, std::string> idByStartupWMClass;

  bool isCurrent() const {
    return std::all_of(stamps.begin(), stamps.end(), [](const auto& stamp) {
      return modificationTime(stamp.first) == stamp.second;
    });
  }

  const DesktopEntry* visible(const std::string& id) const {
    const auto found = byId.find(id);
    return found == byId.end() || found->second.hidden ? nullptr : &found->second;
  }

  const DesktopEntry* visibleThrough(const std::unordered_map<std::string, std::string>& index,
                                     const std::string& key) const {
    const auto found = index.find(key);
    return found == index.end() ? nullptr : visible(found->second);
  }
};

DesktopEntryCatalog::DesktopEntryCatalog(const Environment& environment)
    : directories_(applicationDirectories(environment)) {}

std::shared_ptr<const DesktopEntryCatalog::Snapshot> DesktopEntryCatalog::current() {
  std::lock_guard lock(mutex_);
  if (snapshot_ && snapshot_->isCurrent())
    return snapshot_;
  auto snapshot = std::make_shared<Snapshot>();
  for (const auto& directory : directories_) {
    snapshot->stamps.emplace_back(directory, modificationTime(directory));
    std::vector<std::pair<std::string, fs::path>> found;
    std::error_code error;
    fs::recursive_directory_iterator walk(directory, fs::directory_options::skip_permission_denied,
                                          error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
      if (found.size() >= kMaxEntriesPerDirectory)
        break;
      const fs::path& path = walk->path();
      if (walk->is_directory(error)) {
        if (walk.depth() >= kMaxDirectoryDepth)
          walk.disable_recursion_pending();
        else
          snapshot->stamps.emplace_back(path, modificationTime(path));
        continue;
      }
      if (path.extension() == ".desktop")
        found.emplace_back(desktopFileId(path.lexically_relative(directory)), path);
    }
    std::sort(found.begin(), found.end());
    for (auto& [id, path] : found) {
      if (snapshot->byId.contains(id))
        continue;
      auto entry = readEntry(path, id);
      if (!entry)
        continue;
      snapshot->idByFoldedId.emplace(asciiLowercased(id), id);
      if (!entry->startupWMClass.empty())
        snapshot->idByStartupWMClass.emplace(entry->startupWMClass, id);
      snapshot->order.push_back(id);
      snapshot->byId.emplace(id, std::move(*entry));
    }
  }
  snapshot_ = std::move(snapshot);
  return snapshot_;
}

std::optional<DesktopEntry> DesktopEntryCatalog::entry(std::string_view id) {
  const auto snapshot = current();
  if (const DesktopEntry* found = snapshot->visible(std::string(id)))
    return *found;
  return std::nullopt;
}

std::optional<DesktopEntry> DesktopEntryCatalog::entryNamed(std::string_view name) {
  const auto snapshot = current();
  for (const auto& id : snapshot->order) {
    const DesktopEntry* entry = snapshot->visible(id);
    if (entry != nullptr && !entry->noDisplay && equalsIgnoringCase(entry->name, name))
      return *entry;
  }
  return std::nullopt;
}

std::optional<DesktopEntry> DesktopEntryCatalog::entryFor(const ApplicationClue& clue) {
  if (clue.launchedDesktopFile) {
    if (auto launched = entryAt(*clue.launchedDesktopFile))
      return launched;
  }
  const auto snapshot = current();
  for (const std::string* key : {&clue.wmClassName, &clue.wmClassInstance}) {
    if (key->empty())
      continue;
    if (const DesktopEntry* found = snapshot->visibleThrough(snapshot->idByStartupWMClass, *key))
      return *found;
  }
  for (const std::string* key : {&clue.wmClassName, &clue.wmClassInstance}) {
    if (key->empty())
      continue;
    if (const DesktopEntry* found =
            snapshot->visibleThrough(snapshot->idByFoldedId, asciiLowercased(*key)))
      return *found;
  }
  return std::nullopt;
}

std::optional<DesktopEntry> DesktopEntryCatalog::entryAt(const fs::path& file) {
  if (!file.is_absolute() || file.extension() != ".desktop")
    return std::nullopt;
  const fs::path normal = file.lexically_normal();
  std::string id = desktopFileId(normal.filename());
  for (const auto& directory : directories_) {
    const fs::path relative = normal.lexically_relative(directory);
    if (!relative.empty() && *relative.begin() != "..") {
      id = desktopFileId(relative);
      break;
    }
  }
  return readEntry(normal, std::move(id));
}

}  // namespace tavolin
