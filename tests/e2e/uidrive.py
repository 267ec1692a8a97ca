"""Client of uidrive.exe: operates Windows programs under Wine from outside
their processes, as an operator would.

Run inside scripts/wine-run.sh (which provides WINE, WINEPREFIX and DISPLAY),
so that the helper shares the wineserver and display of the program it drives.

    d = Driver(build_dir + "/tools/uidrive/uidrive.exe")
    proc = start(build_dir + "/app/daveridur.exe")
    main = d.find("class:DaveridurClassName", 10000)
    rows = d.rows(d.child(main, 1))
"""

import os
import select
import subprocess
import time

ANSWER_TIMEOUT_S = 150  # the helper caps its own waits at 120 s


class DriverError(Exception):
    """The helper answered ERR, or stopped answering."""


def escape(text):
    out = []
    for ch in text:
        code = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif code < 0x20 or code == 0x7F or ch == "|":
            out.append("\\x%02x" % code)
        else:
            out.append(ch)
    return "".join(out)


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        ch = text[i]
        if ch != "\\" or i + 1 == len(text):
            out.append(ch)
            i += 1
            continue
        e = text[i + 1]
        i += 2
        if e == "t":
            out.append("\t")
        elif e == "n":
            out.append("\n")
        elif e == "r":
            out.append("\r")
        elif e == "s":
            out.append(" ")
        elif e == "x" and _is_hex(text[i:i + 2]):
            out.append(chr(int(text[i:i + 2], 16)))
            i += 2
        elif e == "x":
            out.append("\\x")
        else:
            out.append(e)
    return "".join(out)


def _is_hex(pair):
    return len(pair) == 2 and all(c in "0123456789abcdefABCDEF" for c in pair)


def records(payload):
    """Splits an answer into records of unescaped fields."""
    if payload == "":
        return []
    return [[unescape(f) for f in rec.split("\t")] for rec in payload.split("|")]


def hwnd_or_none(text):
    return None if text == "none" else int(text, 0)


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    return env


def wine_loader():
    return os.environ.get("WINE", "/usr/lib/wine/wine64")


def windows_path(path):
    """A Unix path as Wine programs see it (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def unix_path(windows_path):
    """C:\\... of the run's prefix as a Linux path."""
    drive, _, rest = windows_path.partition(":\\")
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    return os.path.join(prefix, "drive_c", *rest.split("\\")) if drive.upper() == "C" else windows_path


def unmanaged_windows():
    """Tells Wine's X11 driver not to hand top-level windows to a window
    manager. Under a bare Xvfb there is none, and every window that hides
    would otherwise stall its program for 2 s waiting for one to confirm.
    Affects programs started afterwards in this prefix."""
    subprocess.run([wine_loader(), "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N",
                    "/f"], env=wine_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                   timeout=120)


def start(exe_path, *args, log=None):
    """Starts a Windows program under Wine in the background."""
    out = open(log, "ab") if log else subprocess.DEVNULL
    return subprocess.Popen([wine_loader(), exe_path, *args], env=wine_env(), stdin=subprocess.DEVNULL,
                            stdout=out, stderr=subprocess.STDOUT)


