#!/usr/bin/env python3
"""daveridur-cli upgrade as a rollout against a simulated fleet, read back from
the cards' own record: waves in plan order, none started before every card
of the wave before it came back with the new version; --json parsed back; a
refused write halting the run (exit 4, the cards after it not started, the
true failure count); that report read back by csv.DictReader value for value
as --json said it, and refused cut short; --resume of it sending to exactly
the cards it cannot prove done (not done, another device at the address, the
old version back), an exclude winning over it; a card back from a quick
restart with its old version, one back as another device (another MAC),
and one that answered the new version for a few seconds and rolled back to
the old, settled not applied within 30 s; a halt in a wave larger than --parallel
whose first card fails, its unstarted cards never started; --dry-run sending
no write request, and printing the schedule; bad times refused by name; a
run outside its window sending nothing; a first Ctrl+C letting the card
sending finish and be checked, the rest not started; 32 transfers open at
once with --parallel 32; the policy's runs at once: each budget at its
edge (count, share, the least settled), cards without an answer halting
only when asked, a spread plan's waves on every subnet, a seeded shuffle
the same twice, the delay told in --json, the gate asked on a terminal
(nothing of the next wave written before the answer) and refused without
one, an empty range failing and a current card being nothing to upgrade.

    scripts/netns-run.sh python3 tests/net/cli/rollout_test.py COMMAND...

About 50 s: every wave waits for the checks after the upgrade (asked
every second for the first two minutes after the card's " OK."), each card
held at the new version for a settle period of 1 s in 5 answers."""

import concurrent.futures
import csv
import json
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import Cardsim, Tool, check, finish, lines  # noqa: E402

# The cards come back with the image's version a second after the upload.
CARD = "fw=1.00 restart=1 restart_fw=1.05"
# The runs that do not test the settle period hold it short: each card is
# applied after 5 answers a second apart.
SHORT_SETTLE = ["--settle", "1"]
WAVES = ["10.69.14.%d" % n for n in range(1, 6)]      # .5 already at the version
HALT = ["10.69.15.%d" % n for n in range(1, 7)]       # .4 refuses the write
WIDE = ["10.69.16.%d" % n for n in range(1, 34)]      # 33 slow cards
QUICK = "10.69.17.1"    # silent 6 s after the upload, back with its old version
SWAPPED = "10.69.17.2"  # back with the new version, as another device
FLIPS = "10.69.17.3"    # silent 3 s, the new version for 2.5 s, silent 3 s, then the old
WIDE_WAVE = ["10.69.18.%d" % n for n in range(1, 7)]  # .1 refuses the write
STOPPED = ["10.69.19.%d" % n for n in range(1, 4)]    # .1 takes 2.4 s
# Three cards on each of three subnets, listed subnet by subnet.
SUBNETS = ["10.69.%d.%d" % (s, n) for s in (20, 21, 22) for n in (1, 2, 3)]
# Five cards a run (a run upgrades its good ones): .1-.3 refuse the write.
EDGES = [["10.69.%d.%d" % (s, n) for n in range(1, 6)] for s in (23, 25, 26, 27)]
AFTER_SILENT = ["10.69.28.1", "10.69.28.2"]
GATED = ["10.69.28.%d" % n for n in range(3, 7)]
SILENT = ["10.69.29.%d" % n for n in (8, 9)]          # no card there
REPORT_COLUMNS = ["started", "ended", "ip", "mac", "version_before", "image", "image_version",
                  "result", "message", "seconds", "bytes_sent", "verified", "verified_seconds",
                  "image_sha256", "verdict"]


