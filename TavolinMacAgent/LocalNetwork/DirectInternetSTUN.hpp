#pragma once

#include <vector>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

// The STUN servers a controller coming from the internet should use: `TAVOLIN_DIRECT_STUN_URLS`
// as a comma list (only stun:/stuns: URLs are kept, one server each), "none" for none, and a
// public default when unset or empty.
std::vector<TavolinICEServer> directInternetSTUNServers(const Environment& environment);

}  // namespace tavolin
