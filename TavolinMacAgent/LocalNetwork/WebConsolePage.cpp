#include "TavolinMacAgent/LocalNetwork/WebConsolePage.hpp"

namespace tavolin {

// A short page that tells a visitor what answers here; the browser console replaces it.
std::string_view webConsolePage() {
  return R"(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tavolin</title>
<link rel="icon" href="/favicon.svg" type="image/svg+xml">
<style>
body { margin: 0; min-height: 100vh; display: grid; place-items: center;
       background: #080a0f; color: #e5e7eb; font: 16px/1.5 system-ui, sans-serif; }
main { max-width: 32rem; padding: 2rem; }
h1 { color: #5eead4; font-size: 1.5rem; margin: 0 0 .5rem; }
</style>
</head>
<body>
<main>
<h1>Tavolin agent</h1>
<p>This computer accepts paired controllers here. Pair from the Tavolin app with the
eight-digit code the agent shows.</p>
</main>
</body>
</html>
)";
}

}  // namespace tavolin
