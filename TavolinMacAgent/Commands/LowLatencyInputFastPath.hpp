#pragma once

#include <memory>
#include <string_view>

#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinCore/Security/TokenStore.hpp"
#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/InputInjector.hpp"

namespace tavolin {

// Pointer moves and scrolls from the "tavolin.input" data channel, handled on their own queue
// so that they never wait behind video or other commands on the main actor. The queue keeps
// its own key and replay caches; one instance serves every session. Moves that wait behind
// one another are injected as one move by their sum. Failures are dropped silently: a lost move
// is replaced by the next one.
class LowLatencyInputFastPath {
 public:
  LowLatencyInputFastPath(std::shared_ptr<TokenStore> tokenStore, const Clock& clock,
                          std::shared_ptr<InputInjector> injector,
                          std::shared_ptr<DisplayGeometry> geometry);
  ~LowLatencyInputFastPath();
  LowLatencyInputFastPath(const LowLatencyInputFastPath&) = delete;
  LowLatencyInputFastPath& operator=(const LowLatencyInputFastPath&) = delete;

  // Takes an encrypted "pointer_move-" or "scroll-" command that wants no result and queues it;
  // answers false for anything the normal command path must handle. Callable from any thread.
  bool enqueueIfSupported(std::string_view data);

 private:
  struct State;
  std::shared_ptr<State> state_;
  // Declared last: destroying it joins the queue before the state goes.
  SerialQueue queue_;
};

}  // namespace tavolin
