#!/usr/bin/env bash
# The test command: installs what is missing, builds the Windows and the
# native trees, prepares the Wine prefix template, then runs every test
# layer through CTest, five at a time: native unit tests, the network tests
# and the Wine tests (each in a private network namespace of its own), the
# unit and network tests of the sanitizer build and the bounded fuzz runs.
# The sanitizer and fuzz trees are built by CTest tests of their own
# (build.sanitize, build.fuzz) while the first tests run. Arguments go to
# CTest (-L LABEL, -R NAME, ...). Ends with the ten slowest tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
# wineboot mostly waits: the template is made beside the builds.
scripts/wine-template.sh &
template=$!
scripts/build.sh windows native
wait $template
# A test that fails once is a fault to find: nothing is run again.
junit=build/native/Testing/results.xml
mkdir -p "$(dirname "$junit")"
status=0
ctest --test-dir build/native --output-on-failure -j "${DAVERIDUR_TEST_JOBS:-5}" \
  --output-junit "$root/$junit" "$@" || status=$?
python3 scripts/slowest.py "$junit" 10 || true
exit $status
