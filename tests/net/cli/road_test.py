#!/usr/bin/env python3
"""daveridur-cli as a new operator meets it, against simulated cards with
accounts of their own, one refusing upgrades, one never back after its
upload and one never answering:

- accounts: a list that discover --csv wrote takes --user where its user
  cell is empty; a password file with a UTF-8 byte order mark; a card list
  saved as UTF-16 read (and one without its mark refused by name); --resume
  naming, before anything is sent, the cards left with the stored account;
- errors and help: a usage error in one line with the option meant and
  where the options are told; a missing image named with the system's
  reason; --help grouped as an operator needs it, wrapped, with plain types;
  the manual page of the tree filled in;
- progress and plans: the dry run gating a card that refuses upgrades as
  the run does, --dry-run --json, a silent card's MAC and version unknown
  (empty, null) and read back by --resume; the live line saying what the
  run waits for and no time left, and off a terminal a line at least every
  30 s while the checks or the window are waited for;
- --resume of a report another run holds refused, nothing asked or sent;
- --json after SIGTERM: every card's object, then the summary.

    scripts/netns-run.sh python3 tests/net/cli/road_test.py COMMAND...

About 45 s: three runs wait side by side for half a minute."""

import csv
import json
import os
import pty
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import Cardsim, Tool, check, finish, lines  # noqa: E402

USER, PASSWORD = "ops", "s3cret"
OWN = "fw=1.00 user=%s password=%s" % (USER, PASSWORD)
LISTED = "10.69.40.1"      # its own account, found by discover
BOM = "10.69.40.2"         # its own account, the password file has a BOM
UTF16 = "10.69.40.3"       # its own account, in a UTF-16 list
RESUMED = "10.69.40.4"     # its own account, in a report resumed
REFUSING = "10.69.40.5"    # says it refuses upgrades
PLAIN = "10.69.40.6"       # the stored account
LOST = "10.69.40.7"        # never back after its upload
LOST_QUIET = "10.69.40.8"  # the same, for the run off a terminal
SILENT = "10.69.40.9"      # never answers
HELD = ["10.69.40.10", "10.69.40.11"]  # slow: a run holds its report a while

FLEET = "\n".join([
    "ip=%s %s" % (LISTED, OWN), "ip=%s %s" % (BOM, OWN), "ip=%s %s" % (UTF16, OWN),
    "ip=%s %s" % (RESUMED, OWN), "ip=%s fw=1.00 write=0" % REFUSING,
    "ip=%s fw=1.00 restart=1 restart_fw=1.05" % PLAIN, "ip=%s fw=1.00 restart=-1" % LOST,
    "ip=%s fw=1.00 restart=-1" % LOST_QUIET,
] + ["ip=%s fw=1.00 ack_delay=25" % ip for ip in HELD]) + "\n"


def accounts(fleet, ip, since):
    """What the card made of each upload: ok with the account, or refused."""
    return [(r.get("status"), r.get("user") or r.get("reason"))
            for r in fleet.records("upload", since=since, ip=ip)]


