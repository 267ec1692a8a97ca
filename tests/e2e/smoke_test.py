"""The program as an operator first meets it, driven from outside its
process: start-up, Discover against a simulated fleet, the account dialog,
one upgrade with its progress windows and report, quitting, and the single
instance. Screenshots go to DAVERIDUR_SHOTS.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/smoke_test.py"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import (card_lines, ADD, CAPTION, CONFIRM, DISCOVER, ICON_NO_REPLY, ICON_NO_WRITE, ICON_READY, INFORMATION,
                   LIST, MODIFY, OPEN, REMOVE, UPGRADE, VERSION, Scene)
from uidrive import start, wait_until

FLEET = """\
ip=10.69.0.11 mac=00-0a-ff-00-00-11 fw=1.02
ip=10.69.0.12 mac=00-0a-ff-00-00-12 fw=1.01
ip=10.69.0.13 mac=00-0a-ff-00-00-13 fw=1.03 write=0
ip=10.69.0.14 mac=00-0a-ff-00-00-14 fw=1.02 unicast=0
"""

passed = failed = 0


def check(name, expected, actual):
    global passed, failed
    if expected == actual:
        passed += 1
    else:
        failed += 1
        print("FAILED %s\n  expected: %r\n  actual:   %r" % (name, expected, actual), flush=True)


def main():
    with Scene(FLEET) as s:
        d = s.driver
        main_window = s.start_program()
        check("caption", CAPTION, d.text(main_window))
        check("empty table", [], s.rows())
        check("enabled at start", [True, True, True, False, False, False],
              [d.enabled(s.control(i)) for i in (ADD, DISCOVER, OPEN, MODIFY, REMOVE, UPGRADE)])
        s.shot(main_window, "main-window")

        # Tab walks the enabled tab stops of the page, leaves it for the Quit
        # button and comes back round to the device table.
        names = {s.control(LIST): "list", s.control(ADD): "Add", s.control(DISCOVER): "Discover",
                 s.control(OPEN): "Open", s.quit_button(): "Quit"}
        d.press("TAB", "-", s.control(LIST))  # from the list: the next stop
        walk = [names.get(d.focus(main_window)[0], "?")]
        for _ in range(4):
            d.press("TAB")
            walk.append(names.get(d.focus(main_window)[0], "?"))
        check("Tab order", ["Add", "Discover", "Open", "Quit", "list"], walk)

        # A second start only raises the first instance.
        second = start(os.path.join(s.windows, "app/daveridur.exe"))
        check("second start exits", 0, second.wait(timeout=30))
        check("first still running", None, s.program.poll())

        # Discover: every answering card is listed, then marked by the
        # refresh pass that follows the dialog.
        check("discovery dialog", True, bool(s.discover("discovery-dialog")))
        final = s.wait_rows(lambda rows: len(rows) == 4 and rows["10.69.0.11"]["image"] == ICON_READY, 10)
        check("rows after Discover", 4, len(final))
        rows = s.rows_by_ip()
        check("icons after the pass",
              {"10.69.0.11": ICON_READY, "10.69.0.12": ICON_READY, "10.69.0.13": ICON_NO_WRITE,
               "10.69.0.14": ICON_NO_REPLY},
              {ip: r["image"] for ip, r in rows.items()})
        check("cells", ["10.69.0.12", "00-0a-ff-00-00-12", "1.01", "admin", "", ""], rows["10.69.0.12"]["cells"])
        s.shot(main_window, "main-window-discovered")

        # The account dialog opens on Add and goes away on Cancel.
        d.click(s.control(ADD))
        account = d.find("Dialog", 10000)
        check("account dialog", True, bool(account))
        if account:
            s.shot(account, "account-dialog")
            d.click(d.child(account, 2))
            d.gone(account, 5000)
        check("Cancel adds nothing", 4, len(s.rows()))

        # One upgrade of two cards.
        image = s.make_image("fw.bin", "--version", "1.05", "--date", "07042000", "--size", "200000")
        s.open_image(image)
        check("version shown", "v1.05", d.text(s.control(VERSION)))
        list_view = s.control(LIST)
        order = [r["cells"][0] for r in s.rows()]
        for ip in ("10.69.0.11", "10.69.0.12"):
            d.check(list_view, order.index(ip), True)
        check("Upgrade enabled", True, wait_until(lambda: d.enabled(s.control(UPGRADE)), 5))
        d.click(s.control(UPGRADE))
        confirm = s.answer_box(CONFIRM, 6)
        check("confirmation", "Are you sure to upgrade ?", confirm and confirm["text"])
        progress = d.find("prefix:Upg 10.69.0.", 10000)
        if progress:
            s.shot(progress, "progress-window")
        report = d.msgbox(INFORMATION, 60000)
        lines = report["text"].strip().split("\r\n") if report else []
        check("report", ["10.69.0.11 OK.", "10.69.0.12 OK."], sorted(card_lines(lines[:-1])))
        check("report's last line", "Report saved: ", lines[-1][:14] if lines else None)
        if report:
            d.answer(report["hwnd"], 1)
        received = {r["ip"]: r for r in s.records("upload")}
        check("cards received the image", ["ok", "ok"],
              [received.get(ip, {}).get("status") for ip in ("10.69.0.11", "10.69.0.12")])
        check("main window enabled again", True, wait_until(lambda: d.enabled(main_window), 5))

        # Quit: No keeps everything, Yes ends within 4 seconds.
        d.click(s.quit_button())
        box = s.answer_box(CONFIRM, 7)
        check("quit question", "Are you sure to quit ?", box and box["text"])
        time.sleep(0.5)
        check("No keeps it running", None, s.program.poll())
        started = time.monotonic()
        check("Yes ends it", True, s.quit(timeout=10))
        check("ended within 4 s", True, time.monotonic() - started < 4.5)

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
