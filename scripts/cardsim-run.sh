# Sourced by the scripts that need a simulated fleet inside the private
# network: a work folder of the run's own and cardsim started in it, both
# gone when the script ends.
#   source scripts/cardsim-run.sh NAME     -> $work, start_cardsim
#   start_cardsim ARGS...                   (cardsim's own arguments; the
#                                           record, ready file and log are
#                                           $work/record, $work/ready,
#                                           $work/cardsim.log)
work=$(mktemp -d "/tmp/daveridur-$1.XXXXXX")
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_cardsim() {
  "${DAVERIDUR_BIN:-$bin}/tools/cardsim/cardsim" "$@" --record "$work/record" \
    --ready-file "$work/ready" 2>"$work/cardsim.log" &
  sim=$!
  for _ in $(seq 200); do [ -s "$work/ready" ] && return 0; sleep 0.05; done
  echo "FAILED cardsim not ready"
  cat "$work/cardsim.log"
  exit 1
}
