#include "TavolinMacAgent/Platform/Linux/LibsecretItemStore.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <libsecret/secret.h>
#include <sys/stat.h>

namespace tavolin {
namespace {

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GHashTableUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct SecretValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct GListFreeObjects {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

using ErrorPointer = std::unique_ptr<GError, GErrorFree>;
using ServicePointer = std::unique_ptr<SecretService, GObjectUnref>;
using AttributesPointer = std::unique_ptr<GHashTable, GHashTableUnref>;
using ValuePointer = std::unique_ptr<SecretValue, SecretValueUnref>;
using ItemListPointer = std::unique_ptr<GList, GListFreeObjects>;

const SecretSchema* itemSchema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = LibsecretItemStore::kSchemaName.data();
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[2] = {"accessGroup", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[3] = {"accessibility", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &schema;
}

std::int32_t statusFor(const GError* error) {
  if (error == nullptr) {
    return SecureItemStatus::internalError;
  }
  if (error->domain == SECRET_ERROR) {
    switch (error->code) {
      case SECRET_ERROR_IS_LOCKED:
        return SecureItemStatus::interactionNotAllowed;
      case SECRET_ERROR_ALREADY_EXISTS:
        return SecureItemStatus::duplicateItem;
      case SECRET_ERROR_NO_SUCH_OBJECT:
        return SecureItemStatus::notAvailable;
      default:
        return SecureItemStatus::internalError;
    }
  }
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_ACCESS_DENIED:
      case G_DBUS_ERROR_AUTH_FAILED:
        return SecureItemStatus::authFailed;
      // gnome-keyring answers UnknownMethod for a collection path that does not exist, which is
      // what a missing "login" keyring looks like.
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_NO_REPLY:
      case G_DBUS_ERROR_NO_SERVER:
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT:
      case G_DBUS_ERROR_DISCONNECTED:
      case G_DBUS_ERROR_UNKNOWN_METHOD:
      case G_DBUS_ERROR_UNKNOWN_OBJECT:
      case G_DBUS_ERROR_UNKNOWN_INTERFACE:
        return SecureItemStatus::notAvailable;
      default:
        return error->code >= G_DBUS_ERROR_SPAWN_EXEC_FAILED &&
                       error->code <= G_DBUS_ERROR_SPAWN_NO_MEMORY
                   ? SecureItemStatus::notAvailable
                   : SecureItemStatus::internalError;
    }
  }
  // Connecting to or talking over the bus failed (no socket, connection closed).
  if (error->domain == G_IO_ERROR) {
    return SecureItemStatus::notAvailable;
  }
  return SecureItemStatus::internalError;
}

// The session bus address GLib would use, except that it never autolaunches one: spawning a
// bus of our own would only find an empty Secret Service.
std::optional<std::string> sessionBusAddress() {
  if (const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return std::string(address);
  }
  const char* runtimeDirectory = g_getenv("XDG_RUNTIME_DIR");
  if (runtimeDirectory == nullptr || *runtimeDirectory == '\0') {
    return std::nullopt;
  }
  const std::string socketPath = std::string(runtimeDirectory) + "/bus";
  struct stat info {};
  if (::stat(socketPath.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
    return std::nullopt;
  }
  gchar* escaped = g_dbus_address_escape_value(socketPath.c_str());
  std::string address = std::string("unix:path=") + escaped;
  g_free(escaped);
  return address;
}

ServicePointer acquireService(std::int32_t& status) {
  if (!sessionBusAddress()) {
    status = SecureItemStatus::notAvailable;
    return nullptr;
  }
  GError* rawError = nullptr;
  // The shared session connection ends the process (SIGTERM) when the bus closes it by
  // default; losing the keyring must only fail the call.
  if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError)) {
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_object_unref(bus);
  } else {
    ErrorPointer error(rawError);
    status = statusFor(error.get());
    return nullptr;
  }
  ServicePointer service(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &rawError));
  ErrorPointer error(rawError);
  if (!service) {
    status = statusFor(error.get());
  }
  return service;
}

