#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/Foundation/TavolinError.hpp"

namespace tavolin {

// What one connection may accumulate before it is answered 400 instead of read further.
inline constexpr std::size_t kLocalHTTPMaxRequestBytes = 16 * 1024 * 1024;
// The most a request head may take, its blank line included. Real heads are a few hundred
// bytes; a peer that sends more without ending it is not a controller.
inline constexpr std::size_t kLocalHTTPMaxHeadBytes = 64 * 1024;

struct LocalHTTPParseResult;

// Where the bytes accumulated on one connection stand. `rejected` is final: the head is
// unparseable (no further byte can change the first header block) or longer than
// kLocalHTTPMaxHeadBytes, Content-Length is negative, or the request announces more than
// kLocalHTTPMaxRequestBytes.
enum class LocalHTTPParseStatus { incomplete, complete, rejected };

// One parsed request of the local server. One request per connection: the whole request is
// accumulated before it is parsed. Plain value; parsing is pure and thread-agnostic.
struct LocalHTTPRequest {
  std::string method;                          // upper-cased
  std::string path;                            // percent-decoded, without the query
  std::map<std::string, std::string> query;    // an item without a value maps to ""
  std::map<std::string, std::string> headers;  // lower-cased names, trimmed values; last wins
  std::string body;                            // exactly Content-Length bytes
  std::string remotePeer;                      // "192.168.1.20:51234", "[fe80::1%en0]:5000"

  // The parsed request, or nothing while `data` is incomplete or unparseable.
  static std::optional<LocalHTTPRequest> parse(std::string_view data, std::string remotePeer);
  // As parse(), telling "wait for more bytes" apart from "answer 400 now".
  static LocalHTTPParseResult inspect(std::string_view data, std::string remotePeer);

  const std::string* header(std::string_view lowerCaseName) const;
};

struct LocalHTTPParseResult {
  LocalHTTPParseStatus status = LocalHTTPParseStatus::incomplete;
  std::optional<LocalHTTPRequest> request;  // set exactly when complete
  // Set once the head is valid (complete, or incomplete while the body is missing).
  std::optional<std::size_t> bodyOffset = std::nullopt;
  std::size_t bodyLength = 0;
};

// Accumulates the bytes of one connection and parses them as they arrive, with work in
// proportion to the bytes received: the head end is searched for in new bytes only, and the
// request is parsed again only once enough body bytes are there. The buffer never holds more
// than the request can use: the head bound until the head is in, then the announced length.
// Not thread-safe.
class LocalHTTPRequestReader {
 public:
  explicit LocalHTTPRequestReader(std::string remotePeer) : remotePeer_(std::move(remotePeer)) {}

  // The buffer's size once prepare(maxBytes) has made room, so that a caller can account for it
  // before it is allocated.
  std::size_t bufferSizeFor(std::size_t maxBytes) const;
  // Room for the next read: at most `maxBytes`, growing with what has arrived.
  std::span<char> prepare(std::size_t maxBytes);
  // The first `count` bytes of the last prepare() were filled. Returns where the request stands;
  // after `complete` or `rejected`, the buffer is let go and further bytes are not looked at.
  LocalHTTPParseStatus commit(std::size_t count);

  LocalHTTPParseStatus status() const { return status_; }
  // The announced body length, once the head is in.
  std::optional<std::size_t> bodyLength() const;
  // Set once commit() has returned `complete`.
  std::optional<LocalHTTPRequest>& request() { return request_; }

 private:
  void inspect(std::string_view data);

  std::string remotePeer_;
  std::vector<char> data_;  // a vector, so that its capacity is exactly what was asked for
  std::size_t used_ = 0;
  std::size_t searchedUpTo_ = 0;  // no head end starts before this offset
  std::size_t completesAt_ = 0;   // 0 until the head has been parsed
  std::size_t bodyLength_ = 0;
  LocalHTTPParseStatus status_ = LocalHTTPParseStatus::incomplete;
  std::optional<LocalHTTPRequest> request_;
};

struct LocalHTTPResponse {
  int statusCode = 200;
  std::string reason = "OK";
  std::string body;
  std::string contentType = "application/json";
  std::map<std::string, std::string> extraHeaders;  // sent after the fixed headers, sorted

  // Head (fixed headers, then the extra ones) and body, ready to send.
  std::string encoded() const;

  static std::string_view reasonFor(int statusCode);
};

// The error every route throws for a non-2xx answer; carries the machine-readable code.
class LocalHTTPError : public TavolinError {
 public:
  enum class Kind { badRequest, unauthorized, forbidden, notFound, internalServerError };

  LocalHTTPError(Kind kind, std::string code) : TavolinError(code), kind_(kind) {}

  static LocalHTTPError badRequest(std::string code) { return {Kind::badRequest, std::move(code)}; }
  static LocalHTTPError unauthorized(std::string code) {
    return {Kind::unauthorized, std::move(code)};
  }
  static LocalHTTPError forbidden(std::string code) { return {Kind::forbidden, std::move(code)}; }
  static LocalHTTPError notFound(std::string code) { return {Kind::notFound, std::move(code)}; }
  static LocalHTTPError internalServerError(std::string description) {
    return {Kind::internalServerError, std::move(description)};
  }

  Kind kind() const { return kind_; }
  const std::string& code() const { return description(); }
  int statusCode() const;

  // {"error":"<code>"} with the status of the kind.
  LocalHTTPResponse response() const;

 private:
  Kind kind_;
};

}  // namespace tavolin
