#include "TavolinMacAgent/Platform/GStreamer/StunServer.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"

namespace tavolin {
namespace {

bool isHostCharacter(char c, bool bracketed) {
  const auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) || c == '-' || c == '.' || (bracketed && c == ':');
}

std::optional<std::string> stunServerFromURL(std::string_view url) {
  constexpr std::string_view scheme = "stun:";
  if (url.size() < scheme.size() || !equalsIgnoringCase(url.substr(0, scheme.size()), scheme))
    return std::nullopt;
  std::string_view rest = url.substr(scheme.size());
  if (rest.starts_with("//"))
    rest.remove_prefix(2);
  rest = rest.substr(0, rest.find('?'));

  std::string_view host;
  std::optional<std::string_view> port;
  const bool bracketed = rest.starts_with('[');
  if (bracketed) {
    const auto close = rest.find(']');
    if (close == std::string_view::npos)
      return std::nullopt;
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':')
        return std::nullopt;
      port = after.substr(1);
    }
  } else {
    const auto colon = rest.find(':');
    host = rest.substr(0, colon);
    if (colon != std::string_view::npos)
      port = rest.substr(colon + 1);
  }
  if (host.empty() ||
      !std::all_of(host.begin(), host.end(), [&](char c) { return isHostCharacter(c, bracketed); }))
    return std::nullopt;

  std::string portText = "3478";
  if (port) {
    if (port->empty() || port->size() > 5 || !std::all_of(port->begin(), port->end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c));
        }))
      return std::nullopt;
    const int number = std::stoi(std::string(*port));
    if (number < 1 || number > 65535)
      return std::nullopt;
    portText = std::to_string(number);
  }
  const std::string hostText = bracketed ? "[" + std::string(host) + "]" : std::string(host);
  return "stun://" + hostText + ":" + portText;
}

}  // namespace

std::optional<std::string> webrtcbinStunServer(const std::vector<TavolinICEServer>& servers) {
  for (const auto& server : servers) {
    for (const auto& url : server.urls) {
      if (auto converted = stunServerFromURL(url))
        return converted;
    }
  }
  return std::nullopt;
}

}  // namespace tavolin
