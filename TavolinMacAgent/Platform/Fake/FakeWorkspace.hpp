#pragma once

#include <algorithm>
#include <vector>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinMacAgent/Platform/Workspace.hpp"

namespace tavolin {

// Applications in memory. Records what it was asked; activation and launching can be told to
// fail. A successful open adds the application to `running`, as a real launch would.
class FakeWorkspace final : public Workspace {
 public:
  std::vector<RunningApplication> running;
  std::vector<InstalledApplication> installed;
  bool activationSucceeds = true;
  bool openSucceeds = true;

  std::vector<RunningApplication> activated;
  std::vector<InstalledApplication> opened;
  int listings = 0;

  std::vector<RunningApplication> runningApplications() override {
    ++listings;
    return running;
  }

  Awaitable<bool> activate(const RunningApplication& application) override {
    activated.push_back(application);
    co_return activationSucceeds;
  }

  std::optional<InstalledApplication> installedApplication(
      std::string_view bundleIdentifier) override {
    const auto found = std::find_if(installed.begin(), installed.end(), [&](const auto& app) {
      return app.bundleIdentifier == bundleIdentifier;
    });
    return found == installed.end() ? std::nullopt : std::optional(*found);
  }

  std::optional<InstalledApplication> installedApplicationNamed(std::string_view name) override {
    const auto found = std::find_if(installed.begin(), installed.end(), [&](const auto& app) {
      return equalsIgnoringCase(app.name, name);
    });
    return found == installed.end() ? std::nullopt : std::optional(*found);
  }

  Awaitable<bool> open(const InstalledApplication& application) override {
    opened.push_back(application);
    if (openSucceeds) {
      running.push_back({.bundleIdentifier = application.bundleIdentifier,
                         .localizedName = application.name,
                         .processIdentifier = 1000 + static_cast<std::int64_t>(running.size())});
    }
    co_return openSucceeds;
  }
};

}  // namespace tavolin
