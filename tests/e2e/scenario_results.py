"""After the upgrade, driven from outside the program: a card list imported
through the device list's menu (good and bad lines), a batch whose cards
restart after their upload (one comes back with the new version, one with
the old, one never), the Result column and the kept CSV report as the
checks settle, the retry ticks when the report box closes, and an exported
list read back.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_results.py"""

import csv
import io
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import card_lines, CONFIRM, ICON_READY, INFORMATION, LIST, UPGRADE, Scene, Tally
from uidrive import unix_path, wait_until

# Restarts of 13 s: the checks ask every 5 s from 5 s after the upload, so
# two queries go unanswered (the card is seen restarting) and the third is
# answered; each check settles within about 20 s of its upload.
FLEET = """\
ip=10.69.0.51 mac=00-0a-ff-00-00-51 fw=1.02 restart=13 restart_fw=1.05
ip=10.69.0.52 mac=00-0a-ff-00-00-52 fw=1.02 restart=13
ip=10.69.0.53 mac=00-0a-ff-00-00-53 fw=1.02 restart=-1
ip=10.69.0.54 mac=00-0a-ff-00-00-54 fw=1.02 error_at=2
ip=10.69.0.55 mac=00-0a-ff-00-00-55 fw=1.02 user=ops password=secret
"""
BATCH = ["10.69.0.51", "10.69.0.52", "10.69.0.53", "10.69.0.54"]
ALL = BATCH + ["10.69.0.55"]
# The list to import: a header, a comment, blank lines, bad lines between good ones.
CARD_LIST = (
    "ip,user,password\r\n"
    "# the routed subnet\r\n"
    "10.69.0.51\r\n"
    "10.69.0.52,admin\r\n"
    "10.69.0.300,admin\r\n"
    "\r\n"
    "10.69.0.53\r\n"
    "10.69.0.54,admin,\r\n"
    "10.69.0.56," + "u" * 31 + "\r\n"
    "10.69.0.057,admin\r"
    "10.69.0.55,ops,secret\r\n")
IMPORT_ERRORS = ("These lines were not added:\r\n"
                 "Line 5: \"10.69.0.300\" is not an address: four numbers 0-255 separated by dots, "
                 "without leading zeros\r\n"
                 "Line 9: user name longer than 30 characters\r\n"
                 "Line 10: \"10.69.0.057\" is not an address: four numbers 0-255 separated by dots, "
                 "without leading zeros\r\n")
MENU_CLASS = "class:#32768"
IDOK, IDYES = 1, 6
RESULT = 5

t = Tally()


def menu_item(s, list_view, open_menu, downs, shot=None):
    """Opens the device list's menu and picks the item downs steps down."""
    d = s.driver
    open_menu()
    menu = d.find(MENU_CLASS, 5000)
    t.true("menu open", menu)
    if not menu:
        return False
    if shot:
        s.shot(s.main, shot)
    for _ in range(downs):
        d.key(list_view, "DOWN")
    d.key(list_view, "RETURN")
    return True


def file_dialog(s, title, path):
    d = s.driver
    dialog = d.find(title, 20000)
    t.true("%s dialog" % title, dialog)
    if not dialog:
        return
    controls = d.children(dialog)
    edit = next(c["hwnd"] for c in controls if c["class"] == "Edit" and c["id"] == 1148)
    button = next(c["hwnd"] for c in controls if c["class"] == "Button" and c["id"] == 1)
    d.settext(edit, "Z:" + path.replace("/", "\\"))
    d.click(button)
    d.gone(dialog, 10000)


def read_report(path):
    try:
        with open(path, newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))
    except OSError:
        return []


def results(s):
    return {ip: r["cells"][RESULT] for ip, r in s.rows_by_ip().items()}


