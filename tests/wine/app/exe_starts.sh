#!/usr/bin/env bash
# exe_starts.sh EXE: the product is a 64-bit Windows program that starts and
# exits 0 under Wine (run through wine-run.sh, inside the private network).
set -euo pipefail
exe=$1
file "$exe" | grep -q 'PE32+ executable (GUI) x86-64' || { file "$exe"; exit 1; }
timeout 60 "$WINE" "$exe"
echo "daveridur.exe exited 0"
