"""Image, driven from outside the program: a valid image shows its version,
date code and size; each broken image shows its message and leaves the
fields empty; cancelling the open-file dialog changes nothing; the folder of
the last image ("LastDir") is remembered across a restart.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_image.py"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import CONFIRM, DATE_CODE, FILE_NAME, FILE_SIZE, OPEN, UPGRADE, VERSION, Scene, Tally
from uidrive import wait_until, windows_path

FLEET = "ip=10.69.0.51 mac=00-0a-ff-00-00-51 fw=1.02\n"
READ_ERROR, ILLEGAL, CHECKSUM = "Error in reading file !", "Illegal file format !", "Bad file checksum !"
IDOK, IDCANCEL = 1, 2

# Broken images: mkimage's kind, body size, and the message (None: the
# program's own choice among the three, or a load that ends the record walk).
BROKEN = [
    ("magic", 1000, ILLEGAL),
    ("format", 1000, ILLEGAL),
    ("product", 1000, ILLEGAL),
    ("header-sum", 1000, CHECKSUM),
    ("body-sum", 1000, CHECKSUM),
    ("truncated", 0, None),
    ("record-outside", 0, None),
    ("looping-chain", 0, None),
]

t = Tally()


def grouped(n):
    return "{:,}".format(n)


def fields(s):
    return tuple(s.driver.text(s.control(i)) for i in (VERSION, DATE_CODE, FILE_SIZE))


def open_and_answer(s, path):
    """Opens path with the Open button; returns the error box's text (after
    answering it) or None when no box showed."""
    s.open_image(path)
    box = s.driver.msgbox(CONFIRM, 1500)
    if not box:
        return None
    s.driver.answer(box["hwnd"], IDOK)
    s.driver.gone(box["hwnd"], 5000)
    return box["text"]


def valid_images(s, main_window, folder):
    d = s.driver
    good = s.make_image(os.path.join(folder, "fw105.bin"), "--version", "1.05", "--date", "07042000",
                        "--size", "200000")
    t.check("nothing shown at start", ("", "", ""), fields(s))
    t.check("no error for a valid image", None, open_and_answer(s, good))
    t.check("valid image: version, date code, size", ("v1.05", "Jul 04,2000", grouped(os.path.getsize(good))),
            fields(s))
    t.check("file name field", windows_path(good), d.text(s.control(FILE_NAME)))
    t.check("LastDir is the image's folder", windows_path(folder), s.registry_value("LastDir"))
    t.check("Upgrade stays disabled without a checked card", False, d.enabled(s.control(UPGRADE)))
    s.shot(main_window, "image-loaded")

    variants = [
        (["--no-records", "--version", "1.05", "--date", "12312000"], ("N/A", "Dec 31,2000")),
        (["--version", "none", "--date", "01012024"], ("N/A", "Jan 01,2024")),
        (["--version", "10.00", "--date", "13012000", "--product", "0001FF04"], ("v10.00", "N/A")),
        (["--version", "1.05", "--date", "ab012000", "--size", "0"], ("v1.05", "N/A")),
    ]
    for n, (args, (version, date)) in enumerate(variants):
        path = s.make_image(os.path.join(folder, "variant%d.bin" % n), *args)
        message = open_and_answer(s, path)
        t.check("variant %s loads" % " ".join(args), (None, version, date, grouped(os.path.getsize(path))),
                (message,) + fields(s))


def broken_images(s, folder):
    d = s.driver
    shot_taken = False
    for kind, size, expected in BROKEN:
        path = s.make_image(os.path.join(folder, kind + ".bin"), "--version", "1.07", "--size", str(size),
                            "--broken", kind)
        s.open_image(path)
        box = d.msgbox(CONFIRM, 1500)
        if box and not shot_taken:
            s.shot(box["hwnd"], "image-error")
            shot_taken = True
        if box:
            d.answer(box["hwnd"], IDOK)
            d.gone(box["hwnd"], 5000)
        message = box and box["text"]
        if expected:
            t.check("%s: message" % kind, expected, message)
        elif message:
            t.true("%s: one of the image messages (%r)" % (kind, message),
                   message in (READ_ERROR, ILLEGAL, CHECKSUM))
        else:
            # The walk was ended: the image loads without a version.
            t.check("%s: loads without a version" % kind, "N/A", d.text(s.control(VERSION)))
        if message:
            t.check("%s: fields empty" % kind, ("", "", ""), fields(s))
        t.check("%s: the path stays in the file name field" % kind, windows_path(path),
                d.text(s.control(FILE_NAME)))
    t.check("LastDir follows a failed load too", windows_path(folder), s.registry_value("LastDir"))


def upgrade_button_after_a_failure(s, folder):
    """With a checked card the Upgrade button follows the check boxes, not
    the image, and a failed load sets it again."""
    d = s.driver
    s.add_card("10.69.0.51")
    s.check_cards(["10.69.0.51"])
    t.true("Upgrade enabled by a checked card", wait_until(lambda: d.enabled(s.control(UPGRADE)), 3))
    path = s.make_image(os.path.join(folder, "badsum.bin"), "--size", "100", "--broken", "body-sum")
    t.check("failed load with a card checked", CHECKSUM, open_and_answer(s, path))
    t.check("Upgrade enabled again after the failed load", True, d.enabled(s.control(UPGRADE)))
    s.check_cards(["10.69.0.51"], False)
    t.true("Upgrade disabled with no card checked", wait_until(lambda: not d.enabled(s.control(UPGRADE)), 3))


def cancel_open(s):
    d = s.driver
    before = fields(s) + (d.text(s.control(FILE_NAME)), s.registry_value("LastDir"))
    d.click(s.control(OPEN))
    dialog = d.find("Open", 20000)
    t.true("open-file dialog", dialog)
    if not dialog:
        return
    s.shot(dialog, "image-open-dialog")
    d.click(d.child(dialog, IDCANCEL, "Button"))
    t.true("Cancel closes the open-file dialog", d.gone(dialog, 10000))
    t.check("Cancel changes nothing", before,
            fields(s) + (d.text(s.control(FILE_NAME)), s.registry_value("LastDir")))


def last_dir_across_restart(s, folder):
    d = s.driver
    path = s.make_image(os.path.join(folder, "remember.bin"), "--version", "2.03", "--date", "03152021",
                        "--size", "3000")
    t.check("remembered image loads", None, open_and_answer(s, path))
    t.check("LastDir before the restart", windows_path(folder), s.registry_value("LastDir"))
    t.true("program ends", s.quit())
    s.restart_program()
    t.check("nothing shown after the restart", ("", "", "", ""), fields(s) + (d.text(s.control(FILE_NAME)),))
    t.check("LastDir after the restart", windows_path(folder), s.registry_value("LastDir"))
    # The dialog starts in the remembered folder: the bare file name is enough.
    if not s.open_by_name("remember.bin"):
        t.true("open-file dialog after the restart", False)
        return
    box = d.msgbox(CONFIRM, 1500)
    if box:
        d.answer(box["hwnd"], IDOK)
    t.check("the dialog opened in the remembered folder", ("v2.03", "Mar 15,2021", grouped(os.path.getsize(path))),
            fields(s))
    t.check("file name from the remembered folder", windows_path(path), d.text(s.control(FILE_NAME)))


def main():
    started = time.monotonic()
    with Scene(FLEET) as s:
        main_window = s.start_program()
        folders = {name: s.path(os.path.join("images", name)) for name in ("good", "broken", "kept")}
        for folder in folders.values():
            os.makedirs(folder)
        valid_images(s, main_window, folders["good"])
        broken_images(s, folders["broken"])
        upgrade_button_after_a_failure(s, folders["broken"])
        cancel_open(s)
        last_dir_across_restart(s, folders["kept"])
    print("image scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
