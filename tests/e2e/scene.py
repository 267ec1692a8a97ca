"""A scene for driving the real program: a simulated fleet of cards, sample
images and daveridur.exe under Wine, with the operator driver attached.
Used by the end-to-end tests and by the demo. Runs inside
scripts/netns-run.sh scripts/wine-run.sh (the private network, a Wine prefix
and display of the run's own)."""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import re
import time

from uidrive import Driver, DriverError, start, unmanaged_windows, wait_until

CAPTION = "Daveridur -- Duravore MX-2 SNMP/WEB Card Firmware Upgrade Utility  1.02 (Build 1048)"
MAIN_CLASS = "DaveridurClassName"
CONFIRM = "Daveridur -- Confirmation"
INFORMATION = "Daveridur -- Information"
DISCOVERING = "Daveridur -- Discovering UPS"

UPGRADING_PREFIX = "Upg "  # a progress window's title, then the card's address

# Main panel control ids.
LIST, ADD, MODIFY, REMOVE, DISCOVER = 1, 2, 3, 4, 5
VERSION, DATE_CODE, FILE_SIZE, OPEN, FILE_NAME, UPGRADE = 6, 7, 8, 9, 10, 11
QUIT = 2  # on the main window itself
# The progress window's percent text.
PERCENT = 1022
# Row icons.
ICON_NO_REPLY, ICON_READY, ICON_NO_WRITE = 0, 1, 2

# The demo's fleet: ready cards with older and newer firmware, a card that
# refuses writes, one that never answers, one with its own account.
DEMO_FLEET = """\
ip=10.69.0.11 mac=00-0a-ff-00-00-11 fw=1.02
ip=10.69.0.12 mac=00-0a-ff-00-00-12 fw=1.01
ip=10.69.0.13 mac=00-0a-ff-00-00-13 fw=1.04
ip=10.69.0.14 mac=00-0a-ff-00-00-14 fw=1.05
ip=10.69.0.15 mac=00-0a-ff-00-00-15 fw=2.00
ip=10.69.0.16 mac=00-0a-ff-00-00-16 fw=1.02 write=0
ip=10.69.0.17 mac=00-0a-ff-00-00-17 fw=1.03 user=service password=secret
ip=10.69.0.18 silent=1
"""


# The line that ends every report's card lines: where the cards stand.
TALLY_LINE = re.compile(r"^\d+ of \d+ cards? applied, \d+ failed, \d+ not started, \d+ skipped(, \d+ being checked)?$")


def card_lines(lines):
    """A report's lines without its count line (the kept file's line is the caller's)."""
    return [line for line in lines if not TALLY_LINE.match(line)]


def build_dirs():
    source = os.environ.get("DAVERIDUR_SOURCE") or os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))))
    return (source, os.environ.get("DAVERIDUR_BIN", os.path.join(source, "build/native")),
            os.environ.get("DAVERIDUR_WINDOWS_BIN", os.path.join(source, "build/windows")))


