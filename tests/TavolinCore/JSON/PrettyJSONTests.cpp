#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"
#include "TavolinCore/JSON/PrettyJSON.hpp"

namespace tavolin {
namespace {

struct PrettyInner {
  std::string zeta{};
  std::optional<std::int64_t> alpha{};
};
BOOST_DESCRIBE_STRUCT(PrettyInner, (), (zeta, alpha))

struct PrettyNothing {};
BOOST_DESCRIBE_STRUCT(PrettyNothing, (), ())

struct PrettySample {
  std::vector<PrettyInner> list{};
  std::optional<PrettyInner> maybe{};
  double ratio{};
  JSONValue extra{};
  bool flag{};
  std::string Name{};
  std::vector<std::string> none{};
  std::optional<std::string> absent{};
  PrettyNothing nothing{};
  std::int64_t count{};
};
BOOST_DESCRIBE_STRUCT(PrettySample, (),
                      (list, maybe, ratio, extra, flag, Name, none, absent, nothing, count))

TEST(PrettyJSON, Layout_SortsKeysByteWiseAtEveryLevelWithTwoSpaceIndent) {
  const auto value = parseJSONText(
      R"({"b":[1,{"z":null,"a":true}],"a":{},"B":[],"\u00e9":-2.5,"c":18446744073709551615})");
  EXPECT_EQ(prettyPrintedSortedJSON(value),
            "{\n"
            "  \"B\": [],\n"
            "  \"a\": {},\n"
            "  \"b\": [\n"
            "    1,\n"
            "    {\n"
            "      \"a\": true,\n"
            "      \"z\": null\n"
            "    }\n"
            "  ],\n"
            "  \"c\": 18446744073709551615,\n"
            "  \"\xC3\xA9\": -2.5\n"
            "}");
  EXPECT_EQ(prettyPrintedSortedJSON(boost::json::value(7)), "7");

  std::string buffer = "prefix";
  appendPrettyPrintedSortedJSON(buffer, boost::json::array{});
  EXPECT_EQ(buffer, "prefix[]");
}

TEST(PrettyJSON, Strings_AreEscapedAndTheTextAlwaysParses) {
  const std::string valid = "q\"b\\s/\b\f\n\r\t\x01\x1f\x7f \xE2\x80\xA8 \xF0\x9F\x98\x80";
  const auto text = prettyPrintedSortedJSON(boost::json::value(valid));
  EXPECT_EQ(text, R"("q\"b\\s/\b\f\n\r\t\u0001\u001f)"
                  "\x7f \xE2\x80\xA8 \xF0\x9F\x98\x80\"");
  EXPECT_EQ(parseJSONText(text), boost::json::value(valid));

  // Stray bytes, truncated, overlong, surrogate and past-U+10FFFF sequences each become U+FFFD.
  const std::string invalid =
      "a\xFF"
      "b\xC3"
      "c\xC0\xAF"
      "d\xED\xA0\x80"
      "e\xF4\x90\x80\x80";
  const auto repaired = parseJSONText(prettyPrintedSortedJSON(boost::json::value(invalid)));
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(repaired, boost::json::value("a" + fffd + "b" + fffd + "c" + fffd + fffd + "d" + fffd +
                                         fffd + fffd + "e" + fffd + fffd + fffd + fffd));

  const boost::json::object key{{"\xFF", std::numeric_limits<double>::infinity()}};
  EXPECT_EQ(prettyPrintedSortedJSON(key), "{\n  \"" + fffd + "\": null\n}");
}

TEST(PrettyJSON, Records_PrintTheSameTextAsTheirEncodedValue) {
  const std::vector<PrettySample> samples{
      {},
      {.list = {{.zeta = "z\n", .alpha = -7}, {.zeta = "\xFF"}},
       .maybe = PrettyInner{.zeta = "m"},
       .ratio = 0.25,
       .extra = JSONObject{{"b", 1}, {"a", JSONArray{true, nullptr}}},
       .flag = true,
       .Name = "n",
       .absent = "present",
       .count = std::numeric_limits<std::int64_t>::min()},
  };
  for (const auto& sample : samples) {
    std::string direct;
    appendPrettyPrintedSortedJSON(direct, sample);
    EXPECT_EQ(direct, prettyPrintedSortedJSON(toJSON(sample)));
  }
  std::string list;
  appendPrettyPrintedSortedJSON(list, samples);
  EXPECT_EQ(list, prettyPrintedSortedJSON(toJSON(samples)));
}

}  // namespace
}  // namespace tavolin
