"""The Wine part of bench/discovery.sh: CARDS simulated cards, the real
program under Wine, one Discover clicked by discovery-watch.exe (which also
times the window's WM_NULL round trips), then the first periodic refresh
pass, timed from cardsim's record. Prints what it measured and the targets.

    scripts/netns-run.sh scripts/wine-run.sh python3 bench/discovery_wine.py [CARDS]"""

import os
import subprocess
import sys
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "tests", "e2e"))

from scene import CAPTION, Scene  # noqa: E402
from uidrive import start, wine_env, wine_loader, wait_until  # noqa: E402

REFRESH_S = 32
BASE = "10.69.4.1"


def program_peak_kb(root_pid):
    """The highest VmHWM of the started process and its descendants whose
    command line names daveridur.exe (other runs on the machine may hold
    programs of the same name)."""
    parents = {}
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                stat = open("/proc/%s/stat" % pid).read()
                parents[int(pid)] = int(stat.rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    family, grew = {root_pid}, True
    while grew:
        more = {pid for pid, parent in parents.items() if parent in family} - family
        family |= more
        grew = bool(more)
    best = None
    for pid in family:
        try:
            if b"daveridur.exe" not in open("/proc/%d/cmdline" % pid, "rb").read():
                continue
            for line in open("/proc/%d/status" % pid):
                if line.startswith("VmHWM:"):
                    kb = int(line.split()[1])
                    best = kb if best is None else max(best, kb)
        except (OSError, ValueError):
            continue
    return best


class RecordTail:
    """cardsim's record, read as it grows: counts unicast queries and
    unicast answers (each stamped with the time it was first seen)."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.partial = b""
        self.queries = []
        self.answers = []

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return
        self.offset += len(data)
        data = self.partial + data
        lines = data.split(b"\n")
        self.partial = lines.pop()
        now = time.monotonic()
        for line in lines:
            if b"via=unicast" not in line:
                continue
            if line.startswith(b"sysinfo\t"):
                self.queries.append(now)
            elif line.startswith(b"answer\t"):
                self.answers.append(now)


def main():
    cards = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    timeout_s = max(60, cards // 50)
    with Scene(fleet="", cardsim_args=["--fleet", str(cards), "--base", BASE]) as s:
        tail = RecordTail(s.path("record"))
        tailing = threading.Event()

        def follow():
            while not tailing.is_set():
                tail.poll()
                time.sleep(0.01)

        follower = threading.Thread(target=follow, daemon=True)
        follower.start()
        program = os.environ.get("DAVERIDUR_PROGRAM")
        if program:  # another build's program, the helpers of this one
            s.program = start(program, log=s.path("program.log"))
            s.main = s.driver.find(CAPTION, 30000)
        else:
            s.start_program()
        started = time.monotonic()
        watch = subprocess.Popen(
            [wine_loader(), os.path.join(s.windows, "bench/discovery-watch.exe"), str(cards), str(timeout_s)],
            env=wine_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        got = {}
        for line in watch.stdout:
            line = line.strip()
            if line == "watching":
                break
            key, _, value = line.partition("=")
            got[key] = value
        time.sleep(0.05)
        before = len(tail.queries)
        listed = int(got.get("rows", 0))
        # The Discover's pass: the first burst of direct queries, back to back.
        discover_pass = None
        asked = 0
        while asked < before and (asked == 0 or tail.queries[asked] - tail.queries[asked - 1] < 1.0):
            asked += 1
        if asked:
            discover_pass = (tail.queries[asked - 1] - tail.queries[0],
                             tail.answers[min(asked, len(tail.answers)) - 1] - tail.queries[0]
                             if tail.answers else None)
        # The first periodic pass: 32 s after the start, unless the Discover
        # still held the busy event then, in which case it is the next one.
        passes_at = [started + REFRESH_S * k for k in (1, 2, 3)]
        deadline = passes_at[-1] + 10
        began = None
        while time.monotonic() < deadline:
            if began is None and len(tail.queries) > before:
                began = tail.queries[before]
            if began is not None and len(tail.queries) >= before + listed:
                break
            time.sleep(0.01)
        sent = answered = None
        if began is not None and len(tail.queries) >= before + listed:
            sent = tail.queries[before + listed - 1] - began
            first_answer = len([a for a in tail.answers if a < began])
            wait_until(lambda: len(tail.answers) >= first_answer + listed, 20, interval=0.01)
            if len(tail.answers) >= first_answer + listed:
                answered = tail.answers[first_answer + listed - 1] - began
            time.sleep(0.5)
        tailing.set()
        watch.stdin.write("stop\n")
        watch.stdin.flush()
        for line in watch.stdout:
            key, _, value = line.strip().partition("=")
            got[key] = value
        watch.wait(timeout=30)
        peak = program_peak_kb(s.program.pid)
        quit_ok = s.quit(timeout=20)

    def ms(key):
        return float(got[key]) if key in got else None

    def show(v, unit="ms"):
        return "never" if v is None else "%.0f %s" % (v, unit)

    print("wine: %d cards, the real program, one Discover (%d CPUs, load %s)" %
          (cards, os.cpu_count(), " ".join(open("/proc/loadavg").read().split()[:3])))
    print("  rows listed: %s of %d" % (got.get("rows", "?"), cards))
    print("  time to %d rows: %s after the click; the countdown ended at %s" %
          (cards, show(ms("all_rows_ms")), show(ms("dialog_ms"))))
    print("  time to all rows ready: %s after the click, %s after the Discover's pass began%s" %
          (show(ms("all_ready_ms")), show(ms("ready_after_pass_ms")),
           "" if "not_ready" not in got else " (%s rows not ready)" % got["not_ready"]))
    if discover_pass:
        print("  the Discover's pass: %d queries sent in %s, their answers acknowledged in %s" %
              (asked, show(discover_pass[0] * 1000),
               show(None if discover_pass[1] is None else discover_pass[1] * 1000)))
    print("  WM_NULL round trip during the Discover: worst %s, 99th percentile %s (%s pings)" %
          (show(ms("discover_null_worst_ms")), show(ms("discover_null_p99_ms")), got.get("discover_pings")))
    print("  WM_NULL round trip afterwards, periodic pass included: worst %s, 99th percentile %s (%s pings)" %
          (show(ms("after_null_worst_ms")), show(ms("after_null_p99_ms")), got.get("after_pings")))
    print("  periodic pass over %d rows: queries sent in %s, every answer acknowledged in %s" %
          (listed, show(None if sent is None else sent * 1000), show(None if answered is None else answered * 1000)))
    for stretch in ("discover", "after"):
        if got.get(stretch + "_slow"):
            print("  round trips over 50 ms (%s; start+ms after the click): %s" % (stretch, got[stretch + "_slow"]))
    print("  peak memory: %s" % ("unknown" if peak is None else "%.1f MB" % (peak / 1024.0)))
    print("  quit: %s" % ("ended" if quit_ok else "did not end in 20 s"))
    ok = "all_rows_ms" in got and "all_ready_ms" in got
    return 0 if ok else 2


if __name__ == "__main__":
    sys.exit(main())
