#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/X11/X11WorkspaceClients.hpp"

namespace tavolin {
namespace {

X11Client client(xcb_window_t window, std::optional<std::int64_t> pid, std::string id,
                 X11WindowType type = X11WindowType::normal, bool skipTaskbar = false) {
  return {.window = window,
          .pid = pid,
          .type = type,
          .skipTaskbar = skipTaskbar,
          .onScreen = true,
          .bundleIdentifier = id,
          .applicationName = id};
}

TEST(X11ClientGrouping, ClientsOfOneProcess_FormOneApplicationInFrontToBackOrder) {
  const auto applications = groupX11Clients(
      {client(10, 100, "editor"), client(20, 200, "xterm"), client(30, 100, "editor"),
       client(40, 300, "xterm"), client(50, std::nullopt, "legacy"),
       client(60, std::nullopt, "legacy"), client(70, std::nullopt, "other")},
      30);
  ASSERT_EQ(applications.size(), 5u);
  EXPECT_EQ(applications[0].application.processIdentifier, 100);
  EXPECT_EQ(applications[0].windows, (std::vector<xcb_window_t>{10, 30}));
  EXPECT_TRUE(applications[0].application.isActive);
  // Two processes of one program are two applications, as two instances are.
  EXPECT_EQ(applications[1].application.processIdentifier, 200);
  EXPECT_EQ(applications[2].application.processIdentifier, 300);
  EXPECT_FALSE(applications[1].application.isActive);
  // Without a process id, the identifier groups.
  EXPECT_EQ(applications[3].windows, (std::vector<xcb_window_t>{50, 60}));
  EXPECT_FALSE(applications[3].application.processIdentifier);
  EXPECT_EQ(applications[4].application.bundleIdentifier, "other");

  X11ClientSnapshot snapshot{.applications = applications};
  EXPECT_EQ(snapshot.application({.bundleIdentifier = "legacy"}), &snapshot.applications[3]);
  EXPECT_EQ(snapshot.application({.bundleIdentifier = "xterm", .processIdentifier = 300}),
            &snapshot.applications[2]);
  EXPECT_EQ(snapshot.application({.bundleIdentifier = "editor", .processIdentifier = 999}),
            nullptr);
}

TEST(X11ClientGrouping, WindowKinds_DecidePolicyAndLayer) {
  const auto applications = groupX11Clients(
      {client(1, 1, "panel", X11WindowType::dock), client(2, 1, "panel", X11WindowType::desktop),
       client(3, 2, "tool", X11WindowType::floating),
       client(4, 3, "hidden-from-taskbar", X11WindowType::normal, true),
       client(5, 4, "app", X11WindowType::floating), client(6, 4, "app", X11WindowType::dialog)},
      XCB_WINDOW_NONE);
  ASSERT_EQ(applications.size(), 4u);
  EXPECT_EQ(applications[0].application.activationPolicy, ActivationPolicy::prohibited);
  EXPECT_EQ(applications[1].application.activationPolicy, ActivationPolicy::accessory);
  EXPECT_EQ(applications[2].application.activationPolicy, ActivationPolicy::accessory);
  EXPECT_EQ(applications[3].application.activationPolicy, ActivationPolicy::regular);

  EXPECT_EQ(x11WindowLayer(X11WindowType::normal), 0);
  EXPECT_NE(x11WindowLayer(X11WindowType::dialog), 0);
  EXPECT_NE(x11WindowLayer(X11WindowType::dock), 0);
  EXPECT_FALSE(x11WindowLayer(X11WindowType::desktop));
}

}  // namespace
}  // namespace tavolin