def test_accounts(tool, fleet, image, work):
    listed = os.path.join(work, "cards.csv")
    rc, out, _ = tool.run("discover", "--csv", "--wait", "500", LISTED)
    with open(listed, "w") as f:
        f.write(out)
    check("discover --csv: the user column empty, no stored default shown as the card's",
          ["ip,mac,version,state,user", "%s,00-0a-fe-45-28-01,1.00,ready," % LISTED], lines(out))
    password = os.path.join(work, "password.txt")
    with open(password, "w") as f:
        f.write(PASSWORD + "\n")
    since = fleet.mark()
    rc, out, _ = tool.run("upgrade", image, "--cards", listed, "--user", USER, "--password-file", password)
    check("the list discover wrote, read back: --user goes to its card",
          (0, [("ok", USER)]), (rc, accounts(fleet, LISTED, since)))

    bom = os.path.join(work, "password-bom.txt")
    with open(bom, "wb") as f:
        f.write(b"\xef\xbb\xbf" + PASSWORD.encode() + b"\r\n")
    since = fleet.mark()
    rc, out, _ = tool.run("upgrade", image, BOM, "--user", USER, "--password-file", bom)
    check("a password file with a byte order mark (Notepad): the password without it",
          (0, [("ok", USER)]), (rc, accounts(fleet, BOM, since)))

    # What PowerShell 5's "discover --csv > cards.csv" writes, filled in.
    utf16 = os.path.join(work, "cards-utf16.csv")
    with open(utf16, "wb") as f:
        f.write(("ip,mac,version,state,user,password\r\n%s,,,,%s,%s\r\n" % (UTF16, USER, PASSWORD))
                .encode("utf-16"))
    since = fleet.mark()
    rc, out, err = tool.run("upgrade", image, "--cards", utf16)
    check("a card list in UTF-16 with its mark is read, its accounts taken",
          (0, [("ok", USER)]), (rc, accounts(fleet, UTF16, since)))
    with open(utf16, "wb") as f:
        f.write(("ip\r\n%s\r\n" % UTF16).encode("utf-16-le"))
    rc, out, err = tool.run("upgrade", image, "--cards", utf16)
    check("a UTF-16 list without its mark: refused by name, status 2",
          (2, "daveridur-cli: %s: the file is UTF-16: save it as UTF-8" % utf16), (rc, lines(err)[0]))

    # A run without the card's account leaves it failed in its report; the
    # report holds no accounts, so a resume says which cards lack one.
    report = os.path.join(work, "first-run.csv")
    rc, out, _ = tool.run("upgrade", image, RESUMED, "--report", report)
    check("without its account the card refuses", (1, ["%s Invalid user name or password !" % RESUMED]),
          (rc, lines(out)))
    rc, out, err = tool.run("upgrade", image, "--resume", report, "--dry-run")
    check("--resume alone names the cards left with the stored account, before anything is sent",
          (0, ['daveridur-cli: --resume: 1 card of the report has no account but the stored one '
               '("admin"): %s; give --cards with their accounts, or --user' % RESUMED]),
          (rc, [l for l in lines(err) if "account" in l]))
    with_list = os.path.join(work, "resume-list.csv")
    with open(with_list, "w") as f:
        f.write("ip,user,password\n%s,%s,%s\n" % (RESUMED, USER, PASSWORD))
    since = fleet.mark()
    rc, out, err = tool.run("upgrade", image, "--resume", report, "--cards", with_list)
    check("--resume with the list: its account, nothing to say",
          (0, [("ok", USER)], []), (rc, accounts(fleet, RESUMED, since), [l for l in lines(err) if "account" in l]))


def test_errors_and_help(tool, fleet, image, work, source):
    since = fleet.mark()
    for args, meant in ((["--max-failure", "1"], "--max-failures"), (["--dryrun"], "--dry-run")):
        rc, out, err = tool.run("upgrade", image, PLAIN, *args)
        check("%s: one line, the option meant, where the options are told" % args[0],
              (2, ["daveridur-cli: unknown option %s; did you mean %s?" % (args[0], meant),
                   "Run 'daveridur-cli upgrade --help' for the options."]), (rc, lines(err)))
    missing = os.path.join(work, "mx2_105.bin")
    rc, out, err = tool.run("upgrade", missing, PLAIN)
    check("a missing image: the file and the system's reason, status 3",
          (3, ["daveridur-cli: cannot read the image %s: No such file or directory" % missing]),
          (rc, lines(err)))
    check("nothing asked for the refused command lines", [], fleet.records("sysinfo", since=since, ip=PLAIN))

    rc, out, _ = tool.run("upgrade", "--help")
    heads = [l[:-1] for l in out.splitlines() if re.match(r"^[A-Z][a-z ]+:$", l)]
    check("--help: the groups in the order an operator needs them",
          ["Arguments", "Cards and accounts", "Image", "Rollout", "Scan", "Output"], heads)
    check("--help: wrapped, plain types, no validator texts",
          ([], []), ([l for l in out.splitlines() if len(l) > 80],
                     re.findall(r"\b(?:TEXT|UINT|INT)\b|=\d+|in \[", out)))
    check("--help: FILE, MS, N for the values",
          True, all(s in out for s in ("--cards FILE", "--parallel N", "--report FILE")) and
          "--wait MS" in tool.run("discover", "--help")[1])

    with open(os.path.join(source, "packaging/debian/daveridur-cli.1")) as f:
        first = f.readline()
    version = re.search(r"set\(DAVERIDUR_VERSION (\S+)\)",
                        open(os.path.join(source, "CMakeLists.txt")).read()).group(1)
    check("the manual page read from the tree names its version and date",
          True, bool(re.match(r'\.TH DAVERIDUR-CLI 1 "\d{4}-\d\d-\d\d" "daveridur-cli %s"' % re.escape(version),
                              first)))


