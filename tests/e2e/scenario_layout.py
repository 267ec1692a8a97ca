"""No text cut: every label, field, button and caption of the main window,
the Discover, account and batch setting dialogs and a progress window is
measured in its own font against the room its control gives it, the way
a picture would show it cut or wrapped. The main window sizes and
maximises with the list taking the room, has its menu bar and status line,
and holds its layout at 150 % and 200 %; the progress windows leave each
other's bars in sight, and the report says where the cards stand.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_layout.py"""

import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import ADD, CONFIRM, DISCOVER, DISCOVERING, FILE_NAME, INFORMATION, LIST, UPGRADE, VERSION, Scene, Tally
from uidrive import wait_until, wine_env, wine_loader

# Slow cards keep their progress windows open long enough to be measured;
# the third runs a newer version than the image and refuses upgrades.
FLEET = """\
ip=10.69.0.51 mac=00-0a-ff-00-00-51 fw=1.02 ack_delay=40
ip=10.69.0.52 mac=00-0a-ff-00-00-52 fw=1.03 ack_delay=40
ip=10.69.0.53 mac=00-0a-ff-00-00-53 fw=2.00 write=0
"""
BATCH_TITLE = "Daveridur -- Batch Setting"
ROLLOUT_TITLE = "Rollout"
STATUS_LINE = 1001
IDYES, IDNO = 6, 7
BEHIND_COLOUR = (255, 236, 179)  # the tint of a row behind the image

t = Tally()


def check_fit(s, hwnd, name, skip_ids=()):
    """The window's cut texts; the measurement must have found its texts."""
    fits = [f for f in s.driver.fit(hwnd) if f["id"] not in skip_ids]
    t.true(name + ": texts measured", len(fits) > 1)
    t.check(name + ": no text cut", [], [
        "%s %r needs %dx%d, has %dx%d" % (f["class"], f["text"], *f["need"], *f["room"])
        for f in fits if f["need"][0] > f["room"][0] or f["need"][1] > f["room"][1]])


def box_of(rect):
    left, top, right, bottom = rect
    return left, top, right - left, bottom - top


