#!/usr/bin/env bash
# The demo: daveridur.exe under Wine against a simulated fleet of eight cards,
# all inside a private network namespace of its own.
#   With $DISPLAY set, the program opens on your display and you operate it.
#   Without one (or with DAVERIDUR_DEMO_TOUR=1), it runs under Xvfb and a
#   scripted tour operates it: Discover, a broken and a good image, Upgrade,
#   the report, Quit; it prints what the program showed and saves
#   screenshots under build/demo-shots/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
DAVERIDUR_SKIP_FUZZ=1 scripts/build.sh >/dev/null
scripts/wine-template.sh
if [ -n "${DISPLAY:-}" ] && [ -z "${DAVERIDUR_DEMO_TOUR:-}" ]; then
  export DAVERIDUR_USE_DISPLAY=1 DAVERIDUR_DEMO_INTERACTIVE=1
fi
export DAVERIDUR_SOURCE=$root
status=0
scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/demo.py || status=$?
[ -n "${DAVERIDUR_DEMO_INTERACTIVE:-}" ] || scripts/shots-index.sh build/demo-shots
exit $status