def test_plans(tool, fleet, image, work):
    since = fleet.mark()
    rc, out, err = tool.run("upgrade", image, REFUSING, PLAIN, "--dry-run", "--waves", "1")
    check("--dry-run: a card that refuses upgrades is not planned, the other is",
          (0, ["%s Not sent : the card refuses upgrades ." % REFUSING, "%s wave 1" % PLAIN]),
          (rc, lines(out)))
    rc, out, err = tool.run("upgrade", image, REFUSING, PLAIN, SILENT, "--dry-run", "--waves", "1",
                            "--json")
    try:
        objects = [json.loads(l) for l in lines(out)]
    except ValueError as e:
        objects = [repr(e)]
    cards = {o.get("ip"): (o.get("wave"), o.get("line"), o.get("verdict")) for o in objects[:-1]}
    check("--dry-run --json: an object per card, its wave or its line",
          (0, {REFUSING: (None, "Not sent : the card refuses upgrades .", "refused"),
               PLAIN: (1, None, None), SILENT: (None, "No connection , abort.", "no_connection")}),
          (rc, cards))
    plan = objects[-1].get("plan", {}) if objects and isinstance(objects[-1], dict) else {}
    check("--dry-run --json: then the plan", (1, 1, [1], 0, 2),
          (plan.get("planned"), plan.get("waves"), plan.get("wave_sizes"), plan.get("max_failures"),
           plan.get("not_sent")))
    check("the dry runs sent nothing", [], fleet.records("wrq", since=since))

    rc, out, err = tool.run("upgrade", image, REFUSING, "--waves", "1")
    check("the run gates the card as its dry run said: no halt, nothing sent, status 1",
          (1, ["%s Not sent : the card refuses upgrades ." % REFUSING], []),
          (rc, lines(out), fleet.records("wrq", since=since, ip=REFUSING)))

    report = os.path.join(work, "silent.csv")
    rc, out, err = tool.run("upgrade", image, SILENT, "--json", "--report", report)
    card = json.loads(lines(out)[0]) if lines(out) else {}
    with open(report, newline="") as f:
        row = next(csv.DictReader(f), {})
    check("a card that never answered: MAC and version null in JSON, empty in the report",
          (1, None, None, "", ""), (rc, card.get("mac"), card.get("version_before"), row.get("mac"),
                                    row.get("version_before")))
    rc, out, err = tool.run("upgrade", image, "--resume", report, "--dry-run")
    check("that report reads back for --resume",
          (0, ["%s No connection , abort." % SILENT]), (rc, lines(out)))


class Watched:
    """A run whose stderr is read as it comes, each line with its time; on
    a terminal (a pty) when live, where the live line is kept apart."""

    def __init__(self, command, live=False):
        self.lines, self.raw = [], b""
        self.started = time.monotonic()
        if live:
            master, slave = pty.openpty()
            self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=slave)
            os.close(slave)
            self.thread = threading.Thread(target=self.read_pty, args=(master,))
        else:
            self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.thread = threading.Thread(target=self.read_pipe)
        self.out = b""
        self.out_thread = threading.Thread(target=self.read_out)
        self.thread.start()
        self.out_thread.start()

    def read_out(self):
        self.out = self.proc.stdout.read()

    def read_pipe(self):
        for line in self.proc.stderr:
            self.lines.append((time.monotonic(), line.decode(errors="replace").rstrip("\n")))

    def read_pty(self, fd):
        self.raw = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the run ended: the terminal is gone
                break
            if not chunk:
                break
            self.raw += chunk
        os.close(fd)

    def gaps(self, until):
        times = [self.started] + [t for t, _ in self.lines] + [until]
        return max(b - a for a, b in zip(times, times[1:]))

    def stop(self, sig):
        self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.thread.join(timeout=10)
        self.out_thread.join(timeout=10)
        return self.proc.returncode


