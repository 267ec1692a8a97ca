"""Quit, driven from outside the program: Esc, Alt+Q, the Quit button and
the close box each ask; No keeps everything; a second start raises the
running instance and starts nothing else; Yes ends the program within about
4 s.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_quit.py"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import CONFIRM, ICON_READY, LIST, MAIN_CLASS, Scene, Tally
from uidrive import start, wait_until

FLEET = "ip=10.69.0.61 mac=00-0a-ff-00-00-61 fw=1.02\n"
QUESTION = "Are you sure to quit ?"
IDYES, IDNO = 6, 7

t = Tally()


def state(s):
    """What No must leave as it was."""
    d = s.driver
    return (s.program.poll(), d.findall("class:" + MAIN_CLASS), d.enabled(s.main),
            [r["cells"] for r in s.rows()])


def ways_to_ask(s):
    d = s.driver
    list_view = s.control(LIST)
    ways = [
        ("Esc", lambda: d.press("ESC", "-", list_view)),
        ("Alt+Q", lambda: d.press("Q", "alt", list_view)),
        ("posted Esc", lambda: d.key(list_view, "ESC")),
        ("Quit button", lambda: d.click(s.quit_button())),
        ("close box", lambda: d.close_window(s.main)),
    ]
    before = state(s)
    for name, act in ways:
        act()
        box = d.msgbox(CONFIRM, 5000)
        t.check("%s asks" % name, (QUESTION, {IDYES: "&Yes", IDNO: "&No"}), box and (box["text"], box["buttons"]))
        if not box:
            continue
        if name == "close box":
            s.shot(box["hwnd"], "quit-question")
        d.answer(box["hwnd"], IDNO)
        d.gone(box["hwnd"], 5000)
        time.sleep(0.5)
        t.check("%s, No: everything stays" % name, before, state(s))
        t.check("%s: one question only" % name, None, d.msgbox(CONFIRM, 200))


def second_start(s):
    """Another program in front, then a second start: the first instance
    comes to the front and the second ends."""
    d = s.driver
    notepad = start("notepad.exe")
    try:
        other = d.find("prefix:Untitled", 30000)
        if other:
            d.foreground(other)
            wait_until(lambda: d.focus()[2] == other, 5)
        t.true("another window in front first", other and d.focus()[2] == other)
        second = start(os.path.join(s.windows, "app/daveridur.exe"))
        try:
            code = second.wait(timeout=30)
        except subprocess.TimeoutExpired:
            second.kill()
            code = "still running"
        t.check("second start ends at once", 0, code)
        t.true("the first instance is raised", wait_until(lambda: d.focus()[2] == s.main, 5))
        t.check("one main window, the first still running", ([s.main], None),
                (d.findall("class:" + MAIN_CLASS), s.program.poll()))
    finally:
        notepad.kill()
        notepad.wait(timeout=10)


def yes_ends(s):
    d = s.driver
    d.close_window(s.main)
    box = d.msgbox(CONFIRM, 5000)
    t.true("close box asks before Yes", box)
    if not box:
        return
    began = time.monotonic()
    d.answer(box["hwnd"], IDYES)
    try:
        code = s.program.wait(timeout=15)
    except subprocess.TimeoutExpired:
        code = None
    took = time.monotonic() - began
    t.check("Yes ends the program with exit code 0", 0, code)
    t.true("within about 4 s (%.1f s)" % took, took < 4.5)
    t.check("no window left", [], d.findall("class:" + MAIN_CLASS))


def main():
    started = time.monotonic()
    with Scene(FLEET) as s:
        s.start_program()
        s.add_card("10.69.0.61")
        s.wait_rows(lambda r: r.get("10.69.0.61", {}).get("image") == ICON_READY, 5)
        ways_to_ask(s)
        second_start(s)
        yes_ends(s)
    print("quit scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
