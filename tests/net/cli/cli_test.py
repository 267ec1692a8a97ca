#!/usr/bin/env python3
"""daveridur-cli against a simulated fleet: discover (table, CSV, direct, by
range with excludes, the ranges refused),
check (valid, every failure), usage errors, upgrade (a fleet with a refused,
a silent, an already current and a newer card, a card list with its own
account, a forced card, an image that fails), the exit statuses on each
side of their rules, Ctrl+C in
the middle of transfers and the report read back.

    scripts/netns-run.sh python3 tests/net/cli/cli_test.py [--wine] COMMAND...

COMMAND is how to start the tool: the native program, or with --wine the
Windows one under Wine (inside scripts/wine-run.sh), which runs the smaller
set: discover, check, one upgrade of a small fleet with its report."""

import csv
import io
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import Cardsim, Tool, check, finish, lines  # noqa: E402

FLEET = """\
ip=10.69.8.1 mac=00-0a-ff-08-00-01 fw=1.00
ip=10.69.8.2 mac=00-0a-ff-08-00-02 fw=1.02 write=0
ip=10.69.8.3 silent=1
ip=10.69.8.4 mac=00-0a-ff-08-00-04 fw=1.05
ip=10.69.8.5 mac=00-0a-ff-08-00-05 fw=2.00
ip=10.69.8.6 mac=00-0a-ff-08-00-06 fw=1.01 user=ops password="p w,1"
ip=10.69.8.7 mac=00-0a-ff-08-00-07 fw=1.00
ip=10.69.8.8 mac=00-0a-ff-08-00-08 fw=1.00
ip=10.69.8.9 fw=1.00 restart=12 restart_fw=1.05
ip=10.69.8.10 fw=1.00 restart=12
"""
ANSWERING = ["10.69.8.%d" % n for n in (1, 2, 4, 5, 6, 7, 8, 9, 10)]  # in address order
REPORT_COLUMNS = ["started", "ended", "ip", "mac", "version_before", "image", "image_version",
                  "result", "message", "seconds", "bytes_sent", "verified", "verified_seconds",
                  "image_sha256", "verdict"]


class Fleet(Cardsim):
    def __init__(self, native, work):
        os.makedirs(os.path.join(work, "saved"))
        super().__init__(native, work, FLEET, "--save-dir", os.path.join(work, "saved"))

    def saved(self, ip):
        path = os.path.join(self.work, "saved", ip + ".bin")
        return open(path, "rb").read() if os.path.exists(path) else None


def read_report(path):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    return rows[0], {r[2]: dict(zip(rows[0], r)) for r in rows[1:]}


def same_image(saved, image):
    """The card holds the image byte for byte, the upload stamp apart."""
    return saved is not None and len(saved) == len(image) and \
        saved[:28] + saved[32:] == image[:28] + image[32:]


def test_discover(tool):
    rc, out, _ = tool.run("discover", "--wait", "1500")
    check("discover exits 0", 0, rc)
    rows = [l.split("\t") for l in lines(out)]
    check("discover lists every answering card, by address", ANSWERING, [r[0] for r in rows])
    by_ip = {r[0]: r for r in rows}
    # A card does not tell its account: the column is the operator's to fill in.
    check("a ready card's line", ["10.69.8.1", "00-0a-ff-08-00-01", "1.00", "ready", ""],
          by_ip.get("10.69.8.1"))
    check("a card that refuses writes", "no-write", by_ip.get("10.69.8.2", [""] * 4)[3])

    rc, out, _ = tool.run("discover", "--csv", "--wait", "1200", "10.69.8.4", "10.69.8.3")
    table = list(csv.reader(io.StringIO(out)))
    check("discover --csv: header and the one answering card",
          [["ip", "mac", "version", "state", "user"],
           ["10.69.8.4", "00-0a-ff-08-00-04", "1.05", "ready", ""]], table)
    check("discover of a silent card still exits 0", 0, rc)
    test_discover_json(tool)


