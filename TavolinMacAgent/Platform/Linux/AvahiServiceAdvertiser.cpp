#include "TavolinMacAgent/Platform/Linux/AvahiServiceAdvertiser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <boost/asio/post.hpp>

namespace tavolin {
namespace {

using Kind = ServiceAdvertiserEvent::Kind;

// Holds the poll lock for the public methods; the poll thread holds it itself while it calls us.
class PollLock {
 public:
  explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) {
    if (poll_)
      avahi_threaded_poll_lock(poll_);
  }
  ~PollLock() {
    if (poll_)
      avahi_threaded_poll_unlock(poll_);
  }
  PollLock(const PollLock&) = delete;
  PollLock& operator=(const PollLock&) = delete;

 private:
  AvahiThreadedPoll* poll_;
};

std::string nextAlternativeName(const std::string& name) {
  char* alternative = avahi_alternative_service_name(name.c_str());
  if (!alternative)
    throw std::bad_alloc();
  std::string result(alternative);
  avahi_free(alternative);
  return result;
}

struct TXTRecord {
  explicit TXTRecord(const std::vector<std::pair<std::string, std::string>>& entries) {
    // Prepending builds the list backwards; Avahi sends it from the head.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
      AvahiStringList* grown =
          avahi_string_list_add_pair(list, entry->first.c_str(), entry->second.c_str());
      if (!grown)
        throw std::bad_alloc();
      list = grown;
    }
  }
  ~TXTRecord() { avahi_string_list_free(list); }
  TXTRecord(const TXTRecord&) = delete;
  TXTRecord& operator=(const TXTRecord&) = delete;

  AvahiStringList* list = nullptr;
};

}  // namespace

struct AvahiCallbacks {
  static void clientState(AvahiClient* client, AvahiClientState state, void* self) noexcept {
    try {
      static_cast<AvahiServiceAdvertiser*>(self)->handleClientState(client, state);
    } catch (...) {
      // Out of memory on Avahi's thread: this event is lost, the next state change retries.
    }
  }

  static void groupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) noexcept {
    try {
      static_cast<AvahiServiceAdvertiser*>(self)->handleGroupState(group, state);
    } catch (...) {
      // As above.
    }
  }
};

AvahiServiceAdvertiser::AvahiServiceAdvertiser(Executor eventExecutor)
    : eventExecutor_(std::move(eventExecutor)) {}

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() {
  stop();
}

void AvahiServiceAdvertiser::advertise(ServiceAdvertisement advertisement, EventHandler onEvent) {
  if (stopped_)
    return;
  if (!poll_) {
    advertisement_ = std::move(advertisement);
    onEvent_ = std::make_shared<EventHandler>(std::move(onEvent));
    unavailableReported_ = false;
    connect();
    return;
  }
  PollLock lock(poll_);
  advertisement_ = std::move(advertisement);
  onEvent_ = std::make_shared<EventHandler>(std::move(onEvent));
  unavailableReported_ = false;
  if (client_ && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING)
    registerService(client_);
}

void AvahiServiceAdvertiser::withdraw() {
  PollLock lock(poll_);
  advertisement_.reset();
  onEvent_.reset();
  if (group_) {
    avahi_entry_group_free(group_);
    group_ = nullptr;
  }
}

void AvahiServiceAdvertiser::stop() {
  if (stopped_)
    return;
  stopped_ = true;
  {
    PollLock lock(poll_);
    advertisement_.reset();
    onEvent_.reset();
  }
  if (!poll_)
    return;
  avahi_threaded_poll_stop(poll_);
  // The poll thread has ended; freeing the client frees its entry group and withdraws it.
  if (client_)
    avahi_client_free(client_);
  client_ = nullptr;
  group_ = nullptr;
  avahi_threaded_poll_free(poll_);
  poll_ = nullptr;
}

