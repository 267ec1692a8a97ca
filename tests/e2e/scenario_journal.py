"""A batch that does not end well, driven from outside the program: the kept
report names every card as soon as the first transfer runs; the program
killed mid-batch leaves it whole, each card's state no later than what the
cards recorded; logoff mid-batch is held off while the batch runs, and a
session that ends anyway aborts the transfers and leaves every card with
its end; a kept report held open by another program is said to be not
saved until it is let go, and then catches up. Takes about 80 s.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_journal.py"""

import csv
import glob
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import CONFIRM, ICON_READY, INFORMATION, UPGRADE, Scene, Tally
from uidrive import unix_path, wait_until

# Slow ACKs: each transfer takes a few seconds, four run at once, two wait.
FLEET = "".join("ip=10.69.0.%d mac=00-0a-ff-00-00-%d fw=1.02 ack_delay=8\n" % (n, n)
                for n in range(81, 87))
BATCH = ["10.69.0.%d" % n for n in range(81, 87)]
RESULTS = {"pending", "sending", "ok", "timeout", "card_error", "aborted", "no_connection",
           "socket_error", "no_memory", "too_large", "no_session"}
IDYES = 6

t = Tally()


def kept_reports():
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    return sorted(glob.glob(os.path.join(prefix, "drive_c", "users", "*", "*", "*", "Daveridur",
                                         "Reports", "*.csv")) +
                  glob.glob(os.path.join(prefix, "drive_c", "users", "*", "*", "Daveridur",
                                         "Reports", "*.csv")))


def read_rows(path):
    """The rows by address, or None when the file is no whole CSV."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return None
    if not text.endswith("\r\n"):
        return None
    rows = list(csv.DictReader(text.splitlines()))
    return [r for r in rows]


def flashed(s):
    return {r["ip"] for r in s.records("upload") if r.get("status") == "ok"}


def start_batch(s, image, cards=BATCH, wait_running=True):
    """Discover, tick the cards, Upgrade, Yes; returns once transfers run."""
    s.discover()
    s.wait_rows(lambda r: len(r) == len(BATCH) and all(x["image"] == ICON_READY for x in r.values()),
                40)
    s.open_image(image)
    s.check_cards(cards)
    s.driver.click(s.control(UPGRADE))
    t.true("confirmation", s.answer_box(CONFIRM, IDYES))
    return not wait_running or wait_until(lambda: any((s.percent(w) or 0) > 5 for w in s.session_windows().values()), 30)


def killed(s, image):
    before = set(kept_reports())
    t.true("transfers running", start_batch(s, image))
    new = sorted(set(kept_reports()) - before)
    t.check("one kept report, there from the start", 1, len(new))
    if not new:
        return
    path = new[0]
    rows = read_rows(path) or []
    t.check("it names every card", sorted(BATCH), sorted(r["ip"] for r in rows))
    t.true("the running cards read sending, the others pending (%s)" % [r["result"] for r in rows],
           {r["result"] for r in rows} <= {"sending", "pending", "ok"} and
           any(r["result"] == "sending" for r in rows))

    s.program.kill()
    s.program.wait(timeout=10)
    time.sleep(0.5)
    rows = read_rows(path)
    t.true("killed: still a whole CSV", rows is not None)
    rows = rows or []
    t.check("killed: every card once", sorted(BATCH), sorted(r["ip"] for r in rows))
    t.check("killed: known states", [], [r["result"] for r in rows if r["result"] not in RESULTS])
    by_ip = {r["ip"]: r["result"] for r in rows}
    done = flashed(s)
    t.check("killed: a card reported ok received the image", set(),
            {ip for ip, r in by_ip.items() if r == "ok"} - done)
    t.check("killed: a card that received the image is not pending", set(),
            {ip for ip in done if by_ip.get(ip) == "pending"})


def session_ended(s, image):
    """Logoff mid-batch, as the system does it to the main window: asked
    first (the batch holds it off), then told that the session ends."""
    d = s.driver
    before = set(kept_reports())
    t.true("second batch: transfers running", start_batch(s, image))
    new = sorted(set(kept_reports()) - before)
    t.check("second batch: a kept report of its own", 1, len(new))
    t.check("logoff while the batch runs: the window asks to wait", False,
            d.query_end_session(s.main))
    d.end_session(s.main)
    t.check("session ended: no transfer left running", {}, s.session_windows())
    if not new:
        return
    rows = read_rows(new[0]) or []
    t.check("session ended: every card with its end, before the program goes",
            (sorted(BATCH), []),
            (sorted(r["ip"] for r in rows),
             [r["ip"] for r in rows if r["result"] not in ("ok", "aborted")]))
    t.true("session ended: the running transfers aborted",
           any(r["result"] == "aborted" and int(r["bytes_sent"] or 0) > 0 for r in rows))


# Quick transfers, then a restart into the image's version: each check
# settles about 10 s after its upload.
RESTARTING = FLEET.replace("ack_delay=8", "restart=6 restart_fw=1.05")
LOCKED = BATCH[:2]
RESULT = 5


def locked(s):
    """The kept report held open (as a spreadsheet does) while the checks
    settle: the cards and the report box say it is not saved; let go, the
    file catches up."""
    d = s.driver
    s.reload_fleet(RESTARTING)
    image = s.make_image("small.bin", "--version", "1.05", "--size", "20000")
    start_batch(s, image, LOCKED, wait_running=False)
    box = d.msgbox(INFORMATION, 60000)
    if not t.true("report shown", box):
        return
    saved = box["text"].split("\r\n")[-1]
    if not t.true("report saved (%s)" % saved, saved.startswith("Report saved: ")):
        return
    shown = saved[len("Report saved: "):]
    path = unix_path(shown)
    d.hold_file(shown)

    def results():
        return {ip: r["cells"][RESULT] for ip, r in s.rows_by_ip().items() if ip in LOCKED}

    noted = wait_until(lambda: all(v.startswith("Report not saved: ") for v in results().values()), 40)
    t.true("held file: the checked cards say why (%s)" % results(), noted)
    last = (d.msgbox(INFORMATION, 1000) or {}).get("text", "").split("\r\n")[-1]
    t.true("held file: the report box says so (%s)" % last, last.startswith("Report not saved: "))
    t.check("held file: still the cards' earlier state", {ip: "" for ip in LOCKED},
            {r["ip"]: r["verified"] for r in read_rows(path) or []})
    d.hold_file(None)
    caught_up = wait_until(lambda: all(v.startswith("applied 1.05") for v in results().values()), 10)
    t.true("let go: the Result column is the checks' again (%s)" % results(), caught_up)
    t.check("let go: the file caught up", {ip: "applied" for ip in LOCKED},
            {r["ip"]: r["verified"] for r in read_rows(path) or []})
    last = (d.msgbox(INFORMATION, 1000) or {}).get("text", "").split("\r\n")[-1]
    t.check("let go: the report box names the file again", saved, last)
    d.answer(box["hwnd"], 1)


def main():
    started = time.monotonic()
    with Scene(FLEET) as s:
        image = s.make_image("fw.bin", "--version", "1.05", "--size", "400000")
        s.short_settle()
        s.start_program()
        killed(s, image)
        s.restart_program()
        session_ended(s, image)
        s.program.kill()
        s.program.wait(timeout=10)
        s.restart_program()
        locked(s)
    print("journal scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
