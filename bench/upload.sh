#!/usr/bin/env bash
# Upload benchmark, side by side in one run inside the private network. Four
# tftpd-hpa servers stand in for four cards; each phase carries a 1 MB image
# to all four at once:
#   client  tftp-hpa's client, four puts at once (the reference)
#   native  the program's upload engine, headless (tests/net/upgrade/upload-drive)
#   wine    the real daveridur.exe under Wine, through its windows: Add, Open,
#           tick, Upgrade, Yes, wait for the report
#   fleet   100 simulated cards x 1 MB through the real program under Wine,
#           discovered; the time from Yes to the report
# Each phase prints its time, KB/s and the ratio to the client. The time of a
# card is its file's life on the tftpd side (created at the write request,
# last written at the last block).
# Besides the time of the whole, each phase prints each card's own rate and
# their mean against the client's mean.
#   bench/upload.sh [PHASE...]      (default: client native wine fleet)
#   UPLOAD_BENCH_MB=16 bench/upload.sh client native   (a larger image)
# Needs both builds (scripts/build.sh) and the Wine template.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DAVERIDUR_PRIVATE_NET:-}" ]; then
  exec "$root/scripts/netns-run.sh" "$root/bench/upload.sh" "$@"
fi
source "$root/scripts/require-private-net.sh"
bin=${DAVERIDUR_BIN:-$root/build/native}
source "$root/scripts/cardsim-run.sh" bench-upload
phases=("$@")
[ ${#phases[@]} -gt 0 ] || phases=(client native wine fleet)
want() { [[ " ${phases[*]} " == *" $1 "* ]]; }

cards=(10.69.7.1 10.69.7.2 10.69.7.3 10.69.7.4)
remote=upgrade@bench@admin
"$bin/tools/mkimage/mkimage" "$work/fw.bin" --size $((${UPLOAD_BENCH_MB:-1} * 1048576)) --seed 3 \
  --version 2.00 >/dev/null
size=$(stat -c %s "$work/fw.bin")

# One server per card address, each in a folder of its own that also holds
# the card's answer to the program's "sysinfo" query.
servers=()
stop_servers() { for p in "${servers[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap 'stop_servers; cleanup' EXIT
n=0
for ip in "${cards[@]}"; do
  n=$((n + 1))
  dir=$work/tftp/$ip
  mkdir -p "$dir"
  printf 'MX-2 SNMP/WEB Card\r\n+PROD : 0x00010004\r\n+IP : %s\r\n+MAC : 00-0a-fd-00-07-%02x\r\n+FW : v1.00\r\n+WRQ : ACCEPT\r\n' \
    "$ip" "$n" > "$dir/sysinfo"
  PATH=$PATH:/usr/sbin in.tftpd -L -u root -c -p -s "$dir" -a "$ip:69" &
  servers+=($!)
done
sleep 0.3

clear_files() { for ip in "${cards[@]}"; do rm -f "$work/tftp/$ip/$remote"; done; }

# Per card: seconds from the file's creation to its last write, and whether
# it holds the image (the stamp field aside).
card_times() {  # card_times LABEL
  python3 - "$1" "$work" "$size" "${card_ref:-}" "${cards[@]}" <<'PY'
import os, subprocess, sys
label, work, size, ref, cards = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5:]
image = open(os.path.join(work, 'fw.bin'), 'rb').read()
rates = []
for ip in cards:
    path = os.path.join(work, 'tftp', ip, 'upgrade@bench@admin')
    if not os.path.exists(path):
        print('  %-10s no file' % ip)
        continue
    born, last = subprocess.run(['stat', '-c', '%.9W %.9Y', path], capture_output=True,
                                text=True).stdout.split()
    if float(born) == 0:
        print('  %-10s (this file system keeps no creation time)' % ip)
        continue
    took = float(last) - float(born)
    rates.append(size / 1024 / max(took, 1e-6))
    data = open(path, 'rb').read()
    same = len(data) == size and data[:28] + data[32:] == image[:28] + image[32:]
    print('  %-10s %7.3f s  %8.0f KB/s  %s' % (ip, took, size / 1024 / max(took, 1e-6),
                                             'image intact' if same else 'IMAGE DIFFERS'))
if rates:
    mean = sum(rates) / len(rates)
    line = '  per card %.0f KB/s' % mean
    if ref:
        line += ', %.1f %% of the client\'s per card' % (100 * mean / float(ref))
    print(line)
    open(os.path.join(work, 'card_mean.' + label), 'w').write('%f' % mean)
PY
}

now() { date +%s.%N; }
summary() {  # summary LABEL SECONDS
  python3 -c "import sys; l, s, total, ref = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
kbs = total / 1024 / s
line = '%-8s %8.3f s  %9.0f KB/s' % (l, s, kbs)
if ref: line += '  %6.1f %% of the client' % (100 * kbs / float(ref))
print(line)" "$1" "$2" $((size * 4)) "${ref_kbs:-}"
}

echo "image $size bytes; $(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
ref_kbs=""
if want client; then
  # The best of three runs, with the card times of that run.
  best=""
  for _ in 1 2 3; do
    clear_files
    t0=$(now)
    puts=()
    for ip in "${cards[@]}"; do
      tftp -m octet "$ip" -c put "$work/fw.bin" "$remote" &
      puts+=($!)
    done
    wait "${puts[@]}"
    t=$(python3 -c "print($(now) - $t0)")
    if [ -z "$best" ] || python3 -c "import sys; sys.exit(0 if $t < $best else 1)"; then
      best=$t
      card_times client > "$work/client.cards"
    fi
  done
  summary client "$best"
  cat "$work/client.cards"
  card_ref=$(cat "$work/card_mean.client")
  ref_kbs=$(python3 -c "print($((size * 4)) / 1024 / $best)")
fi

if want native; then
  clear_files
  "$bin/tests/net/upgrade/upload-drive" --image "$work/fw.bin" --poll-ms 2 --user admin \
    --password bench --stats "$work/native.stats" "${cards[@]}" > "$work/native.report"
  summary native "$(sed -n 's/^batch seconds=\([0-9.]*\).*/\1/p' "$work/native.stats")"
  card_times native
  tr -d '\r' < "$work/native.report" | sed 's/^/  report: /'
fi

if want wine; then
  clear_files
  "$root/scripts/wine-run.sh" python3 "$root/bench/upload_wine.py" add "$work/fw.bin" "${cards[@]}" \
    > "$work/wine.out" 2>&1 || { cat "$work/wine.out"; exit 1; }
  summary wine "$(sed -n 's/^wine seconds=\([0-9.]*\).*/\1/p' "$work/wine.out")"
  echo "  (Yes to report)"
  card_times wine
  grep '^  ' "$work/wine.out" | sed 's/^  /  report: /'
fi

if want fleet; then
  stop_servers
  "$bin/tools/mkimage/mkimage" "$work/fleet.bin" --size 1048576 --seed 4 --version 2.00 >/dev/null
  "$root/scripts/wine-run.sh" python3 "$root/bench/upload_wine.py" fleet "$work/fleet.bin" 100 10.69.8.1 \
    > "$work/fleet.out" 2>&1 || { cat "$work/fleet.out"; exit 1; }
  line=$(grep '^wine seconds=' "$work/fleet.out")
  echo "fleet    100 cards x $size bytes under Wine, Yes to report: ${line#wine }"
  grep '^  ' "$work/fleet.out" | grep -v ' OK\.$' | sed 's/^  /  report: /' || true
fi
echo "load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
