"""Upgrade in waves, driven from outside the program: the rollout dialog
opened from the device list's menu (its fields greyed while unticked, a
bad field and a bad window refused by name, the choice kept, Cancel
keeping nothing), then a rollout of three cards in two
waves (1, then 2 at a time) whose cards restart into the new version: the
confirmation names the plan, the cards of wave 2 wait in the Result column
and get no write request before the card of wave 1 answered with the new
version, one report box names every card. Last, a rollout whose first card
refuses the image halts: the other two are not started, and the report's
first line names the card and why. Takes about 40 s.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_rollout.py"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import CONFIRM, ICON_READY, INFORMATION, LIST, UPGRADE, Scene, Tally
from uidrive import wait_until

FLEET = """\
ip=10.69.0.61 mac=00-0a-ff-00-00-61 fw=1.02
ip=10.69.0.62 mac=00-0a-ff-00-00-62 fw=1.02
ip=10.69.0.63 mac=00-0a-ff-00-00-63 fw=1.02
"""
# The first card of the second rollout refuses the image.
REFUSING = FLEET.replace("ip=10.69.0.63 mac=00-0a-ff-00-00-63 fw=1.02",
                         "ip=10.69.0.63 mac=00-0a-ff-00-00-63 fw=1.02 write=0")
CARDS = ["10.69.0.61", "10.69.0.62", "10.69.0.63"]
# Rows in address order; the batch takes them from the bottom up.
BATCH_ORDER = list(reversed(CARDS))
WAVE_1, WAVE_2 = BATCH_ORDER[:1], BATCH_ORDER[1:]
MENU_CLASS = "class:#32768"
ROLLOUT_ITEM = 6  # the sixth item of the device list's menu
TITLE = "Rollout"
WAVES, FIRST, LATER, STOP, START, WINDOW = 1050, 1051, 1052, 1053, 1054, 1055
FIELDS = (FIRST, LATER, STOP, START, WINDOW)
IDOK, IDCANCEL, IDYES = 1, 2, 6
RESULT = 5

t = Tally()


def open_dialog(s, list_view):
    d = s.driver
    d.key(list_view, "APPS")
    t.true("menu open", d.find(MENU_CLASS, 5000))
    for _ in range(ROLLOUT_ITEM):
        d.key(list_view, "DOWN")
    d.key(list_view, "RETURN")
    dialog = d.find(TITLE, 10000)
    t.true("the rollout dialog opens", dialog)
    return dialog


def fields(s, dialog):
    d = s.driver
    return (d.checked(d.child(dialog, WAVES)),) + tuple(d.text(d.child(dialog, i)) for i in (FIRST, LATER, STOP))


def no_text_cut(s, dialog):
    fits = s.driver.fit(dialog)
    t.true("dialog texts measured", len(fits) > 4)
    t.check("no text of the dialog cut", [], [
        "%s %r needs %dx%d, has %dx%d" % (f["class"], f["text"], *f["need"], *f["room"])
        for f in fits if f["need"][0] > f["room"][0] or f["need"][1] > f["room"][1]])


def set_up_rollout(s, list_view):
    d = s.driver
    dialog = open_dialog(s, list_view)
    if not dialog:
        return False
    t.check("off and the defaults at first", (False, "1", "25%", "1"), fields(s, dialog))
    t.check("its fields greyed while unticked", [False] * 5,
            [d.enabled(d.child(dialog, i)) for i in FIELDS])
    no_text_cut(s, dialog)
    d.click(d.child(dialog, WAVES))
    wait_until(lambda: d.checked(d.child(dialog, WAVES)), 3)
    t.check("and not once ticked", [True] * 5, [d.enabled(d.child(dialog, i)) for i in FIELDS])
    d.settext(d.child(dialog, WINDOW), "22:00-22:00")
    d.click(d.child(dialog, IDOK))
    box = d.msgbox(CONFIRM, 5000)
    t.check("a bad window is refused by its name",
            "Window: \"22:00-22:00\" opens and closes at the same time, or empty for any time.",
            box and box["text"])
    if box:
        d.answer(box["hwnd"], IDOK)
    d.settext(d.child(dialog, WINDOW), "")
    d.settext(d.child(dialog, LATER), "101%")
    d.click(d.child(dialog, IDOK))
    box = d.msgbox(CONFIRM, 5000)
    t.check("a bad field is refused by its name", "Later waves: a percentage is 1 to 100.", box and box["text"])
    if box:
        d.answer(box["hwnd"], IDOK)
    t.true("the dialog stays open", s.is_open(dialog))
    t.check("nothing kept yet", None, s.registry_value("Rollout"))
    d.settext(d.child(dialog, LATER), "2")
    s.shot(dialog, "rollout-dialog")
    d.click(d.child(dialog, IDOK))
    t.true("OK closes the dialog", d.gone(dialog, 5000))
    t.check("kept in its own value", "on 1 2 1", s.registry_value("Rollout"))

    dialog = open_dialog(s, list_view)
    if not dialog:
        return False
    t.check("the dialog shows what was kept", (True, "1", "2", "1"), fields(s, dialog))
    d.settext(d.child(dialog, FIRST), "7")
    d.click(d.child(dialog, IDCANCEL))
    d.gone(dialog, 5000)
    t.check("Cancel keeps nothing", "on 1 2 1", s.registry_value("Rollout"))
    return True


def results(s):
    return {ip: r["cells"][RESULT] for ip, r in s.rows_by_ip().items()}


def report_lines(box):
    """The report's lines without the last one, which names the kept file."""
    lines = box["text"].split("\r\n") if box else []
    saved = lines.pop() if lines else ""
    t.true("the last line names the kept file (%s)" % saved, saved.startswith("Report saved: "))
    return lines