void insertAttribute(GHashTable* table, const char* name, const std::string& value) {
  g_hash_table_insert(table, g_strdup(name), g_strdup(value.c_str()));
}

AttributesPointer attributesFor(const SecureItemQuery& query, bool includeAccessGroup = true) {
  AttributesPointer table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  insertAttribute(table.get(), "service", query.service);
  insertAttribute(table.get(), "account", query.account);
  if (includeAccessGroup && query.accessGroup) {
    insertAttribute(table.get(), "accessGroup", *query.accessGroup);
  }
  return table;
}

ValuePointer valueFor(std::string_view data) {
  return ValuePointer(
      secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream"));
}

// State of one availability probe; lives on the probing thread's stack and is only touched by
// callbacks dispatched on its private main context, which is iterated until `pending` is zero.
struct AvailabilityProbe {
  GCancellable* cancellable = nullptr;
  GDBusConnection* connection = nullptr;
  int callTimeoutMilliseconds = 0;
  int pending = 0;
  bool available = false;
};

// GLib callbacks: plain C calls only, nothing that throws.
void onDefaultAlias(GObject* source, GAsyncResult* result, gpointer data) noexcept {
  auto* probe = static_cast<AvailabilityProbe*>(data);
  if (GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr)) {
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    // "/" is the answer when no collection carries the alias: nowhere to store items.
    probe->available = path != nullptr && std::strcmp(path, "/") != 0;
    g_variant_unref(reply);
  }
  --probe->pending;
}

void onConnected(GObject*, GAsyncResult* result, gpointer data) noexcept {
  auto* probe = static_cast<AvailabilityProbe*>(data);
  probe->connection = g_dbus_connection_new_for_address_finish(result, nullptr);
  if (probe->connection != nullptr && !g_cancellable_is_cancelled(probe->cancellable)) {
    ++probe->pending;
    // Also starts a D-Bus-activatable service that is not running yet.
    g_dbus_connection_call(probe->connection, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                           "org.freedesktop.Secret.Service", "ReadAlias",
                           g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"),
                           G_DBUS_CALL_FLAGS_NONE, probe->callTimeoutMilliseconds,
                           probe->cancellable, onDefaultAlias, probe);
  }
  --probe->pending;
}

gboolean onProbeTimeout(gpointer data) noexcept {
  g_cancellable_cancel(static_cast<AvailabilityProbe*>(data)->cancellable);
  return G_SOURCE_REMOVE;
}

// Runs `body` with the Secret Service, under the store's lock. Without a service the answer is
// the status that says why, and `body` does not run.
template <class Result, class Body>
Result withService(std::mutex& lock, Body&& body) {
  std::lock_guard guard(lock);
  std::int32_t status = SecureItemStatus::success;
  const auto service = acquireService(status);
  if (!service) {
    return Result{status};
  }
  return body(service.get());
}

}  // namespace