def test_discover_json(tool):
    """--json: one object per line with the CSV's columns, read back by a
    JSON reader (the escaping itself is the unit tests')."""
    rc, out, _ = tool.run("discover", "--json", "--wait", "1200", "10.69.8.6", "10.69.8.1")
    try:
        cards = [json.loads(l) for l in lines(out)]
    except ValueError as e:
        cards = repr(e)
    check("discover --json: one object per card, in address order",
          (0, [{"ip": "10.69.8.1", "mac": "00-0a-ff-08-00-01", "version": "1.00", "state": "ready",
                "user": None},
               {"ip": "10.69.8.6", "mac": "00-0a-ff-08-00-06", "version": "1.01", "state": "ready",
                "user": None}]), (rc, cards))
    rc, out, _ = tool.run("--version")
    version = open(os.path.join(os.environ["DAVERIDUR_SOURCE"], "CMakeLists.txt")).read()
    expected = "daveridur-cli %s (Build %s)" % (re.search(r"set\(DAVERIDUR_VERSION (\S+)\)", version).group(1),
                                             re.search(r"set\(DAVERIDUR_BUILD (\S+)\)", version).group(1))
    check("--version: the caption's version", (0, [expected]), (rc, lines(out)))


def test_ranges(tool, images, wine=False):
    rc, out, _ = tool.run("discover", "--wait", "500", "--rate", "1000", "10.69.8.0/28",
                          "--exclude", "10.69.8.2,10.69.8.9-10.69.8.10")
    check("discover of a block less the excludes",
          (0, ["10.69.8.%d" % n for n in (1, 4, 5, 6, 7, 8)]), (rc, [l.split("\t")[0] for l in lines(out)]))
    if wine:
        return
    for args, message in (
            (["discover", "10.69.0.0/15"],
             '"10.69.0.0/15" is not a range: a block is /16 (65 534 addresses) to /32'),
            (["discover", "10.69.8.1,127.0.0.0/24"],
             '"127.0.0.0/24" cannot be scanned: 127.0.0.1 is a loopback address'),
            (["discover", "10.69.0.0-10.70.0.5"],
             "the scan holds 65542 addresses, more than 65536; narrow it, or give --force"),
            (["upgrade", images["good"], "10.69.0.0-10.70.0.5", "--force"],
             "the scan holds 65542 addresses, more than 65536; narrow it, or give --force-scan"),
            (["discover", "10.69.8.1", "--exclude", "10.69.8.0/24"], "every address named is excluded")):
        rc, out, err = tool.run(*args)
        check("refused: %s" % " ".join(args[-2:]), (2, "", "daveridur-cli: " + message),
              (rc, out, lines(err)[0] if err else ""))
    # A range's silent address is no card: counted, never reported.
    rc, out, err = tool.run("upgrade", images["good"], "10.69.8.2-10.69.8.5", "--exclude", "10.69.8.2",
                            "--rate", "1000")
    check("upgrade by range: the cards that answered",
          (0, ["10.69.8.4 Skipped : version 1.05 .", "10.69.8.5 Skipped : version 2.00 ."]),
          (rc, sorted(lines(out))))
    counts = [l for l in lines(err) if "3 addresses asked, 1 silent" in l]
    check("upgrade by range: the silent count after the scan and in the summary",
          ["10.69.8.2-10.69.8.5: 3 addresses asked, 1 silent, 2 cards found", "summary: "],
          [counts[0] if counts else None, counts[-1][:9] if len(counts) == 2 else None])