def fleet_conf(refusing, knobs=None):
    knobs = knobs or {}
    out = []
    for ip in WAVES:
        out.append("ip=%s %s" % (ip, "fw=1.05" if ip.endswith(".5") else CARD))
    for ip in HALT:
        # Refused at the write request: another account than the one sent (a
        # card that says it refuses upgrades is not sent at all).
        out.append("ip=%s %s%s %s" % (ip, CARD, " user=nobody" if ip in refusing else "",
                                      knobs.get(ip, "")))
    out.append("ip=%s fw=1.00 restart=6" % QUICK)
    out.append("ip=%s %s restart_mac=02-00-00-00-17-02" % (SWAPPED, CARD))
    out.append("ip=%s fw=1.00 restart=3 restart_fw=1.05 fall_back=2.5" % FLIPS)
    for ip in WIDE_WAVE:
        out.append("ip=%s %s%s" % (ip, CARD, " user=nobody" if ip.endswith(".1") else ""))
    for ip in STOPPED:
        out.append("ip=%s %s%s" % (ip, CARD, " ack_delay=20" if ip.endswith(".1") else ""))
    for ip in SUBNETS:
        out.append("ip=%s %s" % (ip, CARD))
    for edge in EDGES:
        for ip in edge:
            out.append("ip=%s %s%s" % (ip, CARD, " user=nobody" if int(ip.rsplit(".", 1)[1]) <= 3 else ""))
    for ip in AFTER_SILENT + GATED:
        out.append("ip=%s %s" % (ip, CARD))
    for ip in WIDE:
        # 118 blocks at 40 ms each: about 5 s a transfer, longer than the
        # 3.2 s the batch takes to start 32 of them.
        out.append("ip=%s fw=1.00 ack_delay=40" % ip)
    return "\n".join(out) + "\n"


class Fleet(Cardsim):
    def __init__(self, native, work):
        super().__init__(native, work, fleet_conf({"10.69.15.4"}))

    def reconfigure(self, refusing, knobs=None):
        super().reconfigure(fleet_conf(refusing, knobs))


def json_lines(text):
    objects = []
    for l in lines(text):
        try:
            objects.append(json.loads(l))
        except ValueError:
            check("a JSON line", "parses", l)
    return objects


def wrq_order(fleet, since, ips):
    seen = []
    for _, _, f in fleet.events("wrq", since=since):
        if f["ip"] in ips and f["ip"] not in seen:
            seen.append(f["ip"])
    return seen


def settled_at(fleet, since, ip):
    """Where the card answered its first query after its upload: back with
    the new version (its check's answer)."""
    uploaded = None
    for i, event, f in fleet.events("upload", "sysinfo", since=since):
        if f.get("ip") != ip:
            continue
        if event == "upload" and f.get("status") == "ok":
            uploaded = i
        elif event == "sysinfo" and uploaded is not None:
            return i
    return None


def test_waves_and_json(tool, fleet, image, work):
    # The waves take the cards as given: those named, then the list's.
    given = ["10.69.14.3", "10.69.14.1", "10.69.14.4", "10.69.14.2"]
    card_list = os.path.join(work, "waves.csv")
    with open(card_list, "w") as f:
        f.write("ip\n10.69.14.4\n10.69.14.2\n10.69.14.5\n")
    start = fleet.mark()
    rc, out, err = tool.run("upgrade", image, *given[:2], "--cards", card_list, "--waves", "1,100%",
                            "--json", *SHORT_SETTLE)
    objects = json_lines(out)
    cards = [o for o in objects if "summary" not in o]
    check("waves: exit 0, every card applied or skipped", 0, rc)
    check("--json: one object per card, then the summary last",
          (5, True), (len(cards), bool(objects) and "summary" in objects[-1]))
    by_ip = {c.get("ip"): c for c in cards}
    check("--json: the report's columns and the wave as keys",
          [sorted(REPORT_COLUMNS + ["wave"])] * len(cards), [sorted(c) for c in cards])
    check("--json: waves as planned, in the order given, the skipped card outside them",
          {"10.69.14.3": 1, "10.69.14.1": 2, "10.69.14.4": 2, "10.69.14.2": 2, "10.69.14.5": None},
          {ip: c.get("wave") for ip, c in by_ip.items()})
    first = by_ip.get("10.69.14.3", {})
    skipped = by_ip.get("10.69.14.5", {})
    check("--json: a settled card's result, numbers as numbers, empty cells as null",
          ("ok", "applied", int, int, "skipped_version", None, None),
          (first.get("result"), first.get("verified"), type(first.get("bytes_sent")),
           type(first.get("verified_seconds")), skipped.get("result"), skipped.get("verified"),
           skipped.get("verified_seconds")))
    summary = objects[-1].get("summary", {}) if objects else {}
    check("--json: the summary", ({"applied": 4, "skipped_version": 1}, 0, 2, 2, False),
          (summary.get("results"), summary.get("failures"), summary.get("waves"),
           summary.get("waves_run"), summary.get("halted")))
    check("--json: each card's verdict, counted by verdict in the summary, the exit status with them",
          ({"applied": 4, "current": 1}, {"applied": 4, "current": 1}, 0, False),
          ({v: sum(1 for c in cards if c.get("verdict") == v) for v in {c.get("verdict") for c in cards}},
           summary.get("verdicts"), summary.get("exit_status"), summary.get("stopped")))
    check("waves: written to in the order given", given, wrq_order(fleet, start, WAVES))
    wave2 = [i for i, _, f in fleet.events("wrq", since=start) if f["ip"] in given[1:]]
    back = settled_at(fleet, start, given[0])
    check("waves: no write request of wave 2 before wave 1 came back with the new version",
          True, back is not None and bool(wave2) and min(wave2) > back)


