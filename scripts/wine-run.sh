#!/usr/bin/env bash
# Runs a command with Wine inside the private network: a fresh WINEPREFIX
# copied from the prepared template, a wineserver started here (so it owns
# its sockets inside the namespace), and an Xvfb display of the run's own.
# Everything is stopped and removed at the end.
#   scripts/netns-run.sh scripts/wine-run.sh COMMAND [ARGS...]
# A first argument ending in .exe runs under Wine; any other command sees
# WINEPREFIX, DISPLAY and WINE (the loader to use) and starts Wine itself.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/require-private-net.sh"
template=${DAVERIDUR_WINE_TEMPLATE:-$here/../build/wine-template}
"$here/wine-template.sh" "$template"

run_dir=$(mktemp -d /tmp/daveridur-wine.XXXXXX)
export WINEPREFIX=$run_dir/prefix
# The template's libraries, programs and fonts are read and never written
# (the template is made again when Wine changes): hard links to them cost
# nothing, where copying the 700 MB took a second and a half of every run.
# The registry and the rest are copies of the run's own.
cp -al "$template" "$WINEPREFIX"
find "$WINEPREFIX" -type f ! \( -name '*.dll' -o -name '*.exe' -o -name '*.nls' -o -name '*.fon' \
  -o -name '*.ttf' -o -name '*.sys' -o -name '*.drv' -o -name '*.ocx' -o -name '*.cpl' \
  -o -name '*.acm' -o -name '*.tlb' -o -name '*.ds' -o -name '*.msstyles' \) \
  -exec sh -c 'for f; do cp -p "$f" "$f.own" && mv -f "$f.own" "$f"; done' _ {} +
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINE=/usr/lib/wine/wine64
export WINELOADER=$WINE
export WINESERVER=/usr/lib/wine/wineserver

xvfb_pid=""
cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$run_dir"
}
trap cleanup EXIT

if [ -z "${DAVERIDUR_USE_DISPLAY:-}" ]; then
  exec 9> "$run_dir/displayfd"
  # DAVERIDUR_SCREEN: a larger screen, for a window scaled to 200 %.
  Xvfb -displayfd 9 -screen 0 "${DAVERIDUR_SCREEN:-1024x768x24}" -nolisten tcp >"$run_dir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  # Xvfb writes its display's number once it listens: seconds on a loaded
  # machine. Without it every Wine program here would end at once.
  for _ in $(seq 600); do
    [ -s "$run_dir/displayfd" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
  done
  exec 9>&-
  display=$(head -n1 "$run_dir/displayfd")
  if [ -z "$display" ]; then
    echo "wine-run.sh: Xvfb gave no display:" >&2
    cat "$run_dir/xvfb.log" >&2
    exit 1
  fi
  export DISPLAY=:$display
fi
"$WINESERVER" -p 2>/dev/null
set +e
case "$1" in
  *.exe) "$WINE" "$@" ;;
  *) "$@" ;;
esac
rc=$?
set -e
exit $rc