def test_check(tool, images):
    rc, out, _ = tool.run("check", images["good"])
    check("check of a valid image", (0, ["Version No\tv1.05", "Date Code\tJul 04,2020",
                                         "File Size\t60,080"]), (rc, lines(out)))
    for kind, message in (("magic", "Illegal file format !"), ("truncated", "Illegal file format !"),
                          ("header-sum", "Bad file checksum !"), ("body-sum", "Bad file checksum !")):
        rc, out, err = tool.run("check", images[kind])
        check("check of a %s image: status 3, the file and the window's message" % kind,
              (3, "", ["daveridur-cli: the image %s fails its checks: %s" % (images[kind], message)]),
              (rc, out, lines(err)))
    rc, out, err = tool.run("check", images["missing"])
    check("check of a missing image: status 3, the file and the system's reason",
          (3, "", True), (rc, out, lines(err)[0].startswith("daveridur-cli: cannot read the image %s: "
                                                             % images["missing"]) if err else False))
    rc, out, err = tool.run("check", images["huge"])
    check("check of an image larger than a card can number: status 3, refused unread",
          (3, "", ["daveridur-cli: the image %s is too large for the card: 33553920 bytes, at most "
                   "33553919" % images["huge"]]), (rc, out, lines(err)))


def test_usage(tool, fleet, images):
    for args in (["upgrade", images["good"], "--parallel", "65", "10.69.8.1"],
                 ["upgrade", images["good"], "10.69.8.x"],
                 ["upgrade", images["good"]],
                 ["upgrade", images["good"], "--cards", images["missing"]],
                 ["upgrade", images["good"], "--parallel", "0", "10.69.8.1"],
                 ["upgrade", images["good"], "--user", "u" * 32, "10.69.8.1"],
                 ["upgrade", images["good"], "--password", "p" * 32, "10.69.8.1"],
                 ["discover", "--bogus"],
                 ["discover", "--wait", "soon"],
                 ["frobnicate"],
                 []):
        rc, out, err = tool.run(*args)
        check("usage error %r: status 2, the message and where the options are told" % args,
              (2, "", True, True, False),
              (rc, out, "daveridur-cli:" in err, "--help' for the" in err, "Usage:" in err))
    # Addresses read strictly: never reinterpreted (10.69.8.010 is not .8),
    # refused naming the text. A list is refused whole, with its line numbers.
    bad_list = os.path.join(os.path.dirname(images["good"]), "bad-list.csv")
    with open(bad_list, "w", newline="") as f:
        f.write("ip,user\r10.69.8.1,ops\r10.69.8.010,ops\r10.69.8.2,o@s\r")
    for args, named in ((["upgrade", images["good"], "10.69.8.010"], '"10.69.8.010" is not an address'),
                        (["upgrade", images["good"], "0x0"], '"0x0" is not an address'),
                        (["upgrade", images["good"], "224.0.0.1"], "it is a multicast address"),
                        (["discover", "127.0.0.1"], "it is a loopback address"),
                        (["upgrade", images["good"], "--cards", bad_list],
                         "Line 3: \"10.69.8.010\" is not an address"),
                        (["upgrade", images["good"], "--cards", bad_list],
                         "Line 4: user name contains '@'"),
                        (["upgrade", images["good"], "10.69.8.1", "--settle", "5"],
                         "--settle and --recheck-after are for the checks after the upgrade"),
                        (["upgrade", images["good"], "10.69.8.1", "--verify", "--settle", "0"],
                         "--settle: Value 0 not in range 1 to 600"),
                        (["upgrade", images["good"], "10.69.8.1", "--json", "--recheck-after", "1441"],
                         "--recheck-after: Value 1441 not in range 1 to 1440")):
        rc, out, err = tool.run(*args)
        check("refused %r: status 2, the text named" % args, (2, True), (rc, named in err))
    check("nothing was sent for the refused addresses", [], fleet.records("wrq", ip="10.69.8.8"))
    rc, out, _ = tool.run("upgrade", "--help")
    check("upgrade --help: status 0, its options", (0, True, True),
          (rc, "--parallel" in out, "--report" in out))


