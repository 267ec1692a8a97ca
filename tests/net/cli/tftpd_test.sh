#!/usr/bin/env bash
# A real TFTP server stands in for two cards: tftpd-hpa on each card
# address serves the card's "sysinfo" reply as a file and takes the upload
# as a new file. daveridur-cli, natively and as the Windows program under
# Wine, must find both, upgrade both byte for byte (the upload stamp apart)
# and exit 0.
#   scripts/netns-run.sh tests/net/cli/tftpd_test.sh
set -euo pipefail
source "$DAVERIDUR_SOURCE/scripts/require-private-net.sh"
bin=$DAVERIDUR_BIN
win=${DAVERIDUR_WINDOWS_BIN:-$DAVERIDUR_SOURCE/build/windows}
work=$(mktemp -d /tmp/daveridur-tftpd.XXXXXX)
servers=()
cleanup() {
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${servers[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work  # the native settings store starts empty: user name "admin"

cards=(10.69.9.1 10.69.9.2)
for n in 1 2; do
  ip=10.69.9.$n dir=$work/card$n
  mkdir -p "$dir"
  printf 'MX-2 SNMP/WEB Card\r\n+PROD : 0x00010004\r\n+IP : %s\r\n+MAC : 00-0a-fd-00-00-0%s\r\n+FW : v1.00\r\n+WRQ : ACCEPT\r\n' \
    "$ip" "$n" > "$dir/sysinfo"
  /usr/sbin/in.tftpd -L -c -p -u root -U 000 -s -a "$ip:69" "$dir" 2>"$work/tftpd$n.log" &
  servers+=("$!")
done
"$bin/tools/mkimage/mkimage" "$work/fw.bin" --size 200000 --seed 5 --version 1.05 >/dev/null
sleep 0.3

failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    echo "ok   $1"
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}
same_image() {  # same_image FILE: the image apart from the stamp (bytes 28..31)
  python3 - "$work/fw.bin" "$1" <<'PY'
import sys
a, b = (open(p, 'rb').read() if __import__('os').path.exists(p) else None for p in sys.argv[1:])
print('same' if b is not None and len(a) == len(b) and a[:28] + a[32:] == b[:28] + b[32:] else 'differs')
PY
}

# run LABEL COMMAND...: discover and upgrade both cards with one program.
run() {
  local label=$1; shift
  rm -f "$work"/card*/upgrade@*
  check "$label discover" "$(printf '10.69.9.1\t00-0a-fd-00-00-01\t1.00\tready\t\n10.69.9.2\t00-0a-fd-00-00-02\t1.00\tready\t')" \
    "$("$@" discover --wait 1500 "${cards[@]}" | tr -d '\r')"
  local status=0
  "$@" upgrade "$work/fw.bin" "${cards[@]}" --password s3cret > "$work/out" 2>"$work/err" || status=$?
  check "$label upgrade exit status" 0 "$status"
  check "$label upgrade report" "$(printf '10.69.9.1 OK.\n10.69.9.2 OK.')" "$(tr -d '\r' < "$work/out" | sort)"
  for n in 1 2; do
    check "$label card $n holds the image" same "$(same_image "$work/card$n/upgrade@s3cret@admin")"
  done
}

run native "$bin/cli/daveridur-cli"
run windows "$DAVERIDUR_SOURCE/scripts/wine-run.sh" bash -c '"$WINE" "$@" </dev/null' _ "$win/cli/daveridur-cli.exe"

[ "$failed" = 0 ] && echo "tftpd: all passed" || { echo "tftpd: $failed failed"; exit 1; }