def wait_until(predicate, timeout, interval=0.05):
    """Calls predicate until it returns something true; returns that value,
    or the last false one when timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Driver:
    """One uidrive.exe process; each method is one command."""

    def __init__(self, exe_path):
        self.proc = subprocess.Popen([wine_loader(), exe_path], env=wine_env(), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        self._pending = b""
        self.call("ping", timeout=60)  # the first Wine start in a prefix is slow

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise DriverError("no answer from uidrive within %.0f s" % timeout)
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    try:
                        status = self.proc.wait(timeout=5)
                    except subprocess.TimeoutExpired:
                        status = None
                    raise DriverError("uidrive ended (exit status %s, DISPLAY %r)"
                                      % (status, os.environ.get("DISPLAY")))
                self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode("latin-1").rstrip("\r")

    def call(self, command, *args, timeout=ANSWER_TIMEOUT_S):
        """Sends one command; returns the answer's payload (after "OK ")."""
        fields = [command] + [escape(str(a)) for a in args]
        line = "\t".join(fields) if args else command
        self.proc.stdin.write((line + "\n").encode("latin-1"))
        self.proc.stdin.flush()
        answer = self._read_line(timeout)
        if answer.startswith("OK"):
            return answer[3:]
        if answer.startswith("ERR"):
            raise DriverError("%s: %s" % (command, unescape(answer[4:])))
        raise DriverError("%s: unexpected answer %r" % (command, answer))

    # Windows

    def windows(self):
        return [{"hwnd": int(r[0], 0), "pid": int(r[1]), "class": r[2], "title": r[3],
                 "visible": r[4] == "1", "enabled": r[5] == "1"} for r in records(self.call("windows"))]

    def find(self, plan, timeout_ms=0):
        """A visible top-level window by exact title, "class:NAME" or
        "prefix:TEXT"; None when none appears within timeout_ms."""
        return hwnd_or_none(self.call("find", plan, timeout_ms))

    def findall(self, plan):
        return [int(r[0], 0) for r in records(self.call("findall", plan))]

    def gone(self, hwnd, timeout_ms):
        """True when the window is destroyed or hidden within timeout_ms."""
        return self.call("gone", hex(hwnd), timeout_ms) == "gone"

    def child(self, hwnd, control_id, cls=None):
        """The first descendant with that id (and window class, when given:
        the open-file dialog's name field 1148 is a ComboBoxEx32 holding a
        ComboBox and an Edit of the same id)."""
        args = [hex(hwnd), control_id] + ([cls] if cls else [])
        return hwnd_or_none(self.call("child", *args))

    def children(self, hwnd):
        return [{"hwnd": int(r[0], 0), "id": int(r[1]), "class": r[2], "text": r[3], "visible": r[4] == "1",
                 "enabled": r[5] == "1", "style": int(r[6], 16), "parent": hwnd_or_none(r[7])}
                for r in records(self.call("children", hex(hwnd)))]

    def text(self, hwnd):
        return unescape(self.call("text", hex(hwnd)))

    def settext(self, hwnd, text):
        self.call("settext", hex(hwnd), text)

    def text_utf8(self, hwnd):
        """The text by the wide messages: any character, not only the ANSI code page's."""
        return unescape(self.call("textw", hex(hwnd))).encode("latin-1").decode("utf-8")

    def settext_utf8(self, hwnd, text):
        self.call("settextw", hex(hwnd), text.encode("utf-8").decode("latin-1"))

    def click(self, hwnd):
        """BM_CLICK, posted; refused (DriverError) for a hidden or disabled
        window, as a person could not click it either."""
        self.call("click", hex(hwnd))

    def enabled(self, hwnd):
        return self.call("enabled", hex(hwnd)) == "1"

    def visible(self, hwnd):
        return self.call("visible", hex(hwnd)) == "1"

    def checked(self, hwnd):
        """A check box's tick."""
        return self.call("checked", hex(hwnd)) == "1"

    def rect(self, hwnd):
        return tuple(int(v) for v in self.call("rect", hex(hwnd)).split("\t"))

    def resize(self, hwnd, width, height):
        """The window's outer size, as dragging its border gives it."""
        self.call("resize", hex(hwnd), width, height)

    def maximize(self, hwnd, on=True):
        """The maximise (or restore) caption button; True when maximised after."""
        return self.call("maximize", hex(hwnd), "on" if on else "off") == "1"

    def menu(self, hwnd):
        """The menu bar: (path, id, state) for each bar item and its popup's
        items, path "Bar/Item" with the menu's ampersands; state "grey",
        "separator" or "". [("", 0, "unreadable")] when the bar is there but
        its items cannot be read from another process (Wine); [] without one."""
        return [(r[0], int(r[1]), r[2]) for r in records(self.call("menu", hex(hwnd)))]

    def menu_command(self, hwnd, item_id):
        """A menu item chosen (its WM_COMMAND, posted)."""
        self.call("menucmd", hex(hwnd), item_id)

    def close_window(self, hwnd):
        """What the close box does (SC_CLOSE)."""
        self.call("close", hex(hwnd))

    def query_end_session(self, hwnd):
        """WM_QUERYENDSESSION as logoff sends it: True when the window lets it go."""
        return self.call("session", hex(hwnd), "query") == "1"

    def hold_file(self, windows_path=None):
        """Holds the file open as a spreadsheet does; None lets go."""
        self.call("hold", *([windows_path] if windows_path else []))

    def end_session(self, hwnd):
        """WM_ENDSESSION (the session ends), returning once the window handled it."""
        self.call("session", hex(hwnd), "end", timeout=30)

    # Message boxes and dialogs

    def msgbox(self, title="*", timeout_ms=0):
        """A message box by title ("*": any): dict with hwnd, text, title and
        buttons {id: text}; None when none shows within timeout_ms."""
        recs = records(self.call("msgbox", title, timeout_ms))
        if not recs or recs[0][0] == "none":
            return None
        head = recs[0]
        return {"hwnd": int(head[0], 0), "text": head[1], "title": head[2],
                "buttons": {int(r[0]): r[1] for r in recs[1:]}}

    def answer(self, hwnd, button_id):
        self.call("answer", hex(hwnd), button_id)

    # Focus and keys

    def focus(self, hwnd=None):
        """(focus, active, foreground) of the foreground thread, or of hwnd's."""
        payload = self.call("focus", hex(hwnd)) if hwnd else self.call("focus")
        return tuple(hwnd_or_none(v) for v in payload.split("\t"))

    def setfocus(self, hwnd):
        self.call("setfocus", hex(hwnd))

    def foreground(self, hwnd):
        return hwnd_or_none(self.call("foreground", hex(hwnd)))

    def key(self, hwnd, key, modifiers=""):
        """Posts a key press (WM_KEYDOWN/UP, or WM_SYSKEYDOWN/UP with Alt) to
        hwnd; modifiers "alt", "ctrl", "shift" or joined with "+"."""
        if modifiers:
            self.call("key", hex(hwnd), key, modifiers)
        else:
            self.call("key", hex(hwnd), key)

    def press(self, key, modifiers="", hwnd=None):
        """Real keyboard input (SendInput) to the foreground window, after
        bringing hwnd's window to the front and focusing hwnd when given."""
        args = [key, modifiers or "-"] + ([hex(hwnd)] if hwnd else [])
        return hwnd_or_none(self.call("press", *args))

    def type(self, hwnd, text):
        self.call("type", hex(hwnd), text)

    # List views

    def rows(self, hwnd):
        """Rows of a list view: dicts with index, image, check (-1 without
        check boxes, 0 unchecked, 1 checked), selected, focused, cells."""
        recs = records(self.call("rows", hex(hwnd)))
        out = []
        for r in recs[1:]:
            out.append({"index": int(r[0]), "image": int(r[1]), "check": int(r[2]), "selected": r[3] == "1",
                        "focused": r[4] == "1", "cells": r[5:]})
        return out

    def count(self, hwnd, wait_ms=3000):
        """The list view's row count; waits up to wait_ms for its thread."""
        return int(self.call("count", hex(hwnd), wait_ms))

    def check(self, hwnd, row, on=True):
        self.call("check", hex(hwnd), row, 1 if on else 0)

    def select(self, hwnd, row, on=True):
        """Sets one row's selected bit (row -1: every row)."""
        self.call("select", hex(hwnd), row, 1 if on else 0)

    def dblclick(self, hwnd, row):
        """Double-clicks the row's centre; returns the cursor's screen point."""
        return tuple(int(v) for v in self.call("dblclick", hex(hwnd), row).split("\t"))

    def rclick(self, hwnd, row):
        """Right-clicks the row's centre; returns the cursor's screen point."""
        return tuple(int(v) for v in self.call("rclick", hex(hwnd), row).split("\t"))

    def header(self, hwnd, column):
        self.call("header", hex(hwnd), column)

    # Pictures and time

    def shot(self, hwnd, path):
        """Saves the window's screen rectangle as a BMP (a Unix path);
        returns (width, height)."""
        payload = self.call("shot", hex(hwnd), windows_path(path))
        return tuple(int(v) for v in payload.split("\t"))

    def shot_png(self, hwnd, png_path):
        """A screenshot converted to PNG with ImageMagick; returns the path."""
        bmp = os.path.splitext(png_path)[0] + ".bmp"
        self.shot(hwnd, bmp)
        subprocess.run(["convert", bmp, png_path], check=True, timeout=60)
        os.remove(bmp)
        return png_path

    def fit(self, hwnd):
        """The window's caption (id -1) and each visible control with a text:
        dicts with hwnd, id, class, text, need and room, each (width, height)."""
        return [{"hwnd": int(r[0], 0), "id": int(r[1]), "class": r[2], "text": r[3],
                 "need": (int(r[4]), int(r[6])), "room": (int(r[5]), int(r[7]))}
                for r in records(self.call("fit", hex(hwnd)))]

    def cut_texts(self, hwnd):
        """The texts of the window that are wider or taller than their room."""
        return ["%s %r needs %dx%d, has %dx%d" % (f["class"], f["text"], *f["need"], *f["room"])
                for f in self.fit(hwnd)
                if f["need"][0] > f["room"][0] or f["need"][1] > f["room"][1]]

    def icon(self, hwnd):
        """The system icon a dialog or message box shows: "error",
        "question", "warning", "information" or "none"."""
        return records(self.call("icon", hex(hwnd)))[0][0]

    def latency(self, hwnd, ms, interval_ms):
        """WM_NULL round trips to the window for ms milliseconds, one every
        interval_ms: each one's milliseconds."""
        recs = records(self.call("latency", hex(hwnd), ms, interval_ms))
        return [float(v) for v in recs[0]] if recs else []

    def sleep(self, ms):
        self.call("sleep", ms)
