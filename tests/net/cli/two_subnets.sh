#!/usr/bin/env bash
# Cards on two subnets behind two links: one Discover of the window (under
# Wine) and one discover of daveridur-cli (native and Windows) must list
# every card of both. The program's namespace has a veth link to each card
# namespace, the default route on the first, so the limited broadcast
# reaches only the first subnet and the second is found by its directed
# broadcast. Everything is built inside the private network.
#   scripts/netns-run.sh tests/net/cli/two_subnets.sh
set -euo pipefail
source "$DAVERIDUR_SOURCE/scripts/require-private-net.sh"
bin=$DAVERIDUR_BIN
win=${DAVERIDUR_WINDOWS_BIN:-$DAVERIDUR_SOURCE/build/windows}
source "$DAVERIDUR_SOURCE/tests/net/cli/nested_ns.sh" two-subnets

new_namespace prog
new_namespace subnet_a
new_namespace subnet_b
ip link add pa type veth peer name ca
ip link add pb type veth peer name cb
ip link set pa netns "$prog"
ip link set pb netns "$prog"
ip link set ca netns "$subnet_a"
ip link set cb netns "$subnet_b"

in_ns "$prog" ip link set lo up
in_ns "$prog" ip addr add 10.71.1.1/24 brd + dev pa
in_ns "$prog" ip addr add 10.72.1.1/24 brd + dev pb
in_ns "$prog" ip link set pa up
in_ns "$prog" ip link set pb up
in_ns "$prog" ip route add default dev pa

# cards NS LINK SUBNET HOST...: the cards' addresses on the link and a
# cardsim answering them, the limited and the subnet's directed broadcast.
cards() {
  local ns=$1 link=$2 subnet=$3; shift 3
  in_ns "$ns" ip link set lo up
  local conf=$work/$link.conf
  : > "$conf"
  for host in "$@"; do
    in_ns "$ns" ip addr add "$subnet.$host/24" brd + dev "$link"
    echo "ip=$subnet.$host fw=1.0$((host % 10))" >> "$conf"
  done
  in_ns "$ns" ip link set "$link" up
  in_ns "$ns" ip route add default dev "$link"
  nsenter --net=/proc/$ns/ns/net "$bin/tools/cardsim/cardsim" --config "$conf" --record "$work/$link.record" \
    --broadcast-address "$subnet.255" --ready-file "$work/$link.ready" 2>"$work/$link.log" &
  sims+=("$!")
  for _ in $(seq 200); do [ -s "$work/$link.ready" ] && return 0; sleep 0.05; done
  echo "FAILED cardsim on $link not ready"; cat "$work/$link.log"; exit 1
}
cards "$subnet_a" ca 10.71.1 11 12 13
cards "$subnet_b" cb 10.72.1 21 22
expected="10.71.1.11 10.71.1.12 10.71.1.13 10.72.1.21 10.72.1.22"

failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    echo "ok   $1"
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
  fi
}
listed() { cut -f1 | tr -d '\r' | sort | tr '\n' ' ' | sed 's/ $//'; }

export DAVERIDUR_NESTED_NET=1 HOME=$work
# What the test rests on: a limited broadcast alone reaches the first subnet only.
check "the limited broadcast reaches the first subnet only" "10.71.1.11 10.71.1.12 10.71.1.13" \
  "$(in_ns "$prog" "$bin/tools/probe/daveridur-probe" --wait 1000 255.255.255.255 | listed)"
check "the native CLI lists both subnets" "$expected" \
  "$(in_ns "$prog" "$bin/cli/daveridur-cli" discover --wait 1500 | listed)"

# The window and the Windows CLI, under Wine in the program's namespace.
[ -n "${TWO_SUBNETS_NO_WINE:-}" ] && exit $failed
in_ns "$prog" "$DAVERIDUR_SOURCE/scripts/wine-run.sh" bash -c '
  "$WINE" "$1/cli/daveridur-cli.exe" discover --wait 1500 > "$2/exe.out"
  python3 "$3/tests/e2e/scenario_two_subnets.py" "$4"' _ "$win" "$work" "$DAVERIDUR_SOURCE" \
  "$expected" || failed=$((failed + 1))
check "the Windows CLI lists both subnets" "$expected" "$(listed < "$work/exe.out")"

[ "$failed" = 0 ] && echo "two subnets: all passed" || { echo "two subnets: $failed failed"; exit 1; }
