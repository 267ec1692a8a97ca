"""A /16 scan against 1000 cardsim cards spread over it: every card found,
the wall time against the addresses over the rate plus the wait, and the
peak memory of the scanning program. Inside the private network, with
10.70.0.0/16 on lo (bench/discovery.sh scan sees to it).
    scan_bench.py native|wine CLI [CARDS] [RATE]"""

import os
import subprocess
import sys
import tempfile
import threading
import time

BLOCK = "10.70.0.0/16"
ADDRESSES = 65534
WAIT_MS = 3000


def card_ip(i, cards):
    offset = 1 + i * (ADDRESSES // cards)  # spread evenly over the block
    return "10.70.%d.%d" % (offset >> 8, offset & 255)


def peak_kb(root, name):
    """The highest VmHWM of root and its descendants that run `name` (other
    runs on the machine may run programs of the same name)."""
    parents = {}
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                parents[int(p)] = int(open("/proc/%s/stat" % p).read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    family, grew = {root}, True
    while grew:
        more = {p for p, parent in parents.items() if parent in family} - family
        family |= more
        grew = bool(more)
    best = 0
    for p in family:
        try:
            if name.encode() not in open("/proc/%d/cmdline" % p, "rb").read():
                continue
            for line in open("/proc/%d/status" % p):
                if line.startswith("VmHWM:"):
                    best = max(best, int(line.split()[1]))
        except OSError:
            continue
    return best


def run(command):
    """Runs the command: its stdout, wall time and peak memory."""
    started = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out = []
    reader = threading.Thread(target=lambda: out.append(proc.stdout.read()))
    reader.start()
    peak = 0
    while proc.poll() is None:
        peak = max(peak, peak_kb(proc.pid, "daveridur-cli"))
        time.sleep(0.2)
    wall = time.monotonic() - started
    reader.join()
    return "".join(out), wall, peak


def main():
    mode, cli = sys.argv[1], sys.argv[2]
    cards = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    rate = int(sys.argv[4]) if len(sys.argv) > 4 else 2000
    native = os.environ["DAVERIDUR_BIN"]
    work = tempfile.mkdtemp(prefix="daveridur-scan-bench.")
    conf = os.path.join(work, "fleet.conf")
    expected = [card_ip(i, cards) for i in range(cards)]
    with open(conf, "w") as f:
        for ip in expected:
            f.write("ip=%s\n" % ip)
    ready = os.path.join(work, "ready")
    sim = subprocess.Popen([os.path.join(native, "tools/cardsim/cardsim"), "--config", conf,
                            "--ready-file", ready], stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.05)
        command = [cli] if mode == "native" else [os.environ["WINE"], cli]
        # The same program asking one address, for the memory it needs anyway.
        _, base_wall, base_peak = run(command + ["discover", "--wait", "0", expected[0]])
        out, wall, peak = run(command + ["discover", "--rate", str(rate), "--retries", "0",
                                         "--wait", str(WAIT_MS), BLOCK])
    finally:
        sim.terminate()
        sim.wait()
    found = {line.split("\t")[0] for line in out.splitlines() if line.strip()}
    target = ADDRESSES / rate + WAIT_MS / 1000
    print("%s: %s at --rate %d --retries 0 --wait %d, %d cards spread over it" %
          (mode, BLOCK, rate, WAIT_MS, cards))
    print("  cards found      %d of %d%s" % (len(found & set(expected)), cards,
                                             "" if found >= set(expected) else "  MISSING"))
    print("  wall time        %.2f s (target %.2f s = %d / %d + %.1f; ratio %.3f)" %
          (wall, target, ADDRESSES, rate, WAIT_MS / 1000, wall / target))
    print("  peak memory      %d KB (VmHWM of the program; %d KB asking one address, %.1f s)" %
          (peak, base_peak, base_wall))
    return 0 if found >= set(expected) else 1


if __name__ == "__main__":
    sys.exit(main())
