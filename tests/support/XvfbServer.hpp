#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/ChildProcess.hpp"

namespace tavolin::testing {

// A private Xvfb for one test suite, on a display number the server picks itself (so suites
// running in parallel never collide), with MIT-SHM, RANDR, XTEST and XFIXES. Stopped when
// destroyed. `startWindowManager` adds an EWMH window manager (openbox) for focus tests.
class XvfbServer {
 public:
  explicit XvfbServer(int width = 1280, int height = 800);
  ~XvfbServer();

  // ":N", ready for XCB.
  const std::string& displayName() const { return displayName_; }

  // Starts openbox and waits until it has claimed the screen (_NET_SUPPORTING_WM_CHECK).
  void startWindowManager();

 private:
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> windowManager_;
  std::string displayName_;
};

// A suite whose tests share one display of the default size, started before the first of them.
class XvfbSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { display = new XvfbServer(); }
  static void TearDownTestSuite() {
    delete display;
    display = nullptr;
  }

  static inline XvfbServer* display = nullptr;
};

}  // namespace tavolin::testing
