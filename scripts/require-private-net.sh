#!/usr/bin/env bash
# Sourced by every script that opens the program's sockets: refuses to go on
# unless this shell runs in a network namespace whose only way out is lo.
# The two-subnet test builds namespaces joined by veth links inside such a
# private network; it marks them with DAVERIDUR_NESTED_NET=1, and then veth
# links (and a default route on one) are accepted too, never in the
# system's own namespace.
daveridur_require_private_net() {
  local links routes nested=""
  links=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | sort -u | tr '\n' ' ')
  routes=$(ip route show default)
  if [ -n "${DAVERIDUR_NESTED_NET:-}" ] &&
     [ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net 2>/dev/null)" ]; then
    nested=1
    for link in $links; do
      [ "$link" = lo ] && continue
      ip -d -o link show "$link" | grep -q ' veth ' || nested=""
    done
  fi
  if [ -n "$nested" ]; then
    return 0
  fi
  if [ "$links" != "lo " ] || ! printf '%s' "$routes" | grep -q 'dev lo'; then
    echo "refusing to run: not inside the private network (links: $links; default: $routes)" >&2
    echo "run it through scripts/netns-run.sh" >&2
    exit 3
  fi
}
daveridur_require_private_net
