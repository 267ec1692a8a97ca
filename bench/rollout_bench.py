"""The driver of bench/rollout.sh, inside the private network: a cardsim
fleet per run, daveridur-cli upgrade --waves ... --verify at each --parallel
given, timed, beside a lower bound computed from the same run, then one run
that must halt.

    python3 bench/rollout_bench.py FRONT CLI [--wine LOADER]

FRONT names the figures (native, wine). The fleet and the runs come from
the environment (see bench/rollout.sh)."""

import argparse
import csv
import json
import math
import os
import subprocess
import sys
import tempfile
import time

CARDSIM = os.path.join(os.environ.get("DAVERIDUR_BIN", "build/native"), "tools", "cardsim", "cardsim")
MKIMAGE = os.path.join(os.environ.get("DAVERIDUR_BIN", "build/native"), "tools", "mkimage", "mkimage")
BASE = (10, 69, 40, 1)
CHECK_PERIOD_S = 5  # the checks after the upgrade ask every 5 s


def env(name, default):
    return os.environ.get(name, default)


CARDS = int(env("ROLLOUT_CARDS", "1000"))
IMAGE_KB = int(env("ROLLOUT_KB", "1024"))
ACK_MS = float(env("ROLLOUT_ACK_MS", "10"))
RESTART_S = float(env("ROLLOUT_RESTART_S", "20"))
# The checks' settle period (--settle): a card is applied only once it held
# the new version that long, in at least 5 answers a second apart.
SETTLE_S = int(env("ROLLOUT_SETTLE_S", "30"))
HELD_S = max(SETTLE_S, 4)
WAVES = env("ROLLOUT_WAVES", "1,10,25%")
PARALLEL = [int(n) for n in env("ROLLOUT_PARALLEL", "4 32 64").split()]
HALT = env("ROLLOUT_HALT", "1") == "1"


def ip_of(i):
    n = (BASE[0] << 24 | BASE[1] << 16 | BASE[2] << 8 | BASE[3]) + i
    return "%d.%d.%d.%d" % (n >> 24, n >> 16 & 255, n >> 8 & 255, n & 255)


def wave_sizes(text, eligible):
    """The plan's sizes, as the program computes them (rounded down, at
    least one card, the last entry repeating)."""
    steps = [s.strip() for s in text.split(",")]
    sizes, left, k = [], eligible, 0
    while left > 0:
        s = steps[min(k, len(steps) - 1)]
        n = max(1, eligible * int(s[:-1]) // 100) if s.endswith("%") else int(s)
        n = min(n, left)
        sizes.append(n)
        left -= n
        k += 1
    return sizes


class Fleet:
    def __init__(self, work, name, config_lines=()):
        self.record = os.path.join(work, name + ".record")
        ready = os.path.join(work, name + ".ready")
        args = [CARDSIM, "--fleet", str(CARDS), "--base", ip_of(0), "--record", self.record,
                "--ready-file", ready, "--fw", "1.00", "--ack_delay", str(ACK_MS),
                "--restart", str(RESTART_S), "--restart_fw", "2.00"]
        if config_lines:
            config = os.path.join(work, name + ".cards")
            with open(config, "w") as f:
                f.write("\n".join(config_lines) + "\n")
            args += ["--config", config]
        self.log = open(os.path.join(work, name + ".cardsim.log"), "w")
        self.proc = subprocess.Popen(args, stderr=self.log)
        deadline = time.time() + 30
        while not (os.path.exists(ready) and os.path.getsize(ready)):
            if time.time() > deadline or self.proc.poll() is not None:
                sys.exit("cardsim not ready; see " + self.log.name)
            time.sleep(0.05)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)
        self.log.close()

    def events(self, kind):
        out = []
        for line in open(self.record, encoding="utf-8", errors="replace"):
            parts = line.rstrip("\n").split("\t")
            if parts[0] == kind:
                out.append(dict(p.split("=", 1) for p in parts[1:] if "=" in p))
        return out


def mean_transfer_s(report):
    """The mean time a card's transfer took in this run: the report's
    "seconds" (whole seconds, so the mean of many)."""
    took = []
    with open(report, newline="", encoding="utf-8") as f:
        for row in csv.DictReader(f):
            if row.get("result") == "ok" and row.get("seconds"):
                took.append(float(row["seconds"]))
    return sum(took) / len(took) if took else float("nan")


