#pragma once

#include <optional>
#include <vector>

#include "TavolinMacAgent/Platform/ServiceAdvertiser.hpp"

namespace tavolin {

// Records what it was asked to advertise; the test plays the daemon with `deliver`. Like the
// real one, it drops events once the advertisement is withdrawn or replaced. Main executor only.
class FakeServiceAdvertiser final : public ServiceAdvertiser {
 public:
  void advertise(ServiceAdvertisement advertisement, EventHandler onEvent) override {
    advertisements.push_back(advertisement);
    current = std::move(advertisement);
    onEvent_ = std::move(onEvent);
  }

  void withdraw() override {
    ++withdrawals;
    current.reset();
    onEvent_ = nullptr;
  }

  // What the daemon would report for the current advertisement; dropped when there is none.
  void deliver(const ServiceAdvertiserEvent& event) {
    if (onEvent_)
      onEvent_(event);
  }

  std::vector<ServiceAdvertisement> advertisements;  // every advertise(), in order
  std::optional<ServiceAdvertisement> current;
  int withdrawals = 0;

 private:
  EventHandler onEvent_;
};

}  // namespace tavolin
