#pragma once

#include <vector>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

// The STUN servers a controller coming from the internet should use: `TAVOLIN_DIRECT_STUN_URLS`
// as a comma list (relay URLs dropped; what is left forms one server), "none" for none, and a
// public default when unset or empty.
std::vector<TavolinICEServer> directInternetSTUNServers(const Environment& environment);

}  // namespace tavolin
