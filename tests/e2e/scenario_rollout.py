"""Upgrade in waves, driven from outside the program: the rollout dialog
opened from the device list's menu (its fields greyed while unticked, a
bad field and a bad window refused by name, the choice kept, Cancel
keeping nothing), then a rollout of three cards in two
waves (1, then 2 at a time) whose cards restart into the new version: the
cards go in table order, top row first; the confirmation names the plan,
the rollout window shows the waves and what the run waits for while the
main window stays usable with Upgrade, Discover, Remove and Open greyed;
the cards of wave 2 wait in the Result column and get no write request
before the card of wave 1 answered with the new version, one report box
names every card. A rollout whose first card refuses the image halts: the
other two are not started, and the report (warning icon) names the card
and why first.
Then seven cards five at a time: no progress windows, the Result column
shows each transfer's percentage; Pause lets the running transfers finish
and starts no other, Resume sends the rest. Stop during the checks of wave
1 marks the cards not started; Quit during a rollout names it, No changes
nothing and Yes stops it, reports and quits. No kept report of a stop has a
pending row. The dialog's policy fields kept, and a rollout whose second
wave waits after the first for the rollout window's Resume, nothing
written to it before. Takes about 90 s.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_rollout.py"""

import csv
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import card_lines, CONFIRM, DISCOVER, ICON_READY, INFORMATION, LIST, OPEN, REMOVE, UPGRADE, Scene, Tally
from uidrive import DriverError, unix_path, wait_until

# Three cards for the waves; seven slow ones (a quarter second before each
# ACK: a 6000-byte image takes about 3 s) for the runs that are paused,
# stopped and quit; the first of them is quiet for 10 s after its upgrade,
# so that its wave waits for its check.
SLOW = ["10.69.0.%d" % n for n in range(64, 71)]
FLEET = """\
ip=10.69.0.61 mac=00-0a-ff-00-00-61 fw=1.02
ip=10.69.0.62 mac=00-0a-ff-00-00-62 fw=1.02
ip=10.69.0.63 mac=00-0a-ff-00-00-63 fw=1.02
""" + "".join("ip=%s mac=00-0a-ff-00-00-%s fw=1.02 ack_delay=250%s\n" % (ip, ip.split(".")[3],
                                                                        " restart=10" if ip == SLOW[0] else "")
              for ip in SLOW)
# The first card of the second rollout refuses the image.
REFUSING = FLEET.replace("ip=10.69.0.61 mac=00-0a-ff-00-00-61 fw=1.02",
                         "ip=10.69.0.61 mac=00-0a-ff-00-00-61 fw=1.02 write=0")
