#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/TavolinError.hpp"

namespace tavolin {

// One parsed request of the local server. One request per connection: the whole request is
// accumulated before it is parsed.
struct LocalHTTPRequest {
  std::string method;                          // upper-cased
  std::string path;                            // percent-decoded, without the query
  std::map<std::string, std::string> query;    // an item without a value maps to ""
  std::map<std::string, std::string> headers;  // lower-cased names, trimmed values; last wins
  std::string body;                            // exactly Content-Length bytes
  std::string remotePeer;                      // "192.168.1.20:51234", "[fe80::1%en0]:5000"

  // The parsed request, or nothing while `data` is incomplete or unparseable.
  static std::optional<LocalHTTPRequest> parse(std::string_view data, std::string remotePeer);

  const std::string* header(std::string_view lowerCaseName) const;
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
