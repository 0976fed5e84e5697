#include "tests/support/X11EventRecorder.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include <X11/keysym.h>
#include <poll.h>

namespace tavolin::testing {
namespace {

template <class Reply>
struct Freed {
  Reply* reply;
  ~Freed() { std::free(reply); }
};

}  // namespace

X11EventRecorder::X11EventRecorder(const std::string& displayName, int x, int y, int width,
                                   int height)
    : connection_(xcb_connect(displayName.c_str(), nullptr)) {
  if (xcb_connection_has_error(connection_)) {
    xcb_disconnect(connection_);
    throw std::runtime_error("cannot open " + displayName);
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  window_ = xcb_generate_id(connection_);
  const std::uint32_t values[] = {screen->black_pixel, 1,
                                  XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                      XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                      XCB_EVENT_MASK_POINTER_MOTION};
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root,
                    static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                    static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_map_window(connection_, window_);
  // Mapped first: only a viewable window can take the focus.
  xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
  readMapping();
  reader_ = std::thread([this] { run(); });
}

X11EventRecorder::~X11EventRecorder() {
  stopping_ = true;
  reader_.join();
  xcb_disconnect(connection_);
}

void X11EventRecorder::readMapping() {
  const std::vector<std::uint32_t> fresh = keyboardMapping();
  if (fresh.empty())
    return;
  perKeycode_ = static_cast<std::uint8_t>(fresh.front());
  mapping_.assign(fresh.begin() + 1, fresh.end());
}

std::vector<std::uint32_t> X11EventRecorder::keyboardMapping() const {
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  Freed<xcb_get_keyboard_mapping_reply_t> reply{xcb_get_keyboard_mapping_reply(
      connection_,
      xcb_get_keyboard_mapping(
          connection_, setup->min_keycode,
          static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
      nullptr)};
  if (reply.reply == nullptr)
    return {};
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.reply);
  std::vector<std::uint32_t> mapping{reply.reply->keysyms_per_keycode};
  mapping.insert(mapping.end(), keysyms,
                 keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.reply));
  return mapping;
}

void X11EventRecorder::run() {
  const std::uint8_t minKeycode = xcb_get_setup(connection_)->min_keycode;
  const auto keysymOf = [&](std::uint8_t keycode, std::uint16_t state) -> std::uint32_t {
    const std::size_t row = static_cast<std::size_t>(keycode - minKeycode) * perKeycode_;
    if (perKeycode_ < 2 || row + 1 >= mapping_.size())
      return 0;
    // The core rule: the shifted level, or the plain one where the shifted is empty.
    const std::uint32_t shifted = mapping_[row + 1];
    return (state & XCB_MOD_MASK_SHIFT) && shifted != 0 ? shifted : mapping_[row];
  };
  pollfd descriptor{xcb_get_file_descriptor(connection_), POLLIN, 0};
  while (!stopping_ && !xcb_connection_has_error(connection_)) {
    while (xcb_generic_event_t* generic = xcb_poll_for_event(connection_)) {
      Freed<xcb_generic_event_t> owned{generic};
      Event event;
      switch (generic->response_type & 0x7F) {
        case XCB_MAPPING_NOTIFY: {
          if (reinterpret_cast<xcb_mapping_notify_event_t*>(generic)->request ==
              XCB_MAPPING_KEYBOARD) {
            readMapping();
          }
          continue;
        }
        case XCB_KEY_PRESS:
        case XCB_KEY_RELEASE: {
          auto* key = reinterpret_cast<xcb_key_press_event_t*>(generic);
          event = {(generic->response_type & 0x7F) == XCB_KEY_PRESS ? Event::Type::keyPress
                                                                    : Event::Type::keyRelease,
                   key->detail,
                   keysymOf(key->detail, key->state),
                   key->state,
                   key->root_x,
                   key->root_y};
          break;
        }
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE: {
          auto* button = reinterpret_cast<xcb_button_press_event_t*>(generic);
          event = {(generic->response_type & 0x7F) == XCB_BUTTON_PRESS ? Event::Type::buttonPress
                                                                       : Event::Type::buttonRelease,
                   button->detail,
                   0,
                   button->state,
                   button->root_x,
                   button->root_y};
          break;
        }
        case XCB_MOTION_NOTIFY: {
          auto* motion = reinterpret_cast<xcb_motion_notify_event_t*>(generic);
          event = {Event::Type::motion, 0, 0, motion->state, motion->root_x, motion->root_y};
          break;
        }
        default:
          continue;
      }
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      changed_.notify_all();
    }
    poll(&descriptor, 1, 20);
  }
}

std::vector<X11EventRecorder::Event> X11EventRecorder::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

bool X11EventRecorder::waitUntil(const std::function<bool(const std::vector<Event>&)>& done) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return done(events_); });
}

X11Events eventsOfType(const X11Events& events, X11EventRecorder::Event::Type type) {
  X11Events found;
  std::copy_if(events.begin(), events.end(), std::back_inserter(found),
               [type](const auto& event) { return event.type == type; });
  return found;
}

std::vector<std::uint32_t> typedKeySyms(const X11Events& events) {
  const std::uint32_t modifiers[] = {XK_Shift_L, XK_Control_L, XK_Alt_L, XK_Super_L};
  std::vector<std::uint32_t> typed;
  for (const auto& event : eventsOfType(events, X11EventRecorder::Event::Type::keyPress)) {
    if (std::find(std::begin(modifiers), std::end(modifiers), event.keysym) == std::end(modifiers))
      typed.push_back(event.keysym);
  }
  return typed;
}

}  // namespace tavolin::testing
