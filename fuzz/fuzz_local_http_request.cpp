// Feeds arbitrary bytes to the local server's request parser the way a connection delivers
// them: in reads whose boundaries fall anywhere. Nothing may throw, the reader must agree with
// one parse of the whole input, and neither a parsed request nor the reader's buffer may pass
// the size bounds.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavolinMacAgent/LocalNetwork/LocalHTTP.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  // The first byte picks the read size; the rest is what the peer sent.
  const std::size_t readSize = data[0] % 32 + 1;
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  const auto whole = tavolin::LocalHTTPRequest::inspect(bytes, "192.168.1.20:51234");
  if (whole.status == tavolin::LocalHTTPParseStatus::complete) {
    if (!whole.request || whole.request->body.size() > bytes.size() || !whole.bodyOffset ||
        *whole.bodyOffset > tavolin::kLocalHTTPMaxHeadBytes)
      std::abort();
    // The encoder must take whatever the parser produced.
    tavolin::LocalHTTPResponse response;
    response.body = whole.request->body;
    response.extraHeaders = whole.request->headers;
    (void)response.encoded();
  }

  tavolin::LocalHTTPRequestReader reader("192.168.1.20:51234");
  auto status = reader.status();
  // Until the head is in, the reader knows no more than the head bound; then the request's end.
  const std::size_t bufferBound =
      std::max(tavolin::kLocalHTTPMaxHeadBytes, whole.bodyOffset.value_or(0) + whole.bodyLength);
  while (!bytes.empty() && status == tavolin::LocalHTTPParseStatus::incomplete) {
    if (reader.bufferSizeFor(readSize) > bufferBound)
      std::abort();
    const auto room = reader.prepare(readSize);
    const std::size_t count = std::min(room.size(), bytes.size());
    std::copy_n(bytes.begin(), count, room.begin());
    bytes.remove_prefix(count);
    status = reader.commit(count);
  }
  // The reader stops at the first complete request; a later byte cannot change the whole parse
  // into something else, except when it is still incomplete at the end.
  if (status != whole.status)
    std::abort();
  if (status == tavolin::LocalHTTPParseStatus::complete) {
    const auto& request = *reader.request();
    if (request.method != whole.request->method || request.path != whole.request->path ||
        request.query != whole.request->query || request.headers != whole.request->headers ||
        request.body != whole.request->body)
      std::abort();
  }
  return 0;
}