def import_list(s, list_view):
    d = s.driver
    listing = s.path("cards.csv")
    with open(listing, "w", newline="") as f:
        f.write(CARD_LIST)
    # The menu key on the empty list.
    opened = menu_item(s, list_view, lambda: d.key(list_view, "APPS"), 1, "results-menu")
    if not opened:
        return
    file_dialog(s, "Open", listing)
    box = d.msgbox(CONFIRM, 10000)
    t.check("one box lists the bad lines", IMPORT_ERRORS, box and box["text"])
    rows = s.rows_by_ip()
    t.check("good lines added before the box", sorted(ALL), sorted(rows))
    if box:
        d.answer(box["hwnd"], IDOK)
    rows = s.wait_rows(lambda r: len(r) == 5 and all(x["image"] == ICON_READY and x["cells"][2] == "1.02"
                                                      for x in r.values()), 10)
    t.check("imported cards answer and fill in",
            {ip: ("00-0a-ff-00-00-" + ip[-2:], "1.02") for ip in ALL},
            {ip: (r["cells"][1], r["cells"][2]) for ip, r in rows.items()})
    t.check("accounts from the list", ("ops", "secret"), tuple(rows["10.69.0.55"]["cells"][3:5])
            if "10.69.0.55" in rows else None)
    t.check("Result column empty before any batch", {ip: "" for ip in ALL}, results(s))


def run_batch(s, list_view):
    d = s.driver
    image = s.make_image("fw.bin", "--version", "1.05", "--size", "6000")
    s.open_image(image)
    s.check_cards(BATCH)
    d.click(s.control(UPGRADE))
    t.true("confirmation", s.answer_box(CONFIRM, IDYES))
    report = d.msgbox(INFORMATION, 60000)
    t.true("report shown", report)
    if not report:
        return None
    s.shot(report["hwnd"], "results-report")
    lines = report["text"].split("\r\n")
    saved = lines.pop()
    lines = card_lines(lines)
    t.check("report lines as before", sorted([
        "10.69.0.51 OK.", "10.69.0.52 OK.", "10.69.0.53 OK.", "10.69.0.54 Flash write error !"]), sorted(lines))
    t.true("last line names the file (%s)" % saved, saved.startswith("Report saved: C:\\") and
           saved.endswith(".csv") and "\\Daveridur\\Reports\\" in saved)
    path = unix_path(saved[len("Report saved: "):])
    rows = {r["ip"]: r for r in read_report(path)}
    t.check("CSV at the report: one row per card, outcomes",
            {"10.69.0.51": ("ok", "OK.", ""), "10.69.0.52": ("ok", "OK.", ""), "10.69.0.53": ("ok", "OK.", ""),
             "10.69.0.54": ("card_error", "Flash write error !", "")},
            {ip: (r["result"], r["message"], r["verified"]) for ip, r in rows.items()})
    first = rows.get("10.69.0.51", {})
    t.check("CSV row fields", ("00-0a-ff-00-00-51", "1.02", "1.05", str(os.path.getsize(image))),
            (first.get("mac"), first.get("version_before"), first.get("image_version"), first.get("bytes_sent")))
    t.true("CSV names the image", first.get("image", "").endswith("fw.bin"))
    # The column follows the card lines within the checks' one-second tick.
    expected = {"10.69.0.51": "OK, checking ...", "10.69.0.52": "OK, checking ...",
                "10.69.0.53": "OK, checking ...", "10.69.0.54": "Flash write error !", "10.69.0.55": ""}
    wait_until(lambda: results(s) == expected, 3)
    t.check("Result column while the report is open", expected, results(s))
    d.answer(report["hwnd"], IDOK)
    wait_until(lambda: d.enabled(s.main), 5)
    ticks = {ip: r["check"] for ip, r in s.rows_by_ip().items()}
    t.check("retry: only the failed card stays ticked",
            {"10.69.0.51": 0, "10.69.0.52": 0, "10.69.0.53": 0, "10.69.0.54": 1, "10.69.0.55": 0}, ticks)
    return path


