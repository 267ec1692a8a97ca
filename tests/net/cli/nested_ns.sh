# Nested network namespaces inside the private network, for the tests that
# build a topology of their own: sourced with the work folder's name prefix.
#   source nested_ns.sh NAME   -> $work, new_namespace VAR, in_ns PID CMD...
# Processes started into $holders (namespaces) and $sims (card simulators)
# are ended, and $work removed, when the test exits.
work=$(mktemp -d "/tmp/daveridur-$1.XXXXXX")
holders=()
sims=()
cleanup() {
  for pid in "${sims[@]}" "${holders[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sims[@]}" "${holders[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A network namespace held open by a sleeping process; its pid.
own_ns=$(readlink /proc/self/ns/net)
new_namespace() {
  unshare --net sleep 600 &
  local pid=$!
  for _ in $(seq 100); do
    [ "$(readlink /proc/$pid/ns/net 2>/dev/null)" != "$own_ns" ] && break
    sleep 0.02
  done
  holders+=("$pid")
  eval "$1=$pid"
}
in_ns() { local pid=$1; shift; nsenter --net=/proc/$pid/ns/net "$@"; }
