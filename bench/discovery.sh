#!/usr/bin/env bash
# Discovery benchmark against a cardsim fleet (1000 cards by default), in the
# private network.
#   native: the service with an in-memory table; prints (a) broadcast to all
#     rows merged, (b) one refresh pass to all answers merged, (c) the longest
#     step on the table's thread.
#   wine: the real program under Wine, one Discover; prints the time to all
#     rows, to all rows ready, the main window's worst and 99th-percentile
#     WM_NULL round trip, the peak memory and one periodic pass.
#   scan: a /16 scan at --rate 2000 (daveridur-cli, natively and the
#     Windows build under Wine) with CARDS cards spread over the block;
#     prints the cards found, the wall time against 65534 / 2000 s plus
#     the wait, and the peak memory.
#   bench/discovery.sh [native|wine|both] [CARDS]     (default: both 1000)
#   bench/discovery.sh scan [native|wine|both] [CARDS]
# DAVERIDUR_WINDOWS_REFERENCE=DIR runs the Wine part first with another
# build's app/daveridur.exe (DIR laid out like build/windows), for a side by
# side comparison in one run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$0" "$@"
fi
source "$root/scripts/require-private-net.sh"
scan=""
[ "${1:-}" = scan ] && { scan=1; shift; }
part=both
case "${1:-}" in native|wine|both) part=$1; shift ;; esac
cards=${1:-1000}
export DAVERIDUR_BIN=${DAVERIDUR_BIN:-$root/build/native}
export DAVERIDUR_WINDOWS_BIN=${DAVERIDUR_WINDOWS_BIN:-$root/build/windows}
if [ -n "$scan" ]; then
  ip addr add 10.70.0.1/16 dev lo
  [ "$part" != wine ] && { ninja -C "$DAVERIDUR_BIN" daveridur-cli cardsim >/dev/null;
    python3 "$root/bench/scan_bench.py" native "$DAVERIDUR_BIN/cli/daveridur-cli" "$cards"; }
  [ "$part" != native ] && { ninja -C "$DAVERIDUR_WINDOWS_BIN" daveridur-cli >/dev/null;
    "$root/scripts/wine-run.sh" python3 "$root/bench/scan_bench.py" wine \
      "$DAVERIDUR_WINDOWS_BIN/cli/daveridur-cli.exe" "$cards"; }
  exit 0
fi
if [ "$part" != wine ]; then
  [ -x "$DAVERIDUR_BIN/tests/net/discovery/discovery_bench" ] || ninja -C "$DAVERIDUR_BIN" discovery_bench cardsim
  echo "native: the service and an in-memory table"
  "$DAVERIDUR_BIN/tests/net/discovery/discovery_bench" "$cards" 10.69.1.1
fi
if [ "$part" != native ]; then
  [ -x "$DAVERIDUR_BIN/tools/cardsim/cardsim" ] || ninja -C "$DAVERIDUR_BIN" cardsim
  ninja -C "$DAVERIDUR_WINDOWS_BIN" daveridur discovery-watch uidrive >/dev/null
  if [ -n "${DAVERIDUR_WINDOWS_REFERENCE:-}" ]; then
    echo "reference: $DAVERIDUR_WINDOWS_REFERENCE/app/daveridur.exe"
    DAVERIDUR_PROGRAM="$DAVERIDUR_WINDOWS_REFERENCE/app/daveridur.exe" \
      "$root/scripts/wine-run.sh" python3 "$root/bench/discovery_wine.py" "$cards" || true
    echo "this build: $DAVERIDUR_WINDOWS_BIN/app/daveridur.exe"
  fi
  "$root/scripts/wine-run.sh" python3 "$root/bench/discovery_wine.py" "$cards"
fi
