#include "TavolinMacAgent/Platform/X11/X11ScreenCapture.hpp"

#include <cstdlib>
#include <string>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinMacAgent/Platform/X11/X11DisplayGeometry.hpp"

namespace tavolin {
namespace {

constexpr std::size_t kBytesPerPixel = 4;

// System V shared memory only means the same memory to a server on this machine: a display
// reached over TCP on another host would attach some unrelated segment of the same id.
bool isLocalDisplay(const std::string& displayName) {
  std::string name = displayName;
  if (name.empty()) {
    const char* environment = std::getenv("DISPLAY");
    name = environment != nullptr ? environment : "";
  }
  const auto colon = name.rfind(':');
  if (colon == std::string::npos)
    return false;
  const std::string host = name.substr(0, colon);
  return host.empty() || host == "unix" || host.front() == '/';
}

// Z-pixmap images of the root window come out as B, G, R, X bytes.
bool hasBGRXLayout(X11Connection& connection) {
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
    return false;
  const xcb_screen_t* screen = connection.screen();
  bool thirtyTwoBits = false;
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0;
       xcb_format_next(&formats)) {
    if (formats.data->depth == screen->root_depth)
      thirtyTwoBits = formats.data->bits_per_pixel == 32;
  }
  if (!thirtyTwoBits)
    return false;
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem > 0;
       xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
         xcb_visualtype_next(&visuals)) {
      if (visuals.data->visual_id == screen->root_visual) {
        return visuals.data->red_mask == 0xFF0000 && visuals.data->green_mask == 0xFF00 &&
               visuals.data->blue_mask == 0xFF;
      }
    }
  }
  return false;
}

struct CaptureArea {
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;

  std::size_t byteCount() const { return std::size_t{width} * height * kBytesPerPixel; }
};

std::optional<CaptureArea> mainDisplayArea(X11Connection& connection) {
  const Rect rect = x11MainDisplayRect(connection);
  if (rect.width < 1 || rect.height < 1)
    return std::nullopt;
  return CaptureArea{static_cast<std::int16_t>(rect.x), static_cast<std::int16_t>(rect.y),
                     static_cast<std::uint16_t>(rect.width),
                     static_cast<std::uint16_t>(rect.height)};
}

XcbReply<xcb_get_image_reply_t> getImage(X11Connection& connection, const CaptureArea& area) {
  xcb_connection_t* c = connection.get();
  xcb_generic_error_t* error = nullptr;
  XcbReply<xcb_get_image_reply_t> reply(
      xcb_get_image_reply(c,
                          xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection.root(), area.x,
                                        area.y, area.width, area.height, ~0u),
                          &error));
  std::free(error);
  if (!reply || static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < area.byteCount())
    return nullptr;
  return reply;
}

// A System V segment attached both here and in the X server. Detached from both when
// destroyed; the id is removed as soon as the server holds it, so the kernel frees the memory
// even when this process dies without cleaning up.
class SharedMemorySegment {
 public:
  static std::unique_ptr<SharedMemorySegment> attach(std::shared_ptr<X11Connection> connection,
                                                     std::size_t size) {
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0)
      return nullptr;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      return nullptr;
    }
    xcb_connection_t* c = connection->get();
    const xcb_shm_seg_t segment = xcb_generate_id(c);
    XcbReply<xcb_generic_error_t> error(
        xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(id),
                                                    /*read_only=*/0)));
    shmctl(id, IPC_RMID, nullptr);
    if (error || connection->hasError()) {
      shmdt(address);
      return nullptr;
    }
    return std::unique_ptr<SharedMemorySegment>(new SharedMemorySegment(
        std::move(connection), segment, static_cast<std::uint8_t*>(address), size));
  }

  ~SharedMemorySegment() {
    if (!connection_->hasError()) {
      xcb_shm_detach(connection_->get(), segment_);
      xcb_flush(connection_->get());
    }
    shmdt(data_);
  }
  SharedMemorySegment(const SharedMemorySegment&) = delete;
  SharedMemorySegment& operator=(const SharedMemorySegment&) = delete;

  xcb_shm_seg_t segment() const { return segment_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  SharedMemorySegment(std::shared_ptr<X11Connection> connection, xcb_shm_seg_t segment,
                      std::uint8_t* data, std::size_t size)
      : connection_(std::move(connection)), segment_(segment), data_(data), size_(size) {}

  std::shared_ptr<X11Connection> connection_;
  xcb_shm_seg_t segment_;
  std::uint8_t* data_;
  std::size_t size_;
};