CARDS = ["10.69.0.61", "10.69.0.62", "10.69.0.63"]
# Rows in address order; a rollout takes them from the top down.
BATCH_ORDER = CARDS
WAVE_1, WAVE_2 = BATCH_ORDER[:1], BATCH_ORDER[1:]
MENU_CLASS = "class:#32768"
ROLLOUT_ITEM = 6  # the sixth item of the device list's menu
TITLE = "Rollout"
WAVES, FIRST, LATER, STOP, START, WINDOW, AT_ONCE, SETTLE, RECHECK = range(1050, 1059)
UNREACHABLE, MIN_SETTLED, DELAY, ORDER, GATE = range(1090, 1095)
# The cards of the gated rollout come back with its image's version.
GATED_FLEET = FLEET.replace(" fw=1.02\n", " fw=1.02 restart=1 restart_fw=1.07\n")
FIELDS = (FIRST, LATER, STOP, START, WINDOW)
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
# The rollout window.
RUN_TITLE = "Daveridur -- Rollout"
RUN_STATE, RUN_WAIT, RUN_ELAPSED, RUN_WAVES, RUN_SENDING, PAUSE, RESUME, RUN_STOP = 1060, 1061, 1062, 1063, 1064, 1065, 1066, 1067
STOPPED = " Not started : stopped by the operator ."
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
    return (d.checked(d.child(dialog, WAVES)),) + tuple(
        d.text(d.child(dialog, i)) for i in (FIRST, LATER, STOP, AT_ONCE, SETTLE, RECHECK))


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
    t.check("off and the defaults at first", (False, "1", "25%", "1", "4", "30", ""),
            fields(s, dialog))
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
    d.settext(d.child(dialog, AT_ONCE), "65")
    d.click(d.child(dialog, IDOK))
    box = d.msgbox(CONFIRM, 5000)
    t.check("more than 64 at once is refused by name",
            'Transfers at once: "65" is not a number of 1 to 64.', box and box["text"])
    if box:
        d.answer(box["hwnd"], IDOK)
    d.settext(d.child(dialog, AT_ONCE), "4")
    for field, typed, why in ((SETTLE, "0", 'Settle period: "0" is not a number of seconds of 1 to 600.'),
                              (RECHECK, "1441", 'Recheck after: "1441" is not a number of minutes '
                                                'of 1 to 1440, or empty for none.')):
        d.settext(d.child(dialog, field), typed)
        d.click(d.child(dialog, IDOK))
        box = d.msgbox(CONFIRM, 5000)
        t.check("a bad check field is refused by its name", why, box and box["text"])
        if box:
            d.answer(box["hwnd"], IDOK)
        d.settext(d.child(dialog, field), "30" if field == SETTLE else "")
    s.shot(dialog, "rollout-dialog")
    # The runs below do not look at the settle period: 5 answers a second apart.
    d.settext(d.child(dialog, SETTLE), "1")
    d.click(d.child(dialog, IDOK))
    t.true("OK closes the dialog", d.gone(dialog, 5000))
    t.check("kept in its own value", "on 1 2 1", s.registry_value("Rollout"))
    t.check("transfers at once kept in theirs", "4", s.registry_value("TransfersAtOnce"))
    t.check("the settle period and no recheck kept in theirs", ("1", "0"),
            (s.registry_value("SettleSeconds"), s.registry_value("RecheckMinutes")))

    dialog = open_dialog(s, list_view)
    if not dialog:
        return False
    t.check("the dialog shows what was kept", (True, "1", "2", "1", "4", "1", ""), fields(s, dialog))
    d.settext(d.child(dialog, FIRST), "7")
    d.click(d.child(dialog, IDCANCEL))
    d.gone(dialog, 5000)
    t.check("Cancel keeps nothing", "on 1 2 1", s.registry_value("Rollout"))
    return True


def set_rollout(s, list_view, waves, at_once):
    """The dialog set and closed with OK."""
    d = s.driver
    dialog = open_dialog(s, list_view)
    if not dialog:
        return
    if d.checked(d.child(dialog, WAVES)) != waves:
        d.click(d.child(dialog, WAVES))
        wait_until(lambda: d.checked(d.child(dialog, WAVES)) == waves, 3)
    d.settext(d.child(dialog, AT_ONCE), str(at_once))
    d.click(d.child(dialog, IDOK))
    t.true("the dialog closes", d.gone(dialog, 5000))


def run_window(s):
    return s.driver.find(RUN_TITLE, 10000)


def wave_rows(s, window):
    """The rollout window's waves: (planned, sending, settled, failed, not started) per wave."""
    return [tuple(int(c) for c in r["cells"][1:6]) for r in s.driver.rows(s.driver.child(window, RUN_WAVES))]


def run_text(s, window, control):
    try:
        return s.driver.text(s.driver.child(window, control))
    except DriverError:
        return None


def kept_rows(box):
    """The kept report of a report box (its last line names it), as dicts."""
    line = box["text"].split("\r\n")[-1] if box else ""
    path = unix_path(line[len("Report saved: "):]) if line.startswith("Report saved: ") else None
    if not path or not os.path.exists(path):
        return []
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def main_buttons_held(s):
    """Upgrade, Discover, Remove and Open greyed while the main window is usable."""
    d = s.driver
    return (d.enabled(s.main), [d.enabled(s.control(c)) for c in (UPGRADE, DISCOVER, REMOVE, OPEN)])


def results(s):
    return {ip: r["cells"][RESULT] for ip, r in s.rows_by_ip().items()}


