#!/usr/bin/env bash
# Card-list import benchmark: the time an import takes for its length.
#   native: the reader and the table's merge on the model alone, at 10 000,
#     40 000 and LINES lines, beside the former per-line row search (up to
#     40 000 lines) as the reference.
#   wine: the real program under Wine imports LINES lines through its menu.
#   bench/import.sh [native|wine|both] [LINES]     (default: both 100000)
# Runs in the private network: the program asks every imported card.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$0" "$@"
fi
source "$root/scripts/require-private-net.sh"
part=both
case "${1:-}" in native|wine|both) part=$1; shift ;; esac
lines=${1:-100000}
export DAVERIDUR_BIN=${DAVERIDUR_BIN:-$root/build/native}
export DAVERIDUR_WINDOWS_BIN=${DAVERIDUR_WINDOWS_BIN:-$root/build/windows}
if [ "$part" != wine ]; then
  ninja -C "$DAVERIDUR_BIN" import_bench >/dev/null
  echo "native: reader and merge on an in-memory table"
  "$DAVERIDUR_BIN/bench/import_bench" "$lines"
fi
if [ "$part" != native ]; then
  ninja -C "$DAVERIDUR_BIN" cardsim >/dev/null
  ninja -C "$DAVERIDUR_WINDOWS_BIN" daveridur uidrive >/dev/null
  "$root/scripts/wine-run.sh" python3 "$root/bench/import_wine.py" "$lines"
fi
