#include "TavolinMacAgent/Platform/X11/X11DisplayGeometry.hpp"

#include <xcb/randr.h>

namespace tavolin {

Rect x11MainDisplayRect(X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  // The setup data keeps the size the screen had at connection time; ask for the current one.
  XcbReply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, connection.root()), nullptr));
  const Rect root{
      0, 0, static_cast<double>(geometry ? geometry->width : connection.screen()->width_in_pixels),
      static_cast<double>(geometry ? geometry->height : connection.screen()->height_in_pixels)};
  if (!connection.hasExtension("RANDR"))
    return root;
  XcbReply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(
      c, xcb_randr_get_output_primary(c, connection.root()), nullptr));
  if (!primary || primary->output == XCB_NONE)
    return root;
  XcbReply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
      c, xcb_randr_get_output_info(c, primary->output, XCB_CURRENT_TIME), nullptr));
  if (!output || output->crtc == XCB_NONE)
    return root;
  XcbReply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
      c, xcb_randr_get_crtc_info(c, output->crtc, XCB_CURRENT_TIME), nullptr));
  if (!crtc || crtc->width == 0 || crtc->height == 0)
    return root;
  return Rect{static_cast<double>(crtc->x), static_cast<double>(crtc->y),
              static_cast<double>(crtc->width), static_cast<double>(crtc->height)};
}

X11DisplayGeometry::X11DisplayGeometry(std::shared_ptr<X11DisplayConnector> connector)
    : connector_(std::move(connector)) {}

std::optional<Rect> X11DisplayGeometry::mainDisplayBounds() {
  auto connection = connector_->connection();
  if (!connection)
    return std::nullopt;
  return x11MainDisplayRect(*connection);
}

std::optional<PixelSize> X11DisplayGeometry::mainDisplayPixelSize() {
  auto bounds = mainDisplayBounds();
  if (!bounds)
    return std::nullopt;
  return PixelSize{static_cast<int>(bounds->width), static_cast<int>(bounds->height)};
}

}  // namespace tavolin
