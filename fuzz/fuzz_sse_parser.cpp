// Feeds arbitrary bytes to the signal event stream's line splitting and SSE framing, the way a
// stream body arrives: in chunks whose boundaries fall anywhere. Nothing may throw, and the
// events must not depend on where the chunks were cut.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/ControlPlane/HTTPClient.hpp"
#include "TavolinCore/ControlPlane/TavolinSignalEventStream.hpp"

namespace {

std::vector<tavolin::TavolinSignalEvent> eventsOf(std::string_view body, std::size_t chunkSize) {
  tavolin::LineSplitter splitter(1024 * 1024);
  tavolin::SignalEventLineParser parser;
  std::vector<tavolin::TavolinSignalEvent> events;
  const auto take = [&](const std::string& line) {
    if (auto event = parser.feedLine(line))
      events.push_back(std::move(*event));
  };
  for (std::size_t offset = 0; offset < body.size(); offset += chunkSize) {
    splitter.feed(body.substr(offset, chunkSize));
    while (auto line = splitter.nextLine())
      take(*line);
  }
  if (auto last = splitter.finish())
    take(*last);
  if (auto event = parser.finish())
    events.push_back(std::move(*event));
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  // The first byte picks the chunk size; the rest is the body.
  const std::size_t chunkSize = data[0] % 16 + 1;
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  if (eventsOf(body, chunkSize) != eventsOf(body, body.size() + 1))
    std::abort();

  // parse() on its own, with the first line as the event name.
  const auto newline = body.find('\n');
  const std::optional<std::string> name = newline == std::string_view::npos
                                              ? std::nullopt
                                              : std::optional<std::string>(body.substr(0, newline));
  tavolin::TavolinSignalEventStream::parse(
      name, newline == std::string_view::npos ? body : body.substr(newline + 1));
  return 0;
}
