#!/usr/bin/env bash
# Upload benchmark: four sessions of one batch each carry a 1 MB image to a
# simulated card, every session driven by a real tick/poll loop (100-ms tick;
# the poll every 10 ms as the Windows timers fire it, and every 2 ms as the
# program asks). Reports blocks per second per session against the poll rate
# (target: at least 95 % of one block per poll firing) and the end-to-end
# time of the batch.
#   bench/upload.sh            (enters the private network by itself)
# Needs the native build (scripts/build.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$root/bench/upload.sh" "$@"
fi
source "$root/scripts/require-private-net.sh"
bin=${DAVERIDUR_BIN:-$root/build/native}
source "$root/scripts/cardsim-run.sh" bench-upload

cards=(10.69.7.1 10.69.7.2 10.69.7.3 10.69.7.4)
for ip in "${cards[@]}"; do echo "ip=$ip user=admin password=bench" >> "$work/cards.conf"; done
"$bin/tools/mkimage/mkimage" "$work/fw.bin" --size 1048576 --seed 3 --version 2.00
start_cardsim --config "$work/cards.conf"

echo "4 sessions x 1 MB ($(stat -c %s "$work/fw.bin") bytes), $(nproc) CPUs"
for poll_ms in 10 2; do
  "$bin/tests/net/upgrade/upload-drive" --image "$work/fw.bin" --poll-ms "$poll_ms" \
    --user admin --password bench --stats "$work/stats.$poll_ms" "${cards[@]}" > "$work/report.$poll_ms"
  python3 - "$work/stats.$poll_ms" "$work/report.$poll_ms" <<'PY'
import sys
stats = [dict(f.split('=') for f in line.split()[0:]) for line in open(sys.argv[1])
         if line.startswith('ip=')]
batch = [l for l in open(sys.argv[1]) if l.startswith('batch')][0].split()
info = dict(f.split('=') for f in batch[1:])
poll_ms = int(info['poll_ms'])
rate = 1000.0 / poll_ms
print('poll every %d ms (%.0f firings/s):' % (poll_ms, rate))
for s in stats:
    bps = int(s['blocks']) / float(s['seconds'])
    print('  %-10s slot %s  %5s blocks in %7s s  %6.1f blocks/s  %5.1f %% of one per poll'
          % (s['ip'], s['slot'], s['blocks'], s['seconds'], bps, 100 * bps / rate))
report = open(sys.argv[2], newline='').read()
print('  end to end %s s; report: %s' % (info['seconds'], ' | '.join(report.split('\r\n')[:-1])))
PY
done
