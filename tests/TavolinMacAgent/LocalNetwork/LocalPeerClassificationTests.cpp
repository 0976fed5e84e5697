#include <map>
#include <string>

#include <gtest/gtest.h>

#include "TavolinMacAgent/LocalNetwork/LocalPeerClassification.hpp"

namespace tavolin {
namespace {

LocalHTTPRequest requestFrom(std::string remotePeer,
                             std::map<std::string, std::string> headers = {}) {
  LocalHTTPRequest request;
  request.method = "GET";
  request.path = "/v1/controllers/devices";
  request.headers = std::move(headers);
  request.remotePeer = std::move(remotePeer);
  return request;
}

TEST(LocalPeerClassification, PeerIdentifier_IsFirstForwardedEntryOnlyFromLoopback) {
  EXPECT_EQ(authPeerIdentifier(requestFrom("127.0.0.1:5000")), "127.0.0.1:5000");
  EXPECT_EQ(authPeerIdentifier(requestFrom("127.0.0.1:5000",
                                           {{"x-forwarded-for", ",, 203.0.113.5 \n, 100.64.0.1"}})),
            "203.0.113.5");
  EXPECT_EQ(
      authPeerIdentifier(requestFrom("127.0.0.1:5000", {{"x-forwarded-for", "\u00A0a\u3000"}})),
      "a");
  // Only the first non-empty piece counts, even when it trims to nothing.
  EXPECT_EQ(
      authPeerIdentifier(requestFrom("127.0.0.1:5000", {{"x-forwarded-for", " \t, 203.0.113.5"}})),
      "127.0.0.1:5000");
  EXPECT_EQ(authPeerIdentifier(requestFrom("127.0.0.1:5000", {{"x-forwarded-for", ""}})),
            "127.0.0.1:5000");
  EXPECT_EQ(authPeerIdentifier(requestFrom("127.0.0.1:5000", {{"x-forwarded-for", ",,,"}})),
            "127.0.0.1:5000");
  EXPECT_EQ(authPeerIdentifier(requestFrom("[::1]:5000", {{"x-forwarded-for", "203.0.113.5"}})),
            "203.0.113.5");
  // Anyone else writes the header at will.
  EXPECT_EQ(
      authPeerIdentifier(requestFrom("192.168.1.20:5000", {{"x-forwarded-for", "203.0.113.5"}})),
      "192.168.1.20:5000");
  EXPECT_EQ(authPeerIdentifier(
                requestFrom("[::ffff:10.0.0.1]:5000", {{"x-forwarded-for", "203.0.113.5"}})),
            "[::ffff:10.0.0.1]:5000");
}

TEST(LocalPeerClassification, PeerAddress_DropsPortBracketsAndZoneAndCanonicalizes) {
  EXPECT_EQ(peerAddress("192.168.1.20:51234"), "192.168.1.20");
  EXPECT_EQ(peerAddress(" 203.0.113.5 "), "203.0.113.5");
  EXPECT_EQ(peerAddress("[FE80:0:0::1%eth0]:5000"), "fe80::1");
  EXPECT_EQ(peerAddress("2001:DB8:0:0:0:0:0:1"), "2001:db8::1");
  EXPECT_EQ(peerAddress("[::ffff:10.0.0.1]:80"), "10.0.0.1");
  EXPECT_EQ(peerAddress(" Host.Example "), "host.example");
  EXPECT_TRUE(isLoopbackPeer("127.8.0.1:5000"));
  EXPECT_TRUE(isLoopbackPeer("[::1]:5000"));
  EXPECT_TRUE(isLoopbackPeer("[::ffff:127.0.0.1]:5000"));
  EXPECT_FALSE(isLoopbackPeer("localhost:5000"));
  EXPECT_FALSE(isLoopbackPeer("192.168.1.20:5000"));
}

TEST(LocalPeerClassification, RouteName_MeshBeforeForwardedBeforeLocal) {
  EXPECT_EQ(routeName(requestFrom("127.0.0.1:5000", {{"x-forwarded-for", "100.64.0.1, 8.8.8.8"}})),
            "private-mesh");
  EXPECT_EQ(routeName(requestFrom("127.0.0.1:5000", {{"x-forwarded-for", "8.8.8.8, 100.64.0.1"}})),
            "direct-internet");
  EXPECT_EQ(routeName(requestFrom("127.0.0.1:5000", {{"x-forwarded-for", "FD7A:115C:A1E0::9"}})),
            "private-mesh");
  EXPECT_EQ(routeName(requestFrom("fd7a:115c:a1e0::5", {{"x-forwarded-for", "8.8.8.8"}})),
            "private-mesh");
  EXPECT_EQ(routeName(requestFrom("100.100.1.2")), "private-mesh");
  // An endpoint with a port is not a bare mesh address.
  EXPECT_EQ(routeName(requestFrom("100.100.1.2:51234")), "local-network");
  EXPECT_EQ(routeName(requestFrom("192.168.1.20:51234")), "local-network");
  EXPECT_EQ(routeName(requestFrom("192.168.1.20:51234", {{"x-forwarded-for", ""}})),
            "direct-internet");
}

TEST(LocalPeerClassification, TailscaleIPv4_Is100Dot64To127WithFourNumbers) {
  EXPECT_TRUE(isTailscaleIPv4("100.64.0.0"));
  EXPECT_TRUE(isTailscaleIPv4("100.127.255.255"));
  EXPECT_FALSE(isTailscaleIPv4("100.63.255.255"));
  EXPECT_FALSE(isTailscaleIPv4("100.128.0.0"));
  EXPECT_FALSE(isTailscaleIPv4("101.64.0.1"));
  EXPECT_FALSE(isTailscaleIPv4("100.64.0.256"));
  EXPECT_FALSE(isTailscaleIPv4("100.64.0.1:8080"));
  EXPECT_FALSE(isTailscaleIPv4("100.64.0"));
  EXPECT_FALSE(isTailscaleIPv4("100.64.0.1.1"));
  EXPECT_FALSE(isTailscaleIPv4(""));
  // Pieces that are not numbers are skipped rather than failing the text.
  EXPECT_TRUE(isTailscaleIPv4("100..64.x.0.1"));
  EXPECT_FALSE(isTailscaleIPv4("100.64.0.99999999999999999999999"));
}

TEST(LocalPeerClassification, LocalPairingPeer_PrivateLoopbackAndLinkLocalWithPortsAndZones) {
  for (const char* peer :
       {"127.0.0.1:5000", "10.1.2.3", "192.168.1.20:51234", "172.16.0.1", "172.31.255.255:80",
        "169.254.10.20", "[::1]:5000", "::1", "[fe80::1%en0]:5000", "FE80::AB%eth0", "fc00::1",
        "[fd12:3456::1]:9", "fd7a:115c:a1e0::1", "MacBook.local", "localhost:57852",
        "  192.168.0.2\n", "peer 10.0.0.1 via nat"}) {
    EXPECT_TRUE(isLocalPairingPeer(peer)) << peer;
  }
  for (const char* peer :
       {"", " \n", "8.8.8.8:53", "100.64.0.1", "100.100.1.2:41641", "172.15.0.1", "172.32.0.1",
        "1192.168.1.1", "192.168.1.1234", "110.0.0.1", "2001:db8::1", "[2001:db8::1]:443",
        "afe80::1", "fe8::1", "203.0.113.7"}) {
    EXPECT_FALSE(isLocalPairingPeer(peer)) << peer;
  }
}

TEST(LocalPeerClassification, TrustedTransports_DependOnProxyProtoAndPeer) {
  const auto direct = requestFrom("192.168.1.20:51234");
  EXPECT_TRUE(isDirectLocalRequest(direct));
  EXPECT_TRUE(isTrustedDirectAccessTransport(direct));
  EXPECT_TRUE(isTrustedWebPairingTransport(direct));

  const auto publicDirect = requestFrom("203.0.113.7:4000");
  EXPECT_FALSE(isTrustedDirectAccessTransport(publicDirect));
  EXPECT_FALSE(isTrustedWebPairingTransport(publicDirect));

  const auto meshHTTPS = requestFrom("127.0.0.1:6000", {{"x-forwarded-for", "100.101.1.2, 8.8.8.8"},
                                                        {"x-forwarded-proto", "HTTPS"}});
  EXPECT_FALSE(isDirectLocalRequest(meshHTTPS));
  EXPECT_TRUE(isTrustedDirectAccessTransport(meshHTTPS));
  EXPECT_TRUE(isTrustedWebPairingTransport(meshHTTPS));

  const auto meshHTTP = requestFrom(
      "127.0.0.1:6000", {{"x-forwarded-for", "100.101.1.2"}, {"x-forwarded-proto", "http"}});
  EXPECT_FALSE(isTrustedDirectAccessTransport(meshHTTP));
  EXPECT_FALSE(isTrustedWebPairingTransport(meshHTTP));

  const auto meshIPv6HTTPS = requestFrom(
      "127.0.0.1:6000", {{"x-forwarded-for", "fd7a:115c:a1e0::7"}, {"x-forwarded-proto", "https"}});
  EXPECT_TRUE(isTrustedWebPairingTransport(meshIPv6HTTPS));

  const auto publicHTTPS = requestFrom(
      "127.0.0.1:6000", {{"x-forwarded-for", "203.0.113.7"}, {"x-forwarded-proto", "https"}});
  EXPECT_EQ(routeName(publicHTTPS), "direct-internet");
  EXPECT_TRUE(isTrustedDirectAccessTransport(publicHTTPS));
  EXPECT_FALSE(isTrustedWebPairingTransport(publicHTTPS));

  // A proxy on this machine forwards from loopback: forwarding alone never makes it direct.
  const auto forwardedFromLoopback = requestFrom("127.0.0.1:6000", {{"x-forwarded-for", ""}});
  EXPECT_FALSE(isDirectLocalRequest(forwardedFromLoopback));
  EXPECT_FALSE(isTrustedDirectAccessTransport(forwardedFromLoopback));
}

TEST(LocalPeerClassification, ConstantTimeEqual_ComparesLengthsAndEveryByte) {
  EXPECT_TRUE(constantTimeEqual("12345678", "12345678"));
  EXPECT_TRUE(constantTimeEqual("", ""));
  EXPECT_FALSE(constantTimeEqual("12345678", "123456789"));
  EXPECT_FALSE(constantTimeEqual("123456789", "12345678"));
  EXPECT_FALSE(constantTimeEqual("12345678", "12345679"));
  EXPECT_FALSE(constantTimeEqual(std::string_view("\0", 1), ""));
  EXPECT_FALSE(constantTimeEqual("\xFF", "\x7F"));
}

}  // namespace
}  // namespace tavolin
