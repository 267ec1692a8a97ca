#!/usr/bin/env bash
# Refreshes the guide's pictures in docs/images/ from the screenshots that the
# end-to-end tests take of the real program under Wine (each in a private
# network of its own), so that the guide shows the windows as they are now;
# and the pictures of the report pages, from real runs of daveridur-cli on
# simulated cards photographed in headless Chromium (scripts/report-shots.py).
# Needs the builds of scripts/build.sh; commit the pictures it changes.
#   scripts/guide-shots.sh [report]     (report: the report pages' pictures only)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

report_pictures() {
  local out
  out=$(mktemp -d /tmp/daveridur-report-shots.XXXXXX)
  scripts/netns-run.sh python3 scripts/report-shots.py "$root/build/native" "$out"
  mkdir -p docs/images
  for name in report-page report-fleet; do
    convert "$out/$name.png" -strip +dither -colors 256 "PNG8:docs/images/$name.png"
  done
  rm -rf "$out"
}
if [ "${1:-}" = report ]; then
  report_pictures
  ls -l docs/images
  exit 0
fi
[ -x build/windows/app/daveridur.exe ] && [ -x build/native/tools/cardsim/cardsim ] ||
  { echo "build first: scripts/build.sh" >&2; exit 1; }
[ -d build/wine-template ] || scripts/wine-template.sh

shots=$(mktemp -d /tmp/daveridur-guide-shots.XXXXXX)
trap 'rm -rf "$shots"' EXIT
export DAVERIDUR_SOURCE=$root DAVERIDUR_BIN=$root/build/native \
  DAVERIDUR_WINDOWS_BIN=$root/build/windows DAVERIDUR_SHOTS=$shots

# The scenarios that take the pictures; a failing one would show a window
# that is not what operators get, so nothing is replaced then.
for scenario in smoke_test scenario_upgrade scenario_report scenario_rollout scenario_layout; do
  echo "running $scenario"
  # The layout scenario scales the window to 200 %: the screen its CTest gives it.
  screen=1024x768x24
  [ "$scenario" = scenario_layout ] && screen=1920x1200x24
  if ! DAVERIDUR_SCREEN=$screen scripts/netns-run.sh scripts/wine-run.sh python3 "tests/e2e/$scenario.py" \
      >"$shots/$scenario.log" 2>&1; then
    tail -n 30 "$shots/$scenario.log"
    echo "$scenario failed; the guide's pictures are unchanged" >&2
    exit 1
  fi
done

# guide picture <- test screenshot
pictures=(
  main:main-window-discovered
  main-resized:layout-resized
  discover:discovery-dialog
  account:account-dialog
  confirmation:upgrade-confirmation
  progress:progress-window
  report:upgrade-report
  report-dialog:report-dialog
  rollout-dialog:rollout-dialog
  rollout-policy:rollout-dialog-policy
  rollout-window:rollout-window
  rollout-halted:rollout-halted
  rollout-gate:rollout-gate
)
mkdir -p docs/images
for pair in "${pictures[@]}"; do
  name=${pair%%:*}
  shot=$shots/${pair#*:}.png
  [ -f "$shot" ] || { echo "no screenshot ${pair#*:}.png" >&2; exit 1; }
  # Window pictures have few colours: a palette keeps them exact and small.
  convert "$shot" -strip +dither -colors 256 "PNG8:docs/images/$name.png"
done
report_pictures
ls -l docs/images
