#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "TavolinMacAgent/LocalNetwork/LocalHTTP.hpp"

namespace tavolin {
namespace {

using Status = LocalHTTPParseStatus;

Status statusOf(std::string_view data) {
  return LocalHTTPRequest::inspect(data, "peer").status;
}

// Feeds `data` in pieces of at most `step` bytes, as reads deliver them.
Status readInSteps(LocalHTTPRequestReader& reader, std::string_view data, std::size_t step) {
  Status status = reader.status();
  while (!data.empty()) {
    const auto room = reader.prepare(step);
    const std::size_t count = std::min(room.size(), data.size());
    std::copy_n(data.begin(), count, room.begin());
    status = reader.commit(count);
    data.remove_prefix(count);
  }
  return status;
}

TEST(LocalHTTPRequestParsing, CompleteRequest_GivesEveryPart) {
  const std::string data =
      "post  /a%20b/c%2Fd?x=1&flag&empty=&p=a+b&x=2 HTTP/1.1\r\n"
      "Host: agent.local\r\n"
      "Authorization: Bearer one\r\n"
      "authorization: \t Bearer two  \r\n"
      "a line without a colon\r\n"
      "X-Odd: value: with colon\r\n"
      "Content-Length: 4\r\n"
      "\r\n"
      "bodyEXTRA";
  const auto request = LocalHTTPRequest::parse(data, "192.168.1.20:51234");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->method, "POST");
  EXPECT_EQ(request->path, "/a b/c/d");
  const std::map<std::string, std::string> query{
      {"x", "2"}, {"flag", ""}, {"empty", ""}, {"p", "a+b"}};
  EXPECT_EQ(request->query, query);
  const std::map<std::string, std::string> headers{{"host", "agent.local"},
                                                   {"authorization", "Bearer two"},
                                                   {"x-odd", "value: with colon"},
                                                   {"content-length", "4"}};
  EXPECT_EQ(request->headers, headers);
  ASSERT_NE(request->header("authorization"), nullptr);
  EXPECT_EQ(request->header("Authorization"), nullptr);
  EXPECT_EQ(request->body, "body");
  EXPECT_EQ(request->remotePeer, "192.168.1.20:51234");
}

TEST(LocalHTTPRequestParsing, TargetForms_GivePathAndQuery) {
  const auto parsed = [](std::string target) {
    return LocalHTTPRequest::parse("GET " + target + "\r\n\r\n", "peer");
  };
  auto request = parsed("http://agent.local:57852/v1/status?q=%E2%9C%93");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->path, "/v1/status");
  EXPECT_EQ(request->query.at("q"), "\u2713");
  request = parsed("/?");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->path, "/");
  EXPECT_TRUE(request->query.empty());
  request = parsed("*");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->path, "*");
  // Not a URL reference: never a request, however many bytes follow.
  EXPECT_EQ(statusOf("GET /a|b HTTP/1.1\r\n\r\n"), Status::rejected);
  EXPECT_EQ(statusOf("GET /%zz HTTP/1.1\r\n\r\n"), Status::rejected);
}

TEST(LocalHTTPRequestParsing, MissingBytes_GiveNoRequestUntilTheLastBodyByte) {
  EXPECT_EQ(statusOf(""), Status::incomplete);
  EXPECT_EQ(statusOf("GET / HTTP/1.1\r\nHost: x\r\n\r"), Status::incomplete);
  EXPECT_EQ(statusOf("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345"), Status::incomplete);
  EXPECT_EQ(statusOf("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n123456789"), Status::incomplete);
  const auto request =
      LocalHTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789", "p");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->body, "0123456789");
  // A length that is not a number counts as no length.
  const auto unnumbered =
      LocalHTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length: ten\r\n\r\nabc", "p");
  ASSERT_TRUE(unnumbered);
  EXPECT_EQ(unnumbered->body, "");
}

