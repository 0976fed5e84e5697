#include "TavolinMacAgent/Platform/Linux/LinuxSystemInfo.hpp"

#include <algorithm>
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

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

bool isVariableName(std::string_view name) {
  const auto isLetter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  if (name.empty() || !isLetter(name.front()))
    return false;
  for (const char c : name) {
    if (!isLetter(c) && !(c >= '0' && c <= '9'))
      return false;
  }
  return true;
}

// Reads one shell word from `at`: bare characters and backslash escapes, '...' taken as it is,
// and "..." where a backslash only escapes the characters the shell gives meaning there. Stops
// at an unquoted blank or line end; nothing when a quote is left open.
std::optional<std::string> shellWord(std::string_view text, std::size_t& at) {
  std::string word;
  while (at < text.size() && text[at] != '\n' && !isBlank(text[at])) {
    const char c = text[at++];
    if (c == '\\') {
      // A backslash before the line end joins the lines.
      if (at < text.size() && text[at] != '\n')
        word.push_back(text[at]);
      if (at < text.size())
        ++at;
    } else if (c == '\'') {
      const auto close = text.find('\'', at);
      if (close == std::string_view::npos)
        return std::nullopt;
      word.append(text.substr(at, close - at));
      at = close + 1;
    } else if (c == '"') {
      for (;;) {
        if (at >= text.size())
          return std::nullopt;
        const char quoted = text[at++];
        if (quoted == '"')
          break;
        if (quoted == '\\' && at < text.size()) {
          const char escaped = text[at++];
          if (escaped == '\n')
            continue;
          if (std::string_view("\"\\$`").find(escaped) == std::string_view::npos)
            word.push_back('\\');
          word.push_back(escaped);
        } else {
          word.push_back(quoted);
        }
      }
    } else {
      word.push_back(c);
    }
  }
  return word;
}

}  // namespace

OSReleaseFields parseOSRelease(std::string_view text) {
  OSReleaseFields fields;
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (isBlank(text[at]) || text[at] == '\n'))
      ++at;
    const std::string_view line = text.substr(at, text.find('\n', at) - at);
    const auto equals = line.find('=');
    if (line.empty() || line.front() == '#' || equals == std::string_view::npos ||
        !isVariableName(line.substr(0, equals))) {
      at += line.size();
      continue;
    }
    std::string key(line.substr(0, equals));
    at += equals + 1;
    auto value = shellWord(text, at);
    if (!value)
      break;
    if (isValidUTF8(*value))
      fields.insert_or_assign(std::move(key), std::move(*value));
    // Whatever follows an unquoted blank is not part of the value (a comment, at most).
    at = std::min(text.find('\n', at), text.size());
  }
  return fields;
}

OperatingSystemRelease operatingSystemRelease(const OSReleaseFields& osRelease) {
  const auto valueOr = [&](std::string_view key, std::string fallback) {
    const auto found = osRelease.find(key);
    return found == osRelease.end() || found->second.empty() ? fallback : found->second;
  };
  return {valueOr("NAME", "Linux"), valueOr("VERSION_ID", "0")};
}

std::string linuxOSVersion(std::string_view osReleaseText, std::string_view kernelRelease) {
  const OSReleaseFields osRelease = parseOSRelease(osReleaseText);
  const auto value = [&](std::string_view key) -> std::optional<std::string> {
    const auto found = osRelease.find(key);
    return found == osRelease.end() ? std::nullopt : std::optional(found->second);
  };
  std::string distribution;
  if (auto name = value("NAME")) {
    constexpr std::string_view kGNU = " GNU/Linux";
    if (const auto gnu = name->find(kGNU); gnu != std::string::npos)
      name->erase(gnu, kGNU.size());
    distribution = std::move(*name);
    if (auto version = value("VERSION_ID"); version && !version->empty())
      distribution += " " + *version;
  } else if (auto pretty = value("PRETTY_NAME")) {
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

LinuxSystemInfo::LinuxSystemInfo(std::filesystem::path etc, std::filesystem::path usrLib)
    : etc_(std::move(etc)), usrLib_(std::move(usrLib)) {}

std::string LinuxSystemInfo::readOSRelease() const {
  std::string osRelease = readFile(etc_ / "os-release");
  return osRelease.empty() ? readFile(usrLib_ / "os-release") : osRelease;
}

std::string LinuxSystemInfo::hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0')
    return "localhost";
  return name;
}

std::optional<std::string> LinuxSystemInfo::computerName() {
  const auto fields = parseOSRelease(readFile(etc_ / "machine-info"));
  const auto pretty = fields.find("PRETTY_HOSTNAME");
  if (pretty == fields.end() || pretty->second.empty())
    return std::nullopt;
  return pretty->second;
}

std::string LinuxSystemInfo::osVersion() {
  utsname system{};
  const std::string kernel = uname(&system) == 0 ? system.release : "";
  return linuxOSVersion(readOSRelease(), kernel);
}

OperatingSystemRelease LinuxSystemInfo::operatingSystemRelease() {
  return tavolin::operatingSystemRelease(parseOSRelease(readOSRelease()));
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