def amber_pixels(s, hwnd):
    """Pixels of the tint that marks rows behind the image, in a picture of the window."""
    path = os.path.join(s.work, "tint.bmp")
    s.driver.shot(hwnd, path)
    data = open(path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    want = bytes(reversed(BEHIND_COLOUR))  # stored blue, green, red
    return sum(data[offset + y * stride:offset + y * stride + width * 3][x * 3:x * 3 + 3] == want
               for y in range(abs(height)) for x in range(width))


def status_text(s):
    return s.driver.text(s.driver.child(s.main, STATUS_LINE)).encode("latin-1").decode("cp1252")


def window_sizes(s, main_window):
    """Sizing, maximising and the smallest size: the list takes the room."""
    d = s.driver
    places = {c: box_of(d.rect(s.control(c))) for c in (LIST, UPGRADE, VERSION, ADD)}
    status = box_of(d.rect(d.child(main_window, STATUS_LINE)))
    first = d.rect(main_window)
    width, height = first[2] - first[0], first[3] - first[1]
    d.resize(main_window, width + 200, height + 150)
    moved = {c: box_of(d.rect(s.control(c))) for c in places}
    t.check("the list takes the room", (places[LIST][2] + 200, places[LIST][3] + 150),
            moved[LIST][2:])
    t.check("Upgrade and Add keep their size and their corner",
            [(p[0] + 200, p[1] + 150, p[2], p[3]) for p in (places[UPGRADE], places[ADD])],
            [moved[UPGRADE], moved[ADD]])
    t.check("the image's fields stay at the top, on the right", (places[VERSION][0] + 200,) + places[VERSION][1:],
            moved[VERSION])
    t.check("the status line stays under the list",
            (status[0], status[1] + 150, status[2] + 200, status[3]), box_of(d.rect(d.child(main_window, STATUS_LINE))))
    check_fit(s, main_window, "resized window", skip_ids=(FILE_NAME,))
    s.shot(main_window, "layout-resized")
    t.true("maximised", d.maximize(main_window))
    t.true("maximised, the list is larger still", box_of(d.rect(s.control(LIST)))[2] > moved[LIST][2])
    # The maximised frame lies off the screen's edges: the picture is of its inside.
    s.shot(d.child(main_window, 1000), "layout-maximized")
    d.maximize(main_window, False)
    d.resize(main_window, 200, 120)
    t.check("never smaller than it opens", (width, height),
            (lambda r: (r[2] - r[0], r[3] - r[1]))(d.rect(main_window)))
    t.check("and the controls where they were", places, {c: box_of(d.rect(s.control(c))) for c in places})


# The menu bar's command ids, as the program numbers them.
MENU_ROLLOUT = 41006
MENU_MODIFY = 41103


def menu_bar(s, main_window):
    """Wine reads no other process's menu items: where it cannot, the bar's
    presence and its commands are checked, the texts on the picture."""
    d = s.driver
    items = {path: (item_id, state) for path, item_id, state in d.menu(main_window)}
    t.true("a menu bar", items)
    if "" not in items:
        t.check("menu bar: the list's commands, the dialogs and the reports folder", [], [
            p for p in ("&Cards/&Import cards...", "&Cards/&Export cards...", "&Cards/Export cards with &passwords...",
                        "&Cards/&Scan addresses...", "&Upgrade/R&ollout...", "&Upgrade/Open &reports folder")
            if p not in items])
    d.menu_command(main_window, MENU_MODIFY)
    t.check("Modify from the menu does nothing while its button is grey", None, d.find("Dialog", 500))
    d.menu_command(main_window, MENU_ROLLOUT)
    dialog = d.find(ROLLOUT_TITLE, 5000)
    t.true("the menu's Rollout... opens the dialog", dialog)
    if dialog:
        d.click(d.child(dialog, 2))
        d.gone(dialog, 5000)


def other_scale(s, percent):
    """The program started again at another scale: nothing cut, nothing
    stretched, and a picture of it."""
    d = s.driver
    t.true("%d %%: quit" % percent, s.quit())
    for key in (r"HKCU\Control Panel\Desktop", r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts"):
        subprocess.run([wine_loader(), "reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                        str(96 * percent // 100), "/f"], env=wine_env(), capture_output=True, timeout=60)
    main_window = s.restart_program()
    # Discover takes nine seconds: two cards added by hand are enough to see.
    for ip in ("10.69.0.51", "10.69.0.53"):
        s.add_card(ip)
    s.wait_rows(lambda rows: len(rows) == 2, 10)
    t.true("%d %%: the status line counts them" % percent, wait_until(lambda: status_text(s).startswith("2 cards"), 3))
    left, top, right, bottom = d.rect(main_window)
    t.true("%d %%: the window grows with the scale (%dx%d)" % (percent, right - left, bottom - top),
           right - left >= 752 * percent // 100 - 8)
    check_fit(s, main_window, "main window at %d %%" % percent, skip_ids=(FILE_NAME,))
    s.shot(main_window, "layout-%d-percent" % percent)


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
        s.wait_rows(lambda rows: len(rows) == 3, 10)

        # The fields as an image fills them: the widest date code of a month.
        image = s.make_image("fw.bin", "--version", "1.05", "--date", "09302006", "--size", "40000")
        s.open_image(image)
        t.check("image shown", "v1.05", d.text(s.control(VERSION)))
        # The file name field scrolls a path of any length, as described.
        check_fit(s, main_window, "main window", skip_ids=(FILE_NAME,))
        s.shot(main_window, "layout-main-window")
        t.true("status line: cards, behind the image, waves",
               wait_until(lambda: status_text(s) == "3 cards \u00b7 2 behind 1.05 \u00b7 waves off", 3))
        t.true("rows behind the image are tinted", amber_pixels(s, s.control(LIST)) > 100)
        menu_bar(s, main_window)
        window_sizes(s, main_window)

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

        s.check_cards(["10.69.0.51", "10.69.0.52", "10.69.0.53"])
        t.true("Upgrade enabled", wait_until(lambda: d.enabled(s.control(UPGRADE)), 5))
        d.click(s.control(UPGRADE))
        confirm = d.msgbox(CONFIRM, 10000)
        if confirm:
            lines = confirm["text"].split("\r\n")
            t.check("the confirmation names the card that refuses upgrades",
                    "This card refuses upgrades and will fail: 10.69.0.53.", lines[-1])
            default = [c["id"] for c in d.children(confirm["hwnd"]) if c["class"] == "Button" and c["style"] & 0xF == 1]
            t.check("a newer version: No is the default answer", [IDNO], default)
            s.shot(confirm["hwnd"], "layout-confirmation")
            d.answer(confirm["hwnd"], IDYES)
        progress = d.find("prefix:Upg 10.69.0.51", 10000)
        t.true("progress window", progress)
        if progress:
            wait_until(lambda: (s.percent(progress) or 0) > 0, 10)
            check_fit(s, progress, "progress window")
            both = d.findall("prefix:Upg 10.69.0.")
            rects = [d.rect(h) for h in both]
            t.check("two progress windows, side by side", (2, False), (len(rects), len(rects) == 2 and not (
                rects[0][2] <= rects[1][0] or rects[1][2] <= rects[0][0] or
                rects[0][3] <= rects[1][1] or rects[1][3] <= rects[0][1])))
            s.shot(progress, "layout-progress")
        report = d.msgbox(INFORMATION, 60000)
        t.true("report", report)
        if report:
            # The card's Result is there as soon as its session ended, before
            # the report box was closed.
            t.check("Result while the report box is open", "OK, checking ...",
                    s.rows_by_ip()["10.69.0.51"]["cells"][5])
            check_fit(s, report["hwnd"], "report box")
            lines = report["text"].split("\r\n")
            t.check("a card failed: the warning icon, and the count line before the kept file's",
                    ("warning", "0 of 3 cards applied, 1 failed, 0 not started, 0 skipped, 2 being checked"),
                    (d.icon(report["hwnd"]), lines[-2] if len(lines) > 1 else ""))
            s.shot(report["hwnd"], "layout-report")
            d.answer(report["hwnd"], 1)
        t.true("status line: the failure counted",
               wait_until(lambda: "1 failed" in status_text(s), 5))
        s.shot(main_window, "layout-status-line")
        other_scale(s, 150)
        other_scale(s, 200)
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
