#!/usr/bin/env bash
# The probe asks a simulated fleet for its system information, by broadcast
# and card by card, and must read every reply the way the program does.
# Runs inside the private network (scripts/netns-run.sh).
set -euo pipefail
source "$DAVERIDUR_SOURCE/scripts/require-private-net.sh"
bin=$DAVERIDUR_BIN
source "$DAVERIDUR_SOURCE/scripts/cardsim-run.sh" probe-test
export HOME=$work  # the native settings store starts empty: user name "admin"

passed=0 failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

cat > "$work/cards.conf" <<'CONF'
# Special cards beside a fleet of 200 ready ones (10.69.1.1 - 10.69.1.200).
ip=10.69.2.1 mac=00-0a-ff-aa-00-01 fw=2.10 write=0
ip=10.69.2.2 mac=00-0a-ff-aa-00-02 fw=1.02 write=0
ip=10.69.2.3 mac=00-0a-ff-aa-00-03 fw=1.05 reply_size=600
ip=10.69.2.4 silent=1
ip=10.69.2.5 mac=00-0a-ff-aa-00-05 prod=0x00020004
ip=10.69.2.6 text="banner\r\n+PROD : 0x0001ff04\r\n+IP : 10.69.9.9\r\n+MAC : 01:02:03:04:05:06\r\n+FW : v1.300\r\n"
CONF
start_cardsim --fleet 200 --base 10.69.1.1 --fw 1.02 --config "$work/cards.conf"

probe=$bin/tools/probe/daveridur-probe
"$probe" --wait 3000 255.255.255.255 > "$work/broadcast.txt"

# 200 fleet cards and four special ones answer and are accepted; the silent
# card says nothing and the foreign product is rejected.
check "cards listed by one broadcast" 204 "$(wc -l < "$work/broadcast.txt")"
check "fleet cards all listed once" 200 "$(cut -f1 "$work/broadcast.txt" | grep -c '^10\.69\.1\.')"
check "a fleet card's line" "$(printf '10.69.1.7\t00-0a-ff-00-00-07\t1.02\tadmin\t\t0')" \
  "$(grep -P '^10\.69\.1\.7\t' "$work/broadcast.txt")"
check "writes refused" "$(printf '10.69.2.1\t00-0a-ff-aa-00-01\t2.10\tadmin\t\t1')" \
  "$(grep -P '^10\.69\.2\.1\t' "$work/broadcast.txt")"
check "long reply still listed" "$(printf '10.69.2.3\t00-0a-ff-aa-00-03\t1.05\tadmin\t\t0')" \
  "$(grep -P '^10\.69\.2\.3\t' "$work/broadcast.txt")"
# The "+IP" text names the card, not the datagram's source; the colon MAC
# is read since no '-' follows it; the minor number carries.
check "stated address, colon MAC, carried minor" \
  "$(printf '10.69.9.9\t01-02-03-04-05-06\t2.44\tadmin\t\t1')" \
  "$(grep -P '^10\.69\.9\.9\t' "$work/broadcast.txt")"
check "silent card" "" "$(grep -P '^10\.69\.2\.4\t' "$work/broadcast.txt" || true)"
check "foreign product" "" "$(grep -P '^10\.69\.2\.5\t' "$work/broadcast.txt" || true)"

# What the cards got back: an ACK of block 1, or the ERROR for the long reply.
sleep 0.5
tr '\t' ' ' < "$work/record" > "$work/record.txt"
check "ACKs recorded (all but the long reply)" 204 "$(grep -c 'kind=ACK block=1' "$work/record.txt" || true)"
check "ERROR to the 600-byte reply" 1 \
  "$(grep '^answer ip=10.69.2.3 ' "$work/record.txt" | grep -c 'kind=ERROR code=3 msg=Disk full or allocation exceeded')"
check "ACK to the foreign product too" 1 "$(grep -c '^answer ip=10.69.2.5 kind=ACK' "$work/record.txt")"

# Direct queries: one card answers, an address without a card does not, a
# silent card does not; the user name now comes from the settings store.
mkdir -p "$HOME/.config/daveridur/Software/Duzavod/Daveridur"
printf '\001\000\000\000operator\000' > "$HOME/.config/daveridur/Software/Duzavod/Daveridur/LastAccount"
"$probe" --wait 1500 10.69.3.3 10.69.2.4 10.69.1.150 > "$work/direct.txt"
check "direct query" "$(printf '10.69.1.150\t00-0a-ff-00-00-96\t1.02\toperator\t\t0')" \
  "$(cat "$work/direct.txt")"
tr '\t' ' ' < "$work/record" > "$work/record.txt"
check "unicast request recorded" 1 \
  "$(grep -c '^sysinfo ip=10.69.1.150 via=unicast' "$work/record.txt")"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