TEST(LocalHTTPRequestParsing, UnusableHead_IsRejected) {
  EXPECT_EQ(statusOf("GET\r\n\r\n"), Status::rejected);
  EXPECT_EQ(statusOf("   GET    \r\n\r\n"), Status::rejected);
  EXPECT_EQ(statusOf("\r\n\r\nGET / HTTP/1.1\r\n\r\n"), Status::rejected);
  EXPECT_EQ(statusOf("GET / HTTP/1.1\r\nX-Name: caf\xC3\r\n\r\n"), Status::rejected);
  EXPECT_EQ(statusOf("GET / HTTP/1.1\r\nX-Name: \xED\xA0\x80\r\n\r\n"), Status::rejected);
  // Invalid UTF-8 in the body is the route's business.
  EXPECT_EQ(statusOf("POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\n\xFF"), Status::complete);
  EXPECT_EQ(statusOf("GET / HTTP/1.1\r\nX-Name: caf\xC3\xA9\r\n\r\n"), Status::complete);
}

TEST(LocalHTTPRequestParsing, LengthBounds_RejectNegativeAndOversizedRequests) {
  EXPECT_EQ(statusOf("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"), Status::rejected);
  EXPECT_EQ(statusOf("POST / HTTP/1.1\r\nContent-Length: -0\r\n\r\n"), Status::complete);
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: ";
  const std::size_t headBytes = head.size() + 8 + 4;  // eight digits, then the blank line
  const auto withLength = [&](std::size_t length) {
    return head + std::to_string(length) + "\r\n\r\n";
  };
  ASSERT_EQ(withLength(kLocalHTTPMaxRequestBytes - headBytes).size(), headBytes);
  EXPECT_EQ(statusOf(withLength(kLocalHTTPMaxRequestBytes - headBytes)), Status::incomplete);
  EXPECT_EQ(statusOf(withLength(kLocalHTTPMaxRequestBytes - headBytes + 1)), Status::rejected);
  // Past 64 bits the length is "not a number", hence 0.
  EXPECT_EQ(statusOf(head + "99999999999999999999\r\n\r\n"), Status::complete);

  // A head may take kLocalHTTPMaxHeadBytes, its blank line included, and not a byte more.
  std::string fill = "GET / HTTP/1.1\r\nX-Fill: ";
  fill.resize(kLocalHTTPMaxHeadBytes - 4, 'a');
  EXPECT_EQ(statusOf(fill + "\r\n\r\n"), Status::complete);
  EXPECT_EQ(statusOf(fill + "\r\n\r"), Status::incomplete);
  fill.push_back('a');
  EXPECT_EQ(statusOf(fill + "\r\n\r\n"), Status::rejected);
  EXPECT_EQ(statusOf(fill + "\r\n"), Status::incomplete);
  EXPECT_EQ(statusOf(fill + "\r\na"), Status::rejected);
}

TEST(LocalHTTPRequestReader, PiecesOfAnySize_GiveTheSameRequestAsOneParse) {
  const std::string data =
      "PUT /x?y=z HTTP/1.1\r\nContent-Length: 11\r\nX-A: 1\r\n\r\nhello world trailing";
  const auto whole = LocalHTTPRequest::parse(data, "peer");
  ASSERT_TRUE(whole);
  for (std::size_t step : {1u, 2u, 3u, 7u, 64u}) {
    LocalHTTPRequestReader reader("peer");
    const std::size_t lastBodyByte = data.find("hello") + 11;
    EXPECT_EQ(readInSteps(reader, data.substr(0, lastBodyByte - 1), step), Status::incomplete);
    EXPECT_EQ(readInSteps(reader, data.substr(lastBodyByte - 1), step), Status::complete);
    ASSERT_TRUE(reader.request());
    EXPECT_EQ(reader.request()->body, whole->body);
    EXPECT_EQ(reader.request()->headers, whole->headers);
    EXPECT_EQ(reader.request()->query, whole->query);
  }
}