def window_closed_now():
    """A daily window that opens in two minutes."""
    now = time.localtime()
    opens = (now.tm_hour * 60 + now.tm_min + 2) % 1440
    return "%02d:%02d-%02d:%02d" % (opens // 60, opens % 60, (opens + 1) // 60 % 24, (opens + 1) % 60)


def test_waits(command, fleet, image):
    """Three runs side by side for half a minute: one on a terminal whose
    card never comes back (then SIGTERM: its JSON), one off a terminal
    waiting for the same, one off a terminal waiting for its window."""
    on_terminal = Watched(command + ["upgrade", image, LOST, PLAIN, REFUSING, SILENT, "--waves", "1",
                                     "--json"], live=True)
    checks = Watched(command + ["upgrade", image, LOST_QUIET, "--waves", "1"])
    window = Watched(command + ["upgrade", image, PLAIN, "--window", window_closed_now()])
    try:
        time.sleep(36)
        now = time.monotonic()
        tell_waits(checks, window, now)
    finally:
        for run in (checks, window):
            run.stop(signal.SIGTERM)
        rc = on_terminal.stop(signal.SIGTERM)
    tell_terminal(on_terminal, rc)


def tell_waits(checks, window, now):
    for name, run in (("the checks", checks), ("the window", window)):
        told = [text for _, text in run.lines]
        check("off a terminal, waiting for %s: a line at least every 30 s" % name,
              (True, True), (run.gaps(now) <= 30.5, len(told) >= 2 and bool(told[-1].strip())))
    check("off a terminal: the line says what the run waits for",
          (True, True), (any(re.match(r"wave 1/1: checking 1 card, 0:\d\d of 5:00; 0/1 cards done$", t)
                             for _, t in checks.lines),
                         any(t.startswith("waiting for the window ") for _, t in window.lines[1:])))


def tell_terminal(on_terminal, rc):
    shown = [l.strip() for l in re.split(r"[\r\n]+", on_terminal.raw.decode(errors="replace"))]
    check("on a terminal: the live line names the checks waited for, never a time left",
          (True, []), (any(re.match(r"wave 1/2: checking 1 card, 0:\d\d of 5:00; 0/4 cards done$", l)
                           for l in shown), [l for l in shown if " left" in l]))
    objects = [json.loads(l) for l in lines(on_terminal.out.decode(errors="replace"))]
    cards = {o.get("ip"): o.get("verdict") for o in objects if "summary" not in o}
    check("SIGTERM: an object for every card, the one being checked and the one not started "
          "included, then the summary",
          (1, {LOST: "checking", PLAIN: "aborted", REFUSING: "refused", SILENT: "no_connection"}, 4, True),
          (rc, cards, len(objects) - 1, bool(objects) and "summary" in objects[-1]))


def test_resume_held(tool, fleet, image, work, command):
    report = os.path.join(work, "held.csv")
    holder = subprocess.Popen(command + ["upgrade", image, *HELD, "--report", report],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    while True:
        line = holder.stderr.readline()
        if not line or line.endswith(b": started\n"):
            break
    since = fleet.mark()
    rc, out, err = tool.run("upgrade", image, "--resume", report)
    asked = fleet.records("sysinfo", since=since)
    holder.communicate(timeout=30)
    check("--resume of a report another run holds: refused as --report is, nothing asked",
          (2, ["daveridur-cli: the report is in use by another run: %s" % report], []),
          (rc, lines(err), asked))
    check("nothing sent twice", [1, 1], [len(fleet.records("wrq", ip=ip)) for ip in HELD])


def main():
    command = sys.argv[1:]
    native = os.environ["DAVERIDUR_BIN"]
    source = os.environ["DAVERIDUR_SOURCE"]
    work = tempfile.mkdtemp(prefix="daveridur-road-test.")
    os.environ["HOME"] = work  # the native settings store starts empty: "admin"
    image = os.path.join(work, "fw.bin")
    subprocess.run([os.path.join(native, "tools/mkimage/mkimage"), image, "--version", "1.05",
                    "--size", "60000"], check=True, stdout=subprocess.DEVNULL)
    tool = Tool(command)
    fleet = Cardsim(native, work, FLEET)
    try:
        for group in (lambda: test_waits(command, fleet, image),
                      lambda: test_accounts(tool, fleet, image, work),
                      lambda: test_errors_and_help(tool, fleet, image, work, source),
                      lambda: test_plans(tool, fleet, image, work),
                      lambda: test_resume_held(tool, fleet, image, work, command)):
            try:
                group()
            except Exception as e:  # one broken group must not hide the others
                check("group ran", None, repr(e))
    finally:
        fleet.stop()
    sys.exit(finish())


if __name__ == "__main__":
    main()