def test_halt_and_resume(tool, fleet, image, work):
    report = os.path.join(work, "halted.csv")
    start = fleet.mark()
    rc, out, err = tool.run("upgrade", image, *HALT, "--waves", "2", "--report", report, "--json",
                            *SHORT_SETTLE)
    objects = json_lines(out)
    results = {o.get("ip"): o.get("verified") or o.get("result") for o in objects
               if "summary" not in o}
    check("halt: exit 4", 4, rc)
    # .3 is still sending when .4 refuses: it finishes and is checked.
    check("halt: the refused card failed, the one beside it finished, the rest not started",
          {"10.69.15.1": "applied", "10.69.15.2": "applied", "10.69.15.3": "applied",
           "10.69.15.4": "card_error", "10.69.15.5": "not_started", "10.69.15.6": "not_started"},
          results)
    summary = objects[-1].get("summary", {}) if objects else {}
    check("halt: the summary counts the true failures and says why",
          (1, True, 2, "1 card failed, none allowed"),
          (summary.get("failures"), summary.get("halted"), summary.get("waves_run"),
           summary.get("reason")))
    check("halt: nothing written to after the halt", HALT[:4], wrq_order(fleet, start, HALT))
    check("halt: stderr names the halt, the card and why",
          True, 'Rollout halted in wave 2: 10.69.15.4 refused ("Invalid user name or password !"); 2 cards '
                'not started.' in err)
    check("halt: the summary lists the failed cards", ["10.69.15.4"], summary.get("failed"))
    check("halt: the verdicts and the exit status agree with the summary",
          ({"10.69.15.4": "refused", "10.69.15.5": "not_started_halted",
            "10.69.15.6": "not_started_halted"}, 4, False),
          ({o.get("ip"): o.get("verdict") for o in objects
            if "summary" not in o and o.get("verdict") not in ("applied",)},
           summary.get("exit_status"), summary.get("stopped")))
    test_report_reads_back(tool, fleet, image, work, report, objects)

    # The refusing card is fixed; of the cards done, .1 still runs the new
    # version, .2 is now another device at its address and .3 was put back
    # at the old version: only .1 is proved done. .6 is excluded.
    fleet.reconfigure(set(), {"10.69.15.1": "fw=1.05", "10.69.15.2": "fw=1.00 mac=02-00-00-00-15-02",
                              "10.69.15.3": "fw=1.00"})
    start = fleet.mark()
    rc, out, err = tool.run("upgrade", image, "--resume", report, "--exclude", "10.69.15.6")
    name = os.path.basename(report)
    check("resume: the card proved done skipped, the others upgraded, the excluded one left "
          "out, exit 0 without waves",
          (0, ["10.69.15.1 Skipped : done in %s ." % name, "10.69.15.2 OK.", "10.69.15.3 OK.",
               "10.69.15.4 OK.", "10.69.15.5 OK."]),
          (rc, sorted(lines(out))))
    check("resume: each card of the report planned again says why", [
        "10.69.15.2 Planned again : another device answers at this address "
        "(02-00-00-00-15-02, not 00-0a-fe-45-0f-02) .",
        "10.69.15.3 Planned again : the card runs 1.00, not the image's 1.05 .",
        "10.69.15.4 Planned again : not done in %s (card_error) ." % name,
        "10.69.15.5 Planned again : not done in %s (not_started) ." % name],
        sorted(l for l in lines(err) if "Planned again" in l))
    check("resume: written to are exactly the cards not proved done",
          ["10.69.15.2", "10.69.15.3", "10.69.15.4", "10.69.15.5"], wrq_order(fleet, start, HALT))


