#!/usr/bin/env bash
# Cards on two routed subnets, where no broadcast of the program reaches:
# the program's namespace, a router namespace and two card namespaces, each
# on its own link and subnet. discover of both ranges must list every card,
# at the rate asked (measured on the program's link); the broadcast alone
# must list none of them; the window's scan dialog (under Wine) must find
# them all. Everything is built inside the private network.
#   scripts/netns-run.sh tests/net/cli/routed.sh
set -euo pipefail
source "$DAVERIDUR_SOURCE/scripts/require-private-net.sh"
bin=$DAVERIDUR_BIN
win=${DAVERIDUR_WINDOWS_BIN:-$DAVERIDUR_SOURCE/build/windows}
source "$DAVERIDUR_SOURCE/tests/net/cli/nested_ns.sh" routed

new_namespace prog
new_namespace router
new_namespace site_a
new_namespace site_b
# link NS_A NAME_A NS_B NAME_B: a veth pair between two namespaces.
link() {
  ip link add "$2" type veth peer name "$4"
  ip link set "$2" netns "$1"
  ip link set "$4" netns "$3"
}
link "$prog" p0 "$router" r0
link "$router" r1 "$site_a" s1
link "$router" r2 "$site_b" s2
for ns in "$prog" "$router" "$site_a" "$site_b"; do in_ns "$ns" ip link set lo up; done
in_ns "$prog" ip addr add 10.80.0.2/30 brd + dev p0
in_ns "$prog" ip link set p0 up
in_ns "$prog" ip route add default via 10.80.0.1
in_ns "$router" ip addr add 10.80.0.1/30 brd + dev r0
in_ns "$router" ip addr add 10.81.1.1/24 brd + dev r1
in_ns "$router" ip addr add 10.82.1.1/24 brd + dev r2
for l in r0 r1 r2; do in_ns "$router" ip link set "$l" up; done
in_ns "$router" sysctl -qw net.ipv4.ip_forward=1

# cards NS LINK SUBNET HOST...: the cards on the link, their default route
# through the router, a cardsim answering them and their subnet's broadcast.
cards() {
  local ns=$1 l=$2 subnet=$3; shift 3
  local conf=$work/$l.conf
  : > "$conf"
  for host in "$@"; do
    in_ns "$ns" ip addr add "$subnet.$host/24" brd + dev "$l"
    echo "ip=$subnet.$host fw=1.0$((host % 10))" >> "$conf"
  done
  in_ns "$ns" ip link set "$l" up
  in_ns "$ns" ip route add default via "$subnet.1"
  nsenter --net=/proc/$ns/ns/net "$bin/tools/cardsim/cardsim" --config "$conf" --broadcast-address "$subnet.255" \
    --ready-file "$work/$l.ready" 2>"$work/$l.log" &
  sims+=("$!")
  for _ in $(seq 200); do [ -s "$work/$l.ready" ] && return 0; sleep 0.05; done
  echo "FAILED cardsim on $l not ready"; cat "$work/$l.log"; exit 1
}
cards "$site_a" s1 10.81.1 11 12 200
cards "$site_b" s2 10.82.1 21 254
expected="10.81.1.11 10.81.1.12 10.81.1.200 10.82.1.21 10.82.1.254"

failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    echo "ok   $1"
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
  fi
}
listed() { cut -f1 | tr -d '\r' | sort -V | tr '\n' ' ' | sed 's/ $//'; }

export DAVERIDUR_NESTED_NET=1 HOME=$work
cli=$bin/cli/daveridur-cli
check "the routed cards answer a direct query" "10.81.1.11" \
  "$(in_ns "$prog" "$bin/tools/probe/daveridur-probe" --wait 1000 10.81.1.11 | listed)"
check "a Discover broadcast alone finds none of them" "" \
  "$(in_ns "$prog" "$cli" discover --wait 1000 | listed)"

# Two /24s less an exclude (508 - 1 addresses) at 200 a second, one pass:
# about 2.5 s of queries, then the wait.
rate=$(in_ns "$prog" python3 "$DAVERIDUR_SOURCE/tests/net/cli/rate_sampler.py" "$work/scan.out" -- \
  "$cli" discover --rate 200 --retries 0 --wait 1000 10.81.1.0/24,10.82.1.0/24 --exclude 10.81.1.100)
check "discover of both ranges finds every card" "$expected" "$(listed < "$work/scan.out")"
read -r sent seconds measured <<< "$rate"
echo "     $sent datagrams in $seconds s: $measured a second (asked: 200)"
check "the measured rate is within 10 % of --rate" "yes" \
  "$(awk -v r="$measured" 'BEGIN { print (r >= 180 && r <= 220) ? "yes" : "no" }')"
check "the queries went to every address but the excluded one (and the cards' answers)" "yes" \
  "$(awk -v n="$sent" 'BEGIN { print (n >= 507 && n <= 507 + 5 + 4) ? "yes" : "no" }')"

# The window's scan dialog under Wine, in the program's namespace.
[ -n "${ROUTED_NO_WINE:-}" ] && { [ "$failed" = 0 ] && echo "routed: all passed"; exit $failed; }
in_ns "$prog" "$DAVERIDUR_SOURCE/scripts/wine-run.sh" \
  python3 "$DAVERIDUR_SOURCE/tests/e2e/scenario_scan.py" "$expected" "10.81.1.0/24, 10.82.1.0/24" ||
  failed=$((failed + 1))

[ "$failed" = 0 ] && echo "routed: all passed" || { echo "routed: $failed failed"; exit 1; }
