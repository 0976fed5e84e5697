#pragma once

#include "TavolinMacAgent/Platform/Platform.hpp"

namespace tavolin {

// A whole platform of fakes: a 1920x1080 display painted one colour, an empty desktop, an
// in-memory keychain and peer connections that go nowhere. For running the start sequence and
// the components it builds in a test, without a display or a session bus.
Platform makeFakePlatform(Executor mainExecutor, const Environment& environment);

}  // namespace tavolin