def report_lines(box):
    """The report's lines without the last one, which names the kept file."""
    lines = box["text"].split("\r\n") if box else []
    saved = lines.pop() if lines else ""
    t.true("the last line names the kept file (%s)" % saved, saved.startswith("Report saved: "))
    return card_lines(lines)


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
    window = run_window(s)
    t.true("the rollout window shows the run", window)
    if window:
        said = wait_until(lambda: run_text(s, window, RUN_WAIT) == "Waiting for checks of wave 1.", 20)
        t.true("it says what the run waits for (%r)" % run_text(s, window, RUN_WAIT), said)
        t.true("the time since the start goes",
               wait_until(lambda: run_text(s, window, RUN_ELAPSED) not in (None, "Elapsed: 0:00:00"), 5))
        s.shot(window, "rollout-window")
        planned = [w[0] for w in wave_rows(s, window)]
        t.check("the cards planned per wave", [1, 2], planned)
        t.check("the main window usable, its changing buttons greyed", (True, [False] * 4), main_buttons_held(s))
        t.check("its rows readable meanwhile", sorted(CARDS + SLOW), sorted(s.rows_by_ip()))
    started = time.monotonic()
    report = d.msgbox(INFORMATION, 60000)
    t.true("one report box at the end (%.0f s)" % (time.monotonic() - started), report)
    if report:
        s.shot(report["hwnd"], "rollout-report")
    t.check("one line per card, in table order", [ip + " OK." for ip in BATCH_ORDER], report_lines(report))
    t.check("a report with nothing wrong has the information icon", "information", report and d.icon(report["hwnd"]))
    t.check("no second report box", 1, len(d.findall(INFORMATION)))
    if report:
        d.answer(report["hwnd"], IDOK)
    wait_until(lambda: d.enabled(s.control(DISCOVER)), 5)
    t.true("the rollout window closes with the report", not d.findall(RUN_TITLE))

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
    lines = report_lines(report)
    t.check("first line says it halted and why, then one line per card", [
        "Rollout halted in wave 1: %s refused (\"Upgrade not allowed !\"); 2 cards not started."
        % BATCH_ORDER[0],
        BATCH_ORDER[0] + " Upgrade not allowed !",
        BATCH_ORDER[1] + " Not started : rollout halted .",
        BATCH_ORDER[2] + " Not started : rollout halted ."], lines)
    t.check("a halt has the warning icon", "warning", report and d.icon(report["hwnd"]))
    if report:
        d.answer(report["hwnd"], IDOK)
    t.check("the cards not started were sent nothing", [BATCH_ORDER[0]],
            [r["ip"] for r in s.records()[seen:] if r["event"] == "wrq"])


