#!/usr/bin/env bash
# Prepares the Wine prefix that every Wine run copies (wineboot takes ~10 s,
# a copy a fraction of it). Runs wineboot in a private network of its own.
#   scripts/wine-template.sh [DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$(realpath -m "${1:-$here/../build/wine-template}")

# Windows' metrics where Wine's stand-ins differ, as they affect the layout:
# - Debian's wineboot leaves C:\windows\Fonts empty, so "System" (the font
#   of every control given none, and of the dialogs) fell back to a wide
#   TrueType face whose glyphs are broader than the 7-pixel average it
#   reports: labels wrapped and fields cut their text. Wine's own bitmap
#   System font and its Tahoma (fonts-wine) have the metrics of Windows'.
# - Wine's caption buttons are 18 pixels high, Windows' (since Vista, at 96
#   DPI) 22; the main window is sized from that height.
windows_metrics() {
  mkdir -p "$1/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/* "$1/drive_c/windows/Fonts/"
  sed -i 's/^"CaptionHeight"="18"$/"CaptionHeight"="22"/; s/^"CaptionWidth"="18"$/"CaptionWidth"="22"/' \
    "$1/user.reg"
}
has_metrics() {
  [ -f "$1/drive_c/windows/Fonts/vgasys.fon" ] && grep -q '^"CaptionHeight"="22"$' "$1/user.reg"
}
# Wine brings a prefix up to date at its first start when wine.inf is newer
# than the prefix's stamp; the runs share the template's files, so a
# template older than the installed Wine is made again instead.
current() {
  [ "$(tr -d '\r\n' <"$1/.update-timestamp" 2>/dev/null)" = "$(stat -c %Y /usr/share/wine/wine.inf)" ]
}
if [ -d "$dir" ] && ! current "$dir"; then
  rm -rf "$dir"
fi
if [ -d "$dir" ]; then
  has_metrics "$dir" || windows_metrics "$dir"
  exit 0
fi
mkdir -p "$(dirname "$dir")"
tmp=$(mktemp -d "$(dirname "$dir")/wine-template.XXXXXX")
"$here/netns-run.sh" env -u DISPLAY WINEPREFIX="$tmp" WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER=/usr/lib/wine/wine64 \
  bash -c '/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1; /usr/lib/wine/wineserver -w'
windows_metrics "$tmp"
has_metrics "$tmp" || { echo "the prefix in $tmp did not take the metrics" >&2; exit 1; }
mv "$tmp" "$dir"
