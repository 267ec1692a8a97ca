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
source "$(dirname "$0")/private-net.sh" "$@"
echo "$(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
python3 "$root/bench/flood_bench.py" "$bin"