def test_upgrade_fleet(tool, fleet, images, work):
    image = open(images["good"], "rb").read()
    cards = os.path.join(work, "cards.csv")
    with open(cards, "w", newline="") as f:
        f.write('ip,user,password\r\n10.69.8.6,ops,"p w,1"\r\n10.69.8.5\r\n')
    report = os.path.join(work, "report1.csv")
    rc, out, err = tool.run("upgrade", images["good"], "10.69.8.1", "10.69.8.2", "10.69.8.3",
                            "10.69.8.4", "--cards", cards, "--report", report)
    check("a fleet with failures exits 1", 1, rc)
    check("stdout: the report lines",
          sorted(["10.69.8.1 OK.", "10.69.8.2 Not sent : the card refuses upgrades .",
                  "10.69.8.3 No connection , abort.", "10.69.8.4 Skipped : version 1.05 .",
                  "10.69.8.5 Skipped : version 2.00 .", "10.69.8.6 OK."]), sorted(lines(out)))
    check("stderr: a line as each transfer starts and ends, then the run's counts",
          (sorted(["10.69.8.%d: %s" % (n, s) for n in (1, 6) for s in ("started", "ended")]),
           "run: 2 of 4 cards applied, 2 failed, 0 not started, 2 skipped"),
          (sorted(l.rsplit(",", 1)[0] for l in lines(err)[:-1]), lines(err)[-1] if err else ""))
    check("the uploads reached the cards byte for byte", [True, True],
          [same_image(fleet.saved(ip), image) for ip in ("10.69.8.1", "10.69.8.6")])
    check("the card list's account was used", ["ops\tp w,1"],
          ["%s\t%s" % (r["user"], r["password"]) for r in fleet.records("upload", ip="10.69.8.6")])
    check("skipped and silent cards were sent no write request", [],
          [r for ip in ("10.69.8.3", "10.69.8.4", "10.69.8.5") for r in fleet.records("wrq", ip=ip)])

    header, rows = read_report(report)
    check("report columns, then the padding and the rows written",
          REPORT_COLUMNS + ["padding (6 rows)"], header)
    check("report results", {"10.69.8.1": "ok", "10.69.8.2": "card_error", "10.69.8.3": "no_connection",
                             "10.69.8.4": "skipped_version", "10.69.8.5": "skipped_version",
                             "10.69.8.6": "ok"},
          {ip: r["result"] for ip, r in rows.items()})
    r1 = rows.get("10.69.8.1", {})
    check("report row of an upgraded card",
          ("00-0a-ff-08-00-01", "1.00", "1.05", "OK.", str(len(image)), True),
          (r1.get("mac"), r1.get("version_before"), r1.get("image_version"), r1.get("message"),
           r1.get("bytes_sent"), bool(r1.get("started")) and bool(r1.get("ended"))))
    check("report: the card that refuses upgrades, the silent one",
          ("Not sent : the card refuses upgrades .", "No connection , abort."),
          (rows.get("10.69.8.2", {}).get("message"), rows.get("10.69.8.3", {}).get("message")))

    # The card already current, named by a list that discover --csv wrote,
    # forced, one transfer at a time, verified: it answers with the image's
    # version at once.
    before = len(fleet.records("upload", ip="10.69.8.4", status="ok"))
    listed = os.path.join(work, "discovered.csv")
    with open(listed, "w") as f:
        f.write(tool.run("discover", "--csv", "--wait", "500", "10.69.8.4")[1])
    forced = os.path.join(work, "forced.csv")
    rc, out, _ = tool.run("upgrade", images["good"], "--cards", listed, "--force", "--parallel", "1",
                          "--verify", "--settle", "1", "--report", forced)
    check("--force upgrades the current card and exits 0", (0, ["10.69.8.4 OK."]), (rc, lines(out)))
    check("the forced card received the image", (before + 1, True),
          (len(fleet.records("upload", ip="10.69.8.4", status="ok")),
           same_image(fleet.saved("10.69.8.4"), image)))
    _, rows = read_report(forced)
    check("--verify: the card runs the image's version", ("ok", "applied"),
          (rows.get("10.69.8.4", {}).get("result"), rows.get("10.69.8.4", {}).get("verified")))

    wrqs = len(fleet.records("wrq"))
    rc, out, err = tool.run("upgrade", images["body-sum"], "10.69.8.1", "--report",
                            os.path.join(work, "none.csv"))
    check("an image that fails: status 3, the message, nothing sent",
          (3, "", ["daveridur-cli: the image %s fails its checks: Bad file checksum !" % images["body-sum"]],
           wrqs), (rc, out, lines(err), len(fleet.records("wrq"))))


