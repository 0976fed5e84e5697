#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tavolin {

// One DNS-SD service in the default domain.
struct ServiceAdvertisement {
  std::string name;  // a collision may make the advertiser pick another; see `registered`
  std::string type;  // "_tavolin._tcp"
  std::uint16_t port = 0;
  std::vector<std::pair<std::string, std::string>> txt;  // "key=value" entries, in this order

  bool operator==(const ServiceAdvertisement&) const = default;
};

struct ServiceAdvertiserEvent {
  enum class Kind {
    registered,   // on the network; `detail` is the name in use (after any collision)
    unavailable,  // no DNS-SD daemon answers; once per advertise(), then the advertiser waits
    failed,       // the daemon refused the service; `detail` says why
  };
  Kind kind = Kind::registered;
  std::string detail;

  bool operator==(const ServiceAdvertiserEvent&) const = default;
};

// Publishes the local server by DNS-SD. Call on the main executor. `onEvent` is called on the
// main executor only, never after withdraw(), a later advertise() or the advertiser's end. The
// advertisement outlives daemon restarts: it is registered again whenever the daemon returns.
class ServiceAdvertiser {
 public:
  using EventHandler = std::function<void(const ServiceAdvertiserEvent& event)>;

  virtual ~ServiceAdvertiser() = default;

  // Replaces any earlier advertisement.
  virtual void advertise(ServiceAdvertisement advertisement, EventHandler onEvent) = 0;
  // Removes the advertisement from the network; nothing when there is none.
  virtual void withdraw() = 0;
};

}  // namespace tavolin
