#!/usr/bin/env bash
# The demo: daveridur.exe under Wine against a simulated fleet of eight cards,
# all inside a private network namespace of its own.
#   With $DISPLAY set, the program opens on your display and you operate it.
#   Without one (or with DAVERIDUR_DEMO_TOUR=1), it runs under Xvfb and a
#   scripted tour operates it: Discover, a broken and a good image, Upgrade,
#   the report, what every card received, Quit. It prints what the program
#   showed, saves screenshots under build/demo-shots/ (or
#   $DAVERIDUR_DEMO_SHOTS) and exits 0 only when the report covers every
#   ticked card and every card reported OK holds the image.
# It first installs what is missing and builds; on a machine where that is
# done already (as under CTest, which runs this script as the test "demo")
# those steps find nothing to do.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
mkdir -p build
echo "Building (log: build/demo-build.log) ..."
scripts/build.sh windows native >build/demo-build.log 2>&1 || {
  tail -n 40 build/demo-build.log
  echo "the build failed: build/demo-build.log"
  exit 1
}
scripts/wine-template.sh
if [ -n "${DISPLAY:-}" ] && [ -z "${DAVERIDUR_DEMO_TOUR:-}" ]; then
  export DAVERIDUR_USE_DISPLAY=1 DAVERIDUR_DEMO_INTERACTIVE=1
fi
export DAVERIDUR_SOURCE=$root
export DAVERIDUR_DEMO_SHOTS=${DAVERIDUR_DEMO_SHOTS:-$root/build/demo-shots}
status=0
scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/demo.py || status=$?
[ -n "${DAVERIDUR_DEMO_INTERACTIVE:-}" ] || scripts/shots-index.sh "$DAVERIDUR_DEMO_SHOTS"
exit $status
