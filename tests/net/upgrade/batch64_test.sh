#!/usr/bin/env bash
# One batch of 64 sessions against 64 simulated cards: every card is sent the
# image, all 64 transfers run at once, and each card holds the image byte for
# byte apart from the stamp field.
# Runs inside the private network (scripts/netns-run.sh).
#
# Starts come 100 ms apart, so the 64th starts about 6.3 s after the first.
# Each card stores a block slower the earlier it starts (cardsim's ack_delay,
# below the 1.1 s after which a block is sent again), so that every transfer
# still runs when the last one starts and all end near 7.5 s. A place of the
# batch is refilled only once its session ended: 64 places used by 64 cards
# means none had ended when the last card started.
set -euo pipefail
source "$DAVERIDUR_SOURCE/scripts/require-private-net.sh"
bin=$DAVERIDUR_BIN
source "$DAVERIDUR_SOURCE/scripts/cardsim-run.sh" batch64

cards=()
for i in $(seq 0 63); do
  ip="10.69.6.$((i + 1))"
  cards+=("$ip")
  delay=$(( (7500 - 100 * i) / 8 ))  # eight blocks of the 4000-byte image
  echo "ip=$ip user=admin password=secret ack_delay=$delay" >> "$work/cards.conf"
done
"$bin/tools/mkimage/mkimage" "$work/fw.bin" --size 4000 --seed 64 --version 1.05
mkdir "$work/saved"
start_cardsim --config "$work/cards.conf" --save-dir "$work/saved"

SECONDS=0
timeout 60 "$bin/tests/net/upgrade/upload-drive" --image "$work/fw.bin" --sessions 64 \
  --user admin --password secret --stats "$work/stats" "${cards[@]}" > "$work/report"
echo "took $SECONDS s"

python3 - "$work" "${cards[@]}" <<'PY'
import os, sys
work, cards = sys.argv[1], sys.argv[2:]
image = open(os.path.join(work, 'fw.bin'), 'rb').read()
failed = 0
def fail(message):
    global failed
    failed += 1
    print('FAILED', message)
lines = open(os.path.join(work, 'report'), newline='').read().split('\r\n')
if lines[-1] != '':
    fail('the report does not end with CR LF')
ok = {l.split(' ')[0] for l in lines[:-1] if l.endswith(' OK.')}
if len(lines) - 1 != len(cards):
    fail('%d report lines for %d cards' % (len(lines) - 1, len(cards)))
for ip in cards:
    if ip not in ok:
        fail('%s did not end OK' % ip)
        continue
    saved = open(os.path.join(work, 'saved', ip + '.bin'), 'rb').read()
    if saved[:28] + saved[32:] != image[:28] + image[32:]:
        fail('%s received other bytes than the image' % ip)
stats = [dict(f.split('=') for f in l.split()) for l in open(os.path.join(work, 'stats'))
         if l.startswith('ip=')]
places = {s['slot'] for s in stats}
if len(stats) != 64 or len(places) != 64:
    fail('%d sessions in %d places, not 64 at once' % (len(stats), len(places)))
print('%d cards checked, %d sessions in %d places, %d failures'
      % (len(cards), len(stats), len(places), failed))
sys.exit(1 if failed else 0)
PY
