#pragma once

#include <memory>
#include <ostream>

#include "TavolinCore/Foundation/AppPaths.hpp"
#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Security/SecureItemStore.hpp"
#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

// The store the agent keeps its secrets in, given the keychain store:
// - TAVOLIN_TOKEN_STORE_DIR set: that directory is primary and keychain values are copied into
//   it, staying in the keychain;
// - else, when anything exists at TAVOLIN_LEGACY_TOKEN_STORE_DIR (default
//   <home>/.tavolin/production-mac-agent-token-store): the keychain is primary and values move
//   out of that directory;
// - else the keychain store itself (the very object passed in).
// An empty variable counts as unset: it names no directory. Runs on the main thread.
std::shared_ptr<TokenStore> chooseTokenStore(const Environment& environment,
                                             const AppPaths& appPaths,
                                             std::shared_ptr<TokenStore> keychain);

// The keychain store under the agent's fixed service name, on `secureItemStore` when the
// platform has one, with every key read once. Otherwise a file store under
// `<data directory>/token-store`, announced by one line on `diagnostics`: a desktop without a
// keyring must still keep its enrolment across restarts.
std::shared_ptr<TokenStore> makeKeychainStore(const AppPaths& appPaths,
                                              std::shared_ptr<SecureItemStore> secureItemStore,
                                              std::ostream& diagnostics);

}  // namespace tavolin
