#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

// webrtcbin takes one STUN server as "stun://host:port"; this is the first usable "stun:" URL of
// the configuration in that form (port 3478 when none is given, query dropped). Relay URLs (not
// used on this path), "stuns:" (webrtcbin has no STUN over TLS) and anything malformed are
// skipped.
std::optional<std::string> webrtcbinStunServer(const std::vector<TavolinICEServer>& servers);

}  // namespace tavolin