def test_report_reads_back(tool, fleet, image, work, report, objects):
    """The halted run's report as a script reads it: every value as the
    card's JSON object has it, not a blank more, the slots' blanks in the
    padding column alone; cut short, between two rows or inside one, it is
    refused by --resume before anything is asked or sent."""
    with open(report, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    padding = "padding (%d rows)" % len(HALT)
    check("report: the columns, then the padding and the rows written",
          [REPORT_COLUMNS + [padding]] * len(HALT), [list(r) for r in rows])
    check("report: every value as the card's JSON object has it",
          {o.get("ip"): {k: "" if v is None else str(v) for k, v in o.items() if k != "wave"}
           for o in objects if "summary" not in o},
          {r["ip"]: {k: v for k, v in r.items() if k != padding} for r in rows})
    check("report: the padding holds blanks alone", [True] * len(HALT),
          [set(r[padding]) <= {" "} for r in rows])

    with open(report, "rb") as f:
        text = f.read()
    ends = [i + 2 for i in range(len(text)) if text.startswith(b"\r\n", i)]
    cut = os.path.join(work, "cut.csv")
    for where, size, says in (
            ("after a row", ends[2], "line 3: the report ends after 2 cards of the 6 it was "
                                     "written with (it was cut)"),
            ("inside a row", ends[2] + 30, "line 4: the report ends inside a row (it was cut)")):
        with open(cut, "wb") as f:
            f.write(text[:size])
        start = fleet.mark()
        rc, out, err = tool.run("upgrade", image, "--resume", cut)
        check("resume of a report cut %s: status 2, where it ends, nothing asked or sent" % where,
              (2, ["daveridur-cli: --resume %s: %s" % (cut, says)], [], []),
              (rc, lines(err), lines(out), [e for e in fleet.events(since=start)
                                             if e[2].get("ip") in HALT]))


def test_checks_prove_the_version(tool, fleet, image):
    """Back from a quick restart with the old version, as another device
    with the new one, or on the new one for a few answers and then back on
    the old: none is applied, each settled long before the check's limit;
    the rollout halts."""
    started = time.time()
    start = fleet.mark()
    rc, out, err = tool.run("upgrade", image, QUICK, SWAPPED, FLIPS, "--max-failures", "2", "--json",
                            "--settle", "10")
    took = time.time() - started
    by_ip = {o.get("ip"): o for o in json_lines(out) if "summary" not in o}
    quick, swapped, flips = by_ip.get(QUICK, {}), by_ip.get(SWAPPED, {}), by_ip.get(FLIPS, {})
    check("checks: the quick restart and the other device are not applied, exit 4",
          (4, "not_applied", "not_applied", "another device answers at this address"),
          (rc, quick.get("verified"), swapped.get("verified"), swapped.get("message")))
    # The queries it answered between its restart into the new version and
    # its fall back.
    on_new, answered_new = False, 0
    for _, event, f in fleet.events("restart", "sysinfo", since=start):
        if f.get("ip") != FLIPS:
            continue
        if event == "restart":
            on_new = f.get("fw") == "1.05"
        elif on_new:
            answered_new += 1
    check("checks: the card that answered the new version and rolled back is not applied, "
          "with the version it went back to",
          (True, "not_applied", "not_applied", True),
          (answered_new >= 1, flips.get("verified"), flips.get("verdict"),
           "%s: not applied: 1.00" % FLIPS in err))
    check("checks: the quick restart settled within 30 s of its transfer",
          True, (quick.get("verified_seconds") or 99) <= 30 and took < 45)
    check("checks: stderr says another device answers",
          True, "%s: not applied: another device answers at this address (1.05)" % SWAPPED in err)


def test_halt_in_a_wide_wave(tool, fleet, image):
    start = fleet.mark()
    rc, out, err = tool.run("upgrade", image, *WIDE_WAVE, "--waves", "6", "--parallel", "2",
                            *SHORT_SETTLE)
    check("wide wave: the first card's refusal halts it, exit 4", 4, rc)
    check("wide wave: its cards not started never got a write request",
          ["10.69.18.1"], wrq_order(fleet, start, WIDE_WAVE))
    check("wide wave: the rest not started",
          ["%s Not started : rollout halted ." % ip for ip in WIDE_WAVE[1:]],
          [l for l in lines(out) if "Not started" in l])


def test_dry_run(tool, fleet, image):
    start = fleet.mark()
    rc, out, err = tool.run("upgrade", image, "10.69.14.5", "10.69.14.9", *WIDE[:5],
                            "--dry-run", "--waves", "1,50%")
    check("--dry-run: each card's wave or the line it would get, exit 0",
          (0, ["10.69.14.5 Skipped : version 1.05 .", "10.69.14.9 No connection , abort.",
               "10.69.16.1 wave 1", "10.69.16.2 wave 2", "10.69.16.3 wave 2",
               "10.69.16.4 wave 3", "10.69.16.5 wave 3"]),
          (rc, lines(out)))
    check("--dry-run: the plan and the budget on stderr",
          True, "plan: 5 cards in 3 waves (1, 2 x 2); stops after the first failure" in err)
    check("--dry-run: no write request", [], fleet.events("wrq", since=start))
    rc, out, err = tool.run("upgrade", image, WIDE[0], "--dry-run", "--start-at", "22:00",
                            "--window", " 22:00-5:00")
    check("--dry-run: the schedule on stderr", (0, True),
          (rc, "schedule: starts at 22:00; cards start only in the window 22:00-05:00 (local "
               "time)" in err))
    refused = [tool.run("upgrade", image, WIDE[0], *flags)[::2] for flags in
               (["--start-at", "24:00"], ["--window", "22:00"], ["--window", "1:00-01:00"])]
    check("bad times refused by name, exit 2", [
        (2, 'daveridur-cli: --start-at "24:00" is not a time of day HH:MM, like 22:00'),
        (2, 'daveridur-cli: --window "22:00" is not a window HH:MM-HH:MM, like 22:00-05:00'),
        (2, 'daveridur-cli: --window "1:00-01:00" opens and closes at the same time')],
        [(rc, err.splitlines()[0] if err else "") for rc, err in refused])

    # An image without a version: no check could fail a card, so no gate
    # stands on one unless forced; the forced dry run says so.
    versionless = image + ".noversion"
    subprocess.run([os.path.join(os.environ["DAVERIDUR_BIN"], "tools/mkimage/mkimage"), versionless,
                    "--no-records", "--size", "3000"], check=True, stdout=subprocess.DEVNULL)
    refused = [tool.run("upgrade", versionless, WIDE[0], *flags) for flags in
               (["--waves", "1"], ["--max-failures", "0"], ["--waves", "1", "--dry-run"])]
    check("versionless: --waves, --max-failures and their dry run refused with exit 2",
          [(2, True)] * 3, [(rc, "the image has no version" in err) for rc, _, err in refused])
    rc, out, err = tool.run("upgrade", versionless, WIDE[0], "--waves", "1", "--dry-run", "--force")
    check("versionless: forced, the dry run says what the waves wait for",
          (0, True), (rc, "no check can fail a card" in err))
    check("versionless: no write request", [], fleet.events("wrq", since=start))


def test_first_interrupt(tool, fleet, image, work, command):
    """A window closed now: nothing sent; a first Ctrl+C while a card
    sends: it finishes and is checked, the rest are not started, exit 4
    with the report written."""
    report = os.path.join(work, "stopped.csv")
    now = time.localtime()
    opens = (now.tm_hour * 60 + now.tm_min + 2) % 1440
    window = "%02d:%02d-%02d:%02d" % (opens // 60, opens % 60, (opens + 1) // 60 % 24, (opens + 1) % 60)
    start = fleet.mark()
    for args, stop_when in ((["--window", window], b"waiting for the window"),
                            (["--report", report], b": started\n")):
        proc = subprocess.Popen(command + ["upgrade", image, *STOPPED, "--waves", "1", "--parallel",
                                           "1", *SHORT_SETTLE] + args,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        err = b""
        while True:
            line = proc.stderr.readline()
            err += line
            if not line or stop_when in line:
                break
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        try:
            out, more = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, more = proc.communicate()
        err = (err + more).decode(errors="replace")
        stopped = ["%s Not started : stopped by the operator ." % ip for ip in STOPPED]
        if "--window" in args:
            check("outside its window: nothing sent; Ctrl+C leaves every card not started, exit 5",
                  (5, stopped, []), (proc.returncode, lines(out.decode()), wrq_order(fleet, start, STOPPED)))
            continue
        # The cards not started have their lines at once, the one sending when it ends.
        check("first Ctrl+C: the card sending finishes, the rest are not started, exit 5",
              (5, stopped[1:] + ["%s OK." % STOPPED[0]]), (proc.returncode, lines(out.decode())))
        check("first Ctrl+C: said on stderr", (True, True),
              ("Ctrl+C again aborts them" in err, "stopped by the operator: 2 cards not started" in err))
        with open(report) as f:
            rows = {r["ip"]: r for r in csv.DictReader(f)}
        check("first Ctrl+C: the report written, the card checked, the rest not started",
              [("ok", "applied", "OK."), ("not_started", "", "Not started : stopped by the operator ."),
               ("not_started", "", "Not started : stopped by the operator .")],
              [(rows.get(ip, {}).get("result"), rows.get(ip, {}).get("verified"),
                rows.get(ip, {}).get("message")) for ip in STOPPED])
        check("first Ctrl+C: written to is the card that was sending", STOPPED[:1],
              wrq_order(fleet, start, STOPPED))


def test_parallel_32(tool, fleet, image):
    start = fleet.mark()
    rc, out, err = tool.run("upgrade", image, *WIDE, "--parallel", "32")
    check("--parallel 32: every card OK", (0, 33), (rc, sum(l.endswith(" OK.") for l in lines(out))))
    open_now, most = set(), 0
    for _, event, f in fleet.events("wrq", "upload", since=start):
        if f.get("ip") not in WIDE:
            continue
        if event == "wrq":
            open_now.add(f["ip"])
        else:
            open_now.discard(f["ip"])
        most = max(most, len(open_now))
    check("--parallel 32: 32 transfers open at once, never more", 32, most)


def gate_at_terminal(tool, fleet, image, cards, answer):
    """A run with --wave-gate manual on a terminal: the question read,
    the write requests counted before the answer, the answer typed."""
    master, slave = pty.openpty()
    p = subprocess.Popen(tool.command + ["upgrade", image, *cards, "--waves", "1", "--json",
                                         "--wave-gate", "manual", *SHORT_SETTLE],
                         stdin=slave, stderr=slave, stdout=subprocess.PIPE)
    os.close(slave)
    asked = b""
    deadline = time.time() + 60
    while b"[y/N] " not in asked and time.time() < deadline:
        ready, _, _ = select.select([master], [], [], 1)
        if ready:
            try:
                asked += os.read(master, 4096)
            except OSError:
                break
    before = wrq_order(fleet, 0, cards)
    os.write(master, answer)
    out = p.communicate(timeout=60)[0].decode(errors="replace")
    os.close(master)
    question = [l for l in asked.decode(errors="replace").splitlines() if "[y/N]" in l]
    return p.returncode, out, question[-1].strip() if question else "", before


def test_policy(tool, fleet, image):
    """The budgets at their edge, unreachable cards apart, the orders, the
    delay, an empty run and one with nothing to upgrade: each run on cards
    of its own, all at once."""
    budgets = ((EDGES[0], ["--max-failures", "2"], 4, 3),
               (EDGES[1], ["--max-failures", "3"], 1, 5),
               (EDGES[2], ["--max-failures", "40%", "--min-settled", "1"], 4, 3),
               (EDGES[3], ["--max-failures", "40%", "--min-settled", "5"], 4, 5))
    silent = ((AFTER_SILENT[0], [], 1, [AFTER_SILENT[0]]),
              (AFTER_SILENT[1], ["--max-unreachable", "1"], 4, []))
    runs = {
        "spread": ["--dry-run", *SUBNETS, "--waves", "3", "--order", "spread", "--max-failures", "2"],
        "shuffle_a": ["--dry-run", *SUBNETS, "--order", "shuffle:7"],
        "shuffle_b": ["--dry-run", *SUBNETS, "--order", "shuffle:7"],
        "shuffle_drawn": ["--dry-run", *SUBNETS, "--order", "shuffle"],
        # The next wave waits the delay after the first settled; --json says when.
        "delay": [*SUBNETS[:2], "--waves", "1", "--wave-delay", "2s", "--json", *SHORT_SETTLE],
        "gate": [SUBNETS[0], "--wave-gate", "manual"],
        "empty": ["10.69.24.0/30"],
        "current": ["10.69.14.5"],
    }
    # Three refusals in a row, one at a time: 2 allowed halts at the 3rd,
    # 3 allowed does not; 40% of 5 is 2, but with --min-settled 5 only the
    # 5th card settled may halt it. Cards without an answer are no
    # failures; they halt only when asked.
    for i, (edge, flags, _, _) in enumerate(budgets):
        runs["budget%d" % i] = [*edge, "--parallel", "1", *flags, *SHORT_SETTLE]
    for i, (fine, flags, _, _) in enumerate(silent):
        runs["silent%d" % i] = [*SILENT, fine, "--max-failures", "0", *flags, *SHORT_SETTLE]
    start = fleet.mark()
    with concurrent.futures.ThreadPoolExecutor(len(runs) + 2) as pool:
        futures = {name: pool.submit(tool.run, "upgrade", image, *args) for name, args in runs.items()}
        opened = pool.submit(gate_at_terminal, tool, fleet, image, GATED[:2], b"y\n")
        refused = pool.submit(gate_at_terminal, tool, fleet, image, GATED[2:], b"n\n")
        got = {name: f.result() for name, f in futures.items()}
        opened, refused = opened.result(), refused.result()

    # A person opens the gate: nothing of wave 2 was written before.
    rc, out, question, before = opened
    summary = ([o for o in json_lines(out) if "summary" in o] or [{}])[-1].get("summary", {})
    gates = summary.get("gates") or [{}]
    check("gate: the question, no write request of wave 2 before the answer",
          ("Wave 1 settled: 1 applied, 0 failed. Start wave 2 (1 card)? [y/N]", [GATED[0]]),
          (question, before))
    check("gate: opened, exit 0, who and when in the summary", (0, True, True, True),
          (rc, gates[0].get("opened"), str(gates[0].get("by")).endswith("at the terminal"),
           bool(gates[0].get("at"))))
    rc, out, question, before = refused
    check("gate: refused, the rest not started, stopped (exit 5)", (5, [GATED[2]]),
          (rc, wrq_order(fleet, 0, GATED[2:])))

    rc, out, err = got["spread"]
    waves = {}
    for l in lines(out):
        ip, _, wave = l.split()
        waves.setdefault(wave, set()).add(ip.rsplit(".", 1)[0])
    check("spread: each wave of the plan touches every subnet", (0, [3, 3, 3]),
          (rc, [len(waves[w]) for w in sorted(waves)]))
    check("dry run: the budget's boundary stated", True,
          "budget: halts at the 3rd failure; cards without an answer do not halt it" in err)
    check("shuffle: the same seed gives the same plan", (got["shuffle_a"][1], False),
          (got["shuffle_b"][1], got["shuffle_a"][1] == out))
    check("shuffle: a drawn seed is printed", True, "give --order shuffle:" in got["shuffle_drawn"][2])
    check("dry run: no write request", [], [e for e in fleet.events("wrq", since=start)
                                            if e[2]["ip"] in SUBNETS[2:]])
    for i, (edge, flags, code, written) in enumerate(budgets):
        rc, out, err = got["budget%d" % i]
        check("budget %s: exit status and the cards written to" % " ".join(flags),
              (code, edge[:written]), (rc, wrq_order(fleet, start, edge)))
    for i, (fine, flags, code, written) in enumerate(silent):
        rc, out, err = got["silent%d" % i]
        check("unreachable %s: exit status and the card written to" % " ".join(flags),
              (code, written), (rc, wrq_order(fleet, start, [fine])))
    check("unreachable: the halt says why", True,
          "2 cards gave no answer, more than the 1 allowed" in got["silent1"][2])
    rc, out, err = got["delay"]
    held = [o["wave_held"] for o in json_lines(out) if "wave_held" in o]
    check("delay: exit 0, the hold told with its start", (0, 1, 2, False, True),
          (rc, len(held), held and held[0]["next_wave"], held and held[0]["gate"],
           bool(held) and bool(held[0]["starts_at"])))
    rc, out, err = got["gate"]
    check("gate: refused without a terminal", (2, True), (rc, "run it at a terminal" in err))
    rc, out, err = got["empty"]
    check("empty: a range that answered nothing fails", (1, True),
          (rc, "no cards: the range answered nothing" in err))
    rc, out, err = got["current"]
    check("current: nothing to upgrade, exit 0", (0, True), (rc, "nothing to upgrade" in err))


def main():
    command = sys.argv[1:]
    native = os.environ["DAVERIDUR_BIN"]
    work = tempfile.mkdtemp(prefix="daveridur-rollout-test.")
    os.environ["HOME"] = work
    image = os.path.join(work, "fw.bin")
    subprocess.run([os.path.join(native, "tools/mkimage/mkimage"), image, "--version", "1.05",
                    "--date", "07042020", "--size", "60000"], check=True, stdout=subprocess.DEVNULL)
    tool = Tool(command, timeout=90)
    fleet = Fleet(native, work)
    try:
        for group in (lambda: test_policy(tool, fleet, image),
                      lambda: test_dry_run(tool, fleet, image),
                      lambda: test_waves_and_json(tool, fleet, image, work),
                      lambda: test_halt_and_resume(tool, fleet, image, work),
                      lambda: test_checks_prove_the_version(tool, fleet, image),
                      lambda: test_halt_in_a_wide_wave(tool, fleet, image),
                      lambda: test_first_interrupt(tool, fleet, image, work, command),
                      lambda: test_parallel_32(tool, fleet, image)):
            try:
                group()
            except Exception as e:  # one broken group must not hide the others
                check("group ran", None, repr(e))
    finally:
        fleet.stop()
    sys.exit(finish())


if __name__ == "__main__":
    main()
