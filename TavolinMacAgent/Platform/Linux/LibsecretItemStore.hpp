#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "TavolinCore/Security/SecureItemStore.hpp"

namespace tavolin {

// SecureItemStore on the Secret Service (gnome-keyring, KWallet's bridge, KeePassXC) over the
// D-Bus session bus, through libsecret's synchronous calls. Items live in the default
// collection under the schema "app.tavolin.SecureItem" with the string attributes "service",
// "account", "accessGroup" (only when the query has one) and "accessibility"; the data is
// stored as raw bytes ("application/octet-stream"), so what comes back is exactly what went in.
//
// Calls block the calling thread until the service answers, which on a locked collection may
// mean an unlock prompt; they are serialised by an internal lock and may come from any thread.
// Failures become statuses: no bus / no service / no default collection -> notAvailable,
// a collection that stays locked -> interactionNotAllowed, refused access -> authFailed,
// anything else -> internalError. Nothing is thrown. The calls also turn off GLib's
// exit-on-close of the shared session connection: a keyring that goes away fails calls, it
// does not end the agent.
class LibsecretItemStore final : public SecureItemStore {
 public:
  static constexpr std::string_view kSchemaName = "app.tavolin.SecureItem";

  // Whether a Secret Service with a default collection answers on the session bus, within
  // `timeout`. Never autolaunches a bus: without DBUS_SESSION_BUS_ADDRESS or
  // $XDG_RUNTIME_DIR/bus the answer is false at once. Uses a private connection, so it neither
  // creates nor depends on the process's shared one.
  static bool isServiceAvailable(std::chrono::milliseconds timeout = std::chrono::seconds(3));

  SecureItemCopyResult copy(const SecureItemQuery& query) override;
  std::int32_t update(const SecureItemQuery& query, std::string_view data) override;
  std::int32_t add(const SecureItemQuery& query, std::string_view data,
                   SecureItemAccessibility accessibility) override;
  std::int32_t remove(const SecureItemQuery& query) override;

 private:
  std::mutex lock_;
};

}  // namespace tavolin