bool LibsecretItemStore::isServiceAvailable(std::chrono::milliseconds timeout) {
  const auto address = sessionBusAddress();
  if (!address) {
    return false;
  }
  const auto milliseconds =
      static_cast<guint>(std::clamp<std::int64_t>(timeout.count(), 1, G_MAXINT));

  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  AvailabilityProbe probe;
  probe.cancellable = g_cancellable_new();
  probe.callTimeoutMilliseconds = static_cast<int>(milliseconds);
  probe.pending = 1;
  // Asynchronous so that the timeout also bounds a bus that accepts the socket but never
  // completes the handshake.
  g_dbus_connection_new_for_address(
      address->c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, probe.cancellable, onConnected, &probe);
  GSource* timer = g_timeout_source_new(milliseconds);
  g_source_set_callback(timer, onProbeTimeout, &probe, nullptr);
  g_source_attach(timer, context);
  while (probe.pending > 0) {
    g_main_context_iteration(context, TRUE);
  }
  g_source_destroy(timer);
  g_source_unref(timer);

  if (probe.connection != nullptr) {
    g_dbus_connection_close_sync(probe.connection, nullptr, nullptr);
    // The "closed" notification is queued on this context; dispatch it so that nothing keeps
    // the connection alive.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_object_unref(probe.connection);
  }
  g_object_unref(probe.cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return probe.available;
}

SecureItemCopyResult LibsecretItemStore::copy(const SecureItemQuery& query) {
  return withService<SecureItemCopyResult>(
      lock_, [&](SecretService* service) -> SecureItemCopyResult {
        GError* rawError = nullptr;
        ValuePointer value(secret_service_lookup_sync(
            service, itemSchema(), attributesFor(query).get(), nullptr, &rawError));
        ErrorPointer error(rawError);
        if (error) {
          return {statusFor(error.get()), std::nullopt};
        }
        if (!value) {
          return {SecureItemStatus::itemNotFound, std::nullopt};
        }
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        return {SecureItemStatus::success, std::string(bytes != nullptr ? bytes : "", length)};
      });
}

std::int32_t LibsecretItemStore::update(const SecureItemQuery& query, std::string_view data) {
  return withService<std::int32_t>(lock_, [&](SecretService* service) -> std::int32_t {
    GError* rawError = nullptr;
    ItemListPointer items(secret_service_search_sync(
        service, itemSchema(), attributesFor(query).get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), nullptr,
        &rawError));
    if (ErrorPointer error(rawError); error) {
      return statusFor(error.get());
    }
    if (!items) {
      return SecureItemStatus::itemNotFound;
    }
    const auto value = valueFor(data);
    for (GList* node = items.get(); node != nullptr; node = node->next) {
      if (!secret_item_set_secret_sync(SECRET_ITEM(node->data), value.get(), nullptr, &rawError)) {
        ErrorPointer error(rawError);
        return statusFor(error.get());
      }
    }
    return SecureItemStatus::success;
  });
}

std::int32_t LibsecretItemStore::add(const SecureItemQuery& query, std::string_view data,
                                     SecureItemAccessibility accessibility) {
  return withService<std::int32_t>(lock_, [&](SecretService* service) -> std::int32_t {
    GError* rawError = nullptr;
    // The service would happily hold a second item for the same (service, account) under other
    // attributes; refuse like the keychain does.
    ItemListPointer existing(secret_service_search_sync(service, itemSchema(),
                                                        attributesFor(query, false).get(),
                                                        SECRET_SEARCH_NONE, nullptr, &rawError));
    if (ErrorPointer error(rawError); error) {
      return statusFor(error.get());
    }
    if (existing) {
      return SecureItemStatus::duplicateItem;
    }

    // There is no per-item accessibility on the Secret Service: the collection's lock plays that
    // role (the login collection is unlocked when the user logs in, which is "after first
    // unlock", and it lives in this machine's keyring file, which is "this device only"). The
    // class is recorded as an attribute so that the item says what it was created for.
    auto attributes = attributesFor(query);
    insertAttribute(attributes.get(), "accessibility",
                    std::string(accessibilityName(accessibility)));
    const std::string label = query.service + " " + query.account;
    const auto value = valueFor(data);
    if (!secret_service_store_sync(service, itemSchema(), attributes.get(),
                                   SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr,
                                   &rawError)) {
      ErrorPointer error(rawError);
      return statusFor(error.get());
    }
    return SecureItemStatus::success;
  });
}

std::int32_t LibsecretItemStore::remove(const SecureItemQuery& query) {
  return withService<std::int32_t>(lock_, [&](SecretService* service) -> std::int32_t {
    GError* rawError = nullptr;
    const bool removed = secret_service_clear_sync(service, itemSchema(),
                                                   attributesFor(query).get(), nullptr, &rawError);
    if (ErrorPointer error(rawError); error) {
      return statusFor(error.get());
    }
    return removed ? SecureItemStatus::success : SecureItemStatus::itemNotFound;
  });
}

}  // namespace tavolin
