"""Upgrade, driven from outside the program: the confirmation with and
without version warnings, then one batch of seven checked cards that runs at
most four at a time, with a good card, identical and newer firmware, a wrong
account, a card that stops answering in mid-transfer (its " Timeout." takes
about 32 s), a card that never answered a direct query, and a transfer
aborted (No first, then Yes). A broken image and one replaced on disk after
Open are refused even with Yes and never sent. The report has one line per
card, every card that took the image received the file's bytes but for the
stamp field, and the main window is disabled from the start of the batch
until the report is closed. Takes about 80 s.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_upgrade.py"""

import datetime
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import card_lines, CONFIRM, ICON_NO_REPLY, ICON_NO_WRITE, ICON_READY, INFORMATION, UPGRADE, Scene, Tally
from uidrive import DriverError, wait_until

FLEET = """\
ip=10.69.0.41 mac=00-0a-ff-00-00-41 fw=1.02 ack_delay=10
ip=10.69.0.42 mac=00-0a-ff-00-00-42 fw=1.05 ack_delay=10
ip=10.69.0.43 mac=00-0a-ff-00-00-43 fw=2.00 ack_delay=10
ip=10.69.0.44 mac=00-0a-ff-00-00-44 fw=1.02 user=service password=secret ack_delay=10
ip=10.69.0.45 mac=00-0a-ff-00-00-45 fw=1.02 ack_delay=10
ip=10.69.0.46 mac=00-0a-ff-00-00-46 fw=1.02 unicast=0 ack_delay=10
ip=10.69.0.47 mac=00-0a-ff-00-00-47 fw=1.02 ack_delay=10
ip=10.69.0.48 mac=00-0a-ff-00-00-48 fw=1.00
"""
# The card stops answering in mid-transfer: everything to and from it is lost.
STOPPED_45 = FLEET.replace("ip=10.69.0.45 mac=00-0a-ff-00-00-45 fw=1.02",
                           "ip=10.69.0.45 mac=00-0a-ff-00-00-45 fw=1.02 loss=1")
CHECKED = ["10.69.0.41", "10.69.0.42", "10.69.0.43", "10.69.0.44", "10.69.0.45", "10.69.0.46", "10.69.0.47"]
TAKE_IMAGE = ["10.69.0.41", "10.69.0.42", "10.69.0.43"]
STARTED = ["10.69.0.41", "10.69.0.42", "10.69.0.43", "10.69.0.44", "10.69.0.45", "10.69.0.47"]
ABORTED, STOPS = "10.69.0.47", "10.69.0.45"
# The program sends a block as soon as the card has acknowledged the last;
# these cards take 10 ms to store each block, about 20 s per transfer: time
# enough to watch four at once and to abort one.
IMAGE_BODY = 1000000
DASHES = "-" * 59
IDOK, IDYES, IDNO, IDHELP = 1, 6, 7, 9
PERCENT = 1022

t = Tally()