def test_password_sources(tool, command, fleet, images, work):
    """The password from a file or from the environment, never on the
    command line; --password still works, with a warning."""
    secret = "p w,1"
    password_file = os.path.join(work, "password.txt")
    with open(password_file, "w") as f:
        f.write(secret + "\r\nsecond line\r\n")
    for name, args, env in (
            ("--password-file", ["--password-file", password_file], {}),
            ("DAVERIDUR_PASSWORD", [], {"DAVERIDUR_PASSWORD": secret})):
        before = len(fleet.records("upload", ip="10.69.8.6"))
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(command + ["upgrade", images["good"], "10.69.8.6", "--user", "ops",
                                               "--force"] + args,
                                    stdout=out, stderr=err, env=dict(os.environ, **env))
            # The tool asks the card first and waits for its answer: its
            # command line can be read meanwhile.
            cmdline = None
            for _ in range(200):
                try:
                    with open("/proc/%d/cmdline" % proc.pid, "rb") as f:
                        cmdline = f.read()
                except OSError:
                    break
                if b"upgrade" in cmdline or proc.poll() is not None:
                    break
                time.sleep(0.01)
            proc.wait(timeout=60)
            out.seek(0)
            err.seek(0)
            stdout = out.read().decode(errors="replace")
            printed = stdout + err.read().decode(errors="replace")
        check("%s: the card took the image" % name, (0, ["10.69.8.6 OK."]),
              (proc.returncode, lines(stdout)))
        check("%s: the process list shows the tool, not the password" % name, (True, False),
              (cmdline is not None and b"upgrade" in cmdline, cmdline is not None and b"p w" in cmdline))
        check("%s: no warning" % name, False, "warning" in printed)
        uploads = fleet.records("upload", ip="10.69.8.6")[before:]
        check("%s: the card received the account" % name, ["ops\t" + secret],
              ["%s\t%s" % (r.get("user"), r.get("password")) for r in uploads])
    rc, out, err = tool.run("upgrade", images["good"], "10.69.8.6", "--user", "ops", "--password",
                            secret, "--force")
    check("--password still works, with a warning that others can read it",
          (0, True), (rc, "other users of this computer can read" in err))
    rc, out, err = tool.run("upgrade", images["good"], "10.69.8.6", "--password", secret,
                            "--password-file", password_file)
    check("--password and --password-file together are a usage error", 2, rc)
def test_exit_statuses(tool, images, work):
    """The status of a run on each side of its rules: cards already at the
    image's version are no failure, a silent one is; a report that cannot be
    written fails a run that was otherwise fine."""
    report = os.path.join(work, "current.csv")
    for args, status, name in (
            (["10.69.8.4", "10.69.8.5"], 0, "a fleet already at the image's version or newer"),
            (["10.69.8.4", "--verify"], 0, "--verify of a fleet with nothing to send"),
            (["10.69.8.4", "10.69.8.3"], 1, "a current card and a silent one"),
            (["10.69.8.4", "--report", report], 0, "a report written"),
            (["10.69.8.4", "--report", os.path.join(images["good"], "r.csv")], 2,
             "a report that cannot be created")):
        rc, out, err = tool.run("upgrade", images["good"], *args)
        check("exit status: %s" % name, status, rc)
        if "--report" in args and status == 2:
            check("the unwritable report is said", True, "cannot be written" in err)
    _, rows = read_report(report)
    check("the report of a current card", {"10.69.8.4": ("skipped_version", "Skipped : version 1.05 .")},
          {ip: (r["result"], r["message"]) for ip, r in rows.items()})