def checks_settle(s, path):
    settled = s.wait_rows(lambda r: r["10.69.0.51"]["cells"][RESULT].startswith("applied") and
                          r["10.69.0.52"]["cells"][RESULT].startswith("not applied"), 45)
    s.scroll_list_right()
    s.shot(s.main, "results-settled")
    cells = {ip: r["cells"][RESULT] for ip, r in settled.items()}
    applied = cells.get("10.69.0.51", "")
    t.true("applied with its seconds (%s)" % applied,
           applied.startswith("applied 1.05 in ") and applied.endswith(" s"))
    t.check("the others", {"10.69.0.52": "not applied: 1.02", "10.69.0.53": "OK, checking ...",
                           "10.69.0.54": "Flash write error !", "10.69.0.55": ""},
            {ip: c for ip, c in cells.items() if ip != "10.69.0.51"})
    t.check("answers refresh the table", "1.05", settled["10.69.0.51"]["cells"][2])
    # Not applied: ticked again for a retry, as the failed transfer is.
    ticks = {ip: r["check"] for ip, r in s.rows_by_ip().items()}
    t.check("retry: the card that did not take the image is ticked again",
            {"10.69.0.51": 0, "10.69.0.52": 1, "10.69.0.53": 0, "10.69.0.54": 1, "10.69.0.55": 0},
            ticks)
    rows = {r["ip"]: r for r in read_report(path)}
    t.check("CSV rewritten as the checks settle",
            {"10.69.0.51": "applied", "10.69.0.52": "not_applied", "10.69.0.53": "", "10.69.0.54": ""},
            {ip: r["verified"] for ip, r in rows.items()})
    t.check("CSV: each card's verdict",
            {"10.69.0.51": "applied", "10.69.0.52": "not_applied", "10.69.0.53": "checking",
             "10.69.0.54": "refused"},
            {ip: r["verdict"].strip() for ip, r in rows.items()})
    t.true("CSV: seconds of the applied check",
           rows.get("10.69.0.51", {}).get("verified_seconds", "").isdigit())
    t.true("no half-written file left", not os.path.exists(path + ".tmp"))


def shift_f10(s, list_view):
    """Shift+F10 opens the same menu once; Esc closes it."""
    d = s.driver
    d.press("F10", "shift", list_view)
    menu = d.find(MENU_CLASS, 5000)
    t.true("Shift+F10 opens the menu", menu)
    if not menu:
        return
    d.key(list_view, "ESC")
    t.true("Esc closes the menu", d.gone(menu, 3000))
    t.check("no second menu", None, d.find(MENU_CLASS, 1000))


def export_list(s, list_view):
    d = s.driver
    target = s.path("exported.csv")
    opened = menu_item(s, list_view, lambda: d.rclick(list_view, 0), 3)
    if not opened:
        return
    file_dialog(s, "Save As", target)
    t.true("exported file written", wait_until(lambda: os.path.exists(target), 5))
    try:
        text = open(target, encoding="utf-8", newline="").read()
    except OSError:
        text = ""
    records = list(csv.reader(io.StringIO(text)))
    t.check("export header", ["ip", "mac", "version", "user", "password"], records[0] if records else None)
    t.check("export rows in table order", s.ip_order(), [r[0] for r in records[1:]])
    by_ip = {r[0]: r for r in records[1:]}
    t.check("export row", ["10.69.0.55", "00-0a-ff-00-00-55", "1.02", "ops", "secret"], by_ip.get("10.69.0.55"))
    t.check("export shows the new version", "1.05", by_ip.get("10.69.0.51", [None] * 3)[2])


def main():
    started = time.monotonic()
    with Scene(FLEET) as s:
        s.short_settle()
        s.start_program()
        list_view = s.control(LIST)
        import_list(s, list_view)
        path = run_batch(s, list_view)
        if path:
            checks_settle(s, path)
        shift_f10(s, list_view)
        export_list(s, list_view)
    print("results scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
