"""Folder names outside the ANSI code page, driven from outside the program:
an image in a folder named in Cyrillic and one in a folder named in Chinese
each opens (the file name field keeps the path whole), upgrades a card that
receives the file's bytes, the kept report names the image whole, and its
folder is where the open-file dialog starts next time.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_unicode.py"""

import csv
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import CONFIRM, FILE_NAME, INFORMATION, UPGRADE, VERSION, Scene, Tally
from uidrive import unix_path, wait_until, windows_path

FLEET = "ip=10.69.0.61 mac=00-0a-ff-00-00-61 fw=1.02\n"
FOLDERS = ["прошивка", "固件"]
IDOK, IDYES = 1, 6

t = Tally()


def kept_rows(windows_file):
    try:
        with open(unix_path(windows_file), newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))
    except OSError:
        return []


def without_stamp(data):
    return data[:28] + b"\0\0\0\0" + data[32:]


def upgrade_one(s, folder, image):
    d = s.driver
    s.open_image(image)
    t.check("%s: no error box" % folder, None, d.msgbox(CONFIRM, 1500))
    t.check("%s: version shown" % folder, "v1.05", d.text(s.control(VERSION)))
    t.check("%s: the file name field keeps the path" % folder, windows_path(image),
            d.text_utf8(s.control(FILE_NAME)))
    uploads_before = len(s.records("upload"))
    # A card that took an image is unticked when the report closes.
    s.check_cards(["10.69.0.61"])
    wait_until(lambda: d.enabled(s.control(UPGRADE)), 3)
    d.click(s.control(UPGRADE))
    t.true("%s: confirmation" % folder, s.answer_box(CONFIRM, IDYES))
    report = d.msgbox(INFORMATION, 60000)
    lines = report["text"].split("\r\n") if report else [""]
    t.check("%s: report" % folder, "10.69.0.61 OK.", lines[0])
    saved = lines[-1][len("Report saved: "):] if lines[-1].startswith("Report saved: ") else ""
    t.check("%s: the kept report names the image whole" % folder, [windows_path(image)],
            [row["image"] for row in kept_rows(saved)])
    if report:
        d.answer(report["hwnd"], IDOK)
        wait_until(lambda: d.enabled(s.main), 5)
    done = [u for u in s.records("upload")[uploads_before:] if u["status"] == "ok"]
    t.check("%s: one complete upload" % folder, 1, len(done))
    got = open(s.path(os.path.join("received", "10.69.0.61.bin")), "rb").read()
    t.true("%s: the card received the file" % folder,
           without_stamp(got) == without_stamp(open(image, "rb").read()))


def dialog_starts_in(s, folder):
    """The remembered folder: the bare file name is enough in the dialog."""
    d = s.driver
    if not s.open_by_name("again.bin"):
        t.true("open-file dialog", False)
        return
    t.check("%s: the dialog started in the remembered folder" % folder, None, d.msgbox(CONFIRM, 1500))
    t.check("%s: and opened the file there" % folder, windows_path(os.path.join(s.path(folder), "again.bin")),
            d.text_utf8(s.control(FILE_NAME)))


def main():
    with Scene(FLEET) as s:
        s.start_program()
        s.add_card("10.69.0.61")
        for folder in FOLDERS:
            os.makedirs(s.path(folder))
            image = s.make_image(os.path.join(folder, "fw.bin"), "--version", "1.05", "--size", "20000")
            s.make_image(os.path.join(folder, "again.bin"), "--version", "1.05", "--size", "100")
            upgrade_one(s, folder, image)
            dialog_starts_in(s, folder)
            s.shot(s.main, "unicode-" + str(FOLDERS.index(folder)))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