def gated(s, list_view):
    """The dialog's policy fields (a bad time refused by name, the rest
    kept in their own value), then a rollout whose next wave a person opens:
    after wave 1 settles the rollout window says so with its counts, wave 2
    gets no write request, and Resume starts it."""
    d = s.driver
    s.reload_fleet(GATED_FLEET)
    dialog = open_dialog(s, list_view)
    if not dialog:
        return
    t.check("the policy's fields empty, the gate off, at first", ("", "10", "", "given", False),
            tuple(d.text(d.child(dialog, i)) for i in (UNREACHABLE, MIN_SETTLED, DELAY, ORDER)) +
            (d.checked(d.child(dialog, GATE)),))
    no_text_cut(s, dialog)
    d.settext(d.child(dialog, DELAY), "2 hours")
    d.click(d.child(dialog, IDOK))
    box = d.msgbox(CONFIRM, 5000)
    t.check("a bad time between waves is refused by its name",
            'Time between waves: "2 hours" is not a time like 30m, 2h or 1d.', box and box["text"])
    if box:
        d.answer(box["hwnd"], IDOK)
    d.settext(d.child(dialog, DELAY), "")
    d.settext(d.child(dialog, UNREACHABLE), "2")
    d.settext(d.child(dialog, ORDER), "spread")
    d.click(d.child(dialog, GATE))
    wait_until(lambda: d.checked(d.child(dialog, GATE)), 3)
    s.shot(dialog, "rollout-dialog-policy")
    d.click(d.child(dialog, IDOK))
    t.true("OK closes the dialog", d.gone(dialog, 5000))
    t.check("the policy kept in its own value", "unreachable=2 gate=manual order=spread",
            s.registry_value("RolloutPolicy"))

    image = s.make_image("fw5.bin", "--version", "1.07", "--size", "6000")
    seen = len(s.records("wrq"))
    upgrade(s, image, CARDS)
    window = run_window(s)
    t.true("the rollout window shows the gated run", window)
    if window:
        held = wait_until(lambda: run_text(s, window, RUN_WAIT) ==
                          "Waiting for Resume to start wave 2 (2 cards).", 60)
        t.true("after wave 1 it waits for Resume (%r)" % run_text(s, window, RUN_WAIT), held)
        t.check("with wave 1's counts, Resume offered", ("Wave 1 settled: 1 applied, 0 failed.", True),
                (run_text(s, window, RUN_STATE), d.enabled(d.child(window, RESUME))))
        time.sleep(1)
        t.check("wave 2 gets no write request before it", WAVE_1, wrqs(s, CARDS, seen))
        s.shot(window, "rollout-gate")
        d.click(d.child(window, RESUME))
    report = d.msgbox(INFORMATION, 60000)
    t.check("Resume opened it: every card in", [ip + " OK." for ip in BATCH_ORDER], report_lines(report))
    t.check("every card written to", CARDS, wrqs(s, CARDS, seen))
    if report:
        d.answer(report["hwnd"], IDOK)
    wait_until(lambda: d.enabled(s.control(DISCOVER)), 5)
    # The later runs go without the policy.
    dialog = open_dialog(s, list_view)
    if dialog:
        for field in (UNREACHABLE, ORDER):
            d.settext(d.child(dialog, field), "")
        d.click(d.child(dialog, GATE))
        wait_until(lambda: not d.checked(d.child(dialog, GATE)), 3)
        d.click(d.child(dialog, IDOK))
        d.gone(dialog, 5000)
    t.check("and none kept", "", s.registry_value("RolloutPolicy"))


def wrqs(s, ips, seen):
    return [r["ip"] for r in s.records("wrq")[seen:] if r["ip"] in ips]


def at_once(s, list_view, image):
    """Six slow cards, five at a time, paused and resumed."""
    d = s.driver
    set_rollout(s, list_view, False, 5)
    s.check_cards(CARDS, False)
    seen = len(s.records("wrq"))
    cards = SLOW[1:]
    upgrade(s, image, cards)
    window = run_window(s)
    t.true("more than four at once: the rollout window", window)
    running = wait_until(lambda: len(wrqs(s, SLOW, seen)) == 5, 15)
    t.true("five transfers at once (%d)" % len(wrqs(s, SLOW, seen)), running)
    percent = wait_until(lambda: [ip for ip, r in results(s).items()
                                  if re.fullmatch(r"sending \d+ %", r) and r != "sending 0 %"], 10)
    t.true("the Result column shows each transfer's percentage (%r)" % results(s), percent)
    t.check("no progress window above four at once", {}, s.session_windows())
    if not window:
        return
    d.click(d.child(window, PAUSE))
    started = wrqs(s, SLOW, seen)
    finished = wait_until(lambda: all(not results(s)[ip].startswith("sending") for ip in started), 20)
    t.true("paused: the running transfers finish (%r)" % results(s), finished)
    t.check("and no other starts", started, wrqs(s, SLOW, seen))
    t.true("it says so", "Paused" in (run_text(s, window, RUN_STATE) or ""))
    t.check("Pause greyed, Resume not", (False, True),
            (d.enabled(d.child(window, PAUSE)), d.enabled(d.child(window, RESUME))))
    d.click(d.child(window, RESUME))
    rest = wait_until(lambda: len(wrqs(s, SLOW, seen)) == 6, 10)
    t.true("Resume sends the rest", rest)
    report = d.msgbox(INFORMATION, 30000)
    t.check("every card in", sorted(ip + " OK." for ip in cards), sorted(report_lines(report)))
    t.check("the cards went in table order", cards, wrqs(s, SLOW, seen))
    if report:
        d.answer(report["hwnd"], IDOK)
    wait_until(lambda: d.enabled(s.control(DISCOVER)), 5)


