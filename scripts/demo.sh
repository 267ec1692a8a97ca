#!/usr/bin/env bash
# The demo: a small simulated fleet in a private network, asked for its
# system information by broadcast and card by card with daveridur-probe.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ "${1:-}" != "--inside" ]; then
  scripts/install-deps.sh
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C build/native cardsim daveridur-probe >/dev/null
  exec scripts/netns-run.sh "$0" --inside
fi
source scripts/require-private-net.sh
work=$(mktemp -d /tmp/daveridur-demo.XXXXXX)
sim=""
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; rm -rf "$work"' EXIT
export HOME=$work
cat > "$work/fleet.conf" <<'CONF'
ip=10.69.0.11 mac=00-0a-ff-00-00-11 fw=1.02
ip=10.69.0.12 mac=00-0a-ff-00-00-12 fw=1.01
ip=10.69.0.13 mac=00-0a-ff-00-00-13 fw=1.03
ip=10.69.0.14 mac=00-0a-ff-00-00-14 fw=1.02 write=0
ip=10.69.0.15 mac=00-0a-ff-00-00-15 fw=2.10 user=service password=secret
ip=10.69.0.16 silent=1
CONF
build/native/tools/cardsim/cardsim --config "$work/fleet.conf" --record "$work/record" \
  --ready-file "$work/ready" 2>/dev/null &
sim=$!
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.05; done
header=$(printf 'IP\tMAC\tversion\tuser\tpassword\twrite_refused')
echo "== one broadcast (the silent card at 10.69.0.16 does not answer)"
{ echo "$header"; build/native/tools/probe/daveridur-probe 255.255.255.255 | sort -V; } | column -t -s $'\t'
echo
echo "== direct queries to 10.69.0.12, 10.69.0.16 (silent) and 10.69.0.99 (no card)"
{ echo "$header"; build/native/tools/probe/daveridur-probe --wait 1500 10.69.0.12 10.69.0.16 10.69.0.99; } |
  column -t -s $'\t'
echo
echo "== what the cards recorded"
tr '\t' ' ' < "$work/record" | grep '^answer' | sort -V
