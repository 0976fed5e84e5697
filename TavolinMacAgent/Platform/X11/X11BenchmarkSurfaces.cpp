#include "TavolinMacAgent/Platform/X11/X11BenchmarkSurfaces.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string_view>
#include <vector>

#include "TavolinMacAgent/Platform/X11/X11EventThread.hpp"

namespace tavolin {
namespace {

constexpr std::string_view kFlashName = "Tavolin benchmark flash";
constexpr std::string_view kScrollName = "Tavolin benchmark scroll surface";

enum WheelButton : xcb_button_t { up = 4, down = 5, left = 6, right = 7 };

struct WindowGeometry {
  std::int16_t x;
  std::int16_t y;
  std::uint16_t width;
  std::uint16_t height;
};

WindowGeometry pixelGeometry(const Rect& rect) {
  return {static_cast<std::int16_t>(std::lround(rect.x)),
          static_cast<std::int16_t>(std::lround(rect.y)),
          static_cast<std::uint16_t>(std::max(1L, std::lround(rect.width))),
          static_cast<std::uint16_t>(std::max(1L, std::lround(rect.height)))};
}

}  // namespace

class X11BenchmarkSurfaces::Windows final : public X11EventThread::Handler {
 public:
  explicit Windows(std::string displayName)
      : thread_(std::move(displayName), "x11-benchmark", *this) {}

  void stop() { thread_.stop(); }

  bool showFlash(const Rect& square, RGBColor color) {
    return thread_
        .call([&](X11Connection& connection) {
          destroy(connection, flash_);
          const auto pixel = allocate(connection, color);
          if (!pixel)
            return false;
          flash_ =
              open(connection, pixelGeometry(square), *pixel, XCB_EVENT_MASK_NO_EVENT, kFlashName);
          return connection.sync();
        })
        .value_or(false);
  }

  void hideFlash() {
    thread_.call([&](X11Connection& connection) {
      destroy(connection, flash_);
      return connection.sync();
    });
  }

  bool showScrollSurface(const Rect& area) {
    return thread_
        .call([&](X11Connection& connection) {
          destroy(connection, scroll_);
          scrollColumns_ = 0;
          scrollRows_ = 0;
          scrollGeometry_ = pixelGeometry(area);
          scroll_ = open(connection, scrollGeometry_, palettePixels_[0],
                         XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS, kScrollName);
          // Drawn now rather than on the first Expose, so it is complete when we return.
          drawScrollSurface(connection);
          return connection.sync();
        })
        .value_or(false);
  }

  void hideScrollSurface() {
    thread_.call([&](X11Connection& connection) {
      destroy(connection, scroll_);
      return connection.sync();
    });
  }

  bool connected(X11Connection& connection) override {
    for (std::size_t i = 0; i < ScrollSurfacePattern::palette.size(); ++i) {
      const auto pixel = allocate(connection, ScrollSurfacePattern::palette[i]);
      if (!pixel)
        return false;
      palettePixels_[i] = *pixel;
    }
    gc_ = xcb_generate_id(connection.get());
    xcb_create_gc(connection.get(), gc_, connection.root(), 0, nullptr);
    return connection.sync();
  }

  void disconnected() override {
    flash_.reset();
    scroll_.reset();
  }

  void handleEvent(X11Connection& connection, const xcb_generic_event_t& event) override {
    const std::uint8_t type = event.response_type & 0x7F;
    if (type == XCB_EXPOSE) {
      const auto& expose = reinterpret_cast<const xcb_expose_event_t&>(event);
      if (scroll_ && expose.window == *scroll_ && expose.count == 0) {
        drawScrollSurface(connection);
        xcb_flush(connection.get());
      }
    } else if (type == XCB_BUTTON_PRESS) {
      const auto& press = reinterpret_cast<const xcb_button_press_event_t&>(event);
      if (!scroll_ || press.event != *scroll_)
        return;
      switch (press.detail) {
        case up:
          --scrollRows_;
          break;
        case down:
          ++scrollRows_;
          break;
        case left:
          --scrollColumns_;
          break;
        case right:
          ++scrollColumns_;
          break;
        default:
          return;
      }
      drawScrollSurface(connection);
      xcb_flush(connection.get());
    }
  }

