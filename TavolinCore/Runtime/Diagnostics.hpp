#pragma once

#include <exception>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace tavolin {

// Where the process says what went wrong and where it stands: marker lines and failures of
// work nobody awaits. Each line is written whole, so lines from different threads never mix.
// Callable from any thread.
void writeDiagnosticLine(std::ostream& sink, std::string_view line);

// `text` as one field of a diagnostics line: control characters become spaces, so that text from
// outside (a server's message, a manifest) never starts a line of its own that readers of the
// stream would take for a marker.
std::string singleLine(std::string text);

// Standard error, the sink of the running programs.
std::ostream& standardDiagnostics();

// A failure as the person at this computer reads it (a status line, the menu): a Tavolin error's
// description, a system error's plain message ("Connection refused") without the category and
// number its what() appends, anything else's what().
std::string userFacingDescription(const std::exception& error);

// What a failure was, for a diagnostics line: the error's description, or nothing for no
// failure and for a cancellation, which is how work is meant to stop.
std::optional<std::string> describeFailure(std::exception_ptr failure);

// A co_spawn completion handler for work nobody awaits: a failure other than cancellation
// becomes one line "<prefix> <description>" on `sink`, which must outlive the work.
inline auto reportFailureTo(std::ostream& sink, std::string prefix) {
  return [&sink, prefix = std::move(prefix)](std::exception_ptr failure) {
    if (const auto description = describeFailure(failure))
      writeDiagnosticLine(sink, prefix + " " + *description);
  };
}

}  // namespace tavolin
