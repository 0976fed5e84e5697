#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/GStreamer/StunServer.hpp"

namespace tavolin {
namespace {

std::optional<std::string> converted(std::vector<std::string> urls) {
  return webrtcbinStunServer({{.urls = std::move(urls)}});
}

TEST(StunServerTests, WebRTCBinStunServer_RewritesTheFirstUsableStunURL) {
  EXPECT_EQ(converted({"stun:stun.example.org:19302"}), "stun://stun.example.org:19302");
  EXPECT_EQ(converted({"stun:stun.example.org"}), "stun://stun.example.org:3478");
  EXPECT_EQ(converted({"STUN:Stun.Example.org:1"}), "stun://Stun.Example.org:1");
  EXPECT_EQ(converted({"stun:192.0.2.7:3478?transport=udp"}), "stun://192.0.2.7:3478");
  EXPECT_EQ(converted({"stun:[2001:db8::1]:5349"}), "stun://[2001:db8::1]:5349");
  EXPECT_EQ(converted({"stun:[2001:db8::1]"}), "stun://[2001:db8::1]:3478");
  EXPECT_EQ(converted({"stun://stun.example.org:3478"}), "stun://stun.example.org:3478");

  // Relays and STUN over TLS are passed over for a later usable URL, in any server entry.
  EXPECT_EQ(webrtcbinStunServer({{.urls = {"turn:relay.example.org:3478", "stuns:a.example:5349"}},
                                 {.urls = {"stun:b.example:3478", "stun:c.example:3478"}}}),
            "stun://b.example:3478");
  EXPECT_EQ(webrtcbinStunServer({}), std::nullopt);
}

TEST(StunServerTests, WebRTCBinStunServer_SkipsMalformedURLs) {
  for (const std::string bad :
       {"", "stun:", "stun::3478", "stun:host:", "stun:host:0", "stun:host:65536", "stun:host:34x",
        "stun:host:123456", "stun:[2001:db8::1", "stun:[2001:db8::1]x", "stun:[]:3478",
        "stun:user@host:3478", "stun:host/path:3478", "stun:host:3478:1", "stun:ho st",
        "http://stun.example.org", "turns:relay.example.org"})
    EXPECT_EQ(converted({bad}), std::nullopt) << bad;
}

}  // namespace
}  // namespace tavolin
