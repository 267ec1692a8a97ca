"""The scan dialog finds cards on routed subnets that no broadcast reaches:
opened from the device list's menu, driven from outside the program (the
ranges typed, Scan, the counts and the rows as they come, Cancel, a scan
too large refused, the ranges remembered).

    tests/net/cli/routed.sh runs it under scripts/wine-run.sh:
    scenario_scan.py "EXPECTED IPS" "RANGES" (cardsim runs in the card
    namespaces, not here)"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import LIST, Scene, Tally
from uidrive import wait_until

MENU_CLASS = "class:#32768"
SCAN_ITEM = 5  # the fifth item of the device list's menu
TITLE = "Scan addresses"
RANGES, RATE, STATUS, START, STOP, CLOSE = 1030, 1031, 1033, 1034, 1035, 2
IDOK = 1


class RoutedScene(Scene):
    """The program and the driver only: the fleet lives behind the router."""

    def start_cardsim(self):
        pass


def open_dialog(s, t, list_view):
    d = s.driver
    d.key(list_view, "APPS")
    t.true("menu open", d.find(MENU_CLASS, 5000))
    for _ in range(SCAN_ITEM):
        d.key(list_view, "DOWN")
    d.key(list_view, "RETURN")
    dialog = d.find(TITLE, 10000)
    t.true("the scan dialog opens", dialog)
    return dialog


def main():
    expected = sys.argv[1].split()
    ranges = sys.argv[2]
    t = Tally()
    with RoutedScene() as s:
        d = s.driver
        s.start_program()
        list_view = s.control(LIST)
        dialog = open_dialog(s, t, list_view)
        if not dialog:
            return t.summary()
        status = d.child(dialog, STATUS)
        t.check("the rate starts at 200", "200", d.text(d.child(dialog, RATE)))

        # Too large: refused, and said so.
        d.settext(d.child(dialog, RANGES), "10.90.0.0-10.91.255.255")
        d.click(d.child(dialog, START))
        box = d.msgbox("*", 10000)
        t.check("a scan over 65536 addresses is refused",
                "Not scanned: the scan holds 131072 addresses, more than 65536.", box and box["text"])
        if box:
            d.answer(box["hwnd"], IDOK)

        # The routed ranges, at 400 a second: the counts move, the rows come.
        d.settext(d.child(dialog, RANGES), ranges.replace(", ", "\r\n"))
        d.settext(d.child(dialog, RATE), "400")
        d.click(d.child(dialog, START))
        t.true("Cancel is enabled while it scans", wait_until(lambda: d.enabled(d.child(dialog, STOP)), 5))
        moving = wait_until(lambda: d.text(status).startswith("Asked ") and
                            not d.text(status).startswith("Asked 0 "), 5)
        t.true("the counts move: " + d.text(status), moving)
        s.shot(dialog, "scan_running")
        rows_during = wait_until(lambda: s.rows(), 10) and d.text(status).startswith("Asked")
        t.true("rows come while it scans", rows_during)
        done = wait_until(lambda: d.text(status).startswith("Done"), 30)
        t.check("the scan ends with its counts", "Done: 508 addresses asked, 5 cards found, 503 silent",
                d.text(status))
        t.true("done", done)
        rows = s.wait_rows(lambda rows: sorted(rows) == sorted(expected), 10)
        t.check("the scan lists every routed card", sorted(expected), sorted(rows))
        s.shot(s.main, "scan_main")

        # Cancel stops a scan under way.
        d.click(d.child(dialog, START))
        wait_until(lambda: d.enabled(d.child(dialog, STOP)), 5)
        d.click(d.child(dialog, STOP))
        t.true("Cancel stops it",
               wait_until(lambda: d.text(status).startswith("Cancelled: "), 5))
        t.true("Scan is enabled again", d.enabled(d.child(dialog, START)))

        d.click(d.child(dialog, CLOSE))
        t.true("Close closes the dialog", d.gone(dialog, 5000))
        dialog = open_dialog(s, t, list_view)
        if dialog:
            t.check("the ranges are remembered", ranges.replace(", ", "\r\n"),
                    d.text(d.child(dialog, RANGES)))
            t.check("and the rate", "400", d.text(d.child(dialog, RATE)))
            d.click(d.child(dialog, CLOSE))
            d.gone(dialog, 5000)
        s.quit()
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
