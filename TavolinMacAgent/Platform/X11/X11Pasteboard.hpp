#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <xcb/xcb.h>

#include "TavolinMacAgent/Platform/Pasteboard.hpp"
#include "TavolinMacAgent/Platform/X11/X11EventThread.hpp"

namespace tavolin {

// The CLIPBOARD selection. After setString an invisible window of ours owns it and serves the
// text as UTF8_STRING, text/plain;charset=utf-8, TEXT and STRING (Latin-1, "?" for what it
// cannot hold), incrementally (INCR) when the text exceeds the server's request size, until
// another client takes the selection. Other clients' copies are counted through XFixes
// selection notifications.
//
// Thread-safe: every call is carried out on the pasteboard's own event thread and waits for
// it; string() waits at most `readTimeout` for another owner. A display that went away is
// connected again on the next call; the change count grows on every new connection, since the
// clipboard may have changed in between. Destruction ends the thread and gives up the
// selection.
class X11Pasteboard final : public Pasteboard {
 public:
  static constexpr std::chrono::milliseconds readTimeout{2000};
  // Longest text taken from another client; bigger copies read as no text.
  static constexpr std::size_t maxReadBytes = 64 * 1024 * 1024;

  explicit X11Pasteboard(std::string displayName);
  ~X11Pasteboard() override;
  X11Pasteboard(const X11Pasteboard&) = delete;
  X11Pasteboard& operator=(const X11Pasteboard&) = delete;

  bool setString(std::string_view text) override;
  // Invalid UTF-8 from another client reads as no text.
  std::optional<std::string> string() override;
  std::int64_t changeCount() override;

 private:
  class Owner;
  std::unique_ptr<Owner> owner_;
};

}  // namespace tavolin
