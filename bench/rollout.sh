#!/usr/bin/env bash
# Rollout benchmark, in the private network: a cardsim fleet whose cards
# store each block at a card's pace and restart before they answer with the
# new version; daveridur-cli upgrade --waves 1,10,25% --verify at --parallel
# 4, 32 and 64, natively and the Windows build under Wine. Each run prints
# its wall time beside a lower bound computed from the same run: per wave,
# its cards N at a time at the mean transfer time measured, plus the restart,
# one check interval and the settle period (every card holds the new
# version that long before it is applied). Then one run in which 5 % of the cards, all in the
# third wave, never come back: it must stop after that wave (exit 4), with
# exactly those cards failed and every later card not started.
#   bench/rollout.sh [native|wine|both|window]  (default: both)
# The fleet, from the environment (defaults in brackets):
#   ROLLOUT_CARDS [1000]  ROLLOUT_KB image size [1024]  ROLLOUT_ACK_MS per
#   block [10]  ROLLOUT_RESTART_S [20]  ROLLOUT_SETTLE_S [30]  ROLLOUT_WAVES [1,10,25%]
#   ROLLOUT_PARALLEL ["4 32 64"]  ROLLOUT_HALT [1]
#   ROLLOUT_BASELINE_EXE: another build's daveridur-cli.exe, run under Wine
#   beside this one at each --parallel (the same fleet, one after the other)
# Cards that never come back are failed when their check gives up (five
# minutes), so the halting run takes at least that long.
#   bench/rollout.sh window: the window's rollout instead (bench/rollout_window.py):
#   daveridur.exe under Wine driven from outside, every card ticked, in waves
#   at "Transfers at once" ROLLOUT_WINDOW_PARALLEL [32], beside its lower
#   bound and daveridur-cli.exe --parallel 32 on the same fleet, and the
#   window's WM_NULL round trips during the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$0" "$@"
fi
source "$root/scripts/require-private-net.sh"
part=${1:-both}
export DAVERIDUR_BIN=${DAVERIDUR_BIN:-$root/build/native}
windows=${DAVERIDUR_WINDOWS_BIN:-$root/build/windows}
echo "$(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
if [ "$part" = window ]; then
  ninja -C "$DAVERIDUR_BIN" cardsim mkimage >/dev/null
  ninja -C "$windows" daveridur daveridur-cli uidrive >/dev/null
  DAVERIDUR_WINDOWS_BIN=$windows "$root/scripts/wine-run.sh" python3 "$root/bench/rollout_window.py" || status=1
  echo "load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  exit $status
fi
if [ "$part" != wine ]; then
  ninja -C "$DAVERIDUR_BIN" daveridur-cli cardsim mkimage >/dev/null
  python3 "$root/bench/rollout_bench.py" native "$DAVERIDUR_BIN/cli/daveridur-cli" || status=1
fi
if [ "$part" != native ]; then
  ninja -C "$windows" daveridur-cli >/dev/null
  "$root/scripts/wine-run.sh" bash -c 'python3 "$1" wine "$2" --wine "$WINE" ${3:+--baseline "$3"}' _ \
    "$root/bench/rollout_bench.py" "$windows/cli/daveridur-cli.exe" "${ROLLOUT_BASELINE_EXE:-}" || status=1
fi
echo "load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
