#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include "TavolinMacAgent/Platform/X11/X11BenchmarkSurfaces.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

// Looks at the screen as another client sees it.
class ScreenObserver {
 public:
  struct WindowState {
    bool overrideRedirect;
    bool viewable;
    Rect geometry;
  };

  explicit ScreenObserver(const std::string& displayName)
      : connection_(xcb_connect(displayName.c_str(), nullptr)) {
    if (xcb_connection_has_error(connection_))
      throw std::runtime_error("cannot connect to " + displayName);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  }
  ~ScreenObserver() { xcb_disconnect(connection_); }

  // The top-level window with this WM_NAME, if one exists.
  std::optional<WindowState> window(const std::string& name) {
    auto* tree = xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr);
    std::optional<WindowState> found;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
      auto* property = xcb_get_property_reply(
          connection_,
          xcb_get_property(connection_, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 64),
          nullptr);
      const bool named =
          property && std::string(static_cast<const char*>(xcb_get_property_value(property)),
                                  xcb_get_property_value_length(property)) == name;
      free(property);
      if (!named)
        continue;
      auto* attributes = xcb_get_window_attributes_reply(
          connection_, xcb_get_window_attributes(connection_, children[i]), nullptr);
      auto* geometry =
          xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, children[i]), nullptr);
      found = WindowState{
          attributes->override_redirect != 0, attributes->map_state == XCB_MAP_STATE_VIEWABLE,
          Rect{static_cast<double>(geometry->x), static_cast<double>(geometry->y),
               static_cast<double>(geometry->width), static_cast<double>(geometry->height)}};
      free(attributes);
      free(geometry);
    }
    free(tree);
    return found;
  }

  // The colour on screen at a point (a 24-bit TrueColor screen, as Xvfb's).
  RGBColor pixel(int x, int y) {
    auto* image = xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), 1, 1, ~0u),
        nullptr);
    std::uint32_t value = 0;
    std::memcpy(&value, xcb_get_image_data(image), 4);
    free(image);
    return {static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value)};
  }

  // Waits until the point shows `expected`, the surface redrawing on its own thread.
  RGBColor awaitPixel(int x, int y, RGBColor expected) {
    RGBColor seen{};
    testing::eventually([&] { return (seen = pixel(x, y)) == expected; }, 5s);
    return seen;
  }

  void wheel(int x, int y, std::uint8_t button) {
    xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_,
                        static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
    xcb_test_fake_input(connection_, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(connection_, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        0);
    xcb_flush(connection_);
  }

 private:
  xcb_connection_t* connection_;
  xcb_window_t root_;
};

class X11BenchmarkSurfacesTest : public testing::XvfbSuite {
 protected:
  X11BenchmarkSurfaces surfaces{display->displayName()};
  ScreenObserver observer{display->displayName()};
};

TEST_F(X11BenchmarkSurfacesTest, Flash_IsAnOverrideRedirectSquareOfItsColourUntilHidden) {
  const Rect square{565, 325, 150, 150};
  ASSERT_TRUE(surfaces.showFlash(square, {255, 13, 255}));
  const auto shown = observer.window("Tavolin benchmark flash");
  ASSERT_TRUE(shown);
  EXPECT_TRUE(shown->overrideRedirect);
  EXPECT_TRUE(shown->viewable);
  EXPECT_EQ(shown->geometry, square);
  // Drawn before the show returned: no waiting.
  EXPECT_EQ(observer.pixel(640, 400), (RGBColor{255, 13, 255}));
  EXPECT_EQ(observer.pixel(565, 325), (RGBColor{255, 13, 255}));
  EXPECT_NE(observer.pixel(564, 324), (RGBColor{255, 13, 255}));

  // A second flash replaces the first.
  ASSERT_TRUE(surfaces.showFlash({600.4, 360.6, 80, 80}, {13, 255, 13}));
  const auto replaced = observer.window("Tavolin benchmark flash");
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->geometry, (Rect{600, 361, 80, 80}));
  EXPECT_EQ(observer.pixel(640, 400), (RGBColor{13, 255, 13}));
  EXPECT_NE(observer.pixel(570, 330), (RGBColor{255, 13, 255}));

  surfaces.hideFlash();
  EXPECT_FALSE(observer.window("Tavolin benchmark flash"));
  EXPECT_NE(observer.pixel(640, 400), (RGBColor{13, 255, 13}));
  surfaces.hideFlash();
}

TEST_F(X11BenchmarkSurfacesTest, ScrollSurface_MovesOneTilePerWheelStep) {
  ASSERT_TRUE(surfaces.showScrollSurface({390, 150, 500, 500}));
  const auto shown = observer.window("Tavolin benchmark scroll surface");
  ASSERT_TRUE(shown);
  EXPECT_TRUE(shown->overrideRedirect);
  EXPECT_TRUE(shown->viewable);
  EXPECT_EQ(observer.pixel(640, 400), ScrollSurfacePattern::initialCenterColor());
  // One tile to the right of the centre.
  EXPECT_EQ(observer.pixel(640 + ScrollSurfacePattern::tileSize, 400),
            ScrollSurfacePattern::color(1, 0));

  observer.wheel(640, 400, 5);
  EXPECT_EQ(observer.awaitPixel(640, 400, ScrollSurfacePattern::color(0, 1)),
            ScrollSurfacePattern::color(0, 1));
  observer.wheel(640, 400, 7);
  EXPECT_EQ(observer.awaitPixel(640, 400, ScrollSurfacePattern::color(1, 1)),
            ScrollSurfacePattern::color(1, 1));
  observer.wheel(640, 400, 4);
  observer.wheel(640, 400, 4);
  EXPECT_EQ(observer.awaitPixel(640, 400, ScrollSurfacePattern::color(1, -1)),
            ScrollSurfacePattern::color(1, -1));

  // Showing again starts unscrolled.
  ASSERT_TRUE(surfaces.showScrollSurface({390, 150, 500, 500}));
  EXPECT_EQ(observer.pixel(640, 400), ScrollSurfacePattern::initialCenterColor());
  surfaces.hideScrollSurface();
  EXPECT_FALSE(observer.window("Tavolin benchmark scroll surface"));
}

TEST(X11BenchmarkSurfacesDisplayLoss, ShowsAfterTheServerWentAway_FailWithoutHanging) {
  auto server = std::make_unique<testing::XvfbServer>();
  X11BenchmarkSurfaces surfaces(server->displayName());
  ASSERT_TRUE(surfaces.showFlash({0, 0, 150, 150}, {1, 2, 3}));
  server.reset();
  EXPECT_FALSE(surfaces.showFlash({0, 0, 150, 150}, {1, 2, 3}));
  EXPECT_FALSE(surfaces.showScrollSurface({0, 0, 300, 300}));
  surfaces.hideFlash();
  surfaces.hideScrollSurface();
}

}  // namespace
}  // namespace tavolin