def test_accounts_and_lists(tool, fleet, images, work):
    """Whose account a card gets, a card named twice, a card list with a bad
    line, and the longest account the command line takes."""
    cards = os.path.join(work, "accounts.csv")
    with open(cards, "w", newline="") as f:
        f.write('ip,user,password\r\n10.69.8.6,ops,"p w,1"\r\n')
    refused = len(fleet.records("upload", ip="10.69.8.7", reason="account"))
    rc, out, _ = tool.run("upgrade", images["good"], "--cards", cards, "10.69.8.7",
                          "--user", "wrong", "--password", "bad")
    check("the list's account beats --user; --user goes to cards the list has no account for",
          (1, "10.69.8.6 OK.", refused + 1),
          (rc, sorted(lines(out))[0], len(fleet.records("upload", ip="10.69.8.7", reason="account"))))

    wrqs = len(fleet.records("wrq", ip="10.69.8.8"))
    rc, out, _ = tool.run("upgrade", images["good"], "10.69.8.8", "10.69.8.8")
    check("a card named twice is upgraded once", (0, ["10.69.8.8 OK."], wrqs + 1),
          (rc, lines(out), len(fleet.records("wrq", ip="10.69.8.8"))))

    typo = os.path.join(work, "typo.csv")
    with open(typo, "w", newline="") as f:
        f.write("10.69.8.1\r\n10.69.8.300\r\n")
    wrqs = len(fleet.records("wrq"))
    rc, out, err = tool.run("upgrade", images["good"], "--cards", typo)
    check("a card list with a bad line: status 2, the line named, nothing sent",
          (2, "", True, wrqs), (rc, out, "Line 2" in err, len(fleet.records("wrq"))))

    rc, out, _ = tool.run("upgrade", images["good"], "10.69.8.4", "--user", "u" * 31,
                          "--password", "p" * 31)
    check("an account of 31 characters is taken", (0, ["10.69.8.4 Skipped : version 1.05 ."]),
          (rc, lines(out)))


def test_verify(tool, work):
    """Two cards restart after their upload: one comes back with the image's
    version, one with its old one. About 17 s: 12 s of restart, then the
    settle period, held short: 5 answers a second apart."""
    report = os.path.join(work, "verified.csv")
    rc, out, _ = tool.run("upgrade", os.path.join(work, "good.bin"), "10.69.8.9", "10.69.8.10",
                          "--verify", "--settle", "1", "--report", report)
    check("--verify: a card that did not take the image fails the run",
          (1, ["10.69.8.10 OK.", "10.69.8.9 OK."]), (rc, sorted(lines(out))))
    _, rows = read_report(report)
    check("--verify: the report's verified words", {"10.69.8.9": "applied", "10.69.8.10": "not_applied"},
          {ip: r["verified"] for ip, r in rows.items()})


