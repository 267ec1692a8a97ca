#!/usr/bin/env bash
# Soak: many transfers through the upload engine against simulated cards
# that lose and duplicate 5 % of the packets in each direction: 1000
# transfers of 0, 1, 511, 512, 513 bytes and 64 KB, then 20 of 1 MB. Every
# lost exchange costs the 1.1-s wait for the first resend, so this runs about
# half an hour. Prints the wall time and: transfers, " OK.", timeouts, other
# lines, images corrupted (a card stored bytes other than the image) and
# false " OK." (reported OK while the card holds no intact copy). The last
# two must be 0; the exit status says whether they are.
#   bench/soak.sh [TRANSFERS] [BIG]       (defaults 1000 and 20)
# Not a test: run it by hand. Needs the native build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$root/bench/soak.sh" "$@"
fi
source "$root/scripts/require-private-net.sh"
bin=${DAVERIDUR_BIN:-$root/build/native}
source "$root/scripts/cardsim-run.sh" bench-soak
transfers=${1:-1000}
big=${2:-20}
per_round=40

start_cardsim --fleet "$per_round" --base 10.69.9.1 --loss 0.05 --dup 0.05 --password soak \
  --seed "$RANDOM"
cards=()
for i in $(seq 1 "$per_round"); do cards+=("10.69.9.$i"); done

python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rng = random.Random(7)
for size in (0, 1, 511, 512, 513, 65536, 1048576):
    with open(os.path.join(work, 'img.%d' % size), 'wb') as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(size)))
PY

# round SIZE COUNT: COUNT cards each take the SIZE image; the record of the
# round is kept beside its report.
round_no=0
run_round() {
  local size=$1 count=$2
  round_no=$((round_no + 1))
  : > "$work/record"
  "$bin/tests/net/upgrade/upload-drive" --unchecked --image "$work/img.$size" --user admin \
    --password soak "${cards[@]:0:$count}" > "$work/report.$round_no"
  # Let the cards record the transfers they finished late (linger).
  cp "$work/record" "$work/record.$round_no"
  echo "$size" > "$work/size.$round_no"
}

started=$(date +%s)
sizes=(0 1 511 512 513 65536)
left=$transfers
i=0
while [ "$left" -gt 0 ]; do
  n=$((left < per_round ? left : per_round))
  run_round "${sizes[$((i % ${#sizes[@]}))]}" "$n"
  left=$((left - n))
  i=$((i + 1))
done
[ "$big" -gt 0 ] && run_round 1048576 "$big"
echo "wall time $(( $(date +%s) - started )) s; load $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$work" "$round_no" <<'PY'
import os, sys
work, rounds = sys.argv[1], int(sys.argv[2])

def fnv(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return '%016x' % h

tally = dict(transfers=0, ok=0, timeouts=0, other=0, corrupted=0, false_ok=0)
others = []
for r in range(1, rounds + 1):
    size = int(open(os.path.join(work, 'size.%d' % r)).read())
    image = open(os.path.join(work, 'img.%d' % size), 'rb').read()
    want = fnv(image[:28] + b'\0' * max(0, min(32, len(image)) - 28) + image[32:])
    stored = {}
    for line in open(os.path.join(work, 'record.%d' % r)):
        fields = line.rstrip('\n').split('\t')
        if fields[0] != 'upload':
            continue
        f = dict(x.split('=', 1) for x in fields[1:] if '=' in x)
        if f.get('status') != 'ok':
            continue
        intact = f.get('hash_nostamp') == want and int(f.get('size', -1)) == len(image)
        if not intact:
            tally['corrupted'] += 1
        stored.setdefault(f['ip'], []).append(intact)
    for line in open(os.path.join(work, 'report.%d' % r), newline='').read().split('\r\n')[:-1]:
        ip, _, outcome = line.partition(' ')
        tally['transfers'] += 1
        if outcome == 'OK.':
            tally['ok'] += 1
            if not any(stored.get(ip, [])):
                tally['false_ok'] += 1
        elif outcome == 'Timeout.':
            tally['timeouts'] += 1
        else:
            tally['other'] += 1
            others.append(line)
print('transfers %(transfers)d, " OK." %(ok)d, timeouts %(timeouts)d, other lines %(other)d, '
      'images corrupted %(corrupted)d, false " OK." %(false_ok)d' % tally)
for line in others[:10]:
    print('  other: %r' % line)
sys.exit(1 if tally['corrupted'] or tally['false_ok'] else 0)
PY
