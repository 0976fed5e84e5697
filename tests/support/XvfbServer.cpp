#include "tests/support/XvfbServer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include <xcb/xcb.h>

#include "tests/support/Eventually.hpp"

namespace tavolin::testing {
namespace {

// Whether the root window has the property `name` with at least `minimumLength` bytes.
bool rootHasProperty(xcb_connection_t* connection, xcb_window_t root, std::string_view name,
                     int minimumLength) {
  auto* atom = xcb_intern_atom_reply(
      connection,
      xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data()),
      nullptr);
  if (atom == nullptr)
    return false;
  auto* reply = xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1),
      nullptr);
  const bool found = reply != nullptr && reply->type == XCB_ATOM_WINDOW &&
                     xcb_get_property_value_length(reply) >= minimumLength;
  free(reply);
  free(atom);
  return found;
}

// openbox claims the screen before it takes over the windows already there; a window mapped
// in between is never managed. The client list, empty or not, is published once it has.
bool hasWindowManager(const std::string& displayName) {
  xcb_connection_t* connection = xcb_connect(displayName.c_str(), nullptr);
  bool found = false;
  if (!xcb_connection_has_error(connection)) {
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    found = rootHasProperty(connection, root, "_NET_SUPPORTING_WM_CHECK", 4) &&
            rootHasProperty(connection, root, "_NET_CLIENT_LIST", 0);
  }
  xcb_disconnect(connection);
  return found;
}

}  // namespace

XvfbServer::XvfbServer(int width, int height) {
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  // -displayfd 2: the server writes the display number it chose to standard error.
  server_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"Xvfb", "-displayfd", "2", "-screen", "0", screen, "-nolisten",
                               "tcp", "-noreset", "+extension", "RANDR", "+extension", "XFIXES"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    auto line = server_->readErrorLine(std::chrono::seconds(20));
    if (!line)
      break;
    if (!line->empty() && std::all_of(line->begin(), line->end(), ::isdigit)) {
      displayName_ = ":" + *line;
      return;
    }
  }
  throw std::runtime_error("Xvfb did not report its display number");
}

XvfbServer::~XvfbServer() {
  windowManager_.reset();
  server_.reset();
}

void XvfbServer::startWindowManager() {
  windowManager_ =
      std::make_unique<ChildProcess>(std::vector<std::string>{"openbox", "--sm-disable"},
                                     std::map<std::string, std::string>{{"DISPLAY", displayName_}});
  if (!eventually([this] { return hasWindowManager(displayName_); }))
    throw std::runtime_error("openbox did not take the display");
}

}  // namespace tavolin::testing
