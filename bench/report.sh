#!/usr/bin/env bash
# Report page benchmark, in the private network (Chromium has no way out):
# a synthetic rollout report of REPORT_CARDS cards [20000] (bench/report_bench.cpp)
# made into its page by daveridur-cli report --html, beside the same command
# reading the report alone (its count lines); the page's size beside the
# CSV's; the page rendered by headless Chromium to a full-page screenshot,
# beside the same browser's screenshot of an empty page; then REPORT_SITES
# reports [50] of REPORT_SITE_CARDS cards [1000] merged into the fleet's
# list of cards behind 1.05 and into the fleet's page, beside reading them
# alone. Each figure with its target (page under 1 s and 8 MB, screenshot
# under 5 s, merge under 2 s). Best of REPORT_RUNS runs [3].
#   bench/report.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$0" "$@"
fi
source "$root/scripts/require-private-net.sh"
bin=${DAVERIDUR_BIN:-$root/build/native}
ninja -C "$bin" daveridur-cli report_bench >/dev/null
work=$(mktemp -d /tmp/daveridur-report-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "$(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
"$bin/bench/report_bench" rollout "$work/rollout.csv" "${REPORT_CARDS:-20000}"
mkdir "$work/sites"
"$bin/bench/report_bench" fleet "$work/sites" "${REPORT_SITES:-50}" "${REPORT_SITE_CARDS:-1000}"
python3 "$root/bench/report_bench.py" "$bin/cli/daveridur-cli" "$work" "${REPORT_RUNS:-3}"
echo "load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