def upgrade(s, image, ticked):
    d = s.driver
    s.open_image(image)
    s.check_cards(ticked)
    wait_until(lambda: d.enabled(s.control(UPGRADE)), 3)
    d.click(s.control(UPGRADE))
    box = d.msgbox(CONFIRM, 10000)
    if box:
        d.answer(box["hwnd"], IDYES)
    return box and box["text"]


def two_waves(s):
    d = s.driver
    image = s.make_image("fw.bin", "--version", "1.05", "--size", "6000")
    text = upgrade(s, image, CARDS)
    t.check("the confirmation's last line names the plan",
            "Are you sure to upgrade ?\r\nIn waves: 1, then 2 at a time; stops after the first failure.", text)
    # While wave 1 runs, the cards of wave 2 show their place.
    waiting = wait_until(lambda: all(results(s).get(ip) == "waiting, wave 2" for ip in WAVE_2), 10)
    t.true("wave 2 waits in the Result column: %r" % results(s), waiting)
    started = time.monotonic()
    report = d.msgbox(INFORMATION, 60000)
    t.true("one report box at the end (%.0f s)" % (time.monotonic() - started), report)
    if report:
        s.shot(report["hwnd"], "rollout-report")
    t.check("one line per card, in batch order", [ip + " OK." for ip in BATCH_ORDER], report_lines(report))
    t.check("no second report box", 1, len(d.findall(INFORMATION)))
    if report:
        d.answer(report["hwnd"], IDOK)
    wait_until(lambda: d.enabled(s.main), 5)

    # cardsim's record: the card of wave 1 took the image, restarted and
    # answered with the new version before any card of wave 2 was written to.
    records = s.records()
    order = [(r["event"], r.get("ip"), r.get("via")) for r in records]
    first_wrq = {}
    for i, (event, ip, _) in enumerate(order):
        if event == "wrq":
            first_wrq.setdefault(ip, i)
    t.check("one write request per card", sorted(CARDS), sorted(r["ip"] for r in records if r["event"] == "wrq"))
    restarted = next((i for i, (event, ip, _) in enumerate(order) if event == "restart" and ip in WAVE_1), None)
    answered = next((i for i, (event, ip, via) in enumerate(order)
                     if restarted is not None and i > restarted and event == "sysinfo" and ip in WAVE_1 and
                     via == "unicast"), None)
    t.true("wave 1 restarted and was checked", answered is not None)
    t.check("wave 2 written to only after wave 1 answered", True,
            answered is not None and all(first_wrq.get(ip, -1) > answered for ip in WAVE_2))
    return len(records)


def halted(s, seen):
    d = s.driver
    s.reload_fleet(REFUSING)
    image = s.make_image("fw2.bin", "--version", "1.06", "--size", "6000")
    upgrade(s, image, CARDS)
    report = d.msgbox(INFORMATION, 30000)
    t.true("report when the rollout halts", report)
    if report:
        s.shot(report["hwnd"], "rollout-halted")
    t.check("first line says it halted and why, then one line per card", [
        "Rollout halted in wave 1: %s refused (\"Upgrade not allowed !\"); 2 cards not started."
        % BATCH_ORDER[0],
        BATCH_ORDER[0] + " Upgrade not allowed !",
        BATCH_ORDER[1] + " Not started : rollout halted .",
        BATCH_ORDER[2] + " Not started : rollout halted ."], report_lines(report))
    if report:
        d.answer(report["hwnd"], IDOK)
    t.check("the cards not started were sent nothing", [BATCH_ORDER[0]],
            [r["ip"] for r in s.records()[seen:] if r["event"] == "wrq"])


def main():
    started = time.monotonic()
    with Scene(FLEET, cardsim_args=["--restart", "1", "--restart_fw", "1.05"]) as s:
        s.start_program()
        list_view = s.control(LIST)
        s.discover()
        rows = s.wait_rows(lambda r: len(r) == 3 and all(x["image"] == ICON_READY for x in r.values()), 10)
        t.check("fleet listed", sorted(CARDS), sorted(rows))
        t.true("rows in address order", s.sort_by_ip())
        if set_up_rollout(s, list_view):
            seen = two_waves(s)
            halted(s, seen)
    print("rollout scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
