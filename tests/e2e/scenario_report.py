"""The report of a batch in the form that fits: a small batch keeps the
message box; a batch of 200 cards gets the report dialog, whose text (the
counts, then every card's line and the kept file) scrolls in a read-only
field, which lies on the screen whole and closes with a mouse click on OK.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_report.py"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import TALLY_LINE, CONFIRM, INFORMATION, LIST, UPGRADE, Scene, Tally
from uidrive import unix_path, wait_until

CARDS = 200
FLEET = "".join("ip=10.69.%d.%d mac=00-0a-ff-00-%02x-%02x fw=1.02\n" % (1 + n // 250, 1 + n % 250, n // 250, n % 250)
                for n in range(CARDS))
REPORT_TEXT, REPORT_OPEN, IDOK, IDYES, IDHELP = 1041, 1042, 1, 6, 9
ES_MULTILINE, ES_READONLY, WS_VSCROLL = 0x4, 0x800, 0x00200000
SCREEN = (0, 0, 1024, 768)  # the Xvfb screen of scripts/wine-run.sh

t = Tally()


def upgrade(s, ips):
    d = s.driver
    s.check_cards(ips)
    t.true("Upgrade enabled", wait_until(lambda: d.enabled(s.control(UPGRADE)), 10))
    d.click(s.control(UPGRADE))
    t.true("confirmation", s.answer_box(CONFIRM, IDYES, 10))


def inside(inner, outer):
    return outer[0] <= inner[0] and outer[1] <= inner[1] and inner[2] <= outer[2] and inner[3] <= outer[3]


def main():
    with Scene(FLEET) as s:
        d = s.driver
        main_window = s.start_program()
        s.discover()
        rows = s.wait_rows(lambda r: len(r) == CARDS, 30)
        t.check("every card listed", CARDS, len(rows))
        s.make_image("fw.bin", "--version", "1.05", "--date", "07042000", "--size", "1000")
        s.open_image(s.path("fw.bin"))

        # Two cards: the message box, as it always was.
        upgrade(s, ["10.69.1.1", "10.69.1.2"])
        box = d.msgbox(INFORMATION, 60000)
        t.true("a small report is a message box", box)
        if box:
            lines = box["text"].split("\r\n")
            t.check("its text: the two lines, the count line and the kept file",
                    (["10.69.1.1 OK.", "10.69.1.2 OK."], True, True),
                    (sorted(lines[:2]), TALLY_LINE.match(lines[2]) is not None, lines[3].startswith("Report saved: ")))
            # The run's page beside the kept report, for the box's button.
            page = unix_path(lines[3][len("Report saved: "):-len(".csv")] + ".html")
            t.check("the box opens the page saved beside the report", ("Open report", True),
                    (box["buttons"].get(IDHELP), os.path.isfile(page)))
            d.answer(box["hwnd"], IDOK)
        t.true("main window back", wait_until(lambda: d.enabled(main_window), 10))

        # Every card: the report dialog.
        upgrade(s, list(s.rows_by_ip()))
        dialog = d.find(INFORMATION, 240000)
        t.true("the long report is a dialog", dialog and not d.msgbox(INFORMATION))
        if not dialog:
            return t.summary()
        s.shot(dialog, "report-dialog")  # as it opens: at the top, the counts first
        field = d.child(dialog, REPORT_TEXT)
        lines = d.text(field).split("\r\n")
        t.check("first line: the counts", "%d cards: %d OK" % (CARDS, CARDS), lines[0])
        t.check("then a line per card", sorted("%s OK." % ip for ip in rows),
                sorted(l for l in lines[1:] if l.endswith(" OK.")))
        t.check("then the count line, and the kept file last", (CARDS + 3, True, True),
                (len(lines), TALLY_LINE.match(lines[-2]) is not None, lines[-1].startswith("Report saved: ")))
        style = next(c["style"] for c in d.children(dialog) if c["id"] == REPORT_TEXT)
        t.check("a read-only field that scrolls", ES_MULTILINE | ES_READONLY | WS_VSCROLL,
                style & (ES_MULTILINE | ES_READONLY | WS_VSCROLL))
        t.check("buttons", ("OK", "Open report", True), (d.text(d.child(dialog, IDOK)),
                                                          d.text(d.child(dialog, REPORT_OPEN)),
                                                          d.enabled(d.child(dialog, REPORT_OPEN))))
        t.check("no text cut", [], d.cut_texts(dialog))
        ok = d.rect(d.child(dialog, IDOK))
        t.true("the dialog and its OK button are on the screen", inside(d.rect(dialog), SCREEN) and inside(ok, SCREEN))
        t.check("OK ticked rows stay until it closes", True, all(r["check"] == 1 for r in s.rows()))

        # Read to the end and closed with the mouse, as a person would.
        d.setfocus(field)
        d.press("END", "ctrl")
        s.x_click((ok[0] + ok[2]) // 2, (ok[1] + ok[3]) // 2)
        t.true("a click on OK closes it", d.gone(dialog, 5000))
        t.true("main window back", wait_until(lambda: d.enabled(main_window), 10))
        t.check("the cards that took the image are unticked", 0,
                sum(1 for r in s.rows() if r["check"] == 1))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
