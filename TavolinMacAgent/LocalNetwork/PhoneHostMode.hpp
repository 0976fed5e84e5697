#pragma once

// Phone host mode: a phone broadcasts its screen as frames sealed for this computer's device key,
// and a viewer here (the web console) starts the broadcast, polls the newest frame and stops it.
// Only the newest frame and a snapshot of the broadcast are kept, in memory.
//
// Confined to the main actor with the local control plane that owns it. Refusals are
// LocalHTTPError values; start, stop, every accepted frame and mirroring requests are audited.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TavolinCore/PhoneHost/PhoneHostMetrics.hpp"
#include "TavolinCore/Records/PhoneHostRecords.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalControllerAuthenticator.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalHTTP.hpp"
#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"

namespace tavolin {

// This computer as the receiver of a broadcast: the key frames are opened with and how it is
// listed among the trusted viewers.
struct PhoneHostDesktop {
  const DeviceIdentity& identity;
  std::string deviceId;
  std::string name;
  std::string platform;
};

class PhoneHostMode {
 public:
  struct Dependencies {
    const Clock& clock;
    SecurityAuditStore& auditStore;
    // The feature switch, read on every request.
    std::function<bool()> enabled;
    // Throws when the device identity cannot be loaded.
    std::function<PhoneHostDesktop()> desktop;
  };

  explicit PhoneHostMode(Dependencies dependencies);

  // Refuses with notFound "phone_host_mode_disabled" while the mode is off.
  void requirePhoneHostModeEnabled() const;

  // The stored snapshot, or a ready one when nothing happened yet, with health as of now.
  PhoneHostSnapshot phoneHostSnapshot() const;
  // Asks the phone, through the snapshot it reads, to start broadcasting.
  PhoneHostSnapshot start(const LocalControllerAuth& controller, const LocalHTTPRequest& request);
  // Drops the newest frame and marks the broadcast stopped.
  PhoneHostSnapshot stop(const LocalControllerAuth& controller, const LocalHTTPRequest& request);
  // Opens, checks and keeps one uploaded frame.
  PhoneHostFrameResponse receivePhoneHostFrame(const PhoneHostFrameUploadPayload& payload,
                                               const LocalControllerAuth& controller);
  // The newest opened frame, if any, and the current snapshot.
  PhoneHostLatestFrameResponse latestFrame() const;

  // No phone mirroring application exists on this platform: the request is answered and audited
  // as unavailable.
  PhoneMirroringResponse openPhoneMirroring(const LocalControllerAuth& controller,
                                            const LocalHTTPRequest& request);

 private:
  // The phone viewer capabilities offered now: none while the mode is off.
  std::vector<PhoneViewerCapability> capabilities() const;
  void audit(const LocalControllerAuth& controller, std::string_view method, std::string_view path,
             std::string_view outcome, std::string_view detail);
  Date now() const { return dependencies_.clock.now(); }

  Dependencies dependencies_;
  std::optional<ScreenFrame> phoneHostLatestFrame_;
  std::optional<PhoneHostSnapshot> phoneHostLatestSnapshot_;
  PhoneHostMetrics metrics_;
};

}  // namespace tavolin
