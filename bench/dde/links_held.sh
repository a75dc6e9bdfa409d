#!/usr/bin/env bash
# The links-held benchmark: the whole road with many advise links.
#
#   bench/dde/links_held.sh [BUILD] [SIZES] [HOLD]
#   bench/dde/links_held.sh build/release "1000 3000 10000" 300
#
# For each size: orvsim --stocks 200 --rate 5 on 127.0.0.1, ORVE registered
# in a private registry, ZmDDE signed in to it (ORVE started by COM) and
# links_held_client holding SIZE links over the 200 stocks and their options
# for HOLD seconds. The client prints the figures: the time to a first value
# on every link, the values delivered, the posting pass's durations (ZmDDE
# writes them with ORV_DDE_PASS_TIMES) and the CPU and memory of ORVE and
# ZmDDE. Everything runs in a temporary folder and is stopped at the end;
# LINKS_HELD_KEEP=1 keeps the folder (logs, ORVE.log) for a look after, and
# LINKS_HELD_QUIET=FILE has the client list there the links that went quiet.
set -euo pipefail
cd "$(dirname "$0")/../.."

bin=$(cd "${1:-build/release}" && pwd)
sizes=${2:-1000 3000 10000}
hold=${3:-300}
stocks=200
client=$bin/bench/links_held_client
for program in "$bin/tools/orvsim/orvsim" "$bin/server/ORVE" "$bin/dde/ZmDDE" "$client"; do
  [ -x "$program" ] || { echo "links_held: $program is missing; build first" >&2; exit 1; }
done
date=$(date -u +%F)

work=""
pids=()
stop() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
  # ORVE ends by itself a second after its last client; one that does not
  # is ended by its own id.
  if [ -n "$work" ]; then
    for _ in $(seq 100); do [ -z "$(orve_pids)" ] && break; sleep 0.1; done
    for p in $(orve_pids); do kill "$p" 2>/dev/null || true; done
    if [ -n "${LINKS_HELD_KEEP:-}" ]; then echo "links_held: kept $work"; else rm -rf "$work"; fi
    work=""
  fi
}
trap stop EXIT
trap 'exit 130' INT TERM

# The ORVE of this run: the copy whose runtime folder is ours.
orve_pids() {
  local p
  for p in $(pgrep -f "^$bin/server/ORVE( |\$)" || true); do
    grep -qzx "XDG_RUNTIME_DIR=$work/run" "/proc/$p/environ" 2>/dev/null && echo "$p"
  done
  return 0
}

for size in $sizes; do
  work=$(mktemp -d /tmp/orv-links-held-XXXXXX)
  mkdir -p "$work/home/Application Data/Orv" "$work/run"
  chmod 700 "$work/run"
  export ORV_REGISTRY=$work/registry.reg XDG_RUNTIME_DIR=$work/run USERPROFILE=$work/home

  "$bin/tools/orvsim/orvsim" --port 0 --stocks "$stocks" --rate 5 --start-date "$date" \
    --endpoints-file "$work/endpoints" --log-level warn >"$work/orvsim.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$work/endpoints" ] && break; sleep 0.1; done
  [ -s "$work/endpoints" ] || { echo "links_held: orvsim did not start" >&2; cat "$work/orvsim.log" >&2; exit 1; }
  port=$(sed -n 's/^port=//p' "$work/endpoints")

  "$bin/server/ORVE" -RegServer
  printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv]\n"ConnString"="iiop:127.0.0.1:%s"\n"FutConnString"="iiop:127.0.0.1:%s"\n' \
    "$port" "$port" >>"$ORV_REGISTRY"
  printf '[Main]\nUsername=orvsim\nPassword=orvsim\n' >"$work/home/Application Data/Orv/orv.ini"

  ORV_DDE_PASS_TIMES=$work/passes.log "$bin/dde/ZmDDE" </dev/null >"$work/zmdde.log" 2>&1 &
  zmdde=$!
  pids=($zmdde "${pids[@]}")  # the bridge goes first, then the service
  for _ in $(seq 300); do [ -S "$work/run/orv/dde-zmdde.sock" ] && [ -n "$(orve_pids)" ] && break; sleep 0.1; done
  orve=$(orve_pids | head -n1)
  [ -n "$orve" ] || { echo "links_held: ZmDDE did not start ORVE" >&2; cat "$work/zmdde.log" >&2; exit 1; }

  echo "== $size links, $stocks stocks, rate 5, hold $hold s (ORVE $orve, ZmDDE $zmdde)"
  "$client" --links "$size" --stocks "$stocks" --start-date "$date" --hold "$hold" \
    --pass-times "$work/passes.log" --watch "ORVE=$orve" --watch "ZmDDE=$zmdde" || true
  stop
done