def stopped(s, list_view, image):
    """Stop while the rollout waits for the checks of wave 1."""
    d = s.driver
    set_rollout(s, list_view, True, 4)
    s.check_cards(SLOW, False)
    cards = SLOW[:3]
    upgrade(s, image, cards)
    window = run_window(s)
    waits = window and wait_until(lambda: results(s).get(cards[0]) == "OK, checking ..." and
                                  run_text(s, window, RUN_WAIT) == "Waiting for checks of wave 1.", 20)
    t.true("waiting for the checks of wave 1 (%r)" % results(s).get(cards[0]), waits)
    if not waits:
        return
    d.click(d.child(window, RUN_STOP))
    box = d.msgbox(CONFIRM, 5000)
    t.true("Stop asks once", box and box["text"].startswith("Stop the rollout ?"))
    if box:
        d.answer(box["hwnd"], IDYES)
    report = d.msgbox(INFORMATION, 10000)
    lines = report_lines(report)
    t.check("stopped: the cards not started say so", [
        "Stopped by the operator: 2 cards not started.", cards[0] + " OK.", cards[1] + STOPPED,
        cards[2] + STOPPED], lines)
    t.check("a stop has the warning icon", "warning", report and d.icon(report["hwnd"]))
    rows = kept_rows(report)
    t.check("its kept report: every card, none pending", [
        (cards[0], "ok", "OK."), (cards[1], "not_started", STOPPED.strip()),
        (cards[2], "not_started", STOPPED.strip())],
        [(r["ip"], r["result"], r["message"]) for r in rows])
    if report:
        d.answer(report["hwnd"], IDOK)
    wait_until(lambda: d.enabled(s.control(DISCOVER)), 5)


def quit_during(s, image):
    """Quit while wave 1 sends (a 20000-byte image: about 10 s): No changes
    nothing, Yes stops and quits."""
    d = s.driver
    s.check_cards(SLOW[:3], False)
    cards = SLOW[3:6]
    upgrade(s, image, cards)
    window = run_window(s)
    sending = window and wait_until(lambda: results(s).get(cards[0]) == "Sending ...", 10)
    t.true("wave 1 sends", sending)
    d.click(s.quit_button())
    box = d.msgbox(CONFIRM, 5000)
    t.check("Quit names the run", "A rollout is running: 2 cards not started. Stop it and quit ?",
            box and box["text"])
    if box:
        d.answer(box["hwnd"], IDNO)
    t.check("No changes nothing", (True, True, [False] * 4),
            (s.is_open(window), *main_buttons_held(s)))
    d.click(s.quit_button())
    box = d.msgbox(CONFIRM, 5000)
    if box:
        d.answer(box["hwnd"], IDYES)
    report = d.msgbox(INFORMATION, 10000)
    lines = report_lines(report)
    t.check("Yes stops it: the report", ["Stopped by the operator: 2 cards not started.",
                                         cards[0] + " User Aborted !", cards[1] + STOPPED, cards[2] + STOPPED],
            lines)
    rows = kept_rows(report)
    t.check("the kept report has no pending row", ["aborted", "not_started", "not_started"],
            [r["result"] for r in rows])
    if report:
        d.answer(report["hwnd"], IDOK)
    try:
        s.program.wait(timeout=15)
        ended = True
    except subprocess.TimeoutExpired:
        ended = False
    t.true("and the program quits", ended)


def main():
    started = time.monotonic()
    with Scene(FLEET, cardsim_args=["--restart", "1", "--restart_fw", "1.05"]) as s:
        s.start_program()
        list_view = s.control(LIST)
        s.discover()
        rows = s.wait_rows(lambda r: len(r) == 10 and all(x["image"] == ICON_READY for x in r.values()), 10)
        t.check("fleet listed", sorted(CARDS + SLOW), sorted(rows))
        t.true("rows in address order", s.sort_by_ip())
        if set_up_rollout(s, list_view):
            seen = two_waves(s)
            halted(s, seen)
            gated(s, list_view)
            image = s.path("fw2.bin")
            at_once(s, list_view, image)
            stopped(s, list_view, s.make_image("fw3.bin", "--version", "1.07", "--size", "6000"))
            quit_during(s, s.make_image("fw4.bin", "--version", "1.07", "--size", "20000"))
    print("rollout scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
