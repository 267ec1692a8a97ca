#!/usr/bin/env bash
# A flood at one card's transfer port, in the private network: a cardsim
# fleet of FLOOD_CARDS [8] cards that store each block in FLOOD_ACK_MS [4]
# ms, an image of FLOOD_KB [200] KB, daveridur-cli upgrade --parallel (all
# at once), run twice: alone, then with one process sending datagrams as
# fast as it can to the port the first card's transfer sends from (read
# from cardsim's record of its write request), from that card's address.
# Prints each run's time for the other cards' transfers, and their ratio
# (the target: under 1.5).
#   bench/flood.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$0" "$@"
fi
source "$root/scripts/require-private-net.sh"
export DAVERIDUR_BIN=${DAVERIDUR_BIN:-$root/build/native}
bin=$DAVERIDUR_BIN
ninja -C "$bin" daveridur-cli cardsim mkimage >/dev/null
echo "$(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
python3 "$root/bench/flood_bench.py" "$bin"
