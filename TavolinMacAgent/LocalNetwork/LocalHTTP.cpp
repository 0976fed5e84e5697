#include "TavolinMacAgent/LocalNetwork/LocalHTTP.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Foundation/UTF8.hpp"

namespace tavolin {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

// ASCII only: header names and methods are tokens, and other UTF-8 bytes must pass untouched.
std::string withCase(std::string_view text, bool upper) {
  std::string result(text);
  for (char& character : result) {
    if (upper && character >= 'a' && character <= 'z')
      character = static_cast<char>(character - 'a' + 'A');
    else if (!upper && character >= 'A' && character <= 'Z')
      character = static_cast<char>(character - 'A' + 'a');
  }
  return result;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const auto at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos)
      return pieces;
    text.remove_prefix(at + separator.size());
  }
}

LocalHTTPParseResult rejected() {
  return {LocalHTTPParseStatus::rejected, std::nullopt};
}

// Where bytes holding no head end stand: once they reach the bound, any head end still to come
// would end past it.
LocalHTTPParseStatus withoutHeadEnd(std::size_t size) {
  return size >= kLocalHTTPMaxHeadBytes ? LocalHTTPParseStatus::rejected
                                        : LocalHTTPParseStatus::incomplete;
}

}  // namespace

LocalHTTPParseResult LocalHTTPRequest::inspect(std::string_view data, std::string remotePeer) {
  const auto headEnd = data.find(kHeadEnd);
  if (headEnd == std::string_view::npos)
    return {withoutHeadEnd(data.size()), std::nullopt};
  const std::size_t bodyOffset = headEnd + kHeadEnd.size();
  if (bodyOffset > kLocalHTTPMaxHeadBytes)
    return rejected();
  const std::string_view head = data.substr(0, headEnd);
  if (!isValidUTF8(head))
    return rejected();

  const std::vector<std::string_view> lines = split(head, "\r\n");
  std::vector<std::string_view> requestLine;
  for (std::string_view piece : split(lines.front(), " ")) {
    if (!piece.empty())
      requestLine.push_back(piece);
  }
  if (requestLine.size() < 2)
    return rejected();
  const auto target = boost::urls::parse_uri_reference(requestLine[1]);
  if (!target)
    return rejected();

  LocalHTTPRequest request;
  for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
    const auto colon = line->find(':');
    if (colon == std::string_view::npos)
      continue;
    request.headers.insert_or_assign(withCase(line->substr(0, colon), false),
                                     std::string(trimmed(line->substr(colon + 1))));
  }

  std::int64_t contentLength = 0;
  if (const std::string* text = request.header("content-length")) {
    contentLength = parseInteger(*text).value_or(0);
  }
  // Negative lengths mean nothing; lengths past the bound would only make us wait for bytes we
  // would refuse to hold.
  if (contentLength < 0 ||
      static_cast<std::uint64_t>(contentLength) > kLocalHTTPMaxRequestBytes - bodyOffset)
    return rejected();
  const auto bodyLength = static_cast<std::size_t>(contentLength);
  if (data.size() - bodyOffset < bodyLength)
    return {LocalHTTPParseStatus::incomplete, std::nullopt, bodyOffset, bodyLength};

  request.path = target->path();
  // An empty query has no items (a lone "?" is not an item with an empty name).
  if (!target->query().empty()) {
    // A "+" stays a plus: query items decode percent-escapes only.
    boost::urls::encoding_opts options;
    options.space_as_plus = false;
    for (const auto& item : target->params(options))
      request.query.insert_or_assign(item.key, item.has_value ? item.value : std::string());
  }
  request.method = withCase(requestLine[0], true);
  request.body = std::string(data.substr(bodyOffset, bodyLength));
  request.remotePeer = std::move(remotePeer);
  return {LocalHTTPParseStatus::complete, std::move(request), bodyOffset, bodyLength};
}

std::optional<LocalHTTPRequest> LocalHTTPRequest::parse(std::string_view data,
                                                        std::string remotePeer) {
  return inspect(data, std::move(remotePeer)).request;
}

