#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavolin {

// The desktop's clipboard of plain text. Thread-safe. The implementation serves the text it
// set to other applications for as long as it owns the clipboard.
class Pasteboard {
 public:
  virtual ~Pasteboard() = default;

  // Replaces the clipboard with `text` (UTF-8, may be empty); false when the clipboard could
  // not be taken.
  virtual bool setString(std::string_view text) = 0;

  // The clipboard's text as UTF-8, or nothing when it is empty, not text or unreadable. Text
  // held by another application is asked for, which may take a bounded while.
  virtual std::optional<std::string> string() = 0;

  // Grows by at least one on every change of the clipboard, by this process or any other, so
  // a poller can tell that something new was copied.
  virtual std::int64_t changeCount() = 0;
};

}  // namespace tavolin
