#!/usr/bin/env python3
"""daveridur-cli upgrade --report however the run ends: killed (SIGKILL) at
random moments before the first transfer, mid-transfer and during the
checks, each time leaving a valid CSV that names every card with a state no
later than what the cards recorded, every value without a blank after it,
and that resumes; SIGTERM and SIGHUP as Ctrl+C; a reader that went away and
a full disk; a report that cannot be created; links planted at the report's
names; a second run refused a report in use; a FIFO, a device or a folder
refused for every file the upgrade reads.

    scripts/netns-run.sh python3 tests/net/cli/journal_test.py COMMAND...

About 70 s: two lanes of cards killed side by side."""

import csv
import io
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import Cardsim, check, finish  # noqa: E402

LANES = [["10.69.9.%d" % n for n in (1, 2, 3, 4)], ["10.69.9.%d" % n for n in (11, 12, 13, 14)]]
REFUSING = {"10.69.9.3", "10.69.9.13"}
# A reply delay keeps the run a moment before its first transfer; slow
# ACKs keep the transfers going for a while; a restart into the image's
# version gives the checks something to settle.
CARD = "fw=1.00 delay=250 ack_delay=3 restart=3 restart_fw=1.05"
KILLS_PER_LANE = 27
COLUMNS = ["started", "ended", "ip", "mac", "version_before", "image", "image_version",
           "result", "message", "seconds", "bytes_sent", "verified", "verified_seconds",
           "image_sha256", "verdict"]
RESULTS = {"pending", "sending", "ok", "timeout", "card_error", "aborted", "no_connection",
           "socket_error", "no_memory", "too_large", "no_session", "skipped_version"}
UNFINISHED = {"pending", "sending"}


class Fleet(Cardsim):
    def __init__(self, native, work):
        # Refused at the write request: another account than the one sent
        # (a card that says it refuses upgrades is not sent at all).
        super().__init__(native, work, "".join(
            "ip=%s %s%s\n" % (ip, CARD, " user=nobody" if ip in REFUSING else "")
            for lane in LANES for ip in lane))

    def of_cards(self, since, ips):
        """(event, fields) recorded since line `since` for these cards."""
        return [(e, f) for _, e, f in self.events(since=since) if f.get("ip") in ips]