class X11ScreenCaptureSource final : public ScreenCaptureSource {
 public:
  X11ScreenCaptureSource(std::shared_ptr<X11DisplayConnector> connector, bool trySharedMemory)
      : connector_(std::move(connector)),
        trySharedMemory_(trySharedMemory && isLocalDisplay(connector_->displayName())) {}

  std::optional<CapturedImage> grab() override {
    auto connection = connector_->connection();
    if (!connection)
      return std::nullopt;
    if (connection != connection_) {
      segment_.reset();
      plainImage_.reset();
      connection_ = connection;
      formatSupported_ = hasBGRXLayout(*connection);
      sharedMemoryUsable_ = trySharedMemory_ && connection->hasExtension("MIT-SHM");
    }
    if (!formatSupported_)
      return std::nullopt;
    const auto area = mainDisplayArea(*connection);
    if (!area)
      return std::nullopt;
    if (sharedMemoryUsable_) {
      if (auto image = grabShared(*area))
        return image;
    }
    return grabPlain(*area);
  }

 private:
  std::optional<CapturedImage> grabShared(const CaptureArea& area) {
    if (!segment_ || segment_->size() != area.byteCount()) {
      segment_.reset();
      segment_ = SharedMemorySegment::attach(connection_, area.byteCount());
      if (!segment_) {
        // The server refused the segment (another IPC namespace, a sandbox): stay with
        // GetImage on this connection.
        sharedMemoryUsable_ = false;
        return std::nullopt;
      }
    }
    xcb_connection_t* c = connection_->get();
    const std::uint64_t uptimeNs = monotonicUptimeNanoseconds();
    xcb_generic_error_t* error = nullptr;
    XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, connection_->root(), area.x, area.y, area.width, area.height, ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->segment(), 0),
        &error));
    std::free(error);
    if (!reply || reply->size < area.byteCount())
      return std::nullopt;
    return CapturedImage{segment_->data(), area.width, area.height,
                         std::size_t{area.width} * kBytesPerPixel, uptimeNs};
  }

  std::optional<CapturedImage> grabPlain(const CaptureArea& area) {
    const std::uint64_t uptimeNs = monotonicUptimeNanoseconds();
    plainImage_ = getImage(*connection_, area);
    if (!plainImage_)
      return std::nullopt;
    return CapturedImage{xcb_get_image_data(plainImage_.get()), area.width, area.height,
                         std::size_t{area.width} * kBytesPerPixel, uptimeNs};
  }

  std::shared_ptr<X11DisplayConnector> connector_;
  const bool trySharedMemory_;
  // What the state below was worked out for; a new connection starts over.
  std::shared_ptr<X11Connection> connection_;
  bool formatSupported_ = false;
  bool sharedMemoryUsable_ = false;
  std::unique_ptr<SharedMemorySegment> segment_;
  XcbReply<xcb_get_image_reply_t> plainImage_;
};

}  // namespace

X11ScreenCapture::X11ScreenCapture(std::shared_ptr<X11DisplayConnector> connector,
                                   Transfer transfer)
    : connector_(std::move(connector)), transfer_(transfer) {}

std::unique_ptr<ScreenCaptureSource> X11ScreenCapture::makeSource() {
  return std::make_unique<X11ScreenCaptureSource>(connector_, transfer_ == Transfer::automatic);
}

bool X11ScreenCapture::canCapture() {
  // One pixel through GetImage proves the display answers and its format is one we read,
  // without a full-screen copy.
  auto connection = connector_->connection();
  if (!connection || !hasBGRXLayout(*connection))
    return false;
  auto area = mainDisplayArea(*connection);
  if (!area)
    return false;
  area->width = 1;
  area->height = 1;
  return getImage(*connection, *area) != nullptr;
}

}  // namespace tavolin