class Scene:
    """cardsim with the given fleet, images made by mkimage, the program and
    the driver. Use as a context manager."""

    def __init__(self, fleet=DEMO_FLEET, cardsim_args=(), shots=None, work_root=None):
        self.source, self.native, self.windows = build_dirs()
        if work_root:
            os.makedirs(work_root, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="daveridur-scene.", dir=work_root)
        self.fleet = fleet
        self.cardsim_args = list(cardsim_args)
        self.shots = shots or os.environ.get("DAVERIDUR_SHOTS") or os.path.join(self.work, "shots")
        os.makedirs(self.shots, exist_ok=True)
        self.sim = None
        self.program = None
        self.driver = None
        self.main = None
        self.skipped_shots = []  # pictures not taken: their window closed first

    # Set-up and tear-down

    def __enter__(self):
        try:
            self.start_cardsim()
            unmanaged_windows()
            self.driver = Driver(os.path.join(self.windows, "tools/uidrive/uidrive.exe"))
        except BaseException:
            # No with-block runs, so no __exit__: a cardsim left here would
            # hold the test's output open until its budget ran out.
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.driver:
            self.driver.close()
        for proc in (self.program, self.sim):
            if proc and proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
        if not os.environ.get("DAVERIDUR_KEEP_SCENE"):
            shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def start_cardsim(self):
        with open(self.path("fleet.conf"), "w") as f:
            f.write(self.fleet)
        os.makedirs(self.path("received"), exist_ok=True)
        self.sim = subprocess.Popen(
            [os.path.join(self.native, "tools/cardsim/cardsim"), "--config", self.path("fleet.conf"),
             "--record", self.path("record"), "--save-dir", self.path("received"),
             "--ready-file", self.path("ready"), "--seed", "1"] + self.cardsim_args,
            stderr=open(self.path("cardsim.log"), "w"))
        if not wait_until(lambda: os.path.exists(self.path("ready")), 20):
            raise RuntimeError("cardsim did not start: " + open(self.path("cardsim.log")).read())

    def reload_fleet(self, fleet):
        """New knobs for the cards, applied by cardsim at once."""
        self.fleet = fleet
        with open(self.path("fleet.conf"), "w") as f:
            f.write(fleet)
        self.sim.send_signal(signal.SIGHUP)
        time.sleep(0.3)

    def make_image(self, name, *args):
        """An image file made by mkimage; returns its path."""
        path = self.path(name)
        subprocess.run([os.path.join(self.native, "tools/mkimage/mkimage"), path, *args], check=True,
                       stdout=subprocess.DEVNULL)
        return path

    def records(self, event=None):
        """cardsim's record lines as dicts (with "event"), oldest first."""
        out = []
        try:
            lines = open(self.path("record")).read().splitlines()
        except FileNotFoundError:
            return out
        for line in lines:
            fields = line.split("\t")
            rec = {"event": fields[0]}
            for field in fields[1:]:
                key, _, value = field.partition("=")
                rec[key] = value
            if event is None or rec["event"] == event:
                out.append(rec)
        return out

    # The program

    def start_program(self, timeout=30):
        self.program = start(os.path.join(self.windows, "app/daveridur.exe"), log=self.path("program.log"))
        self.main = self.driver.find(CAPTION, timeout * 1000)
        if not self.main:
            raise RuntimeError("the main window did not open")
        return self.main

    def control(self, control_id):
        """A control of the main panel by id (the page, not the Quit button)."""
        tab = self.driver.child(self.main, 1000)
        return self.driver.child(tab, control_id)

    def quit_button(self):
        for c in self.driver.children(self.main):
            if c["id"] == QUIT and c["parent"] == self.main:
                return c["hwnd"]
        return None

    def rows(self):
        return self.driver.rows(self.control(LIST))

    def rows_by_ip(self):
        return {r["cells"][0]: r for r in self.rows()}

    def wait_rows(self, predicate, timeout):
        """The rows by address once predicate(rows) holds, else the last ones."""
        last = {}

        def probe():
            nonlocal last
            last = self.rows_by_ip()
            return predicate(last)

        wait_until(probe, timeout, interval=0.25)
        return last

    def shot(self, hwnd, name):
        return self.driver.shot_png(hwnd, os.path.join(self.shots, name + ".png"))

    def is_open(self, hwnd):
        """True while the window exists and shows (a closed one is not an error)."""
        try:
            return self.driver.visible(hwnd)
        except DriverError as e:
            if "no window" in str(e):
                return False
            raise

    def shot_if_open(self, hwnd, name):
        """A picture of a window that may close on its own at any moment: the
        path, or None (name added to skipped_shots) when it closed before or
        while it was taken; a picture taken as it closed may not show it."""
        path = os.path.join(self.shots, name + ".png")
        try:
            self.driver.shot_png(hwnd, path)
        except DriverError:
            if self.is_open(hwnd):
                raise
        if self.is_open(hwnd):
            return path
        if os.path.exists(path):
            os.remove(path)
        self.skipped_shots.append(name)
        return None

    def session_windows(self):
        """Open progress windows by card address."""
        out = {}
        for hwnd in self.driver.findall("prefix:" + UPGRADING_PREFIX):
            try:
                title = self.driver.text(hwnd)
            except DriverError:
                continue  # closed meanwhile
            if title.startswith(UPGRADING_PREFIX):
                out[title[len(UPGRADING_PREFIX):]] = hwnd
        return out

    def percent(self, hwnd):
        """A progress window's percentage as a number; None once it has closed."""
        try:
            text = self.driver.text(self.driver.child(hwnd, PERCENT)).strip().rstrip("%")
        except (DriverError, TypeError):
            return None
        return int(text) if text.isdigit() else 0

    def discover(self, shot_name=None):
        """Discover: the countdown dialog runs about nine seconds."""
        self.driver.click(self.control(DISCOVER))
        dialog = self.driver.find(DISCOVERING, 10000)
        if dialog and shot_name:
            time.sleep(1.5)
            self.shot_if_open(dialog, shot_name)
        if dialog:
            self.driver.gone(dialog, 20000)
        return dialog

    def open_image(self, path):
        """Open, then the open-file dialog: the path typed into its file-name
        field and OK."""
        self.driver.click(self.control(OPEN))
        dialog = self.driver.find("Open", 20000)
        if not dialog:
            raise RuntimeError("no open-file dialog")
        controls = self.driver.children(dialog)

        def find(cls, control_id):
            return next(c["hwnd"] for c in controls if c["class"] == cls and c["id"] == control_id)

        self.driver.settext_utf8(find("Edit", 1148), "Z:" + path.replace("/", "\\"))
        self.driver.click(find("Button", 1))
        self.driver.gone(dialog, 10000)
        # The program reads the file once the dialog is gone, on the thread
        # that answers these: a caller that rewrites the file right after
        # must not race that read.
        for _ in range(2):
            time.sleep(0.05)
            self.driver.text(self.main)

    def open_by_name(self, name):
        """Open, then only a file name typed into the dialog, which opens it in
        the folder the dialog starts in. False when no dialog showed."""
        d = self.driver
        d.click(self.control(OPEN))
        dialog = d.find("Open", 20000)
        if not dialog:
            return False
        d.settext_utf8(d.child(dialog, 1148, "Edit"), name)
        d.click(d.child(dialog, 1, "Button"))
        d.gone(dialog, 10000)
        return True

    def answer_box(self, title, button, timeout=10):
        box = self.driver.msgbox(title, int(timeout * 1000))
        if box:
            self.driver.answer(box["hwnd"], button)
        return box

    def quit(self, timeout=10):
        """Quit with Yes; True when the program ended within the timeout."""
        self.driver.click(self.quit_button())
        box = self.answer_box(CONFIRM, 6)
        if not box:
            return False
        try:
            self.program.wait(timeout=timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    # Helpers of the scenario suites

    def restart_program(self, timeout=30):
        """Starts the program again in the same prefix, after it has ended."""
        if self.program and self.program.poll() is None:
            raise RuntimeError("the program still runs")
        return self.start_program(timeout)

    def ip_order(self):
        """The IP cells, top row first."""
        return [r["cells"][0] for r in self.rows()]

    def row_of(self, ip):
        order = self.ip_order()
        return order.index(ip) if ip in order else None

    def check_cards(self, ips, on=True):
        """Ticks (or clears) the check boxes of the rows of these addresses."""
        list_view = self.control(LIST)
        order = self.ip_order()
        for ip in ips:
            self.driver.check(list_view, order.index(ip), on)

    def select_cards(self, ips):
        """Selects exactly the rows of these addresses."""
        list_view = self.control(LIST)
        self.driver.select(list_view, -1, False)
        order = self.ip_order()
        for ip in ips:
            self.driver.select(list_view, order.index(ip), True)

    def sort_by_ip(self):
        """Ascending address order by header clicks (the direction flips
        with every sort, so a second click may be needed)."""
        list_view = self.control(LIST)

        def ascending():
            order = self.ip_order()
            return order == sorted(order, key=lambda ip: tuple(int(p) for p in ip.split(".")))

        for _ in range(2):
            self.driver.header(list_view, 0)
            if ascending():
                return True
        return ascending()

    def account_dialog(self, timeout=10):
        """The account dialog (its caption stays "Dialog") once it shows."""
        return self.driver.find("Dialog", int(timeout * 1000))

    def account_fields(self, dialog):
        """Address, user name and password as the dialog shows them."""
        d = self.driver
        return tuple(d.text(d.child(dialog, i)) for i in (1000, 1002, 1003))

    def enter_field(self, dialog, field_id, text):
        """Focuses an edit of a dialog, replaces its text and leaves it with
        Tab, as a person typing into it would; the field is stored on leaving."""
        d = self.driver
        edit = d.child(dialog, field_id)
        d.setfocus(edit)
        d.settext(edit, text)
        d.key(edit, "TAB")

    def add_card(self, ip, user=None, password=None, button=1):
        """Add: the account dialog filled in and closed with OK (1) or
        Cancel (2). Returns the fields the dialog proposed."""
        d = self.driver
        d.click(self.control(ADD))
        dialog = self.account_dialog()
        if not dialog:
            raise RuntimeError("no account dialog")
        proposed = self.account_fields(dialog)
        if ip is not None:
            self.enter_field(dialog, 1000, ip)
        if user is not None:
            self.enter_field(dialog, 1002, user)
        if password is not None:
            self.enter_field(dialog, 1003, password)
        d.click(d.child(dialog, button))
        d.gone(dialog, 5000)
        return proposed

    def set_setting(self, name, value):
        """Writes a value of the program's settings key, as the program
        keeps it (the Rollout dialog's, for one): read at the next Upgrade."""
        subprocess.run([os.environ.get("WINE", "/usr/lib/wine/wine64"), "reg", "add",
                        r"HKLM\Software\Duzavod\Daveridur", "/v", name, "/d", value, "/f"],
                       check=True, capture_output=True, timeout=60)

    def short_settle(self):
        """Cards applied after 5 answers a second apart, for scenarios that
        do not look at the settle period (30 s by default)."""
        self.set_setting("SettleSeconds", "1")

    def registry_value(self, name):
        """A value of the program's settings key, read with Wine's reg tool;
        None when it is not there."""
        out = subprocess.run([os.environ.get("WINE", "/usr/lib/wine/wine64"), "reg", "query",
                              r"HKLM\Software\Duzavod\Daveridur", "/v", name],
                             capture_output=True, text=True, errors="replace", timeout=60)
        for line in out.stdout.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0] == name and parts[1].startswith("REG_"):
                return parts[2] if len(parts) == 3 else ""
        return None

    def x_click(self, x, y):
        """A real pointer click at a screen point, through the X server's
        test extension (Wine's screen is the X root window here)."""
        x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
        xtst = ctypes.cdll.LoadLibrary("libXtst.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                              ctypes.c_ulong]
        xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        display = x11.XOpenDisplay(None)
        if not display:
            raise RuntimeError("no X display")
        try:
            xtst.XTestFakeMotionEvent(display, -1, int(x), int(y), 0)
            xtst.XTestFakeButtonEvent(display, 1, 1, 10)
            xtst.XTestFakeButtonEvent(display, 1, 0, 10)
            x11.XFlush(display)
        finally:
            x11.XCloseDisplay(display)
        time.sleep(0.3)

    def discovery_ports(self):
        """The program's query and broadcast socket ports, as the cards saw
        them in their latest queries of each kind (None when none yet)."""
        ports = []
        for via in ("unicast", "broadcast"):
            seen = [r["from"] for r in self.records("sysinfo") if r.get("via") == via]
            ports.append(int(seen[-1].rsplit(":", 1)[1]) if seen else None)
        return tuple(ports)

    def scroll_list_right(self):
        """Scrolls the device table to its right end with a click into the
        horizontal scroll bar's trough, beside its right arrow: the Password
        column lies beyond the list's right edge."""
        left, top, right, bottom = self.driver.rect(self.control(LIST))
        self.x_click(right - 26, bottom - 10)


class Tally:
    """Counts a scenario's checks. Checks named in known are product faults
    already reported (name -> reason): a failing one is listed at the end and
    not counted as failed; a passing one is counted and noted."""

    def __init__(self, known=None):
        self.known = dict(known or {})
        self.passed = 0
        self.failed = 0
        self.known_seen = []

    def check(self, name, expected, actual):
        if expected == actual:
            self.passed += 1
            if name in self.known:
                print("NOTE %s passes now (listed as known: %s)" % (name, self.known[name]), flush=True)
            return True
        if name in self.known:
            self.known_seen.append((name, expected, actual))
            print("KNOWN %s\n  expected: %r\n  actual:   %r" % (name, expected, actual), flush=True)
            return False
        self.failed += 1
        print("FAILED %s\n  expected: %r\n  actual:   %r" % (name, expected, actual), flush=True)
        return False

    def true(self, name, value):
        return self.check(name, True, bool(value))

    def summary(self):
        """Prints the known faults and the final line; returns the exit code."""
        for name, _, _ in self.known_seen:
            print("KNOWN (not counted) %s: %s" % (name, self.known[name]))
        print("%d passed, %d failed" % (self.passed, self.failed), flush=True)
        return 1 if self.failed else 0
