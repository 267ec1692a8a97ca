#!/usr/bin/env bash
# Journal benchmark. In the private network: a cardsim fleet of
# JOURNAL_CARDS cards [10000] upgraded by daveridur-cli at --parallel 64,
# once without --report and once with it, the wall time of each and their
# ratio (target: within 1.1); the starts are 100 ms apart, so each run
# takes about JOURNAL_CARDS / 10 seconds. The same for as many silent
# addresses named in a card list (their lines come at once, the journal's
# cost is all there is). Then, natively without the network, a kept
# report of JOURNAL_RESUME_CARDS rows [100000] read back and planned as a
# resumed run plans it (target: under 2 s), and that many cards' journal
# changes written in place (bench/journal_bench.cpp); then the changes of
# JOURNAL_KEPT_CARDS ["1000 10000"] cards through a kept report that is not
# held, as the window keeps it.
#   bench/journal.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$0" "$@"
fi
source "$root/scripts/require-private-net.sh"
bin=${DAVERIDUR_BIN:-$root/build/native}
cards=${JOURNAL_CARDS:-10000}
resume_cards=${JOURNAL_RESUME_CARDS:-100000}
kept_cards=${JOURNAL_KEPT_CARDS:-1000 10000}
ninja -C "$bin" daveridur-cli cardsim mkimage journal_bench >/dev/null
work=$(mktemp -d /tmp/daveridur-journal-bench.XXXXXX)
trap 'kill $sim 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
echo "$(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
"$bin/tools/mkimage/mkimage" "$work/fw.bin" --version 1.05 --size 3000 >/dev/null
"$bin/tools/cardsim/cardsim" --fleet "$cards" --base 10.69.100.1 --ready-file "$work/ready" \
  2>"$work/cardsim.log" &
sim=$!
for _ in $(seq 600); do [ -e "$work/ready" ] && break; sleep 0.1; done
last=$(python3 -c "import ipaddress,sys; print(ipaddress.ip_address('10.69.100.1') + $cards - 1)")
run() {
  local start end
  start=$(date +%s.%N)
  "$bin/cli/daveridur-cli" upgrade "$work/fw.bin" "10.69.100.1-$last" --force --force-scan \
    --rate 20000 --parallel 64 "$@" >"$work/out" 2>"$work/err" || true
  end=$(date +%s.%N)
  python3 -c "print('%.2f' % ($end - $start))"
}
without=$(run)
with=$(run --report "$work/report.csv")
rows=$(($(wc -l <"$work/report.csv") - 1))
echo "upgrade of $cards cards at --parallel 64: without --report ${without} s, with it ${with} s" \
  "(ratio $(python3 -c "print('%.3f' % ($with / $without))"); $rows rows kept)"
python3 -c "import ipaddress
for n in range($cards): print(ipaddress.ip_address('10.69.200.1') + n)" >"$work/silent.csv"
silent() {
  local start end
  start=$(date +%s.%N)
  "$bin/cli/daveridur-cli" upgrade "$work/fw.bin" --cards "$work/silent.csv" --force --rate 20000 \
    "$@" >"$work/out" 2>"$work/err" || true
  end=$(date +%s.%N)
  python3 -c "print('%.2f' % ($end - $start))"
}
without=$(silent)
with=$(silent --report "$work/silent-report.csv")
echo "$cards silent cards: without --report ${without} s, with it ${with} s" \
  "(ratio $(python3 -c "print('%.3f' % ($with / $without))"))"
# One argument per count.
"$bin/bench/journal_bench" "$resume_cards" "$work" $kept_cards
echo "load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
