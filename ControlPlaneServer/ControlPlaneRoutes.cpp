#include "ControlPlaneServer/ControlPlaneRoutes.hpp"

#include <algorithm>
#include <map>

#include <boost/beast/http/field.hpp>
#include <boost/json.hpp>
#include <boost/url/parse.hpp>
#include <openssl/crypto.h>

#include "ControlPlaneServer/ControlPlaneFieldLimits.hpp"
#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/HTTP/PathPattern.hpp"
#include "TavolinCore/Security/CryptoPrimitives.hpp"
#include "TavolinCore/Streaming/TavolinConnectionPolicy.hpp"

namespace tavolin {
namespace {

namespace http = boost::beast::http;

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos)
    return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string_view tokenKindTitle(TokenKind kind) {
  switch (kind) {
    case TokenKind::owner:
      return "an owner";
    case TokenKind::controller:
      return "a controller";
    case TokenKind::agent:
      return "an agent";
  }
  return "";
}

}  // namespace

ControlPlaneOptions ControlPlaneOptions::fromEnvironment(const Environment& environment) {
  ControlPlaneOptions options;
  if (auto token = environmentValue(environment, "TAVOLIN_BOOTSTRAP_TOKEN");
      token && !token->empty())
    options.bootstrapToken = std::move(token);
  if (const auto urls = environmentValue(environment, "TAVOLIN_CONTROL_PLANE_STUN_URLS"))
    options.iceServers = TavolinConnectionPolicies::stunServersFromList(*urls);
  return options;
}

struct ControlPlaneRoutes::Context {
  const ControlPlaneRequest& request;
  const std::string& client;
  std::vector<std::string> params;
  std::map<std::string, std::string, std::less<>> query;
  // Sessions whose streams must look at the store again once the transaction is committed.
  std::vector<std::string>& notifications;

  const std::string& param(std::size_t index) const { return params.at(index); }

  std::optional<std::string> queryValue(std::string_view name) const {
    const auto found = query.find(name);
    if (found == query.end())
      return std::nullopt;
    return found->second;
  }

  std::int64_t queryInteger(std::string_view name, std::int64_t fallback) const {
    const auto value = queryValue(name);
    if (!value)
      return fallback;
    const auto parsed = parseInteger(*value);
    if (!parsed) {
      throw ControlPlaneError::badRequest("invalid_query",
                                          "'" + std::string(name) + "' must be an integer.");
    }
    return *parsed;
  }

  // Every stored text passes through here, so every payload meets its field limits.
  template <class T>
  T body() const {
    T record;
    try {
      record = decodeJSON<T>(request.body());
    } catch (const JSONDecodingError& error) {
      throw ControlPlaneError::badRequest("invalid_json", error.description());
    }
    checkFieldLimits(record);
    return record;
  }

  template <class Record>
  ControlPlaneResponse ok(const Record& record) const {
    return jsonResponse(http::status::ok, encodeJSON(record), request);
  }
};

ControlPlaneRoutes::ControlPlaneRoutes(ControlPlaneStore& store, SignalHub& hub,
                                       ControlPlaneOptions options, std::ostream& diagnostics)
    : store_(store), hub_(hub), options_(std::move(options)), diagnostics_(diagnostics) {
  addRoutes();
}

