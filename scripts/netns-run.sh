#!/usr/bin/env bash
# Runs a command inside a private network namespace of its own: only lo, up,
# with 10.69.0.0/16 local on it (the simulated cards live there) and the
# default route on lo, so that broadcasts come back to this host and nothing
# can leave the machine.
#   scripts/netns-run.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${1:-}" != "--inside-namespace" ]; then
  if [ "$(id -u)" = 0 ]; then
    exec unshare --net -- "$0" --inside-namespace "$@"
  else
    exec unshare --net --map-root-user -- "$0" --inside-namespace "$@"
  fi
fi
shift
ip link set lo up
ip addr add 10.69.0.1/16 dev lo
ip route add default dev lo
export DAVERIDUR_PRIVATE_NET=1
exec "$@"
