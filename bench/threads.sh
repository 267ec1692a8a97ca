#!/usr/bin/env bash
# Threads of one upgrade at --parallel 64, in the private network: 64
# cardsim cards that store each block slowly enough that all 64 transfers
# run at once for several seconds; the command's thread count is read from
# /proc/PID/status every 50 ms, and kept while all 64 run (its stderr says
# each start and end); the scan before them has threads of its own. With DAVERIDUR_REFERENCE_CLI
# (another build's daveridur-cli) both run against the same fleet, one
# after the other, and both counts are printed.
#   bench/threads.sh
set -euo pipefail
source "$(dirname "$0")/private-net.sh" "$@"
export DAVERIDUR_SOURCE=$root
source "$root/scripts/cardsim-run.sh" threads

cards=()
for i in $(seq 1 64); do
  ip="10.69.7.$i"
  cards+=("$ip")
  # 40 blocks of 200 ms: every transfer runs about 8 s.
  echo "ip=$ip user=admin ack_delay=200" >> "$work/cards.conf"
done
"$bin/tools/mkimage/mkimage" "$work/fw.bin" --size 20000 --seed 7 --version 1.05 >/dev/null
start_cardsim --config "$work/cards.conf"

measure() {
  local name=$1 cli=$2
  local began=$SECONDS
  "$cli" upgrade "$work/fw.bin" "${cards[@]}" --parallel 64 --user admin \
    > "$work/$name.out" 2> "$work/$name.err" &
  local pid=$! most=0 before=0 n started ended
  while kill -0 "$pid" 2>/dev/null; do
    n=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    started=$(grep -c ': started$' "$work/$name.err" || true)
    ended=$(grep -c ': ended, ' "$work/$name.err" || true)
    if [ -n "$n" ] && [ "$started" -eq 0 ] && [ "$n" -gt "$before" ]; then before=$n; fi
    if [ -n "$n" ] && [ "$started" -eq 64 ] && [ "$ended" -eq 0 ] && [ "$n" -gt "$most" ]; then
      most=$n
    fi
    sleep 0.05
  done
  wait "$pid" || true
  local ok
  ok=$(grep -c ' OK\.$' "$work/$name.out" || true)
  echo "$name: $most threads while 64 transfers ran ($before during the scan before);" \
    "$ok of ${#cards[@]} cards OK in $((SECONDS - began)) s"
}

measure "this build" "$bin/cli/daveridur-cli"
if [ -n "${DAVERIDUR_REFERENCE_CLI:-}" ]; then
  measure "reference" "$DAVERIDUR_REFERENCE_CLI"
fi
