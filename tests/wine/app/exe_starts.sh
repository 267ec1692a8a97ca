#!/usr/bin/env bash
# exe_starts.sh EXE: the product is a 64-bit Windows program; under Wine (in
# the private network, through wine-run.sh) its main window opens with the
# program's caption, and a second start only raises the first and exits 0.
set -euo pipefail
exe=$1
file "$exe" | grep -q 'PE32+ executable (GUI) x86-64' || { file "$exe"; exit 1; }
caption="Daveridur -- Duravore MX-2 SNMP/WEB Card Firmware Upgrade Utility  1.02 (Build 1048)"
"$WINE" "$exe" &
first=$!
trap 'kill $first 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  xwininfo -root -tree 2>/dev/null | grep -qF "\"$caption\"" && break
  sleep 0.2
done
xwininfo -root -tree | grep -qF "\"$caption\"" || { echo "main window did not open"; exit 1; }
timeout 20 "$WINE" "$exe" || { echo "second start did not exit 0"; exit 1; }
kill -0 "$first" || { echo "first instance ended"; exit 1; }
echo "main window open; a second start exited 0"
