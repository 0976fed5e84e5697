#include "TavolinMacAgent/Commands/AppCommands.hpp"

#include <algorithm>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"

namespace tavolin {
namespace {

std::optional<std::string> nonEmptyString(const JSONObject& payload, std::string_view key) {
  const std::string* value = CommandPayload::string(payload, key);
  if (value == nullptr || value->empty())
    return std::nullopt;
  return *value;
}

// A window id given as text or as a number.
std::optional<std::string> windowIdentifier(const JSONObject& payload) {
  for (std::string_view key : {"id", "windowId"}) {
    if (auto text = nonEmptyString(payload, key))
      return text;
    const JSONValue* value = payload.find(key);
    if (value != nullptr && value->number() != nullptr) {
      if (const auto number = CommandPayload::integer(payload, key))
        return std::to_string(*number);
    }
  }
  return std::nullopt;
}

void setIdentity(JSONObject& result, const RunningApplication& application) {
  if (application.bundleIdentifier)
    result.set("bundleIdentifier", *application.bundleIdentifier);
  result.set("appName", applicationDisplayName(application));
}

}  // namespace

AppCommands::AppCommands(std::shared_ptr<Workspace> workspace,
                         std::shared_ptr<WindowList> windowList,
                         std::shared_ptr<BrowserTabs> browserTabs,
                         std::function<bool()> accessibilityTrusted)
    : workspace_(std::move(workspace)),
      windowList_(std::move(windowList)),
      browserTabs_(std::move(browserTabs)),
      accessibilityTrusted_(std::move(accessibilityTrusted)) {}

void AppCommands::registerWith(CommandExecutor& executor) {
  auto self = shared_from_this();
  executor.registerHandler("open_app",
                           [self](const JSONObject& payload) { return self->openApp(payload); });
  executor.registerHandler("focus_app",
                           [self](const JSONObject& payload) { return self->focusApp(payload); });
  executor.registerHandler(
      "focus_window", [self](const JSONObject& payload) { return self->focusWindow(payload); });
}

AppCommands::AppSelector AppCommands::appSelector(const JSONObject& payload) {
  AppSelector selector;
  if (auto list = CommandPayload::stringList(payload, "bundleIdentifiers"))
    selector.bundleIdentifiers = std::move(*list);
  if (auto single = nonEmptyString(payload, "bundleIdentifier"))
    selector.bundleIdentifiers.push_back(std::move(*single));
  std::erase(selector.bundleIdentifiers, std::string());
  selector.appName = nonEmptyString(payload, "appName");
  return selector;
}

std::vector<RunningApplication> AppCommands::listed() {
  std::vector<RunningApplication> running = workspace_->runningApplications();
  std::erase_if(running, [](const RunningApplication& application) {
    return application.activationPolicy == ActivationPolicy::prohibited;
  });
  return running;
}

std::vector<RunningApplication> AppCommands::matching(const AppSelector& selector) {
  const std::vector<RunningApplication> running = listed();
  std::vector<RunningApplication> found;
  std::copy_if(running.begin(), running.end(), std::back_inserter(found), [&](const auto& app) {
    return app.bundleIdentifier &&
           std::find(selector.bundleIdentifiers.begin(), selector.bundleIdentifiers.end(),
                     *app.bundleIdentifier) != selector.bundleIdentifiers.end();
  });
  if (found.empty() && selector.appName) {
    std::copy_if(running.begin(), running.end(), std::back_inserter(found), [&](const auto& app) {
      return equalsIgnoringCase(applicationDisplayName(app), *selector.appName);
    });
  }
  return found;
}

Awaitable<CompleteCommandPayload> AppCommands::openApp(const JSONObject& payload) {
  const AppSelector selector = appSelector(payload);
  if (selector.empty())
    co_return CommandResults::failed("missing_app_selector");
  const auto running = matching(selector);
  if (!running.empty()) {
    const RunningApplication& application = running.front();
    if (!co_await workspace_->activate(application))
      co_return CommandResults::failed("app_activation_failed");
    JSONObject result;
    setIdentity(result, application);
    result.set("alreadyRunning", true);
    result.set("activated", true);
    co_return CommandResults::succeeded(std::move(result));
  }
  std::optional<InstalledApplication> installed;
  for (const std::string& identifier : selector.bundleIdentifiers) {
    if ((installed = workspace_->installedApplication(identifier)))
      break;
  }
  if (!installed && selector.appName)
    installed = workspace_->installedApplicationNamed(*selector.appName);
  if (!installed)
    co_return CommandResults::failed("app_not_installed");
  if (!co_await workspace_->open(*installed))
    co_return CommandResults::failed("app_open_failed");
  JSONObject result{{"path", installed->path}, {"opened", true}, {"alreadyRunning", false}};
  co_return CommandResults::succeeded(std::move(result));
}

Awaitable<CompleteCommandPayload> AppCommands::focusApp(const JSONObject& payload) {
  const AppSelector selector = appSelector(payload);
  if (selector.empty())
    co_return CommandResults::failed("missing_app_selector");
  const auto running = matching(selector);
  if (running.empty())
    co_return CommandResults::failed("app_not_running");
  if (!co_await workspace_->activate(running.front()))
    co_return CommandResults::failed("app_activation_failed");
  JSONObject result;
  setIdentity(result, running.front());
  result.set("activated", true);
  co_return CommandResults::succeeded(std::move(result));
}

Awaitable<CompleteCommandPayload> AppCommands::focusWindow(const JSONObject& payload) {
  if (const std::string* kind = CommandPayload::string(payload, "kind");
      kind && *kind == "browserTab")
    co_return co_await focusBrowserTab(payload);
  if (!accessibilityTrusted_ || !accessibilityTrusted_())
    co_return CommandResults::failed("accessibility_not_granted");
  const auto id = windowIdentifier(payload);
  const auto title = nonEmptyString(payload, "title");
  const AppSelector selector = appSelector(payload);
  if (!id && !title && selector.empty())
    co_return CommandResults::failed("missing_window_selector");

  const std::vector<RunningApplication> candidates =
      selector.empty() ? listed() : matching(selector);
  struct Found {
    RunningApplication application;
    ApplicationWindow window;
  };
  std::vector<Found> windows;
  for (const RunningApplication& application : candidates) {
    for (ApplicationWindow& window : windowList_->windows(application))
      windows.push_back({application, std::move(window)});
  }
  const auto find = [&](auto&& predicate) -> const Found* {
    const auto found = std::find_if(windows.begin(), windows.end(), predicate);
    return found == windows.end() ? nullptr : &*found;
  };
  const Found* target = nullptr;
  if (id) {
    target = find([&](const Found& f) { return std::to_string(f.window.number) == *id; });
  }
  if (target == nullptr && title) {
    target = find([&](const Found& f) { return f.window.title == *title; });
  }
  if (target == nullptr && !id && !title && !windows.empty())
    target = &windows.front();
  if (target == nullptr)
    co_return CommandResults::failed("window_not_found");

  const WindowRaiseResult raised = co_await windowList_->raise(target->window.number);
  JSONObject statuses{{"raiseStatus", raised.raiseStatus}, {"mainStatus", raised.mainStatus}};
  if (!raised.succeeded())
    co_return CommandResults::failed("window_focus_failed", std::move(statuses));
  JSONObject result{{"id", std::to_string(target->window.number)},
                    {"title", target->window.title.value_or("")},
                    {"appName", applicationDisplayName(target->application)},
                    {"raised", true},
                    {"focused", true}};
  for (const auto& [key, value] : statuses)
    result.set(key, value);
  co_return CommandResults::succeeded(std::move(result));
}

Awaitable<CompleteCommandPayload> AppCommands::focusBrowserTab(const JSONObject& payload) {
  const auto bundleIdentifier = nonEmptyString(payload, "bundleIdentifier");
  const auto windowIndex = CommandPayload::integer(payload, "browserWindowIndex");
  const auto tabIndex = CommandPayload::integer(payload, "browserTabIndex");
  if (!bundleIdentifier || !windowIndex || !tabIndex)
    co_return CommandResults::failed("missing_browser_tab_selector");
  const auto failed = [](std::string error) {
    return CommandResults::failed("browser_tab_focus_failed",
                                  {{"error", error.empty() ? "automation_failed" : error}});
  };
  const auto running = matching({.bundleIdentifiers = {*bundleIdentifier}});
  if (running.empty())
    co_return failed(*bundleIdentifier + " is not running");
  const RunningApplication& browser = running.front();
  if (auto error = co_await browserTabs_->focusTab(browser, *windowIndex, *tabIndex))
    co_return failed(std::move(*error));
  if (!co_await workspace_->activate(browser))
    co_return failed("the browser's window could not be brought forward");
  JSONObject result{{"bundleIdentifier", *bundleIdentifier},
                    {"windowIndex", *windowIndex},
                    {"tabIndex", *tabIndex}};
  co_return CommandResults::succeeded(std::move(result));
}

}  // namespace tavolin
