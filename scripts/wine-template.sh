#!/usr/bin/env bash
# Prepares the Wine prefix that every Wine run copies (wineboot takes ~10 s,
# a copy a fraction of it). Runs wineboot in a private network of its own.
#   scripts/wine-template.sh [DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-$here/../build/wine-template}
[ -d "$dir" ] && exit 0
mkdir -p "$(dirname "$dir")"
tmp=$(mktemp -d "$(dirname "$dir")/wine-template.XXXXXX")
"$here/netns-run.sh" env -u DISPLAY WINEPREFIX="$tmp" WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER=/usr/lib/wine/wine64 \
  bash -c '/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1; /usr/lib/wine/wineserver -w'
mv "$tmp" "$dir"