std::size_t LocalHTTPRequestReader::bufferSizeFor(std::size_t maxBytes) const {
  // Small requests stay small; big bodies are read in big steps.
  constexpr std::size_t kFirstRead = 4096;
  const std::size_t limit = completesAt_ != 0 ? completesAt_ : kLocalHTTPMaxHeadBytes;
  const std::size_t room =
      std::min({maxBytes, std::max(kFirstRead, used_), limit - std::min(limit, used_)});
  return std::max(data_.capacity(), used_ + room);
}

std::span<char> LocalHTTPRequestReader::prepare(std::size_t maxBytes) {
  const std::size_t size = bufferSizeFor(maxBytes);
  // reserve() first: resize() alone may allocate up to twice what it needs.
  data_.reserve(size);
  data_.resize(size);
  return {data_.data() + used_, data_.size() - used_};
}

LocalHTTPParseStatus LocalHTTPRequestReader::commit(std::size_t count) {
  if (status_ != LocalHTTPParseStatus::incomplete)
    return status_;
  used_ += std::min(count, data_.size() - used_);
  data_.resize(used_);
  const std::string_view data(data_.data(), used_);
  if (completesAt_ == 0) {
    // The end may straddle the previous read, hence the look back.
    const std::size_t from =
        searchedUpTo_ >= kHeadEnd.size() ? searchedUpTo_ - (kHeadEnd.size() - 1) : 0;
    if (data.find(kHeadEnd, from) == std::string_view::npos) {
      searchedUpTo_ = used_;
      status_ = withoutHeadEnd(used_);
    } else {
      inspect(data);
    }
  } else if (used_ >= completesAt_) {
    inspect(data);
  }
  if (status_ != LocalHTTPParseStatus::incomplete) {
    std::vector<char>().swap(data_);
    used_ = 0;
  }
  return status_;
}

void LocalHTTPRequestReader::inspect(std::string_view data) {
  auto result = LocalHTTPRequest::inspect(data, remotePeer_);
  status_ = result.status;
  request_ = std::move(result.request);
  if (result.bodyOffset) {
    completesAt_ = *result.bodyOffset + result.bodyLength;
    bodyLength_ = result.bodyLength;
  }
}

std::optional<std::size_t> LocalHTTPRequestReader::bodyLength() const {
  if (completesAt_ == 0)
    return std::nullopt;
  return bodyLength_;
}

const std::string* LocalHTTPRequest::header(std::string_view lowerCaseName) const {
  const auto found = headers.find(std::string(lowerCaseName));
  return found == headers.end() ? nullptr : &found->second;
}

std::string LocalHTTPResponse::encoded() const {
  std::string result;
  result.reserve(256 + body.size());
  result.append("HTTP/1.1 ").append(std::to_string(statusCode)).append(" ").append(reason);
  result.append("\r\nContent-Type: ").append(contentType);
  result.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  result.append(
      "\r\nConnection: close"
      "\r\nAccess-Control-Allow-Origin: *"
      "\r\nAccess-Control-Allow-Headers: Authorization, Content-Type"
      "\r\nAccess-Control-Allow-Methods: GET, POST, OPTIONS");
  // std::map iterates in ascending name order.
  for (const auto& [name, value] : extraHeaders)
    result.append("\r\n").append(name).append(": ").append(value);
  result.append("\r\n\r\n").append(body);
  return result;
}

std::string_view LocalHTTPResponse::reasonFor(int statusCode) {
  switch (statusCode) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    default:
      return "Internal Server Error";
  }
}

int LocalHTTPError::statusCode() const {
  switch (kind_) {
    case Kind::badRequest:
      return 400;
    case Kind::unauthorized:
      return 401;
    case Kind::forbidden:
      return 403;
    case Kind::notFound:
      return 404;
    case Kind::internalServerError:
      return 500;
  }
  return 500;
}

LocalHTTPResponse LocalHTTPError::response() const {
  LocalHTTPResponse response;
  response.statusCode = statusCode();
  response.reason = std::string(LocalHTTPResponse::reasonFor(response.statusCode));
  response.contentType = "application/json";
  // Codes are snake_case ASCII, so plain concatenation is valid JSON.
  response.body = "{\"error\":\"" + code() + "\"}";
  return response;
}

}  // namespace tavolin
