"""No text cut: every label, field, button and caption of the main window,
the Discover, account and batch setting dialogs and a progress window is
measured in its own font against the room its control gives it, the way
a picture would show it cut or wrapped.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_layout.py"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import ADD, CONFIRM, DISCOVER, DISCOVERING, FILE_NAME, INFORMATION, LIST, UPGRADE, VERSION, Scene, Tally
from uidrive import wait_until

# A slow card keeps its progress window open long enough to be measured.
FLEET = """\
ip=10.69.0.51 mac=00-0a-ff-00-00-51 fw=1.02 ack_delay=20
ip=10.69.0.52 mac=00-0a-ff-00-00-52 fw=1.03
"""
BATCH_TITLE = "Daveridur -- Batch Setting"

t = Tally()


def check_fit(s, hwnd, name, skip_ids=()):
    """The window's cut texts; the measurement must have found its texts."""
    fits = [f for f in s.driver.fit(hwnd) if f["id"] not in skip_ids]
    t.true(name + ": texts measured", len(fits) > 1)
    t.check(name + ": no text cut", [], [
        "%s %r needs %dx%d, has %dx%d" % (f["class"], f["text"], *f["need"], *f["room"])
        for f in fits if f["need"][0] > f["room"][0] or f["need"][1] > f["room"][1]])


def main():
    with Scene(FLEET) as s:
        d = s.driver
        main_window = s.start_program()

        d.click(s.control(DISCOVER))
        dialog = d.find(DISCOVERING, 10000)
        t.true("Discover dialog", dialog)
        if dialog:
            check_fit(s, dialog, "Discover dialog")
            d.gone(dialog, 20000)
        s.wait_rows(lambda rows: len(rows) == 2, 10)

        # The fields as an image fills them: the widest date code of a month.
        image = s.make_image("fw.bin", "--version", "1.05", "--date", "09302006", "--size", "40000")
        s.open_image(image)
        t.check("image shown", "v1.05", d.text(s.control(VERSION)))
        # The file name field scrolls a path of any length, as described.
        check_fit(s, main_window, "main window", skip_ids=(FILE_NAME,))
        s.shot(main_window, "layout-main-window")

        d.click(s.control(ADD))
        account = d.find("Dialog", 10000)
        t.true("account dialog", account)
        if account:
            check_fit(s, account, "account dialog")
            d.click(d.child(account, 2))
            d.gone(account, 5000)

        list_view = s.control(LIST)
        d.header(list_view, 3)  # User name: the batch setting
        batch = d.find(BATCH_TITLE, 5000)
        t.true("batch setting dialog", batch)
        if batch:
            check_fit(s, batch, "batch setting dialog")
            d.click(d.child(batch, 2))
            d.gone(batch, 5000)

        s.check_cards(["10.69.0.51"])
        t.true("Upgrade enabled", wait_until(lambda: d.enabled(s.control(UPGRADE)), 5))
        d.click(s.control(UPGRADE))
        s.answer_box(CONFIRM, 6)
        progress = d.find("prefix:Upg 10.69.0.51", 10000)
        t.true("progress window", progress)
        if progress:
            wait_until(lambda: (s.percent(progress) or 0) > 0, 10)
            check_fit(s, progress, "progress window")
        report = d.msgbox(INFORMATION, 60000)
        t.true("report", report)
        if report:
            # The card's Result is there as soon as its session ended, before
            # the report box was closed.
            t.check("Result while the report box is open", "OK, checking ...",
                    s.rows_by_ip()["10.69.0.51"]["cells"][5])
            check_fit(s, report["hwnd"], "report box")
            d.answer(report["hwnd"], 1)
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
