#!/usr/bin/env bash
# Sourced by every script that opens the program's sockets: refuses to go on
# unless this shell runs in a network namespace whose only way out is lo.
daveridur_require_private_net() {
  local links routes
  links=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | sort -u | tr '\n' ' ')
  routes=$(ip route show default)
  if [ "$links" != "lo " ] || ! printf '%s' "$routes" | grep -q 'dev lo'; then
    echo "refusing to run: not inside the private network (links: $links; default: $routes)" >&2
    echo "run it through scripts/netns-run.sh" >&2
    exit 3
  fi
}
daveridur_require_private_net
