"""The Wine part of bench/import.sh: the real program under Wine imports a
card list of LINES lines (distinct addresses where no card answers) through
its list menu and the open dialog; timed from the dialog's OK to the list
holding every row, which the list answers only once the window's thread is
free again (the file read, the merge and one query per card).

    scripts/netns-run.sh scripts/wine-run.sh python3 bench/import_wine.py [LINES]"""

import os
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "tests", "e2e"))

from scene import LIST, Scene  # noqa: E402

MENU_CLASS = "class:#32768"
FLEET = "ip=10.69.9.1 mac=00-0a-ff-09-00-01 fw=1.00\n"


def list_text(lines):
    rows = ["ip,user,password"]
    for i in range(lines):
        rows.append("10.%d.%d.%d%s" % (81 + i // 62500, i // 250 % 250, i % 250 + 1,
                                       ",ops,pw" if i % 2 else ""))
    return "\r\n".join(rows) + "\r\n"


def main():
    lines = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    with Scene(FLEET) as s:
        s.start_program()
        d = s.driver
        path = s.path("cards.csv")
        with open(path, "w", newline="") as f:
            f.write(list_text(lines))
        list_view = s.control(LIST)
        d.key(list_view, "APPS")
        if not d.find(MENU_CLASS, 5000):
            print("the list menu did not open")
            return 1
        d.key(list_view, "DOWN")
        d.key(list_view, "RETURN")
        dialog = d.find("Open", 20000)
        if not dialog:
            print("the open dialog did not come")
            return 1
        controls = d.children(dialog)
        edit = next(c["hwnd"] for c in controls if c["class"] == "Edit" and c["id"] == 1148)
        button = next(c["hwnd"] for c in controls if c["class"] == "Button" and c["id"] == 1)
        d.settext(edit, "Z:" + path.replace("/", "\\"))
        started = time.monotonic()
        d.click(button)
        count = 0
        while count < lines and time.monotonic() - started < 600:
            count = d.count(list_view, 120000)
            if count < lines:
                time.sleep(0.05)
        took = time.monotonic() - started
        print("wine: %d lines imported in %.2f s (%.1f us per line), %d rows listed"
              % (lines, took, took * 1e6 / lines, count))
        box = d.msgbox("*", 500)
        if box:
            print("unexpected box: %r" % box["text"])
            return 1
        return 0 if count == lines else 1


if __name__ == "__main__":
    sys.exit(main())
