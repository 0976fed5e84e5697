#pragma once

#include <string_view>

#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"

namespace tavolin {

// The variables through which a launched application names the desktop entry it came from;
// the PID one guards against children that merely inherited the first.
inline constexpr std::string_view launchedDesktopFileVariable = "GIO_LAUNCHED_DESKTOP_FILE";
inline constexpr std::string_view launchedDesktopFilePidVariable = "GIO_LAUNCHED_DESKTOP_FILE_PID";

// Starts the entry's Exec command detached from the agent: its own session, standard streams
// on /dev/null, no inherited descriptors, reparented away so the agent never waits for it. The
// application is told its desktop file and runs on `displayName` (when not empty). False when
// the command is malformed, its program (or TryExec) is not found, or the spawn fails. Blocks
// only for the brief hand-off; callable from any thread.
bool launchDesktopEntry(const DesktopEntry& entry, std::string_view displayName);

}  // namespace tavolin
