#!/usr/bin/env bash
# The test command: installs what is missing, builds everything, prepares the
# Wine prefix template, then runs every test layer through CTest: native unit
# tests, the network tests and the Wine tests (each in a private network
# namespace of its own), the unit and network tests of the sanitizer build
# and the bounded fuzz runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
scripts/build.sh
scripts/wine-template.sh
# A test that fails once is a fault to find: nothing is run again.
ctest --test-dir build/native --output-on-failure "$@"
