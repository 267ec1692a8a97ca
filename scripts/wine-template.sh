#!/usr/bin/env bash
# Prepares the Wine prefix that every Wine run copies (wineboot takes ~10 s,
# a copy a fraction of it). Runs wineboot in a private network of its own.
#   scripts/wine-template.sh [DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-$here/../build/wine-template}

# Debian's wineboot leaves C:\windows\Fonts empty, so "System" (the font of
# every control that is given none, and of the dialogs) fell back to a wide
# TrueType face whose glyphs are broader than the 7-pixel average it reports:
# labels wrapped and fields cut their text. Wine's own bitmap System font and
# its Tahoma (fonts-wine) have the metrics of Windows' fonts of those names.
install_fonts() {
  mkdir -p "$1/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/* "$1/drive_c/windows/Fonts/"
}
if [ -d "$dir" ]; then
  [ -f "$dir/drive_c/windows/Fonts/vgasys.fon" ] || install_fonts "$dir"
  exit 0
fi
mkdir -p "$(dirname "$dir")"
tmp=$(mktemp -d "$(dirname "$dir")/wine-template.XXXXXX")
"$here/netns-run.sh" env -u DISPLAY WINEPREFIX="$tmp" WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER=/usr/lib/wine/wine64 \
  bash -c '/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1; /usr/lib/wine/wineserver -w'
install_fonts "$tmp"
mv "$tmp" "$dir"
