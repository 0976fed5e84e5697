// Server-sent-events framing, event parsing and line splitting, without a socket.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "TavolinCore/ControlPlane/HTTPClient.hpp"
#include "TavolinCore/ControlPlane/TavolinSignalEventStream.hpp"

namespace tavolin {

void PrintTo(const TavolinSignalEvent& event, std::ostream* out) {
  static constexpr const char* names[] = {"ready", "signal", "heartbeat", "close", "error"};
  *out << names[event.value.index()];
  if (const auto* error = std::get_if<TavolinSignalEvent::Error>(&event.value))
    *out << "(" << error->message << ")";
}

namespace {

using Events = std::vector<TavolinSignalEvent>;

const std::string signalJSON =
    R"({"sequence":7,"id":"sig_7","sessionId":"s1","ownerId":"o1","controllerId":"c1",)"
    R"("deviceId":"d1","sender":"controller","type":"offer","payload":{"sdp":"v=0"},)"
    R"("createdAt":"2024-05-01T10:00:00.000Z"})";

const std::string signalEnvelope = R"({"signal":)" + signalJSON + "}";

TavolinSignal expectedSignal() {
  TavolinSignal signal;
  signal.sequence = 7;
  signal.id = "sig_7";
  signal.sessionId = "s1";
  signal.ownerId = "o1";
  signal.controllerId = "c1";
  signal.deviceId = "d1";
  signal.sender = "controller";
  signal.type = "offer";
  signal.payload = JSONObject{{"sdp", "v=0"}};
  signal.createdAt = "2024-05-01T10:00:00.000Z";
  return signal;
}

// Feeds the lines, then ends the body; collects every event in order.
Events feed(const std::vector<std::string>& lines) {
  SignalEventLineParser parser;
  Events events;
  for (const auto& line : lines) {
    if (auto event = parser.feedLine(line))
      events.push_back(*event);
  }
  if (auto event = parser.finish())
    events.push_back(*event);
  return events;
}

TEST(SignalEventLineParser, DataLines_JoinedWithNewlineAndOneSpaceStripped) {
  // An envelope split over two data lines is one JSON text once joined.
  EXPECT_EQ(feed({"event: ready", R"(data: {"afterSequence":)", R"(data: 12})", ""}),
            Events{TavolinSignalEvent::ready(12, std::nullopt)});

  // No space after the colon reads the same as one space.
  EXPECT_EQ(feed({"event:heartbeat", R"(data:{"afterSequence":3,"sentAt":"t"})", ""}),
            Events{TavolinSignalEvent::heartbeat(3, "t")});

  // Only the first space goes; a line without a colon is a field with an empty value.
  EXPECT_EQ(feed({"event: error", "data:  two spaces", "data", "data: end", ""}),
            Events{TavolinSignalEvent::error(" two spaces\n\nend")});
}

TEST(SignalEventLineParser, CommentsAndOtherFields_AreIgnored) {
  EXPECT_EQ(feed({": keep-alive", "id: 41", "retry: 1000", "event: close", ":data: nope",
                  R"(data: {"afterSequence":41,"reason":"session_ended"})", ""}),
            Events{TavolinSignalEvent::close(41, std::nullopt, "session_ended")});
  // A comment line is not an empty line: it does not dispatch.
  EXPECT_EQ(feed({"event: error", "data: x", ":", "data: y", ""}),
            Events{TavolinSignalEvent::error("x\ny")});
}

TEST(SignalEventLineParser, Dispatch_ClearsNameAndDataForTheNextEvent) {
  // A name without data yields nothing, and is not carried into the next block.
  EXPECT_EQ(feed({"event: ready", "", "data: " + signalEnvelope, ""}),
            Events{TavolinSignalEvent::signal(expectedSignal())});

  EXPECT_EQ(
      feed({"event: ready", R"(data: {"afterSequence":1})", "", "data: " + signalEnvelope, "",
            "event: error", "data: boom", ""}),
      (Events{TavolinSignalEvent::ready(1, std::nullopt),
              TavolinSignalEvent::signal(expectedSignal()), TavolinSignalEvent::error("boom")}));

  // Repeated blank lines dispatch nothing.
  EXPECT_EQ(feed({"", "", ""}), Events{});
}

TEST(SignalEventLineParser, EndOfBody_DispatchesOnlyAPendingEventWithData) {
  EXPECT_EQ(feed({"event: heartbeat", R"(data: {"afterSequence":9})"}),
            Events{TavolinSignalEvent::heartbeat(9, std::nullopt)});
  EXPECT_EQ(feed({"event: ready"}), Events{});
  EXPECT_EQ(feed({}), Events{});
}

TEST(SignalEventLineParser, MalformedOrOversizedEvent_IsSkippedAndStreamContinues) {
  EXPECT_EQ(feed({"data: {not json", "", "event: heartbeat", R"(data: {"afterSequence":"x"})", "",
                  "data: " + signalEnvelope, ""}),
            Events{TavolinSignalEvent::signal(expectedSignal())});

  SignalEventLineParser parser;
  const std::string big(1024 * 1024, 'x');
  for (std::size_t i = 0; i <= SignalEventLineParser::maxEventDataBytes / big.size(); ++i)
    EXPECT_EQ(parser.feedLine("data: " + big), std::nullopt);
  EXPECT_EQ(parser.feedLine(""), std::nullopt);
  parser.feedLine("event: error");
  parser.feedLine("data: after");
  EXPECT_EQ(parser.feedLine(""), TavolinSignalEvent::error("after"));
}

TEST(TavolinSignalEventStream, Parse_MapsEventNamesToCases) {
  using TavolinSignalEventStream::parse;

  EXPECT_EQ(parse("ready", R"({"sentAt":"2024-05-01T10:00:00.000Z"})"),
            TavolinSignalEvent::ready(0, "2024-05-01T10:00:00.000Z"));
  EXPECT_EQ(parse("heartbeat", "{}"), TavolinSignalEvent::heartbeat(0, std::nullopt));
  EXPECT_EQ(parse("close", R"({"afterSequence":5,"sentAt":"t","reason":"r"})"),
            TavolinSignalEvent::close(5, "t", "r"));

  // "signal", "message", no name and unknown names all carry a signal when there is one.
  for (const std::optional<std::string>& name :
       {std::optional<std::string>("signal"), std::optional<std::string>("message"),
        std::optional<std::string>(), std::optional<std::string>("custom")}) {
    EXPECT_EQ(parse(name, signalEnvelope), TavolinSignalEvent::signal(expectedSignal()));
    EXPECT_EQ(parse(name, R"({"afterSequence":3})"), std::nullopt);
  }
  // A signal envelope under a lifecycle name is that lifecycle event.
  EXPECT_EQ(parse("ready", signalEnvelope), TavolinSignalEvent::ready(0, std::nullopt));

  // Error data is taken as it is, JSON or not.
  EXPECT_EQ(parse("error", "unauthorized"), TavolinSignalEvent::error("unauthorized"));
  EXPECT_EQ(parse("error", R"({"afterSequence":1})"),
            TavolinSignalEvent::error(R"({"afterSequence":1})"));

  EXPECT_EQ(parse("error", ""), std::nullopt);
  EXPECT_EQ(parse("ready", ""), std::nullopt);
  EXPECT_EQ(parse("ready", "[]"), std::nullopt);
  EXPECT_EQ(parse("ready", R"({"afterSequence":1.5})"), std::nullopt);
  EXPECT_EQ(parse("message", R"({"signal":{"sequence":1}})"), std::nullopt);
  EXPECT_EQ(parse("ready", "{\"sentAt\":\"\xff\"}"), std::nullopt);
}

std::vector<std::string> split(const std::vector<std::string>& chunks) {
  LineSplitter splitter(64);
  std::vector<std::string> lines;
  for (const auto& chunk : chunks) {
    splitter.feed(chunk);
    while (auto line = splitter.nextLine())
      lines.push_back(*line);
  }
  if (auto last = splitter.finish())
    lines.push_back(*last);
  return lines;
}

TEST(HTTPClientLineSplitting, Terminators_SplitAcrossChunkBoundaries) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(split({"a\nb\r\nc\rd"}), (Lines{"a", "b", "c", "d"}));
  // "\r" at the end of one chunk and "\n" at the start of the next are one terminator.
  EXPECT_EQ(split({"a\r", "\nb"}), (Lines{"a", "b"}));
  EXPECT_EQ(split({"a\r", "\r\n", "\n"}), (Lines{"a", "", ""}));
  EXPECT_EQ(split({"da", "ta: x", "\n", "\n"}), (Lines{"data: x", ""}));
  // A terminated last line leaves nothing pending.
  EXPECT_EQ(split({"a\n"}), (Lines{"a"}));
  EXPECT_EQ(split({""}), Lines{});
}

TEST(HTTPClientLineSplitting, LineOverLimit_FailsInsteadOfGrowing) {
  LineSplitter splitter(8);
  splitter.feed("12345678\n");
  EXPECT_EQ(splitter.nextLine(), "12345678");
  splitter.feed("1234");
  EXPECT_THROW(splitter.feed("56789"), boost::system::system_error);
}

}  // namespace
}  // namespace tavolin
