# Sourced by the benchmark scripts: a private Xvfb display and the agent on it, ready to serve.
# Expects `work` (a scratch directory) and a `pids` array that the caller's EXIT trap kills.

# bench_start_display <WxHxD>: sets `display`.
bench_start_display() {
  Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp 3>"$work/display" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  display=":$(head -n 1 "$work/display")"
}

# bench_start_agent <build dir | agent binary> [control plane URL]: runs the agent on `display`
# with a private home; sets `agent_pid`, `port`, `code` (the local pairing code) and `base` (its
# URL). Without a control plane its hosted route only retries against a closed port.
bench_start_agent() {
  local binary="$1/tavolin-agent" api="${2:-http://127.0.0.1:9}"
  [ -f "$1" ] && binary="$1"
  DISPLAY="$display" HOME="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
    XDG_STATE_HOME="$work/state" TAVOLIN_API_URL="$api" \
    TAVOLIN_MAC_UPDATE_MANIFEST_URL=http://127.0.0.1:9/latest.json \
    "$binary" 2>"$work/agent.log" &
  agent_pid=$!
  pids+=($agent_pid)
  local ready=""
  for _ in $(seq 200); do
    ready="$(grep -o 'TAVOLIN_LOCAL_NETWORK_READY port=[0-9]* code=[0-9]*' "$work/agent.log" \
      2>/dev/null || true)"
    [ -n "$ready" ] && break
    sleep 0.1
  done
  [ -n "$ready" ] || { echo "agent did not become ready" >&2; cat "$work/agent.log" >&2; exit 1; }
  port="$(sed 's/.*port=\([0-9]*\).*/\1/' <<<"$ready")"
  code="$(sed 's/.*code=\([0-9]*\).*/\1/' <<<"$ready")"
  base="http://127.0.0.1:$port"
}

# bench_count <n>: n, or a twentieth of it in the short run (TAVOLIN_BENCH_SHORT) that only
# checks every benchmark still works.
bench_count() {
  if [ -n "${TAVOLIN_BENCH_SHORT:-}" ]; then echo $(($1 / 20)); else echo "$1"; fi
}

# bench_controller_key: prints a fresh controller public key (P-256, raw X and Y in base64url),
# made with WebCrypto as a browser controller makes it.
bench_controller_key() {
  node -e '
    const {subtle} = require("node:crypto").webcrypto;
    subtle.generateKey({name: "ECDH", namedCurve: "P-256"}, true, ["deriveBits"])
      .then((pair) => subtle.exportKey("raw", pair.publicKey))
      .then((raw) => console.log(Buffer.from(raw).subarray(1).toString("base64url")));'
}