 private:
  static std::optional<std::uint32_t> allocate(X11Connection& connection, RGBColor color) {
    // AllocColor works for every visual class and costs nothing on TrueColor.
    const auto scale = [](std::uint8_t component) {
      return static_cast<std::uint16_t>(component * 257);
    };
    XcbReply<xcb_alloc_color_reply_t> reply(xcb_alloc_color_reply(
        connection.get(),
        xcb_alloc_color(connection.get(), connection.screen()->default_colormap, scale(color.red),
                        scale(color.green), scale(color.blue)),
        nullptr));
    if (!reply)
      return std::nullopt;
    return reply->pixel;
  }

  // An undecorated window on top of its siblings, mapped with `background` painted.
  static xcb_window_t open(X11Connection& connection, WindowGeometry geometry,
                           std::uint32_t background, std::uint32_t eventMask,
                           std::string_view name) {
    xcb_connection_t* c = connection.get();
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {background, 1, eventMask};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, connection.root(), geometry.x, geometry.y,
                      geometry.width, geometry.height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      connection.screen()->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(name.size()), name.data());
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_map_window(c, window);
    return window;
  }

  static void destroy(X11Connection& connection, std::optional<xcb_window_t>& window) {
    if (window)
      xcb_destroy_window(connection.get(), *window);
    window.reset();
  }

  void drawScrollSurface(X11Connection& connection) {
    if (!scroll_)
      return;
    constexpr int tile = ScrollSurfacePattern::tileSize;
    const int centerX = scrollGeometry_.width / 2;
    const int centerY = scrollGeometry_.height / 2;
    // Tile (0, 0) is centred on the window's middle; enough tiles to cover every edge.
    const int columns = centerX / tile + 1;
    const int rows = centerY / tile + 1;
    std::array<std::vector<xcb_rectangle_t>, ScrollSurfacePattern::palette.size()> byColor;
    for (int row = -rows; row <= rows; ++row) {
      for (int column = -columns; column <= columns; ++column) {
        const std::size_t index =
            ScrollSurfacePattern::colorIndex(column + scrollColumns_, row + scrollRows_);
        byColor[index].push_back({static_cast<std::int16_t>(centerX + column * tile - tile / 2),
                                  static_cast<std::int16_t>(centerY + row * tile - tile / 2), tile,
                                  tile});
      }
    }
    xcb_connection_t* c = connection.get();
    for (std::size_t i = 0; i < byColor.size(); ++i) {
      xcb_change_gc(c, gc_, XCB_GC_FOREGROUND, &palettePixels_[i]);
      xcb_poly_fill_rectangle(c, *scroll_, gc_, static_cast<std::uint32_t>(byColor[i].size()),
                              byColor[i].data());
    }
  }

  // Thread-confined to the event thread.
  std::array<std::uint32_t, ScrollSurfacePattern::palette.size()> palettePixels_{};
  xcb_gcontext_t gc_ = XCB_NONE;
  std::optional<xcb_window_t> flash_;
  std::optional<xcb_window_t> scroll_;
  WindowGeometry scrollGeometry_{};
  int scrollColumns_ = 0;
  int scrollRows_ = 0;

  // Last: it calls the handler as soon as it runs.
  X11EventThread thread_;
};

X11BenchmarkSurfaces::X11BenchmarkSurfaces(std::string displayName)
    : windows_(std::make_unique<Windows>(std::move(displayName))) {}

X11BenchmarkSurfaces::~X11BenchmarkSurfaces() {
  windows_->stop();
}

bool X11BenchmarkSurfaces::showFlash(const Rect& square, RGBColor color) {
  return windows_->showFlash(square, color);
}

void X11BenchmarkSurfaces::hideFlash() {
  windows_->hideFlash();
}

bool X11BenchmarkSurfaces::showScrollSurface(const Rect& area) {
  return windows_->showScrollSurface(area);
}

void X11BenchmarkSurfaces::hideScrollSurface() {
  windows_->hideScrollSurface();
}

}  // namespace tavolin
