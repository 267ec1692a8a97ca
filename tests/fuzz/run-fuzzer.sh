#!/usr/bin/env bash
# run-fuzzer.sh TARGET SEED_DIR WORK_DIR: a bounded libFuzzer run that starts
# from the committed seeds; new inputs go to WORK_DIR, never into the tree.
set -euo pipefail
target=$1 seeds=$2 work=$3
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cd "$work"
"$target" -runs=${DAVERIDUR_FUZZ_RUNS:-300000} -max_len=1700 -timeout=10 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds" 2>&1 | tail -n 5