def fnv1a64(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def without_stamp(data):
    return data[:28] + b"\0\0\0\0" + data[32:]


def stamp_time(data):
    v = int.from_bytes(data[28:32], "little")
    try:
        return datetime.datetime(1980 + (v >> 26), (v >> 22) & 0xF, (v >> 17) & 0x1F, (v >> 12) & 0x1F,
                                 (v >> 6) & 0x3F, v & 0x3F)
    except ValueError:
        return None


def warning_text(lines):
    return ("WARNING !!\r\n\r\nThe following UPS(s) might have concern(s) of version control !!\r\n" + DASHES +
            "\r\n" + "".join(line + "\r\n" for line in lines) + DASHES +
            "\r\nDo you want upgrade the UPS(s) regardless the version check ?")


def ask_upgrade(s, answer, shot=None):
    """Upgrade, then the confirmation answered; returns its text."""
    s.driver.click(s.control(UPGRADE))
    box = s.driver.msgbox(CONFIRM, 10000)
    if not box:
        return None
    if shot:
        s.shot(box["hwnd"], shot)
    s.driver.answer(box["hwnd"], answer)
    return box["text"]


def confirmations(s, image, broken):
    d = s.driver
    s.check_cards(["10.69.0.41"])
    wait_until(lambda: d.enabled(s.control(UPGRADE)), 3)
    t.check("confirmation without warnings", "Are you sure to upgrade ?", ask_upgrade(s, IDNO))
    s.check_cards(["10.69.0.42", "10.69.0.43"])
    # Rows are visited from the bottom up: .43 before .42.
    t.check("confirmation with identical and newer firmware",
            warning_text(["UPS 10.69.0.43 , newer version 2.00", "UPS 10.69.0.42 , identical version 1.05"]),
            ask_upgrade(s, IDNO, "upgrade-confirmation"))
    time.sleep(1)
    t.check("No starts nothing", ([], True, []),
            (s.records("wrq"), d.enabled(s.main), d.findall("prefix:Upg ")))
    # A failed load forgets the image's version: no warning any more.
    s.open_image(broken)
    box = s.answer_box(CONFIRM, IDOK)
    t.check("broken image refused", "Bad file checksum !", box and box["text"])
    t.check("no warnings once the image failed", "Are you sure to upgrade ?", ask_upgrade(s, IDNO))
    # Yes all the same: the batch checks the bytes it read and sends nothing.
    refused(s, "broken image", "Bad file checksum !")
    # A file replaced on disk after Open is not the image confirmed.
    swapped = s.make_image("swapped.bin", "--version", "1.05", "--size", "2000")
    s.open_image(swapped)
    s.make_image("swapped.bin", "--version", "2.01", "--size", "2000")
    refused(s, "replaced image", "The file has changed since it was opened !")
    # Rebuilt with the same version and size: other bytes all the same.
    s.make_image("rebuilt.bin", "--version", "1.05", "--size", "2000", "--seed", "1")
    s.open_image(s.path("rebuilt.bin"))
    s.make_image("rebuilt.bin", "--version", "1.05", "--size", "2000", "--seed", "2")
    refused(s, "same version other bytes", "The file has changed since it was opened !")
    # One byte more than a card can number: refused unread, at Open and by the batch.
    huge = s.path("huge.bin")
    with open(huge, "wb") as f:
        f.truncate(65535 * 512)
    s.open_image(huge)
    box = s.answer_box(CONFIRM, IDOK)
    t.check("oversized image refused at Open", "Image too large for the card", box and box["text"])
    refused(s, "oversized image", "Image too large for the card")
    s.open_image(image)
    t.check("image loaded again", None, d.msgbox(CONFIRM, 1000))


def refused(s, name, message):
    """Upgrade, Yes: an error box says why, nothing is sent, no row changes."""
    d = s.driver
    icons = {ip: r["image"] for ip, r in s.rows_by_ip().items()}
    ask_upgrade(s, IDYES)
    box = d.msgbox(CONFIRM, 10000)
    t.check("%s: the box says why" % name, message, box and box["text"])
    if box:
        s.shot(box["hwnd"], "upgrade-refused-" + name.replace(" ", "-"))
        d.answer(box["hwnd"], IDOK)
    t.true("%s: main window enabled again" % name, wait_until(lambda: d.enabled(s.main), 5))
    t.check("%s: nothing sent, no window, no row changed" % name, ([], [], icons),
            (s.records("wrq"), d.findall("prefix:Upg "), {ip: r["image"] for ip, r in s.rows_by_ip().items()}))


def percent(s, hwnd):
    try:
        return s.driver.text(s.driver.child(hwnd, PERCENT))
    except (DriverError, TypeError):
        return None


def percent_value(s, hwnd):
    text = percent(s, hwnd) or "0%"
    return int(text.rstrip("%")) if text.rstrip("%").isdigit() else 0


def session_windows(s):
    """Open progress windows by card address."""
    out = {}
    for hwnd in s.driver.findall("prefix:Upg "):
        try:
            out[s.driver.text(hwnd)[4:]] = hwnd
        except DriverError:
            pass  # closed meanwhile
    return out


def abort_sequence(s, hwnd):
    """Esc in a progress window: No goes on (all sessions wait meanwhile),
    Yes ends that card."""
    d = s.driver
    d.key(hwnd, "ESC")
    box = d.msgbox("Upgrade Box", 5000)
    t.check("abort question", ("Are you sure ?", {IDYES: "&Yes", IDNO: "&No"}),
            box and (box["text"], box["buttons"]))
    if not box:
        return False
    s.shot(box["hwnd"], "upgrade-abort-question")
    windows = session_windows(s)
    before = {ip: percent(s, w) for ip, w in windows.items()}
    time.sleep(1.5)
    t.check("every session waits while the question is open", before,
            {ip: percent(s, w) for ip, w in windows.items()})
    d.answer(box["hwnd"], IDNO)
    d.gone(box["hwnd"], 5000)
    moved = wait_until(lambda: percent(s, hwnd) != before.get(ABORTED), 3)
    t.true("No: the transfer goes on", moved)
    d.key(hwnd, "ESC")
    box = d.msgbox("Upgrade Box", 5000)
    if not box:
        t.true("abort question a second time", False)
        return False
    d.answer(box["hwnd"], IDYES)
    t.true("Yes closes the progress window", d.gone(hwnd, 5000))
    return True


def watch_batch(s, main_window):
    """From Yes to the report: counts the progress windows, silences one card
    in mid-transfer, aborts another. Returns the report box."""
    d = s.driver
    most = 0
    disabled_seen = enabled_seen = False
    silenced = aborted = window_checked = False
    shot_taken = False
    deadline = time.monotonic() + 120
    report = None
    while time.monotonic() < deadline:
        report = d.msgbox(INFORMATION, 0)
        if report:
            break
        windows = session_windows(s)
        most = max(most, len(windows))
        if windows:
            if d.enabled(main_window):
                enabled_seen = True
            else:
                disabled_seen = True
        if not shot_taken and ABORTED in windows and (percent_value(s, windows[ABORTED]) >= 5 or
                                                      len(windows) == 4):
            s.shot(windows[ABORTED], "upgrade-progress-window")
            shot_taken = True
        if not silenced and STOPS in windows and percent(s, windows[STOPS]) not in (None, "0%"):
            s.reload_fleet(STOPPED_45)
            silenced = True
        if not window_checked and ABORTED in windows and STOPS in windows:
            window_checked = True
            progress = windows[ABORTED]
            a = d.rect(progress)
            b = d.rect(windows[STOPS])
            apart = a[2] <= b[0] or b[2] <= a[0] or a[3] <= b[1] or b[3] <= a[1]
            t.check("progress window: status, hidden Abort, the next slot hides none of it",
                    ("To : " + ABORTED, False, True),
                    (d.text(d.child(progress, 1019)), d.visible(d.child(progress, 2)), apart))
        # Abort while four run: no session can end and no new one open
        # meanwhile (an opening window would let every session go on).
        if not aborted and ABORTED in windows and len(windows) == 4:
            aborted = abort_sequence(s, windows[ABORTED])
        time.sleep(0.1)
    t.true("a card was silenced in mid-transfer", silenced)
    t.true("a transfer was aborted", aborted)
    t.check("at most four transfers at a time, and four at once", 4, most)
    t.check("main window disabled during the batch", (True, False), (disabled_seen, enabled_seen))
    return report


def report_and_results(s, main_window, report, image):
    d = s.driver
    t.true("report shown", report)
    if not report:
        return
    s.shot(report["hwnd"], "upgrade-report")
    lines = report["text"].split("\r\n")
    saved = lines.pop() if lines else ""
    lines = card_lines(lines)
    t.true("report: the last line names the kept file (%s)" % saved,
           saved.startswith("Report saved: ") and saved.endswith(".csv"))
    t.check("report: one line per card", sorted([
        "10.69.0.41 OK.", "10.69.0.42 OK.", "10.69.0.43 OK.", "10.69.0.44 Invalid user name or password !",
        "10.69.0.45 Timeout.", "10.69.0.46 No connection , abort.", "10.69.0.47 User Aborted !"]), sorted(lines))
    t.check("report box", ("Daveridur -- Information", {IDOK: "OK", IDHELP: "Open report"}),
            (report["title"], report["buttons"]))
    t.check("main window still disabled while the report is open", False, d.enabled(main_window))
    rows = s.rows_by_ip()
    # A card that took the image is asked again from 5 s after its line; its
    # answer sets its icon by the usual rule.
    t.check("row icons at the report",
            {ip: ICON_NO_REPLY if ip == "10.69.0.46" else ICON_NO_WRITE for ip in CHECKED},
            {ip: ICON_NO_WRITE if ip in TAKE_IMAGE and rows[ip]["image"] == ICON_READY else rows[ip]["image"]
             for ip in CHECKED if ip in rows})
    d.answer(report["hwnd"], IDOK)
    t.true("main window enabled after the report", wait_until(lambda: d.enabled(main_window), 5))

    file_bytes = open(image, "rb").read()
    uploads = {}
    for r in s.records("upload"):
        uploads.setdefault(r["ip"], []).append(r)
    wrqs = {}
    for r in s.records("wrq"):
        wrqs.setdefault(r["ip"], set()).add(r["file"])
    t.check("write requests only to the started cards", sorted(STARTED), sorted(wrqs))
    t.check("write request names the account", {"upgrade@@admin"}, wrqs.get("10.69.0.41"))
    t.check("wrong account refused by the card", [("refused", "account")],
            [(u["status"], u.get("reason")) for u in uploads.get("10.69.0.44", [])])
    now = datetime.datetime.now()
    for ip in TAKE_IMAGE:
        done = [u for u in uploads.get(ip, []) if u["status"] == "ok"]
        t.check("%s: one complete upload" % ip, 1, len(done))
        if done:
            t.check("%s: recorded bytes equal the file but for the stamp" % ip,
                    (str(len(file_bytes)), fnv1a64(without_stamp(file_bytes))),
                    (done[0]["size"], done[0]["hash_nostamp"]))
        try:
            got = open(s.path(os.path.join("received", ip + ".bin")), "rb").read()
        except OSError:
            got = b""
        t.check("%s: saved image equals the file but for the stamp" % ip, True,
                len(got) == len(file_bytes) and without_stamp(got) == without_stamp(file_bytes))
        stamped = stamp_time(got) if len(got) >= 32 else None
        t.true("%s: stamp is the local time of the batch (%s)" % (ip, stamped),
               stamped and abs((now - stamped).total_seconds()) < 300)


def main():
    started = time.monotonic()
    with Scene(FLEET) as s:
        main_window = s.start_program()
        image = s.make_image("fw.bin", "--version", "1.05", "--date", "07042000", "--size", str(IMAGE_BODY))
        broken = s.make_image("broken.bin", "--version", "1.05", "--size", "100", "--broken", "body-sum")
        s.discover()
        rows = s.wait_rows(lambda r: len(r) == 8 and all(x["image"] != ICON_NO_REPLY for ip, x in r.items()
                                                         if ip != "10.69.0.46"), 10)
        t.check("fleet listed", {ip: ICON_NO_REPLY if ip == "10.69.0.46" else ICON_READY for ip in rows},
                {ip: r["image"] for ip, r in rows.items()})
        t.true("rows in address order", s.sort_by_ip())
        s.open_image(image)
        confirmations(s, image, broken)
        s.check_cards(CHECKED)
        text = ask_upgrade(s, IDYES)
        t.check("confirmation of the whole batch",
                warning_text(["UPS 10.69.0.43 , newer version 2.00", "UPS 10.69.0.42 , identical version 1.05"]),
                text)
        report = watch_batch(s, main_window)
        report_and_results(s, main_window, report, image)
        t.check("the unchecked card was not touched", [], [r for r in s.records("wrq") if r["ip"] == "10.69.0.48"])
    print("upgrade scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
