"""A batch that does not end well, driven from outside the program: the kept
report names every card as soon as the first transfer runs; the program
killed mid-batch leaves it whole, each card's state no later than what the
cards recorded; logoff mid-batch is held off while the batch runs, and a
session that ends anyway aborts the transfers and leaves every card with
its end. Takes about 50 s.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_journal.py"""

import csv
import glob
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import CONFIRM, ICON_READY, UPGRADE, Scene, Tally
from uidrive import wait_until

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


def start_batch(s, image):
    """Discover, tick every card, Upgrade, Yes; returns once transfers run."""
    s.discover()
    s.wait_rows(lambda r: len(r) == len(BATCH) and all(x["image"] == ICON_READY for x in r.values()),
                40)
    s.open_image(image)
    s.check_cards(BATCH)
    s.driver.click(s.control(UPGRADE))
    t.true("confirmation", s.answer_box(CONFIRM, IDYES))
    return wait_until(lambda: any((s.percent(w) or 0) > 5 for w in s.session_windows().values()), 30)


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


def main():
    started = time.monotonic()
    with Scene(FLEET) as s:
        image = s.make_image("fw.bin", "--version", "1.05", "--size", "400000")
        s.start_program()
        killed(s, image)
        s.restart_program()
        session_ended(s, image)
    print("journal scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