void AvahiServiceAdvertiser::connect() {
  poll_ = avahi_threaded_poll_new();
  if (!poll_) {
    report(Kind::failed, avahi_strerror(AVAHI_ERR_NO_MEMORY));
    return;
  }
  int error = 0;
  // NO_FAIL: without a daemon the client waits in CONNECTING and comes up when it appears.
  client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                             &AvahiCallbacks::clientState, this, &error);
  if (!client_) {
    // No system bus at all: nothing will ever answer.
    reportUnavailable(error);
    avahi_threaded_poll_free(poll_);
    poll_ = nullptr;
    return;
  }
  if (avahi_threaded_poll_start(poll_) < 0) {
    avahi_client_free(client_);
    client_ = nullptr;
    avahi_threaded_poll_free(poll_);
    poll_ = nullptr;
    report(Kind::failed, "could not start the Avahi poll thread");
  }
}

void AvahiServiceAdvertiser::handleClientState(AvahiClient* client, int state) {
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      if (!group_ || avahi_entry_group_is_empty(group_))
        registerService(client);
      break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The host name is changing; the service goes out again once the client is running.
      if (group_)
        avahi_entry_group_reset(group_);
      break;
    case AVAHI_CLIENT_CONNECTING:
      reportUnavailable(AVAHI_ERR_NO_DAEMON);
      break;
    case AVAHI_CLIENT_FAILURE:
      if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
        // The daemon went away (a restart, typically): start over and wait for it. The client
        // may be freed from its own callback.
        avahi_client_free(client);
        client_ = nullptr;
        group_ = nullptr;
        int error = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                   &AvahiCallbacks::clientState, this, &error);
        if (!client_)
          reportUnavailable(error);
      } else {
        report(Kind::failed, avahi_strerror(avahi_client_errno(client)));
      }
      break;
    default:
      break;
  }
}

void AvahiServiceAdvertiser::handleGroupState(AvahiEntryGroup* group, int state) {
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      if (advertisement_)
        report(Kind::registered, advertisement_->name);
      break;
    case AVAHI_ENTRY_GROUP_COLLISION:
      // Another host on the network has the name.
      if (advertisement_) {
        advertisement_->name = nextAlternativeName(advertisement_->name);
        registerService(avahi_entry_group_get_client(group));
      }
      break;
    case AVAHI_ENTRY_GROUP_FAILURE:
      report(Kind::failed, avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
      break;
    default:
      break;
  }
}

void AvahiServiceAdvertiser::registerService(AvahiClient* client) {
  if (!advertisement_)
    return;
  if (group_) {
    avahi_entry_group_reset(group_);
  } else {
    group_ = avahi_entry_group_new(client, &AvahiCallbacks::groupState, this);
    if (!group_) {
      report(Kind::failed, avahi_strerror(avahi_client_errno(client)));
      return;
    }
  }
  const TXTRecord txt(advertisement_->txt);
  // A name taken by another service of this host fails at once rather than as a group
  // collision. Alternatives differ each time, so this ends.
  for (;;) {
    const int error = avahi_entry_group_add_service_strlst(
        group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
        advertisement_->name.c_str(), advertisement_->type.c_str(), nullptr, nullptr,
        advertisement_->port, txt.list);
    if (error == AVAHI_ERR_COLLISION) {
      advertisement_->name = nextAlternativeName(advertisement_->name);
      continue;
    }
    if (error < 0) {
      report(Kind::failed, avahi_strerror(error));
      return;
    }
    break;
  }
  if (const int error = avahi_entry_group_commit(group_); error < 0)
    report(Kind::failed, avahi_strerror(error));
}

void AvahiServiceAdvertiser::report(Kind kind, std::string detail) {
  if (!onEvent_)
    return;
  ServiceAdvertiserEvent event{kind, std::move(detail)};
  asio::post(eventExecutor_,
             [weakHandler = std::weak_ptr<EventHandler>(onEvent_), event = std::move(event)] {
               if (const auto handler = weakHandler.lock())
                 (*handler)(event);
             });
}

void AvahiServiceAdvertiser::reportUnavailable(int avahiError) {
  if (unavailableReported_)
    return;
  unavailableReported_ = true;
  report(Kind::unavailable, avahi_strerror(avahiError));
}

}  // namespace tavolin
