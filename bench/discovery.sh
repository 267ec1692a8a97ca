#!/usr/bin/env bash
# Discovery benchmark: a cardsim fleet (1000 cards by default) in the private
# network; prints (a) broadcast to all rows merged, (b) one refresh pass to
# all answers merged, (c) the longest step on the table's thread.
#   bench/discovery.sh [CARDS]        (builds build/native first if needed)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$0" "$@"
fi
source "$root/scripts/require-private-net.sh"
export DAVERIDUR_BIN=${DAVERIDUR_BIN:-$root/build/native}
[ -x "$DAVERIDUR_BIN/tests/net/discovery/discovery_bench" ] || ninja -C "$DAVERIDUR_BIN" discovery_bench cardsim
exec "$DAVERIDUR_BIN/tests/net/discovery/discovery_bench" "${1:-1000}" 10.69.1.1