TEST(LocalHTTPRequestReader, HeadEndAcrossReadsAndOversizedHeads_AreSeen) {
  LocalHTTPRequestReader split("peer");
  EXPECT_EQ(readInSteps(split, "GET / HTTP/1.1\r\n\r", 100), Status::incomplete);
  EXPECT_EQ(readInSteps(split, "\n", 1), Status::complete);

  LocalHTTPRequestReader endless("peer");
  EXPECT_EQ(readInSteps(endless, "GET / HTTP/1.1\r\nX-Fill: ", 100), Status::incomplete);
  EXPECT_EQ(readInSteps(endless, std::string(kLocalHTTPMaxHeadBytes, 'a'), 4096), Status::rejected);
  // Rejection is final.
  EXPECT_EQ(readInSteps(endless, "\r\n\r\n", 4), Status::rejected);
  EXPECT_FALSE(endless.request());
}

TEST(LocalHTTPResponseEncoding, Head_HasTheFixedLinesThenSortedExtraHeaders) {
  LocalHTTPResponse response;
  response.statusCode = 200;
  response.reason = "OK";
  response.contentType = "text/html; charset=utf-8";
  response.body = "<p>\xC3\xA9</p>";
  response.extraHeaders = {{"X-Frame-Options", "DENY"},
                           {"Cache-Control", "no-store"},
                           {"Referrer-Policy", "no-referrer"},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Content-Security-Policy", "default-src 'self'"}};
  EXPECT_EQ(response.encoded(),
            "HTTP/1.1 200 OK\r\n"
            "Content-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 9\r\n"
            "Connection: close\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Headers: Authorization, Content-Type\r\n"
            "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
            "Cache-Control: no-store\r\n"
            "Content-Security-Policy: default-src 'self'\r\n"
            "Referrer-Policy: no-referrer\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "X-Frame-Options: DENY\r\n"
            "\r\n"
            "<p>\xC3\xA9</p>");

  LocalHTTPResponse empty;
  empty.statusCode = 204;
  empty.reason = "No Content";
  EXPECT_TRUE(
      empty.encoded().ends_with("Content-Length: 0\r\n"
                                "Connection: close\r\n"
                                "Access-Control-Allow-Origin: *\r\n"
                                "Access-Control-Allow-Headers: Authorization, "
                                "Content-Type\r\n"
                                "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                                "\r\n"));
}

TEST(LocalHTTPResponseEncoding, ReasonPhrases_CoverTheKnownCodesAndFallBack) {
  EXPECT_EQ(LocalHTTPResponse::reasonFor(200), "OK");
  EXPECT_EQ(LocalHTTPResponse::reasonFor(201), "Created");
  EXPECT_EQ(LocalHTTPResponse::reasonFor(204), "No Content");
  EXPECT_EQ(LocalHTTPResponse::reasonFor(400), "Bad Request");
  EXPECT_EQ(LocalHTTPResponse::reasonFor(401), "Unauthorized");
  EXPECT_EQ(LocalHTTPResponse::reasonFor(403), "Forbidden");
  EXPECT_EQ(LocalHTTPResponse::reasonFor(404), "Not Found");
  EXPECT_EQ(LocalHTTPResponse::reasonFor(202), "Internal Server Error");
  EXPECT_EQ(LocalHTTPResponse::reasonFor(500), "Internal Server Error");
}

TEST(LocalHTTPErrorResponse, EachKind_GivesItsStatusAndAOneMemberBody) {
  const auto notFound = LocalHTTPError::notFound("session_not_found").response();
  EXPECT_EQ(notFound.statusCode, 404);
  EXPECT_EQ(notFound.reason, "Not Found");
  EXPECT_EQ(notFound.contentType, "application/json");
  EXPECT_TRUE(notFound.extraHeaders.empty());
  EXPECT_EQ(notFound.body, R"({"error":"session_not_found"})");
  EXPECT_EQ(LocalHTTPError::badRequest("invalid_json_body").response().statusCode, 400);
  EXPECT_EQ(LocalHTTPError::unauthorized("too_many_auth_failures").response().reason,
            "Unauthorized");
  EXPECT_EQ(LocalHTTPError::forbidden("remote_peer_blocked").response().statusCode, 403);
  const auto internal = LocalHTTPError::internalServerError("disk full").response();
  EXPECT_EQ(internal.statusCode, 500);
  EXPECT_EQ(internal.reason, "Internal Server Error");
  EXPECT_EQ(internal.body, R"({"error":"disk full"})");
}

}  // namespace
}  // namespace tavolin
