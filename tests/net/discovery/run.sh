#!/usr/bin/env bash
# Runs a discovery network program (test or benchmark) inside the private
# network only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../scripts/require-private-net.sh"
exec "$@"
