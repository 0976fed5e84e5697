#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include <xcb/xcb.h>

namespace tavolin::testing {

// A known picture on a width × height display: one override-redirect window per quadrant
// (top-left, top-right, bottom-left, bottom-right) in its 0xRRGGBB colour, a quadrant without
// one left as it is. The windows stay while the object lives.
class QuadrantWindows {
 public:
  QuadrantWindows(const std::string& displayName, int width, int height,
                  const std::array<std::optional<std::uint32_t>, 4>& colours)
      : connection_(xcb_connect(displayName.c_str(), nullptr)) {
    if (xcb_connection_has_error(connection_)) {
      xcb_disconnect(connection_);
      throw std::runtime_error("cannot open " + displayName);
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    for (int quadrant = 0; quadrant < 4; ++quadrant) {
      if (!colours[quadrant])
        continue;
      const xcb_window_t window = xcb_generate_id(connection_);
      const std::uint32_t values[] = {*colours[quadrant], 1};
      xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen->root,
                        static_cast<std::int16_t>(quadrant % 2 * width / 2),
                        static_cast<std::int16_t>(quadrant / 2 * height / 2),
                        static_cast<std::uint16_t>(width / 2),
                        static_cast<std::uint16_t>(height / 2), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                        screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
      xcb_map_window(connection_, window);
    }
    // A round trip: the windows are mapped before anything else goes on top of them.
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  ~QuadrantWindows() { xcb_disconnect(connection_); }
  QuadrantWindows(const QuadrantWindows&) = delete;
  QuadrantWindows& operator=(const QuadrantWindows&) = delete;

 private:
  xcb_connection_t* connection_;
};

}  // namespace tavolin::testing
