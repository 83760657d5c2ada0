#!/usr/bin/env bash
# Proves the benchmark's tools measure what they claim, against the floor server: replies are
# paired with requests (a stray reply is an error, not a faster round trip), pipelined replies
# are all counted, start-up is timed until the port accepts, and a closed port is reported.
#
#   smoke_test.sh BENCH_CLIENT FLOOR_SERVER
set -euo pipefail
client=$1
floor=$2

work=$(mktemp -d)
floor_pid=
cleanup() {
  [ -n "$floor_pid" ] && kill "$floor_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$floor" 0 60 >"$work/floor.out" &
floor_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/^port=//p' "$work/floor.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "the floor server printed no port"

# Sequential round trips: every figure present, in order.
out=$("$client" roundtrip 127.0.0.1 "$port" 300 '!' --warmup 10)
echo "roundtrip: $out"
number='([0-9.]+)'
pattern="^n=300 warmup=10 p50_us=$number p90_us=$number p99_us=$number min_us=$number max_us=$number "
[[ $out =~ $pattern ]] || fail "roundtrip output: $out"
awk -v a="${BASH_REMATCH[4]}" -v b="${BASH_REMATCH[1]}" -v c="${BASH_REMATCH[3]}" -v d="${BASH_REMATCH[5]}" \
  'BEGIN { exit !(a <= b && b <= c && c <= d) }' || fail "percentiles out of order: $out"
[[ $out == *"reply=pause!"* ]] || fail "the reply measured is not the floor's: $out"

# Two replies for one request: the pairing is broken and the client must say so.
if "$client" roundtrip 127.0.0.1 "$port" 5 '!' --warmup 0 --request 'status\nstatus\n' 2>"$work/err"; then
  fail "two replies per request went unnoticed"
fi
grep -q "after the reply" "$work/err" || fail "unexpected error: $(cat "$work/err")"

# A terminator of several bytes, as MPD's "OK\n".
out=$("$client" roundtrip 127.0.0.1 "$port" 20 'se!' --warmup 0)
[[ $out == n=20\ * ]] || fail "multi-byte terminator: $out"

# Pipelined: every reply counted, none lost.
out=$("$client" pipelined 127.0.0.1 "$port" 20000 --deadline 60)
echo "pipelined: $out"
[[ $out == "n=20000 replies=20000 lost=0 "* ]] || fail "pipelined output: $out"
[[ $out == *" reply_bytes=120000 "* ]] || fail "pipelined byte count: $out"

kill "$floor_pid"
wait "$floor_pid" 2>/dev/null || true
floor_pid=

# Start-up: the spawned server is timed until it accepts, then ended by the client.
port=$("$client" free-port)
out=$("$client" startup 127.0.0.1 "$port" 10000 -- "$floor" "$port" 600)
echo "startup: $out"
[[ $out =~ ^startup_ms=[0-9.]+\ pid=([0-9]+)$ ]] || fail "startup output: $out"
! kill -0 "${BASH_REMATCH[1]}" 2>/dev/null || fail "the started server is still running"

# Nobody listens now: wait-port gives up at its deadline.
if "$client" wait-port 127.0.0.1 "$port" 200 2>/dev/null; then
  fail "wait-port succeeded on a closed port"
fi
# The measuring script itself loads (with the harness it is built on) and refuses what it does
# not know before it starts anything.
if python3 "$(dirname "$0")/bench.py" --no-such-option 2>"$work/err"; then
  fail "bench.py took an unknown option"
fi
grep -q "^usage: scripts/bench" "$work/err" || fail "bench.py: $(cat "$work/err")"
echo "bench tools: ok"
