#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TavolinCore/Foundation/AppPaths.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"

namespace tavolin {

class ControlPlaneUsageError : public TavolinError {
 public:
  using TavolinError::TavolinError;
};

// tavolin-control-plane [--listen HOST:PORT] [--database PATH] [--help]
// HOST is an IPv4 address, a bracketed IPv6 address or a name; PORT 0 lets the system choose.
// Both options also take the "--option=value" form.
struct ControlPlaneCommandLine {
  std::string listenHost = "127.0.0.1";
  std::uint16_t listenPort = 8787;
  // Absent: defaultDatabaseFile().
  std::optional<std::filesystem::path> databaseFile{};
  bool showHelp = false;

  static constexpr const char* usage =
      "usage: tavolin-control-plane [--listen HOST:PORT] [--database PATH]\n"
      "  --listen    address to serve plain HTTP on (default 127.0.0.1:8787; port 0 picks one)\n"
      "  --database  SQLite file (default <XDG data dir>/tavolin/control-plane.sqlite3)\n"
      "environment: TAVOLIN_BOOTSTRAP_TOKEN enables owner bootstrap;\n"
      "             TAVOLIN_CONTROL_PLANE_STUN_URLS lists STUN URLs, comma-separated\n";

  // `arguments` excludes the program name. Throws ControlPlaneUsageError.
  static ControlPlaneCommandLine parse(const std::vector<std::string>& arguments);

  static std::filesystem::path defaultDatabaseFile(const AppPaths& paths);
};

}  // namespace tavolin
