#!/usr/bin/env python3
"""The driver operating a small target window through every command.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/uidrive_test.py build/windows

The target (tests/wine/uidrive/target.cpp) logs what it receives; each check
compares the driver's readings with that log. Ends with "N passed, M failed".
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from uidrive import (Driver, DriverError, escape, records, start, unescape, unmanaged_windows,  # noqa: E402
                     wait_until, windows_path)

TITLE = "uidrive target"
LIST, ASK, DIALOG, EDIT, DISABLED, LOG, QUIT = 100, 201, 202, 203, 204, 205, 206
FITS, CUT, CUT_BUTTON, ASK_LABEL = 207, 208, 209, 210
DIALOG_EDIT = 301
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
ROWS = [["beta", "2", "second"], ["alpha", "1", "first"], ["gamma", "3", "third"]]


class Target:
    """One run of the target program and a cursor over its log."""

    def __init__(self, driver, exe, work):
        self.log = os.path.join(work, "target-%d.log" % time.monotonic_ns())
        open(self.log, "w").close()
        self.seen = 0
        self.proc = start(exe, windows_path(self.log))
        self.d = driver
        self.main = driver.find(TITLE, 30000)
        assert self.main, "target window did not appear"
        self.expect("ready")
        self.list = driver.child(self.main, LIST)

    def lines(self):
        with open(self.log, encoding="latin-1") as f:
            return f.read().splitlines()

    def expect(self, line, timeout=5):
        """Waits for line among the log lines not yet consumed."""
        def found():
            rest = self.lines()[self.seen:]
            return rest.index(line) + 1 if line in rest else 0
        at = wait_until(found, timeout)
        assert at, "target never logged %r; log after the cursor: %r" % (line, self.lines()[self.seen:])
        self.seen += at

    def quiet(self, line):
        """The line is not among the log lines not yet consumed."""
        assert line not in self.lines()[self.seen:], "unexpected %r" % line

    def end(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


def raises(fn, *args):
    try:
        fn(*args)
    except DriverError as e:
        return str(e)
    raise AssertionError("%s%r did not fail" % (fn.__name__, args))


# The checks, each given the driver and a fresh target.

def test_codec(d, t):
    tricky = "a\tb|c\\d\ne\x01 f"
    assert unescape(escape(tricky)) == tricky
    assert "\t" not in escape(tricky) and "|" not in escape(tricky) and "\n" not in escape(tricky)
    assert records("1\ta\\tb|2\t\\x7c") == [["1", "a\tb"], ["2", "|"]]
    assert unescape("\\x4") == "\\x4" and unescape("end\\") == "end\\"
    # The same text through the helper's codec, into the control and back.
    edit = d.child(t.main, EDIT)
    d.settext(edit, tricky.replace("\n", " "))
    assert d.text(edit) == tricky.replace("\n", " ")
    d.settext(edit, "")
    assert d.text(edit) == ""


def test_find_windows(d, t):
    assert d.find("class:UidriveTarget") == t.main
    assert d.find("prefix:uidrive t") == t.main
    assert d.findall(TITLE) == [t.main]
    began = time.monotonic()
    assert d.find("no such window", 300) is None
    assert 0.25 < time.monotonic() - began < 5
    mine = [w for w in d.windows() if w["hwnd"] == t.main]
    assert len(mine) == 1 and mine[0]["title"] == TITLE and mine[0]["class"] == "UidriveTarget"
    assert mine[0]["visible"] and mine[0]["enabled"] and mine[0]["pid"] > 0
    assert not d.gone(t.main, 100)


def test_children_and_texts(d, t):
    kids = {c["id"]: c for c in d.children(t.main)}
    assert kids[LIST]["class"] == "SysListView32"
    assert any(c["class"] == "SysHeader32" and c["parent"] == t.list for c in kids.values())
    assert [kids[i]["text"] for i in (ASK, DIALOG, LOG, QUIT)] == ["Ask", "Dialog", "Log", "Quit"]
    assert not kids[DISABLED]["enabled"] and kids[ASK]["enabled"]
    assert kids[DISABLED]["style"] & 0x08000000  # WS_DISABLED
    assert d.child(t.main, ASK) == kids[ASK]["hwnd"] and d.child(t.main, 999) is None
    header = [c["hwnd"] for c in kids.values() if c["class"] == "SysHeader32"][0]
    assert d.child(t.main, 0, "SysHeader32") == header and d.child(t.main, ASK, "Edit") is None
    assert d.text(kids[ASK]["hwnd"]) == "Ask" and d.text(t.main) == TITLE
    assert d.enabled(kids[ASK]["hwnd"]) and not d.enabled(kids[DISABLED]["hwnd"])
    assert d.visible(t.list)
    left, top, right, bottom = d.rect(t.main)
    assert (right - left, bottom - top) == (600, 260)
    l2, t2, r2, b2 = d.rect(kids[ASK]["hwnd"])
    assert left <= l2 < r2 <= right and top <= t2 < b2 <= bottom


def test_fit(d, t):
    """A label that wraps past its height and a button narrower than its
    caption are cut; the rest fits."""
    fits = {f["id"]: f for f in d.fit(t.main)}
    cut = {f["id"] for f in fits.values() if f["need"][0] > f["room"][0] or f["need"][1] > f["room"][1]}
    assert cut == {CUT, CUT_BUTTON}, fits
    assert fits[CUT]["room"] == (60, 18) and fits[CUT]["need"][1] > 18, fits[CUT]
    assert fits[-1]["class"] == "caption" and fits[-1]["text"] == TITLE
    assert {ASK, DIALOG, FITS} <= set(fits) and EDIT not in fits  # an empty field has nothing to cut
    # A button's text needs more room than the same text as a label: its frame.
    assert fits[ASK]["need"][0] > fits[ASK_LABEL]["need"][0], (fits[ASK], fits[ASK_LABEL])
    assert d.cut_texts(t.main) and all("needs" in line for line in d.cut_texts(t.main))


def test_rows(d, t):
    rows = d.rows(t.list)
    assert [r["cells"] for r in rows] == ROWS
    assert [r["image"] for r in rows] == [0, 1, 2]
    assert [r["check"] for r in rows] == [1, 0, 0]
    assert [r["index"] for r in rows] == [0, 1, 2]
    assert not any(r["selected"] for r in rows)
    assert "not a list view" in raises(d.rows, t.main)


def test_check_and_select(d, t):
    d.check(t.list, 1, True)
    t.expect("check 1 1")
    d.check(t.list, 0, False)
    t.expect("check 0 0")
    assert [r["check"] for r in d.rows(t.list)] == [0, 1, 0]
    d.select(t.list, 2, True)
    t.expect("select 2 1")
    d.select(t.list, 0, True)
    assert [r["selected"] for r in d.rows(t.list)] == [True, False, True]
    d.select(t.list, -1, False)
    assert not any(r["selected"] for r in d.rows(t.list))
    assert "no row 3" in raises(d.check, t.list, 3, True)
    assert "no row" in raises(d.select, t.list, -2, True)


def test_dblclick(d, t):
    for row in (2, 0, 1):
        x, y = d.dblclick(t.list, row)
        t.expect("dblclick %d" % row)
        left, top, right, bottom = d.rect(t.list)
        assert left < x < right and top < y < bottom
    # The click selected the row, as a mouse click does.
    assert [r["selected"] for r in d.rows(t.list)] == [False, True, False]


def test_header_sorts(d, t):
    d.header(t.list, 0)
    t.expect("sort 0 up")
    assert [r["cells"][0] for r in d.rows(t.list)] == ["alpha", "beta", "gamma"]
    d.header(t.list, 0)
    t.expect("sort 0 down")
    assert [r["cells"][0] for r in d.rows(t.list)] == ["gamma", "beta", "alpha"]
    d.header(t.list, 2)
    t.expect("sort 2 up")
    rows = d.rows(t.list)
    assert [r["cells"][2] for r in rows] == ["first", "second", "third"]
    # Images and checks travel with their rows.
    assert [(r["image"], r["check"]) for r in rows] == [(1, 0), (0, 1), (2, 0)]
    assert "no column 3" in raises(d.header, t.list, 3)


def test_typing(d, t):
    edit = d.child(t.main, EDIT)
    d.settext(edit, "hello")
    d.setfocus(edit)
    d.key(edit, "END")
    d.type(edit, " world")
    assert d.text(edit) == "hello world"
    d.click(d.child(t.main, LOG))
    t.expect("edit hello world")
    d.key(edit, "BACK")
    assert d.text(edit) == "hello worl"


def test_refused_clicks(d, t):
    assert "disabled" in raises(d.click, d.child(t.main, DISABLED))
    assert "no window 0x12345678" in raises(d.click, 0x12345678)
    assert "usage" in raises(d.call, "rows")
    assert "unknown command" in raises(d.call, "frobnicate")
    assert "usage" in raises(d.key, t.main, "NOSUCHKEY")


def test_message_box(d, t):
    for button, word in ((IDNO, "no"), (IDYES, "yes")):
        d.click(d.child(t.main, ASK))
        box = d.msgbox("uidrive question", 5000)
        assert box and box["text"] == "Sure ?" and box["title"] == "uidrive question"
        assert sorted(box["buttons"]) == [IDYES, IDNO]
        assert box["buttons"][IDYES].replace("&", "") == "Yes"
        assert d.msgbox("*") == box
        d.answer(box["hwnd"], button)
        assert d.gone(box["hwnd"], 5000)
        t.expect("ask " + word)
    assert d.msgbox("uidrive question", 100) is None


def test_dialog(d, t):
    d.click(d.child(t.main, DIALOG))
    dlg = d.find("uidrive dialog", 5000)
    assert dlg and d.find("class:#32770") == dlg
    # The main window is disabled under a modal dialog: no clicks there.
    assert not d.enabled(t.main)
    assert "disabled" in raises(d.click, d.child(t.main, ASK))
    d.type(d.child(dlg, DIALOG_EDIT), "typed")
    d.answer(dlg, IDOK)
    t.expect("dialog ok typed")
    assert d.gone(dlg, 5000) and d.enabled(t.main)
    # Keys posted into the dialog's modal loop: Tab moves on, Esc cancels,
    # Enter presses the default button.
    d.click(d.child(t.main, DIALOG))
    dlg = d.find("uidrive dialog", 5000)
    edit = d.child(dlg, DIALOG_EDIT)
    assert d.focus(dlg)[0] == edit
    d.key(edit, "TAB")
    assert d.focus(dlg)[0] == d.child(dlg, IDOK)
    d.key(d.child(dlg, IDOK), "ESC")
    t.expect("dialog cancel")
    assert d.gone(dlg, 5000)
    d.click(d.child(t.main, DIALOG))
    dlg = d.find("uidrive dialog", 5000)
    d.type(d.child(dlg, DIALOG_EDIT), "entered")
    d.key(d.child(dlg, DIALOG_EDIT), "RETURN")
    t.expect("dialog ok entered")
    assert d.gone(dlg, 5000)


def test_focus_and_keys(d, t):
    edit, log_button = d.child(t.main, EDIT), d.child(t.main, LOG)
    d.setfocus(edit)
    assert d.focus()[:2] == (edit, t.main)
    assert d.focus(t.main)[0] == edit
    d.key(edit, "TAB")
    t.expect("focus %d" % LOG)
    assert d.focus()[0] == log_button
    d.key(edit, "ESC")
    t.expect("accel esc")
    d.key(edit, "Q", "alt")
    t.expect("accel altq")
    # The modifier is released again: a plain Q is no accelerator.
    d.key(edit, "Q")
    d.key(t.list, "DELETE")
    t.expect("listkey 46")
    t.quiet("accel altq")
    # Real key input through the foreground window's queue.
    assert d.press("ESC", hwnd=t.list) == t.main
    t.expect("accel esc")
    assert d.focus()[0] == t.list
    d.press("Q", "alt", t.list)
    t.expect("accel altq")


def test_screenshot(d, t):
    folder = os.environ.get("DAVERIDUR_SHOTS") or tempfile.mkdtemp(prefix="uidrive-shots-")
    os.makedirs(folder, exist_ok=True)
    d.check(t.list, 2, True)
    d.select(t.list, 1, True)
    png = d.shot_png(t.main, os.path.join(folder, "uidrive-target.png"))
    size = subprocess.run(["identify", "-format", "%w %h", png], capture_output=True, text=True, check=True).stdout
    assert size == "600 260", size
    colours = subprocess.run(["convert", png, "-format", "%k", "info:"], capture_output=True, text=True,
                             check=True).stdout
    assert int(colours) > 16, "a flat picture: %s colours" % colours
    print("    screenshot: %s" % png)


def test_close_and_quit(d, t):
    d.click(d.child(t.main, QUIT))
    t.expect("destroyed")
    assert d.gone(t.main, 5000)
    assert wait_until(lambda: t.proc.poll() is not None, 10)
    assert "no window" in raises(d.text, t.main)  # the handle is dead


def test_close_box(d, t):
    d.close_window(t.main)
    t.expect("close")
    assert d.gone(t.main, 5000)


TESTS = [test_codec, test_find_windows, test_children_and_texts, test_fit, test_rows, test_check_and_select, test_dblclick,
         test_header_sorts, test_typing, test_refused_clicks, test_message_box, test_dialog, test_focus_and_keys,
         test_screenshot, test_close_and_quit, test_close_box]


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/windows")
    helper = os.path.join(build, "tools/uidrive/uidrive.exe")
    target = os.path.join(build, "tests/wine/uidrive/uidrive_target.exe")
    for exe in (helper, target):
        if not os.path.exists(exe):
            print("missing %s (build the Windows tree first)" % exe)
            return 2
    for tool in ("convert", "identify"):
        if not shutil.which(tool):
            print("missing ImageMagick's %s" % tool)
            return 2
    if not os.environ.get("DAVERIDUR_USE_DISPLAY"):
        unmanaged_windows()
    work = tempfile.mkdtemp(prefix="uidrive-test-")
    passed = failed = 0
    with Driver(helper) as d:
        for test in TESTS:
            began = time.monotonic()
            t = None
            try:
                t = Target(d, target, work)
                test(d, t)
                passed += 1
                print("PASS %s (%.1f s)" % (test.__name__, time.monotonic() - began))
            except Exception:  # one broken check must not stop the others
                failed += 1
                print("FAIL %s" % test.__name__)
                traceback.print_exc(file=sys.stdout)
            finally:
                if t:
                    t.end()
                    d.gone(t.main, 5000)
    shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
