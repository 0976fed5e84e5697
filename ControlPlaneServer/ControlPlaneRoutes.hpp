#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "ControlPlaneServer/ClientRateLimiter.hpp"
#include "ControlPlaneServer/ControlPlaneError.hpp"
#include "ControlPlaneServer/ControlPlaneStore.hpp"
#include "ControlPlaneServer/SignalHub.hpp"
#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/HTTP/PathPattern.hpp"
#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

using ControlPlaneRequest = boost::beast::http::request<boost::beast::http::string_body>;
using ControlPlaneResponse = boost::beast::http::response<boost::beast::http::string_body>;

struct ControlPlaneOptions {
  // TAVOLIN_BOOTSTRAP_TOKEN; without it no owner can be bootstrapped.
  std::optional<std::string> bootstrapToken{};
  // From TAVOLIN_CONTROL_PLANE_STUN_URLS. Media never goes through a relay of ours, so
  // "turn:" and "turns:" entries are dropped.
  std::vector<TavolinICEServer> iceServers{};

  static ControlPlaneOptions fromEnvironment(const Environment& environment);
};

// A validated request for a session's server-sent signal stream; the server writes it.
struct SignalStreamRequest {
  SessionParty party{};
  std::string sessionId{};
  std::int64_t afterSequence{};
};

using RouteResult = std::variant<ControlPlaneResponse, SignalStreamRequest>;

// Every REST call of the hosted control plane, from a parsed request to its response: target
// parsing, per-client rate limits on the routes anyone may call (429), authentication, body
// decoding with the field limits (ControlPlaneFieldLimits.hpp), the store call and the JSON
// answer. Errors are {"error": code} with a "detail" where one helps. Each request runs as one
// store transaction. After a change that a signal stream must see (a signal, an ended session)
// the hub is told.
//
// The /v1/local, /v1/controllers/security and /v1/controllers/phone-host routes belong to the
// agent's own control plane, and accounts do not exist here: all of them answer 404.
//
// Confined to the server's thread, like the store and the hub. Unexpected failures answer 500
// and are reported on `diagnostics`, which must outlive the routes.
class ControlPlaneRoutes {
 public:
  ControlPlaneRoutes(ControlPlaneStore& store, SignalHub& hub, ControlPlaneOptions options,
                     std::ostream& diagnostics);

  // `client` is the requester's identity (clientIdentity()), which the per-client limits count.
  RouteResult handle(const ControlPlaneRequest& request, const std::string& client);

  static ControlPlaneResponse jsonResponse(boost::beast::http::status status, std::string body,
                                           const ControlPlaneRequest& request);
  static ControlPlaneResponse errorResponse(const ControlPlaneError& error,
                                            const ControlPlaneRequest& request);

  static constexpr std::size_t maxSignalsPerPoll = 500;

 private:
  struct Context;
  using Handler = std::function<RouteResult(Context&)>;
  struct Route {
    boost::beast::http::verb method;
    PathPattern pattern;
    Handler handler;
    // Set on the routes that need no credentials.
    std::optional<ClientRateLimiter::Kind> limit;
  };

  void addRoutes();
  RouteResult dispatch(const ControlPlaneRequest& request, const std::string& client,
                       std::vector<std::string>& notifications);
  Principal authenticate(const ControlPlaneRequest& request, TokenKind kind);
  void requireBootstrapToken(const ControlPlaneRequest& request) const;
  TransportConfigResponse transportConfig() const;

  ControlPlaneStore& store_;
  SignalHub& hub_;
  ControlPlaneOptions options_;
  std::ostream& diagnostics_;
  std::vector<Route> routes_;
  ClientRateLimiter limiter_;
};

}  // namespace tavolin
