#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/Foundation/Environment.hpp"

namespace tavolin {

// The keys of a desktop entry's [Desktop Entry] group that the agent uses. Values are
// unescaped (\s \n \t \r \\) and valid UTF-8.
struct DesktopEntry {
  // The desktop-file id without ".desktop" ("org.gnome.Terminal"); set by whoever found the file.
  std::string id{};
  std::filesystem::path path{};

  std::string type{};
  std::string name{};
  std::string exec{};
  std::string tryExec{};
  std::string startupWMClass{};
  bool hidden = false;
  bool noDisplay = false;

  bool operator==(const DesktopEntry&) const = default;
};

// Parses a desktop entry file. Nothing when it has no [Desktop Entry] group; malformed lines,
// keys of other groups, localised variants and values that are not UTF-8 are skipped, and the
// first of duplicated keys wins.
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text);

// The program and arguments of an Exec value, with field codes (%f, %U, ...) removed and "%%"
// kept as "%". Nothing for an unterminated quote, a bad escape or an empty command.
std::optional<std::vector<std::string>> desktopExecArguments(std::string_view exec);

// The desktop-file id of a file below an applications directory: subdirectory separators become
// "-" and ".desktop" is dropped ("kde4/konsole.desktop" → "kde4-konsole").
std::string desktopFileId(const std::filesystem::path& relativePath);

// The `applications` directories in precedence order: $XDG_DATA_HOME (default
// ~/.local/share), then $XDG_DATA_DIRS (default /usr/local/share:/usr/share). Relative entries
// are ignored.
std::vector<std::filesystem::path> applicationDirectories(const Environment& environment);

// An application as the window system shows it: its WM_CLASS and, when the launcher recorded
// it, the desktop file it was started from.
struct ApplicationClue {
  std::optional<std::filesystem::path> launchedDesktopFile{};
  std::string wmClassInstance{};
  std::string wmClassName{};
};

// The installed desktop entries, scanned from the application directories and scanned again
// when one of the directories changes. Thread-safe.
class DesktopEntryCatalog {
 public:
  explicit DesktopEntryCatalog(const Environment& environment);

  // A visible (not Hidden) entry by id.
  std::optional<DesktopEntry> entry(std::string_view id);
  // The first visible entry shown in menus (not NoDisplay) whose Name equals `name`, ignoring
  // case; earlier directories first, then by id.
  std::optional<DesktopEntry> entryNamed(std::string_view name);

  // The entry of a running application: the desktop file it was launched from, else the entry
  // whose StartupWMClass is its class (or instance), else the entry whose id is its class or
  // instance, ignoring case.
  std::optional<DesktopEntry> entryFor(const ApplicationClue& clue);

  // The entry in a file outside the scan (a launcher's record of what it started); its id
  // follows the directory rule when the file lies in an application directory.
  std::optional<DesktopEntry> entryAt(const std::filesystem::path& file);

 private:
  struct Snapshot;
  std::shared_ptr<const Snapshot> current();

  std::vector<std::filesystem::path> directories_;
  std::mutex mutex_;
  std::shared_ptr<const Snapshot> snapshot_;
};

}  // namespace tavolin
