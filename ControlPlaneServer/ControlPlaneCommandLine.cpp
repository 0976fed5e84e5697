#include "ControlPlaneServer/ControlPlaneCommandLine.hpp"

#include <string_view>

#include "TavolinCore/Foundation/Environment.hpp"

namespace tavolin {
namespace {

void parseListen(std::string_view value, ControlPlaneCommandLine& out) {
  const auto colon = value.rfind(':');
  if (colon == std::string_view::npos || colon == 0)
    throw ControlPlaneUsageError("--listen needs HOST:PORT, got \"" + std::string(value) + "\"");
  std::string_view host = value.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']')
      throw ControlPlaneUsageError("--listen has a malformed IPv6 address");
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    throw ControlPlaneUsageError("--listen needs brackets around an IPv6 address");
  }
  const auto port = parseInteger(value.substr(colon + 1));
  if (!port || *port < 0 || *port > 65535)
    throw ControlPlaneUsageError("--listen has an invalid port");
  out.listenHost = std::string(host);
  out.listenPort = static_cast<std::uint16_t>(*port);
}

}  // namespace

ControlPlaneCommandLine ControlPlaneCommandLine::parse(const std::vector<std::string>& arguments) {
  ControlPlaneCommandLine out;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      out.showHelp = true;
      continue;
    }
    std::string_view name = argument;
    std::optional<std::string_view> value;
    if (const auto equals = argument.find('=');
        argument.starts_with("--") && equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
    }
    if (name != "--listen" && name != "--database")
      throw ControlPlaneUsageError("unknown argument \"" + std::string(argument) + "\"");
    if (!value) {
      if (i + 1 == arguments.size())
        throw ControlPlaneUsageError(std::string(name) + " needs a value");
      value = arguments[++i];
    }
    if (name == "--listen") {
      parseListen(*value, out);
    } else {
      if (value->empty())
        throw ControlPlaneUsageError("--database needs a path");
      out.databaseFile = std::filesystem::path(*value);
    }
  }
  return out;
}

std::filesystem::path ControlPlaneCommandLine::defaultDatabaseFile(const AppPaths& paths) {
  return paths.dataDirectory / "control-plane.sqlite3";
}

}  // namespace tavolin