def read_report(path):
    """(header, rows) or None when the file is not a valid report."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return None
    if not text.endswith("\r\n"):
        return None
    rows = list(csv.reader(io.StringIO(text, newline="")))
    if not rows or any(len(r) != len(rows[0]) for r in rows):
        return None
    return rows[0], [dict(zip(rows[0], r)) for r in rows[1:]]


class Run:
    """One upgrade run whose stderr is read as it comes."""

    def __init__(self, command, args, stdout):
        self.started = threading.Event()
        self.checking = threading.Event()
        self.proc = subprocess.Popen(command + args, stdout=stdout, stderr=subprocess.PIPE)
        self.err = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stderr:
            text = line.decode(errors="replace")
            self.err.append(text)
            if text.endswith(": started\n"):
                self.started.set()
            if text.startswith("checking "):
                self.checking.set()

    def finish(self, timeout=60):
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = "hung"
        self.reader.join(timeout=5)
        return rc


def consistent(name, fleet, since, lane, report, printed):
    """The report names every card of the lane in batch order, each with a
    state no later than the truth and no earlier than what was printed."""
    if not os.path.exists(report):
        # Killed before the report was made: then before anything was sent.
        time.sleep(0.1)
        check(name + ": no report, nothing sent", ([], []), (printed, fleet.of_cards(since, lane)))
        return
    parsed = read_report(report)
    if not check(name + ": a valid CSV report", True, parsed is not None):
        return
    header, rows = parsed
    check(name + ": the columns, then the padding and the rows written",
          COLUMNS + ["padding (%d rows)" % len(lane)], header)
    check(name + ": no value ends with a blank", [],
          [(r["ip"], k) for r in rows for k in COLUMNS if r[k] != r[k].rstrip(" ")])
    check(name + ": every card, in batch order", lane, [r["ip"] for r in rows])
    check(name + ": known results", [], [r["result"] for r in rows if r["result"] not in RESULTS])
    by_ip = {r["ip"]: r for r in rows}
    check(name + ": a card whose line was printed is not pending or sending", [],
          [ip for ip in printed if by_ip.get(ip, {}).get("result") in UNFINISHED])
    # The card writes its record as it takes the last block; give it a moment.
    for attempt in range(10):
        events = fleet.of_cards(since, lane)
        flashed = {f["ip"] for e, f in events if e == "upload" and f.get("status") == "ok"}
        asked = {f["ip"] for e, f in events if e == "wrq"}
        claimed = {ip for ip, r in by_ip.items() if r["result"] == "ok"}
        if claimed <= flashed:
            break
        time.sleep(0.1)
    check(name + ": a card reported ok received the whole image", set(), claimed - flashed)
    check(name + ": a card that was flashed is not pending", set(),
          {ip for ip in flashed if by_ip.get(ip, {}).get("result") == "pending"})
    check(name + ": a card written to is not pending", set(),
          {ip for ip in asked if by_ip.get(ip, {}).get("result") == "pending"})


def printed_cards(path):
    with open(path, errors="replace") as f:
        return [l.split(" ", 1)[0] for l in f.read().splitlines() if l.strip()]


def kill_lane(command, fleet, image, work, lane, seed, phases):
    rnd = random.Random(seed)
    report = os.path.join(work, "lane%d.csv" % seed)
    out_path = os.path.join(work, "lane%d.out" % seed)
    unfinished = None  # a killed report with cards pending or sending
    for n in range(KILLS_PER_LANE):
        phase = ("before", "transfer", "checks")[n % 3]
        if os.path.exists(report):
            os.remove(report)
        since = fleet.mark()
        with open(out_path, "wb") as out:
            run = Run(command, ["upgrade", image] + lane +
                      ["--force", "--verify", "--settle", "1", "--parallel", "2", "--report", report],
                      out)
            if phase == "before":
                time.sleep(rnd.uniform(0.0, 0.2))
            elif phase == "transfer":
                run.started.wait(10)
                time.sleep(rnd.uniform(0.0, 0.3))
            else:
                run.checking.wait(15)
                time.sleep(rnd.uniform(0.0, 3.0))
            # Where the run was when the kill came.
            seen = "checks" if run.checking.is_set() else "transfer" if run.started.is_set() \
                else "before"
            if run.proc.poll() is None:
                run.proc.send_signal(signal.SIGKILL)
            else:
                seen = "ended"
            run.finish()
        phases[seen] = phases.get(seen, 0) + 1
        consistent("kill %d/%d (%s)" % (seed, n, seen), fleet, since, lane, report,
                   printed_cards(out_path))
        parsed = read_report(report)
        if not unfinished and parsed and any(r["result"] in UNFINISHED for r in parsed[1]):
            unfinished = report + ".killed"
            shutil.copyfile(report, unfinished)
    # A report killed with cards still pending or sending is whole: it resumes.
    if check("lane %d: a kill left cards pending or sending" % seed, True, bool(unfinished)):
        p = subprocess.run(command + ["upgrade", image, "--resume", unfinished, "--force",
                                      "--dry-run"], capture_output=True, timeout=60)
        check("lane %d: the killed report resumes, every card planned" % seed, (0, sorted(lane)),
              (p.returncode, sorted(l.split(" ", 1)[0] for l in p.stdout.decode().splitlines())))


def test_kills(command, fleet, images, work):
    phases = {}
    lanes = [threading.Thread(target=kill_lane,
                              args=(command, fleet, images["small"], work, lane, i, phases))
             for i, lane in enumerate(LANES)]
    for t in lanes:
        t.start()
    for t in lanes:
        t.join()
    print("kills by phase: %r" % phases, flush=True)
    check("at least 50 kills", True, sum(phases.values()) >= 50)
    check("kills in every phase", True, all(phases.get(p, 0) >= 10
                                           for p in ("before", "transfer", "checks")))


def test_stops(command, fleet, images, work):
    """SIGTERM and SIGHUP mid-transfer end the run as Ctrl+C does."""
    lane = LANES[0]
    for name, sig in (("SIGTERM", signal.SIGTERM), ("SIGHUP", signal.SIGHUP)):
        report = os.path.join(work, name + ".csv")
        out_path = os.path.join(work, name + ".out")
        since = fleet.mark()
        with open(out_path, "wb") as out:
            run = Run(command, ["upgrade", images["large"]] + lane +
                      ["--force", "--parallel", "1", "--report", report], out)
            run.started.wait(15)
            time.sleep(0.2)
            run.proc.send_signal(sig)
            rc = run.finish(30)
        check(name + ": status 1", 1, rc)
        parsed = read_report(report)
        if not check(name + ": the report is written", True, parsed is not None):
            continue
        results = {r["ip"]: r["result"] for r in parsed[1]}
        check(name + ": every card with its end, the running one and those after aborted",
              {lane[0]: "aborted", lane[1]: "aborted", lane[2]: "aborted", lane[3]: "aborted"},
              results)
        check(name + ": every card's line printed", sorted(lane), sorted(printed_cards(out_path)))
        consistent(name, fleet, since, lane, report, printed_cards(out_path))


def test_output_errors(command, fleet, images, work):
    lane = LANES[1]
    accepting = [ip for ip in lane if ip not in REFUSING]
    # The reader of the output went away before the first line.
    report = os.path.join(work, "pipe.csv")
    since = fleet.mark()
    r, w = os.pipe()
    os.close(r)
    with os.fdopen(w, "wb") as closed:
        run = Run(command, ["upgrade", images["small"]] + lane + ["--force", "--report", report],
                  closed)
        rc = run.finish(60)
    check("closed pipe: status 1", 1, rc)
    check("closed pipe: said on stderr", True,
          any("output could not be written" in l for l in run.err))
    parsed = read_report(report)
    if check("closed pipe: the report is written", True, parsed is not None):
        check("closed pipe: the run carried on to the end",
              {ip: ("card_error" if ip in REFUSING else "ok") for ip in lane},
              {r["ip"]: r["result"] for r in parsed[1]})
    time.sleep(0.3)
    flashed = {f["ip"] for e, f in fleet.of_cards(since, lane)
               if e == "upload" and f.get("status") == "ok"}
    check("closed pipe: no transfer was cut", set(accepting), flashed)

    with open("/dev/full", "wb") as full:
        run = Run(command, ["upgrade", images["small"], lane[0], "--force"], full)
        rc = run.finish(60)
    check("/dev/full: status 1 and the reason", (1, True),
          (rc, any("No space left on device" in l for l in run.err)))


def test_unwritable_report(command, fleet, images, work):
    lane = LANES[0]
    since = fleet.mark()
    report = os.path.join(work, "no-such-folder", "report.csv")
    run = Run(command, ["upgrade", images["small"]] + lane + ["--report", report],
              subprocess.DEVNULL)
    rc = run.finish(30)
    check("unwritable --report: status 2 and the reason", (2, True),
          (rc, any("no-such-folder" in l and "No such file or directory" in l for l in run.err)))
    time.sleep(0.3)
    check("unwritable --report: nothing sent to any card", [], fleet.of_cards(since, lane))


def test_one_run_per_report(command, fleet, images, work):
    """A second run given the report of a run under way is refused before
    it sends anything; so is a FIFO, a device or a folder given for any
    file the upgrade reads or writes, without waiting on it."""
    lane, other = LANES[0][:2], LANES[1][:2]  # none refusing
    report = os.path.join(work, "held.csv")
    first = Run(command, ["upgrade", images["small"]] + lane +
                ["--force", "--verify", "--settle", "1", "--report", report], subprocess.DEVNULL)
    first.started.wait(10)
    since = fleet.mark()
    second = Run(command, ["upgrade", images["small"]] + other + ["--force", "--report", report],
                 subprocess.DEVNULL)
    rc = second.finish(30)
    check("second run on a held report: status 2 and the reason", (2, True),
          (rc, any("the report is in use by another run" in l for l in second.err)))
    check("second run on a held report: nothing sent", [], fleet.of_cards(since, other))
    check("the first run goes on to its end", 0, first.finish(60))
    parsed = read_report(report)
    check("the first run's report names its cards only", lane,
          [r["ip"] for r in parsed[1]] if parsed else None)
    # Resumed into itself: the run holds the report it reads, and skips
    # the cards it proves done.
    since = fleet.mark()
    rc = Run(command, ["upgrade", images["small"], "--resume", report, "--report", report],
             subprocess.DEVNULL).finish(60)
    parsed = read_report(report)
    check("--resume and --report the same file: done, no write request",
          (0, ["skipped_done"] * len(lane), []),
          (rc, [r["result"] for r in parsed[1]] if parsed else None,
           [e for e, _ in fleet.of_cards(since, lane) if e == "wrq"]))

    fifo = os.path.join(work, "fifo")
    os.mkfifo(fifo)
    since = fleet.mark()
    for flag in ("--cards", "--resume", "--password-file", "--report"):
        for path, kind in ((fifo, "a FIFO"), ("/dev/null", "a device"), (work, "a folder")):
            run = Run(command, ["upgrade", images["small"], lane[0], flag, path], subprocess.DEVNULL)
            rc = run.finish(15)
            check("%s %s: status 2 and the reason, at once" % (flag, kind), (2, True),
                  (rc, any("not a regular file (%s)" % kind in l for l in run.err)))
    check("non-regular files: nothing sent", [], fleet.of_cards(since, lane))


def test_planted_links(command, fleet, images, work):
    folder = os.path.join(work, "shared")
    os.makedirs(folder)
    victim = os.path.join(work, "victim")
    with open(victim, "w") as f:
        f.write("precious")
    report = os.path.join(folder, "report.csv")
    for name in ("report.csv", "report.csv.tmp", "report.csv.new", ".report.csv.tmp"):
        os.symlink(victim, os.path.join(folder, name))
    run = Run(command, ["upgrade", images["small"], LANES[0][0], "--force", "--report", report],
              subprocess.DEVNULL)
    rc = run.finish(60)
    check("planted links: the run", 0, rc)
    check("planted links: the target of every link untouched", "precious", open(victim).read())
    check("planted links: the report is a file of its own", (False, True),
          (os.path.islink(report), read_report(report) is not None))
    check("planted links: the other links and nothing else left",
          [".report.csv.tmp", "report.csv", "report.csv.new", "report.csv.tmp"],
          sorted(os.listdir(folder)))


def main():
    command = sys.argv[1:]
    native = os.environ["DAVERIDUR_BIN"]
    work = tempfile.mkdtemp(prefix="daveridur-journal-test.")
    os.environ["HOME"] = work
    mkimage = os.path.join(native, "tools/mkimage/mkimage")
    images = {}
    for name, size in (("small", "30000"), ("large", "3000000")):
        images[name] = os.path.join(work, name + ".bin")
        subprocess.run([mkimage, images[name], "--version", "1.05", "--size", size], check=True,
                       stdout=subprocess.DEVNULL)
    fleet = Fleet(native, work)
    start = time.time()
    try:
        for group in (test_unwritable_report, test_one_run_per_report, test_planted_links,
                      test_output_errors, test_stops,
                      test_kills):
            try:
                group(command, fleet, images, work)
            except Exception as e:  # one broken group must not hide the others
                check(group.__name__ + " ran", None, repr(e))
    finally:
        fleet.stop()
    sys.exit(finish(" in %.0f s" % (time.time() - start)))


if __name__ == "__main__":
    main()
