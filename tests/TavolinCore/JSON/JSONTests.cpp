#include <gtest/gtest.h>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin {
namespace {

TEST(JSONValue, DecodesEachKindAndKeepsBooleansApartFromNumbers) {
  const JSONValue value =
      JSONValue::parse(R"({"a":true,"b":1,"c":"x","d":null,"e":[1.5,false],"f":{}})");
  const JSONObject& object = *value.object();
  EXPECT_EQ(*object.find("a"), JSONValue(true));
  EXPECT_EQ(object.find("a")->number(), nullptr);
  EXPECT_EQ(*object.find("b"), JSONValue(1.0));
  EXPECT_EQ(object.find("b")->boolean(), nullptr);
  EXPECT_EQ(*object.find("c"), JSONValue("x"));
  EXPECT_TRUE(object.find("d")->isNull());
  EXPECT_EQ(*object.find("e"), JSONValue(JSONArray{1.5, false}));
  EXPECT_EQ(*object.find("f"), JSONValue(JSONObject{}));
  EXPECT_EQ(JSONValue::parse("1").serialize(), "1");
  EXPECT_EQ(JSONValue::parse("18446744073709551615").kind(), JSONValue::Kind::number);
}

TEST(JSONValue, EncodesObjectsInInsertionOrderAndNullExplicitly) {
  JSONObject object{{"zeta", 1}, {"alpha", nullptr}, {"mid", JSONValue::strings({"a", "b"})}};
  object.set("zeta", 2);  // keeps its place
  EXPECT_EQ(JSONValue(object).serialize(), R"({"zeta":2,"alpha":null,"mid":["a","b"]})");
  EXPECT_EQ(JSONValue(0.5).serialize(), JSONValue::parse(JSONValue(0.5).serialize()).serialize());
  EXPECT_EQ(JSONValue::parse(JSONValue(-0.25).serialize()), JSONValue(-0.25));
  EXPECT_EQ(JSONValue(1e300).toBoost().kind(), boost::json::kind::double_);
}

TEST(JSONValue, ObjectEqualityIgnoresOrderButNotContent) {
  EXPECT_EQ(JSONValue::parse(R"({"a":1,"b":[true]})"), JSONValue::parse(R"({"b":[true],"a":1})"));
  EXPECT_NE(JSONValue::parse(R"({"a":1})"), JSONValue::parse(R"({"a":1,"b":1})"));
  EXPECT_NE(JSONValue::parse(R"({"a":1})"), JSONValue::parse(R"({"a":true})"));
  EXPECT_NE(JSONValue::parse(R"([1,2])"), JSONValue::parse(R"([2,1])"));
}

TEST(JSONValue, RejectsInvalidAndTooDeepText) {
  for (const char* text : {"", "{", "[1,]", "{'a':1}", "nul", "1 2", "\"\\x\""}) {
    EXPECT_THROW(JSONValue::parse(text), JSONDecodingError) << text;
  }
  EXPECT_THROW(JSONValue::parse(std::string(100000, '[') + std::string(100000, ']')),
               JSONDecodingError);
  // Beyond a double: infinity has no JSON form, so it must not get in.
  EXPECT_THROW(JSONValue::parse(std::string(400, '9')), JSONDecodingError);
  EXPECT_THROW(JSONValue::parse("[1e999]"), JSONDecodingError);
}

struct Inner {
  std::string name;
  friend bool operator==(const Inner&, const Inner&) = default;
};
BOOST_DESCRIBE_STRUCT(Inner, (), (name))

struct Sample {
  std::string id;
  std::int64_t count{};
  double ratio{};
  bool enabled{};
  std::optional<std::string> note;
  std::vector<Inner> items;
  JSONObject metadata;
  friend bool operator==(const Sample&, const Sample&) = default;
};
BOOST_DESCRIBE_STRUCT(Sample, (), (id, count, ratio, enabled, note, items, metadata))

TEST(JSONCodec, RoundTripsInDeclarationOrderOmittingAbsentOptionals) {
  const Sample sample{"s1", 3, 0.75, true, std::nullopt, {{"a"}}, {{"k", nullptr}}};
  const std::string text = encodeJSON(sample);
  EXPECT_EQ(
      text,
      R"({"id":"s1","count":3,"ratio":7.5E-1,"enabled":true,"items":[{"name":"a"}],"metadata":{"k":null}})");
  EXPECT_EQ(decodeJSON<Sample>(text), sample);
}

TEST(JSONCodec, AcceptsIntegralDoublesNullOptionalsAndUnknownKeys) {
  const auto sample = decodeJSON<Sample>(
      R"({"id":"s","count":5.0,"ratio":2,"enabled":false,"note":null,"items":[],"metadata":{},"extra":1})");
  EXPECT_EQ(sample.count, 5);
  EXPECT_EQ(sample.ratio, 2.0);
  EXPECT_EQ(sample.note, std::nullopt);
}

TEST(JSONCodec, FailuresNameTheField) {
  const auto messageOf = [](const char* text) {
    try {
      decodeJSON<Sample>(text);
    } catch (const JSONDecodingError& error) {
      return error.description();
    }
    return std::string("decoded");
  };
  const std::string rest = R"("ratio":1,"enabled":true,"items":[],"metadata":{})";
  EXPECT_EQ(messageOf(R"({"count":1,"ratio":1,"enabled":true,"items":[],"metadata":{}})"),
            "The required field 'id' is missing.");
  EXPECT_EQ(messageOf((R"({"id":null,"count":1,)" + rest + "}").c_str()),
            "The required field 'id' is missing.");
  EXPECT_EQ(messageOf((R"({"id":"x","count":1.5,)" + rest + "}").c_str()),
            "Expected an integer at 'count'.");
  EXPECT_EQ(messageOf((R"({"id":"x","count":true,)" + rest + "}").c_str()),
            "Expected an integer at 'count'.");
  EXPECT_EQ(messageOf((R"({"id":"x","count":1e30,)" + rest + "}").c_str()),
            "Expected an integer at 'count'.");
  EXPECT_EQ(messageOf(R"({"id":"x","count":1,"ratio":1,"enabled":1,"items":[],"metadata":{}})"),
            "Expected a boolean at 'enabled'.");
  EXPECT_EQ(
      messageOf(
          R"({"id":"x","count":1,"ratio":1,"enabled":true,"items":[{"name":2}],"metadata":{}})"),
      "Expected a string at 'items[0].name'.");
  EXPECT_EQ(messageOf(R"({"id":"x","count":1,"ratio":1,"enabled":true,"items":[],"metadata":[]})"),
            "Expected an object at 'metadata'.");
  EXPECT_EQ(messageOf("[]"), "Expected an object at the top level.");
}

}  // namespace
}  // namespace tavolin
