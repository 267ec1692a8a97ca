"""The real program under Wine carries one image to a set of cards through
its windows, as an operator would: the cards added (or discovered), the image
opened, every row ticked, Upgrade, Yes, and the report awaited. Prints one
line "wine seconds=.. cards=.. report_ok=.." with the time from Yes to the
report, then the report's lines.

    upload_wine.py add IMAGE IP...      cards already answering (e.g. tftpd)
    upload_wine.py fleet IMAGE N BASE   N cardsim cards from BASE, discovered

Run inside scripts/netns-run.sh scripts/wine-run.sh (bench/upload.sh does)."""

import os
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))

from scene import CONFIRM, ICON_READY, INFORMATION, UPGRADE, Scene  # noqa: E402
from uidrive import wait_until  # noqa: E402

IDOK, IDYES = 1, 6


class OwnCards(Scene):
    """A scene whose cards are already running (no cardsim of its own)."""

    def start_cardsim(self):
        pass


def upgrade_all(s, image, count):
    d = s.driver
    rows = s.wait_rows(lambda r: len(r) == count and all(x["image"] == ICON_READY for x in r.values()), 60)
    if len(rows) != count:
        sys.exit("only %d of %d cards listed ready" % (len(rows), count))
    s.open_image(image)
    if d.msgbox(CONFIRM, 1000):
        sys.exit("the image was refused")
    s.check_cards(list(rows))
    if not wait_until(lambda: d.enabled(s.control(UPGRADE)), 5):
        sys.exit("Upgrade stays disabled")
    d.click(s.control(UPGRADE))
    box = d.msgbox(CONFIRM, 10000)
    if not box:
        sys.exit("no confirmation")
    started = time.monotonic()
    d.answer(box["hwnd"], IDYES)
    report = d.msgbox(INFORMATION, 110000)
    while not report:
        report = d.msgbox(INFORMATION, 110000)
    took = time.monotonic() - started
    lines = [line for line in report["text"].split("\r\n") if line]
    ok = sum(1 for line in lines if line.endswith(" OK."))
    print("wine seconds=%.2f cards=%d report_ok=%d" % (took, count, ok), flush=True)
    for line in lines:
        print("  " + line)
    d.answer(report["hwnd"], IDOK)


def main():
    mode, image = sys.argv[1], sys.argv[2]
    if mode == "add":
        ips = sys.argv[3:]
        with OwnCards() as s:
            s.start_program()
            for ip in ips:
                s.add_card(ip, "admin", "bench")
            upgrade_all(s, image, len(ips))
    elif mode == "fleet":
        count, base = int(sys.argv[3]), sys.argv[4]
        with Scene("", cardsim_args=["--fleet", str(count), "--base", base]) as s:
            s.start_program()
            s.discover()
            upgrade_all(s, image, count)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