ControlPlaneResponse ControlPlaneRoutes::jsonResponse(http::status status, std::string body,
                                                      const ControlPlaneRequest& request) {
  ControlPlaneResponse response(status, request.version());
  response.set(http::field::server, "tavolin-control-plane");
  response.set(http::field::content_type, "application/json");
  response.set(http::field::cache_control, "no-store");
  response.keep_alive(request.keep_alive());
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

ControlPlaneResponse ControlPlaneRoutes::errorResponse(const ControlPlaneError& error,
                                                       const ControlPlaneRequest& request) {
  boost::json::object body{{"error", error.code()}};
  if (!error.detail().empty())
    body["detail"] = error.detail();
  return jsonResponse(static_cast<http::status>(error.status()), boost::json::serialize(body),
                      request);
}

RouteResult ControlPlaneRoutes::handle(const ControlPlaneRequest& request,
                                       const std::string& client) {
  try {
    std::vector<std::string> notifications;
    RouteResult result = dispatch(request, client, notifications);
    for (const auto& sessionId : notifications)
      hub_.notify(sessionId);
    return result;
  } catch (const ControlPlaneError& error) {
    return errorResponse(error, request);
  } catch (const std::exception& error) {
    diagnostics_ << "TAVOLIN_CONTROL_PLANE_INTERNAL_ERROR " << request.method_string() << ' '
                 << request.target() << ": " << error.what() << std::endl;
    return errorResponse(ControlPlaneError(500, "internal_error"), request);
  }
}

RouteResult ControlPlaneRoutes::dispatch(const ControlPlaneRequest& request,
                                         const std::string& client,
                                         std::vector<std::string>& notifications) {
  const auto target = boost::urls::parse_origin_form(
      std::string_view(request.target().data(), request.target().size()));
  if (!target)
    throw ControlPlaneError::badRequest("invalid_target");
  std::vector<std::string> segments;
  for (const std::string segment : target->segments())
    segments.push_back(segment);

  Context context{.request = request,
                  .client = client,
                  .params = {},
                  .query = {},
                  .notifications = notifications};
  for (const auto param : target->params()) {
    if (param.has_value)
      context.query.emplace(param.key, param.value);
  }

  bool pathMatched = false;
  for (const auto& route : routes_) {
    if (!matchPathPattern<std::string>(route.pattern, segments, context.params))
      continue;
    pathMatched = true;
    if (route.method != request.method())
      continue;
    if (route.limit && !limiter_.allow(client, *route.limit, ClientRateLimiter::Clock::now())) {
      throw ControlPlaneError(429, std::string(ClientRateLimiter::window(*route.limit).refusal));
    }
    auto transaction = store_.transaction();
    RouteResult result = route.handler(context);
    transaction.commit();
    return result;
  }
  if (pathMatched)
    throw ControlPlaneError(405, "method_not_allowed");
  throw ControlPlaneError::notFound();
}

Principal ControlPlaneRoutes::authenticate(const ControlPlaneRequest& request, TokenKind kind) {
  const auto header = request.find(http::field::authorization);
  if (header == request.end())
    throw ControlPlaneError::unauthorized();
  const std::string_view value(header->value().data(), header->value().size());
  constexpr std::string_view scheme = "bearer ";
  if (value.size() <= scheme.size() || asciiLowercased(value.substr(0, scheme.size())) != scheme)
    throw ControlPlaneError::unauthorized();
  const auto principal = store_.authenticate(trimmed(value.substr(scheme.size())));
  if (!principal)
    throw ControlPlaneError::unauthorized();
  if (principal->kind != kind) {
    throw ControlPlaneError::forbidden("This route needs " + std::string(tokenKindTitle(kind)) +
                                       " token.");
  }
  return *principal;
}

void ControlPlaneRoutes::requireBootstrapToken(const ControlPlaneRequest& request) const {
  if (!options_.bootstrapToken)
    throw ControlPlaneError(403, "bootstrap_not_configured");
  const auto header = request.find("x-bootstrap-token");
  if (header == request.end())
    throw ControlPlaneError::unauthorized();
  // Equal-length digests, so neither the length nor a common prefix shows in the timing.
  const auto given =
      sha256(byteSpan(std::string_view(header->value().data(), header->value().size())));
  const auto expected = sha256(byteSpan(*options_.bootstrapToken));
  if (CRYPTO_memcmp(given.data(), expected.data(), given.size()) != 0)
    throw ControlPlaneError::unauthorized();
}

TransportConfigResponse ControlPlaneRoutes::transportConfig() const {
  // Peers connect directly; with no relay there is nothing to fall back to but the same path.
  return {.mode = "p2p", .fallbackMode = "p2p", .iceServers = options_.iceServers, .relays = {}};
}

void ControlPlaneRoutes::addRoutes() {
  using http::verb;
  const auto add = [this](verb method, PathPattern pattern, Handler handler) {
    routes_.push_back({method, std::move(pattern), std::move(handler), std::nullopt});
  };
  // The routes that need no credentials, each under a per-client limit.
  using Limit = ClientRateLimiter::Kind;
  const auto addOpen = [this](Limit limit, verb method, PathPattern pattern, Handler handler) {
    routes_.push_back({method, std::move(pattern), std::move(handler), limit});
  };
  const auto agent = [this](Context& c) { return authenticate(c.request, TokenKind::agent); };
  const auto controller = [this](Context& c) {
    return authenticate(c.request, TokenKind::controller);
  };
  const auto owner = [this](Context& c) { return authenticate(c.request, TokenKind::owner); };

  // Owner and bootstrap.
  addOpen(Limit::ownerStatus, verb::get, {"v1", "owner", "status"},
          [this](Context& c) -> RouteResult {
            return c.ok(OwnerStatus{.ownerExists = store_.ownerExists(),
                                    .bootstrapConfigured = options_.bootstrapToken.has_value()});
          });
  addOpen(Limit::bootstrap, verb::post, {"v1", "bootstrap", "owner"},
          [this](Context& c) -> RouteResult {
            requireBootstrapToken(c.request);
            return c.ok(store_.bootstrapOwner(c.body<BootstrapOwnerPayload>()));
          });
  addOpen(Limit::bootstrap, verb::post, {"v1", "bootstrap", "controllers"},
          [this](Context& c) -> RouteResult {
            requireBootstrapToken(c.request);
            return c.ok(store_.createController(std::nullopt, c.body<CreateControllerPayload>()));
          });
  add(verb::post, {"v1", "owner", "controllers"}, [this, owner](Context& c) -> RouteResult {
    const auto principal = owner(c);
    return c.ok(store_.createController(principal.ownerId, c.body<CreateControllerPayload>()));
  });

  // Enrolment.
  addOpen(
      Limit::enrollmentCreate, verb::post, {"v1", "agents", "enrollment-requests"},
      [this](Context& c) -> RouteResult {
        return c.ok(store_.createEnrollmentRequest(c.body<EnrollmentRequestPayload>(), c.client));
      });
  addOpen(Limit::enrollmentPoll, verb::get, {"v1", "agents", "enrollment-requests", ":"},
          [this](Context& c) -> RouteResult {
            return c.ok(store_.pollEnrollment(c.param(0), c.queryValue("code").value_or("")));
          });

  // Enrolment decisions and revocation: the owner and its controllers alike, each under its own
  // prefix and with its own token.
  struct Administrator {
    std::string_view prefix;
    TokenKind kind;
  };
  for (const Administrator administrator : {Administrator{"owner", TokenKind::owner},
                                            Administrator{"controllers", TokenKind::controller}}) {
    const auto principal = [this, administrator](Context& c) {
      return authenticate(c.request, administrator.kind);
    };
    add(verb::post, {"v1", administrator.prefix, "enrollment-requests", "approve"},
        [this, principal](Context& c) -> RouteResult {
          const auto who = principal(c);
          return c.ok(DeviceResponse{
              store_.approveEnrollment(who.ownerId, c.body<ApproveEnrollmentPayload>())});
        });
    add(verb::post, {"v1", administrator.prefix, "enrollment-requests", "deny"},
        [this, principal](Context& c) -> RouteResult {
          principal(c);
          return c.ok(store_.denyEnrollment(c.body<ApproveEnrollmentPayload>()));
        });
    // Revoking needs no words, so any body is ignored.
    add(verb::post, {"v1", administrator.prefix, "devices", ":", "revoke"},
        [this, principal](Context& c) -> RouteResult {
          auto revocation = store_.revokeDevice(principal(c), c.param(0));
          for (auto& sessionId : revocation.endedSessionIds)
            c.notifications.push_back(std::move(sessionId));
          return c.ok(DeviceResponse{std::move(revocation.device)});
        });
  }

  // Devices.
  add(verb::get, {"v1", "controllers", "devices"}, [this, controller](Context& c) -> RouteResult {
    return c.ok(DevicesResponse{store_.devices(controller(c).ownerId)});
  });
  add(verb::get, {"v1", "controllers", "devices", ":"},
      [this, controller](Context& c) -> RouteResult {
        return c.ok(store_.device(controller(c).ownerId, c.param(0)));
      });
  add(verb::post, {"v1", "agent", "heartbeat"}, [this, agent](Context& c) -> RouteResult {
    const auto principal = agent(c);
    return c.ok(DeviceResponse{store_.heartbeat(principal.subjectId, c.body<HeartbeatPayload>())});
  });

  // Sessions, agent side.
  add(verb::get, {"v1", "agent", "sessions", "pending"}, [this, agent](Context& c) -> RouteResult {
    return c.ok(SessionsResponse{store_.agentSessions(agent(c).subjectId, "pending")});
  });
  add(verb::get, {"v1", "agent", "sessions", "active"}, [this, agent](Context& c) -> RouteResult {
    return c.ok(SessionsResponse{store_.agentSessions(agent(c).subjectId, "active")});
  });
  add(verb::post, {"v1", "agent", "sessions", ":", "accept"},
      [this, agent](Context& c) -> RouteResult {
        const auto principal = agent(c);
        const auto payload = c.body<SessionMetadataPayload>();
        return c.ok(SessionResponse{
            store_.acceptSession(principal.subjectId, c.param(0), payload.metadata)});
      });

  // Routes both sides share, with the party taken from the token.
  struct Side {
    std::string_view prefix;
    TokenKind kind;
  };
  for (const Side side :
       {Side{"agent", TokenKind::agent}, Side{"controllers", TokenKind::controller}}) {
    const auto party = [this, side](Context& c) {
      const auto principal = authenticate(c.request, side.kind);
      return side.kind == TokenKind::agent ? SessionParty::agent(principal.subjectId)
                                           : SessionParty::controller(principal.subjectId);
    };
    add(verb::post, {"v1", side.prefix, "sessions", ":", "end"},
        [this, party](Context& c) -> RouteResult {
          const auto who = party(c);
          // Ending needs no words: an empty body counts as no reason.
          const auto payload =
              trimmed(c.request.body()).empty() ? EndSessionPayload{} : c.body<EndSessionPayload>();
          auto session = store_.endSession(who, c.param(0), payload.reason);
          c.notifications.push_back(session.id);
          return c.ok(SessionResponse{std::move(session)});
        });
    add(verb::get, {"v1", side.prefix, "sessions", ":", "transport"},
        [this, party](Context& c) -> RouteResult {
          store_.session(party(c), c.param(0));
          return c.ok(transportConfig());
        });
    add(verb::get, {"v1", side.prefix, "sessions", ":", "signals"},
        [this, party](Context& c) -> RouteResult {
          const auto session = store_.session(party(c), c.param(0));
          return c.ok(SignalsResponse{
              store_.signalsAfter(session.id, c.queryInteger("after", 0), maxSignalsPerPoll)});
        });
    add(verb::post, {"v1", side.prefix, "sessions", ":", "signals"},
        [this, party](Context& c) -> RouteResult {
          const auto who = party(c);
          auto signal = store_.appendSignal(who, c.param(0), c.body<SignalPayload>());
          c.notifications.push_back(signal.sessionId);
          return c.ok(SignalResponse{std::move(signal)});
        });
    add(verb::get, {"v1", side.prefix, "sessions", ":", "signals", "events"},
        [this, party](Context& c) -> RouteResult {
          const auto who = party(c);
          const auto session = store_.session(who, c.param(0));
          return SignalStreamRequest{
              .party = who, .sessionId = session.id, .afterSequence = c.queryInteger("after", 0)};
        });
  }

  // Sessions, controller side.
  add(verb::post, {"v1", "controllers", "sessions"}, [this, controller](Context& c) -> RouteResult {
    const auto principal = controller(c);
    return c.ok(SessionResponse{store_.createSession(principal, c.body<CreateSessionPayload>())});
  });
  add(verb::get, {"v1", "controllers", "sessions", ":"},
      [this, controller](Context& c) -> RouteResult {
        const auto principal = controller(c);
        return c.ok(SessionResponse{
            store_.session(SessionParty::controller(principal.subjectId), c.param(0))});
      });

  // Commands.
  add(verb::post, {"v1", "controllers", "sessions", ":", "commands"},
      [this, controller](Context& c) -> RouteResult {
        const auto principal = controller(c);
        return c.ok(CommandResponse{store_.enqueueCommand(principal.subjectId, c.param(0),
                                                          c.body<EnqueueCommandPayload>())});
      });
  add(verb::get, {"v1", "controllers", "commands", ":"},
      [this, controller](Context& c) -> RouteResult {
        return c.ok(CommandResponse{store_.controllerCommand(controller(c).subjectId, c.param(0))});
      });
  add(verb::get, {"v1", "agent", "commands"}, [this, agent](Context& c) -> RouteResult {
    const auto principal = agent(c);
    const auto limit = c.queryInteger("limit", ControlPlaneStore::defaultClaimLimit);
    return c.ok(CommandsResponse{store_.claimCommands(principal.subjectId, limit)});
  });
  add(verb::post, {"v1", "agent", "commands", ":", "complete"},
      [this, agent](Context& c) -> RouteResult {
        const auto principal = agent(c);
        return c.ok(CommandResponse{store_.completeCommand(principal.subjectId, c.param(0),
                                                           c.body<CompleteCommandPayload>())});
      });

  // Screen frames.
  add(verb::post, {"v1", "agent", "sessions", ":", "screen-frames"},
      [this, agent](Context& c) -> RouteResult {
        const auto principal = agent(c);
        return c.ok(ScreenFrameResponse{store_.storeScreenFrame(principal.subjectId, c.param(0),
                                                                c.body<ScreenFramePayload>())});
      });
  add(verb::get, {"v1", "controllers", "sessions", ":", "screen", "latest"},
      [this, controller](Context& c) -> RouteResult {
        return c.ok(
            ScreenFrameResponse{store_.latestScreenFrame(controller(c).subjectId, c.param(0))});
      });
}

}  // namespace tavolin
