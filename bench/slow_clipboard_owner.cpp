// Another application on the display that copies text and then never answers a request for
// it, as a hung application does: whoever reads the clipboard waits out its own timeout. It
// copies again every 250 ms, so that a poller finds a new clipboard each time it looks.
// Runs until killed or until the display goes away.
//   slow_clipboard_owner <display>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <xcb/xcb.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: slow_clipboard_owner <display>\n");
    return 64;
  }
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(argv[1], &screenNumber);
  if (xcb_connection_has_error(connection)) {
    std::fprintf(stderr, "cannot open display %s\n", argv[1]);
    return 1;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber; ++i)
    xcb_screen_next(&screens);
  const xcb_window_t window = xcb_generate_id(connection);
  xcb_create_window(connection, 0, window, screens.data->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  constexpr const char* kClipboard = "CLIPBOARD";
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, std::strlen(kClipboard), kClipboard), nullptr);
  if (reply == nullptr)
    return 1;
  const xcb_atom_t clipboard = reply->atom;
  std::free(reply);

  for (;;) {
    xcb_set_selection_owner(connection, window, clipboard, XCB_CURRENT_TIME);
    xcb_flush(connection);
    // Requests for the text are read and dropped, never answered.
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection))
      std::free(event);
    if (xcb_connection_has_error(connection))
      return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}