def test_interrupt(tool, command, images, work):
    """One transfer at a time: Ctrl+C comes twice while the first card
    takes a large image: the first stops the starts (the second card is not
    started), the second aborts the transfer."""
    report = os.path.join(work, "interrupted.csv")
    proc = subprocess.Popen(command + ["upgrade", images["large"], "10.69.8.7", "10.69.8.8",
                                       "--parallel", "1", "--report", report],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    while True:
        line = proc.stderr.readline()
        if not line or line.endswith(b": started\n"):
            break
    time.sleep(0.3)  # the image takes more than a second even on an idle machine
    proc.send_signal(signal.SIGINT)
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    try:
        out, _ = proc.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
    check("Ctrl+C twice: stopped by the operator (5), the running transfer aborted, the card after it not started",
          (5, ["10.69.8.7 User Aborted !", "10.69.8.8 Not started : stopped by the operator ."]),
          (proc.returncode, sorted(lines(out.decode()))))
    if not os.path.exists(report):
        check("Ctrl+C: the report is still written", True, False)
        return
    _, rows = read_report(report)
    first, second = rows.get("10.69.8.7", {}), rows.get("10.69.8.8", {})
    size = os.path.getsize(images["large"])
    check("Ctrl+C twice: the report has the first card aborted, the second not started",
          ("aborted", "not_started"), (first.get("result"), second.get("result")))
    check("Ctrl+C: part of the image had gone to the first card, nothing to the second",
          (True, "0"), (0 < int(first.get("bytes_sent", 0)) < size, second.get("bytes_sent")))


def test_wine_fleet(tool, fleet, images, work):
    image = open(images["good"], "rb").read()
    report = os.path.join(work, "wine.csv")
    rc, out, _ = tool.run("upgrade", images["good"], "10.69.8.1", "10.69.8.2", "10.69.8.4",
                          "--report", report)
    check("Windows: upgrade of a small fleet",
          (1, ["10.69.8.1 OK.", "10.69.8.2 Not sent : the card refuses upgrades .",
               "10.69.8.4 Skipped : version 1.05 ."]),
          (rc, sorted(lines(out))))
    check("Windows: the upload byte for byte", True, same_image(fleet.saved("10.69.8.1"), image))
    _, rows = read_report(report)
    check("Windows: the report", {"10.69.8.1": "ok", "10.69.8.2": "card_error",
                                  "10.69.8.4": "skipped_version"},
          {ip: r["result"] for ip, r in rows.items()})
    rc, out, _ = tool.run("upgrade", images["good"], "10.69.8.1", "--force")
    check("Windows: every card OK exits 0", (0, ["10.69.8.1 OK."]), (rc, lines(out)))
    password_file = os.path.join(work, "wine-password.txt")
    with open(password_file, "w") as f:
        f.write("p w,1\n")
    rc, out, _ = tool.run("upgrade", images["good"], "10.69.8.6", "--user", "ops", "--force",
                          "--password-file", password_file)
    check("Windows: the password from a file", (0, ["10.69.8.6 OK."], "ops\tp w,1"),
          (rc, lines(out), "%s\t%s" % tuple(fleet.records("upload", ip="10.69.8.6")[-1].get(k)
                                             for k in ("user", "password"))))


def main():
    args = sys.argv[1:]
    wine = args[:1] == ["--wine"]
    command = args[1:] if wine else args
    source = os.environ["DAVERIDUR_SOURCE"]
    native = os.environ["DAVERIDUR_BIN"]
    work = tempfile.mkdtemp(prefix="daveridur-cli-test.")
    os.environ["HOME"] = work  # the native settings store starts empty: "admin"
    mkimage = os.path.join(native, "tools/mkimage/mkimage")
    images = {"missing": os.path.join(work, "missing.bin")}
    for name, extra in (("good", ["--size", "60000"]), ("large", ["--size", "30000000"]),
                        ("magic", ["--broken", "magic"]), ("truncated", ["--broken", "truncated"]),
                        ("header-sum", ["--broken", "header-sum"]),
                        ("body-sum", ["--broken", "body-sum"])):
        images[name] = os.path.join(work, name + ".bin")
        subprocess.run([mkimage, images[name], "--version", "1.05", "--date", "07042020"] + extra,
                       check=True, stdout=subprocess.DEVNULL)
    images["huge"] = os.path.join(work, "huge.bin")
    with open(images["huge"], "wb") as f:
        f.truncate(65535 * 512)  # sparse: one byte more than a card can number
    tool = Tool(command)
    fleet = Fleet(native, work)
    try:
        if wine:
            groups = [lambda: test_discover(tool), lambda: test_check(tool, images),
                      lambda: test_ranges(tool, images, wine=True),
                      lambda: test_wine_fleet(tool, fleet, images, work)]
        else:
            groups = [lambda: test_discover(tool), lambda: test_check(tool, images),
                      lambda: test_usage(tool, fleet, images), lambda: test_ranges(tool, images),
                      lambda: test_upgrade_fleet(tool, fleet, images, work),
                      lambda: test_password_sources(tool, command, fleet, images, work),
                      lambda: test_exit_statuses(tool, images, work),
                      lambda: test_accounts_and_lists(tool, fleet, images, work),
                      lambda: test_verify(tool, work),
                      lambda: test_interrupt(tool, command, images, work)]
        for group in groups:
            try:
                group()
            except Exception as e:  # one broken group must not hide the others
                check("group ran", None, repr(e))
    finally:
        fleet.stop()
    sys.exit(finish())


if __name__ == "__main__":
    main()
