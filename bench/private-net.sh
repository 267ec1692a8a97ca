# Sourced first by a benchmark that opens the product's sockets: runs it
# again inside a private network namespace of its own unless it is in one,
# then sets root (the source tree) and bin (DAVERIDUR_BIN, the native tree)
# and builds the command-line tool and the fleet's tools there.
#   source "$(dirname "$0")/private-net.sh" "$@"
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$0" "$@"
fi
source "$root/scripts/require-private-net.sh"
export DAVERIDUR_BIN=${DAVERIDUR_BIN:-$root/build/native}
bin=$DAVERIDUR_BIN
ninja -C "$bin" daveridur-cli cardsim mkimage >/dev/null