def run_cli(command, work, name, extra, parallel):
    report = os.path.join(work, name + ".csv")
    out_path = os.path.join(work, name + ".out")
    err_path = os.path.join(work, name + ".err")
    args = command + ["upgrade", os.path.join(work, "fw.bin"), "--cards", os.path.join(work, "cards.csv"),
                      "--user", "admin", "--waves", WAVES, "--verify", "--settle", str(SETTLE_S),
                      "--parallel", str(parallel),
                      "--report", report, "--json"] + extra
    t0 = time.time()
    with open(out_path, "w") as out, open(err_path, "w") as err:
        rc = subprocess.run(args, stdout=out, stderr=err, stdin=subprocess.DEVNULL).returncode
    wall = time.time() - t0
    lines = [json.loads(l) for l in open(out_path, encoding="utf-8") if l.strip()]
    return rc, wall, report, lines


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("front")
    ap.add_argument("cli")
    ap.add_argument("--wine")
    ap.add_argument("--baseline", help="another build of the CLI, run beside it at each --parallel")
    a = ap.parse_args()
    command = ([a.wine] if a.wine else []) + [a.cli]
    builds = [("", command)]
    if a.baseline:
        builds.append(("baseline ", ([a.wine] if a.wine else []) + [a.baseline]))
    work = tempfile.mkdtemp(prefix="daveridur-rollout.")
    subprocess.run([MKIMAGE, os.path.join(work, "fw.bin"), "--size", str(IMAGE_KB * 1024), "--seed", "5",
                    "--version", "2.00"], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(work, "cards.csv"), "w") as f:
        f.write("".join(ip_of(i) + "\r\n" for i in range(CARDS)))
    sizes = wave_sizes(WAVES, CARDS)
    print("%s: %d cards, %d KB image, %.0f ms per block, restart %.0f s, settle %d s, waves %s -> %s" %
          (a.front, CARDS, IMAGE_KB, ACK_MS, RESTART_S, SETTLE_S, WAVES, sizes))
    failed = False
    walls = {}
    for n in PARALLEL:
        for label, build in builds:
            fleet = Fleet(work, "p%d" % n)
            rc, wall, report, lines = run_cli(build, work, "p%d" % n, [], n)
            fleet.stop()
            per_card = mean_transfer_s(report)
            bound = sum(math.ceil(w / n) * per_card + RESTART_S + CHECK_PERIOD_S + HELD_S
                        for w in sizes)
            applied = sum(1 for l in lines if l.get("verified") == "applied")
            if not label:
                walls[n] = wall
            print("  %s--parallel %-3d %4d/%d applied  wall %7.1f s  bound %7.1f s  ratio %.3f  "
                  "(%.2f s per card, exit %d)" % (label, n, applied, CARDS, wall, bound, wall / bound, per_card, rc))
            failed |= rc != 0 or applied != CARDS
    if 4 in walls and 32 in walls:
        print("  --parallel 32 is %.1f x faster than --parallel 4" % (walls[4] / walls[32]))
    if HALT:
        # 5 % of the cards never come back, all in the third wave.
        start = sizes[0] + sizes[1]
        lost = [start + i * sizes[2] // max(1, CARDS // 20) for i in range(CARDS // 20)]
        lost = sorted(set(i for i in lost if i < start + sizes[2]))
        fleet = Fleet(work, "halt", ["ip=%s restart=-1" % ip_of(i) for i in lost])
        n = 32
        rc, wall, report, lines = run_cli(command, work, "halt", [], n)
        cards = [l for l in lines if "summary" not in l]
        summary = next((l["summary"] for l in lines if "summary" in l), {})
        failed_ips = sorted(l["ip"] for l in cards if l.get("verified") == "no_answer" or
                            (l.get("result") not in ("ok", "not_started", "skipped", "skipped_done")))
        later = set(ip_of(i) for i in range(start + sizes[2], CARDS))
        not_started = set(l["ip"] for l in cards if l.get("result") == "not_started")
        started_later = set(e["ip"] for e in fleet.events("wrq")) & later
        fleet.stop()
        want_failed = sorted(ip_of(i) for i in lost)
        ok = (rc == 4 and failed_ips == want_failed and not_started == later and not started_later)
        print("  halting run (--parallel %d): exit %d, %d failed (%d never came back), %d not started of %d later, "
              "%d started after the halt, %.1f s, summary %s -> %s" %
              (n, rc, len(failed_ips), len(want_failed), len(not_started), len(later), len(started_later), wall,
               json.dumps(summary), "as it should" if ok else "WRONG"))
        failed |= not ok
    subprocess.run(["rm", "-rf", work])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
