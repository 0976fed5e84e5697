#pragma once

#include <memory>
#include <optional>

#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Platform/ServiceAdvertiser.hpp"

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;

namespace tavolin {

// DNS-SD through the Avahi daemon on the system bus. The Avahi client lives on Avahi's own
// poll thread, started by the first advertise(); every Avahi callback runs there under the poll
// lock, and the public methods take that lock. Events hop to `eventExecutor` (the main one).
//
// With no system bus or no daemon, `unavailable` is reported once per advertise(); the client
// keeps waiting for the daemon (when there is a bus) and registers as soon as it appears, and
// again after every daemon restart. Name collisions take Avahi's next alternative name ("Name #2").
class AvahiServiceAdvertiser final : public ServiceAdvertiser {
 public:
  explicit AvahiServiceAdvertiser(Executor eventExecutor);
  ~AvahiServiceAdvertiser() override;
  AvahiServiceAdvertiser(const AvahiServiceAdvertiser&) = delete;
  AvahiServiceAdvertiser& operator=(const AvahiServiceAdvertiser&) = delete;

  void advertise(ServiceAdvertisement advertisement, EventHandler onEvent) override;
  void withdraw() override;

  // Withdraws, ends the poll thread and leaves the bus. Idempotent; not from an event handler
  // running on the poll thread (there are none: events run on `eventExecutor`).
  void stop();

 private:
  // Avahi's C callbacks, with its own types; they catch everything.
  friend struct AvahiCallbacks;

  // The methods below run with the poll lock held (or before the poll thread exists).
  void connect();
  void handleClientState(AvahiClient* client, int state);
  void handleGroupState(AvahiEntryGroup* group, int state);
  void registerService(AvahiClient* client);
  void report(ServiceAdvertiserEvent::Kind kind, std::string detail);
  void reportUnavailable(int avahiError);

  Executor eventExecutor_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::optional<ServiceAdvertisement> advertisement_;
  // Replaced on every advertise() and dropped on withdraw(): events already posted for an
  // earlier advertisement find it gone.
  std::shared_ptr<EventHandler> onEvent_;
  bool unavailableReported_ = false;
  bool stopped_ = false;
};

}  // namespace tavolin
