#include <gtest/gtest.h>

#include "TavolinCore/Foundation/Base64.hpp"

namespace tavolin {
namespace {

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

TEST(Base64, StandardRoundTripsEveryTailLength) {
  for (std::string_view text : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    const std::string encoded = base64Encode(byteSpan(text));
    EXPECT_EQ(encoded.size() % 4, 0u) << text;
    EXPECT_EQ(base64Decode(encoded), bytesOf(text)) << text;
  }
  EXPECT_EQ(base64Encode(byteSpan("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(byteSpan("fo")), "Zm8=");
}

TEST(Base64, StandardRejectsMalformedText) {
  for (std::string_view text :
       {"Zm8", "Zm9v\n", "Zm=v", "=Zm9", "Zm9v====", "Z===", "Zm9-", "Zg=a"}) {
    EXPECT_FALSE(base64Decode(text).has_value()) << text;
  }
}

TEST(Base64URL, WritesUrlAlphabetWithoutPaddingAndReadsEveryFormOfTheSameBytes) {
  const Bytes bytes{0xfb, 0xff, 0xbf, 0xfe};
  EXPECT_EQ(base64Encode(bytes), "+/+//g==");
  EXPECT_EQ(base64URLEncode(bytes), "-_-__g");
  for (std::string_view text : {"-_-__g", "-_-__g==", "+/+//g", "+/+//g=="})
    EXPECT_EQ(base64URLDecode(text), bytes) << text;
}

TEST(Base64URL, RejectsLengthFiveAndForeignCharacters) {
  EXPECT_FALSE(base64URLDecode("abcde").has_value());
  EXPECT_FALSE(base64URLDecode("a").has_value());
  EXPECT_FALSE(base64URLDecode("ab cd").has_value());
  EXPECT_FALSE(base64URLDecode("ab.d").has_value());
  EXPECT_TRUE(base64URLDecode("abcdef").has_value());
  EXPECT_TRUE(base64URLDecode("").has_value());
}

}  // namespace
}  // namespace tavolin
