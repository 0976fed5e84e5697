#include "TavolinMacAgent/Platform/Linux/LinuxSystemInfo.hpp"

#include <fstream>
#include <iterator>

#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "TavolinCore/Foundation/UTF8.hpp"

namespace tavolin {
namespace {

constexpr std::size_t kMaxFileBytes = 64 * 1024;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::string text(kMaxFileBytes, '\0');
  stream.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(stream ? text.size() : static_cast<std::size_t>(stream.gcount()));
  return text;
}

// The shell-like quoting these files use: "..." with backslash escapes, or '...'.
std::string unquoted(std::string_view value) {
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
    return std::string(value.substr(1, value.size() - 2));
  if (value.size() < 2 || value.front() != '"' || value.back() != '"')
    return std::string(value);
  std::string result;
  value = value.substr(1, value.size() - 2);
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size())
      ++i;
    result.push_back(value[i]);
  }
  return result;
}

}  // namespace

std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
      line.remove_suffix(1);
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=') {
      std::string value = unquoted(line.substr(key.size() + 1));
      if (!isValidUTF8(value))
        return std::nullopt;
      return value;
    }
  }
  return std::nullopt;
}

std::string linuxOSVersion(std::string_view osRelease, std::string_view kernelRelease) {
  std::string distribution;
  if (auto name = osReleaseValue(osRelease, "NAME")) {
    constexpr std::string_view kGNU = " GNU/Linux";
    if (const auto gnu = name->find(kGNU); gnu != std::string::npos)
      name->erase(gnu, kGNU.size());
    distribution = std::move(*name);
    if (auto version = osReleaseValue(osRelease, "VERSION_ID"); version && !version->empty())
      distribution += " " + *version;
  } else if (auto pretty = osReleaseValue(osRelease, "PRETTY_NAME")) {
    distribution = std::move(*pretty);
  }
  const std::string_view kernel =
      kernelRelease.substr(0, kernelRelease.find_first_not_of("0123456789."));
  std::string version = "Linux";
  if (!distribution.empty())
    version += " " + distribution;
  if (!kernel.empty())
    version += " (" + std::string(kernel) + ")";
  return version;
}

LinuxSystemInfo::LinuxSystemInfo(std::filesystem::path etc) : etc_(std::move(etc)) {}

std::string LinuxSystemInfo::hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0')
    return "localhost";
  return name;
}

std::optional<std::string> LinuxSystemInfo::computerName() {
  auto pretty = osReleaseValue(readFile(etc_ / "machine-info"), "PRETTY_HOSTNAME");
  if (!pretty || pretty->empty())
    return std::nullopt;
  return pretty;
}

std::string LinuxSystemInfo::osVersion() {
  std::string osRelease = readFile(etc_ / "os-release");
  if (osRelease.empty())
    osRelease = readFile("/usr/lib/os-release");
  utsname system{};
  const std::string kernel = uname(&system) == 0 ? system.release : "";
  return linuxOSVersion(osRelease, kernel);
}

std::vector<InterfaceAddress> LinuxSystemInfo::interfaceAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0)
    return {};
  std::vector<InterfaceAddress> addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr)
      continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6)
      continue;
    const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    char text[NI_MAXHOST] = {};
    if (getnameinfo(entry->ifa_addr, length, text, sizeof(text), nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    addresses.push_back(
        {entry->ifa_name,
         family == AF_INET ? InterfaceAddress::Family::ipv4 : InterfaceAddress::Family::ipv6,
         text});
  }
  freeifaddrs(list);
  return addresses;
}

}  // namespace tavolin
