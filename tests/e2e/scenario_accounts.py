"""Accounts, driven from outside the program: Add with its proposed address
and account, new and already listed addresses, blanks and bad addresses,
Enter in the password field, Modify over three selected rows, the batch
setting with and without a selection, Delete and Remove, the header sorts,
the double click.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_accounts.py"""

import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import (ADD, CONFIRM, ICON_NO_REPLY, ICON_READY, LIST, MODIFY, REMOVE, Scene, Tally)
from uidrive import wait_until

# The MAC addresses run against the address order, and the versions in
# neither, so that each header's sort gives an order of its own. .32 answers
# late, which leaves time to see a row before its card has answered.
FLEET = """\
ip=10.69.0.31 mac=00-0a-ff-00-00-c1 fw=1.01
ip=10.69.0.32 mac=00-0a-ff-00-00-b2 fw=1.03 delay=2500
ip=10.69.0.33 mac=00-0a-ff-00-00-a3 fw=2.00
ip=10.69.0.34 mac=00-0a-ff-00-00-94 fw=1.00
ip=10.69.0.35 mac=00-0a-ff-00-00-85 fw=1.02
"""
MACS = {"10.69.0.31": "00-0a-ff-00-00-c1", "10.69.0.32": "00-0a-ff-00-00-b2", "10.69.0.33": "00-0a-ff-00-00-a3",
        "10.69.0.34": "00-0a-ff-00-00-94", "10.69.0.35": "00-0a-ff-00-00-85"}
VERSIONS = {"10.69.0.31": "1.01", "10.69.0.32": "1.03", "10.69.0.33": "2.00", "10.69.0.34": "1.00",
            "10.69.0.35": "1.02"}
BATCH_TITLE = "Daveridur -- Batch Setting"
IDOK, IDCANCEL = 1, 2

t = Tally()


def classful_network(address):
    """The host's address cut to its classful network part."""
    parts = [int(p) for p in address.split(".")]
    keep = 1 if parts[0] < 128 else 2 if parts[0] < 192 else 3
    return ".".join(str(p) if i < keep else "0" for i, p in enumerate(parts))


def proposed_address():
    try:
        return classful_network(socket.gethostbyname(socket.gethostname()))
    except OSError:
        return "0.0.0.0"


def ip_key(ip):
    return tuple(int(p) for p in ip.split("."))


def sysinfo_count(s, ip):
    return len([r for r in s.records("sysinfo") if r["ip"] == ip])


def add_and_bad_addresses(s):
    d = s.driver
    # A new address: proposed network address, "admin", empty password; the
    # typed blanks go, the row appears unanswered and fills in later.
    d.click(s.control(ADD))
    dialog = s.account_dialog()
    t.true("account dialog on Add", dialog)
    if not dialog:
        return
    s.shot(dialog, "accounts-add-dialog")
    t.check("Add proposes", (proposed_address(), "admin", ""), s.account_fields(dialog))
    t.check("address field has the focus", d.child(dialog, 1000), d.focus(dialog)[0])
    s.enter_field(dialog, 1000, " 10.69. 0.32 ")
    t.check("blanks removed from the address", "10.69.0.32", d.text(d.child(dialog, 1000)))
    s.enter_field(dialog, 1002, "operator")
    d.click(d.child(dialog, IDOK))
    t.true("OK closes the dialog", d.gone(dialog, 5000))
    row = s.rows_by_ip().get("10.69.0.32")
    t.check("new row before the card answers",
            (ICON_NO_REPLY, ["10.69.0.32", "00-00-00-00-00-00", "--.--", "operator", "", ""]),
            row and (row["image"], row["cells"]))
    rows = s.wait_rows(lambda r: r.get("10.69.0.32", {}).get("image") == ICON_READY, 8)
    row = rows.get("10.69.0.32")
    t.check("row filled in by the card's answer",
            (ICON_READY, ["10.69.0.32", MACS["10.69.0.32"], "1.03", "operator", "", ""]),
            row and (row["image"], row["cells"]))
    t.check("one query to the added card", 1, sysinfo_count(s, "10.69.0.32"))
    t.check("LastAccount holds the user name", "operator", s.registry_value("LastAccount"))

    # The next Add proposes the user name just confirmed. Bad addresses are
    # refused and the previous address comes back; Enter in the password
    # field stores the password before the dialog ends.
    d.click(s.control(ADD))
    dialog = s.account_dialog()
    if not dialog:
        t.true("account dialog on the second Add", False)
        return
    t.check("second Add proposes the last user name", (proposed_address(), "operator", ""),
            s.account_fields(dialog))
    s.enter_field(dialog, 1000, "10.69.0.31")
    not_address = "is not an address: four numbers 0-255 separated by dots, without leading zeros"
    refusals = {
        "192.168.1.300": not_address,
        "10.69.0.010": not_address,
        "0.0.0.0": "cannot be a card: it is an address of this network (0.0.0.0/8)",
        "255.255.255.255": "cannot be a card: it is the broadcast address",
    }
    for bad, why in refusals.items():
        s.enter_field(dialog, 1000, bad)
        box = d.msgbox(CONFIRM, 5000)
        t.check("%s refused" % bad, 'Bad IP address\r\n\r\n"%s" %s' % (bad, why),
                box and box["text"])
        if box:
            if bad == "0.0.0.0":
                s.shot(box["hwnd"], "accounts-bad-address")
            d.answer(box["hwnd"], IDOK)
            d.gone(box["hwnd"], 5000)
        edit = d.child(dialog, 1000)
        t.true("%s: previous address back" % bad,
               wait_until(lambda: d.text(edit) == "10.69.0.31", 3))
        t.check("%s: the address field has the focus again" % bad, edit, d.focus(dialog)[0])
    password = d.child(dialog, 1003)
    d.setfocus(password)
    d.settext(password, "pw31")
    d.key(password, "RETURN")
    t.true("Enter ends the dialog", d.gone(dialog, 5000))
    rows = s.wait_rows(lambda r: r.get("10.69.0.31", {}).get("image") == ICON_READY, 8)
    row = rows.get("10.69.0.31")
    t.check("Enter stored the password", ["10.69.0.31", MACS["10.69.0.31"], "1.01", "operator", "pw31", ""],
            row and row["cells"])

    # Cancel adds nothing and sends nothing.
    before = len(s.records("sysinfo"))
    s.add_card("10.69.0.33", button=IDCANCEL)
    time.sleep(1.2)
    t.check("Cancel adds no row", ["10.69.0.31", "10.69.0.32"], sorted(s.ip_order()))
    t.check("Cancel sends nothing", before, len(s.records("sysinfo")))

    for ip in ("10.69.0.33", "10.69.0.34"):
        s.add_card(ip, user="admin")
    # A user name longer than the field keeps its first 30 characters.
    s.add_card("10.69.0.35", user="u" * 20 + "v" * 15)
    row = s.rows_by_ip().get("10.69.0.35")
    t.check("long user name cut to 30 characters", "u" * 20 + "v" * 10, row and row["cells"][3])
    t.check("LastAccount holds the cut name", "u" * 20 + "v" * 10, s.registry_value("LastAccount"))

    # An address already listed updates its row: the typed account, MAC and
    # version cleared until the card answers again, and no second row.
    s.add_card("10.69.0.32", user="service", password="secret")
    rows = s.rows_by_ip()
    row = rows.get("10.69.0.32")
    t.check("listed address: row reset, account replaced",
            (ICON_NO_REPLY, ["10.69.0.32", "00-00-00-00-00-00", "--.--", "service", "secret", ""]),
            row and (row["image"], row["cells"]))
    rows = s.wait_rows(lambda r: len(r) == 5 and all(x["image"] == ICON_READY for x in r.values()), 10)
    t.check("five rows, one per address", sorted(MACS), sorted(rows))
    row = rows.get("10.69.0.32")
    t.check("listed address: filled in again, account kept",
            ["10.69.0.32", MACS["10.69.0.32"], "1.03", "service", "secret", ""], row and row["cells"])
    t.check("every card answered", [ICON_READY] * 5, [r["image"] for r in rows.values()])


def sorting(s):
    d = s.driver
    list_view = s.control(LIST)
    by_ip = sorted(MACS, key=ip_key)
    d.header(list_view, 0)
    t.check("IP Address: ascending", by_ip, s.ip_order())
    d.header(list_view, 0)
    t.check("IP Address again: descending", by_ip[::-1], s.ip_order())
    d.header(list_view, 1)
    t.check("Mac Address after a descending sort: ascending", sorted(MACS, key=MACS.get), s.ip_order())
    d.header(list_view, 2)
    t.check("Version next: descending", sorted(MACS, key=VERSIONS.get, reverse=True), s.ip_order())
    d.header(list_view, 2)
    t.check("Version again: ascending", sorted(MACS, key=VERSIONS.get), s.ip_order())


def modify_three(s):
    """Modify with three selected rows: one dialog per row, from the bottom up."""
    d = s.driver
    t.check("Modify and Remove disabled without a selection", [False, False],
            [d.enabled(s.control(MODIFY)), d.enabled(s.control(REMOVE))])
    order = s.ip_order()
    chosen = [order[0], order[2], order[3]]
    s.select_cards(chosen)
    t.check("Modify and Remove enabled with a selection", [True, True],
            [wait_until(lambda: d.enabled(s.control(MODIFY)), 3), d.enabled(s.control(REMOVE))])
    d.click(s.control(MODIFY))
    seen = []
    previous = None
    for n in range(4):
        dialog = wait_until(lambda: (lambda w: w if w and w != previous else None)(s.account_dialog(0)), 5)
        if not dialog:
            break
        fields = s.account_fields(dialog)
        seen.append(fields[0])
        if n == 1:
            t.check("Modify shows the row's account", [fields[1], fields[2]],
                    s.rows_by_ip()[fields[0]]["cells"][3:5])
            s.enter_field(dialog, 1003, "pwmod")
            d.click(d.child(dialog, IDOK))
        else:
            d.click(d.child(dialog, IDCANCEL))
        d.gone(dialog, 5000)
        previous = dialog
    t.check("three dialogs, bottom row first", [chosen[2], chosen[1], chosen[0]], seen)
    if len(seen) >= 2:
        row = s.rows_by_ip()[seen[1]]
        t.check("OK in Modify stored the password", "pwmod", row["cells"][4])


def cancel_keeps_stored_field(s):
    """Cancel after leaving the user name field: the record keeps the typed
    name, the row's cells the old one until the row is shown again."""
    d = s.driver
    ip = "10.69.0.33"
    old = s.rows_by_ip()[ip]["cells"][3]
    s.select_cards([ip])
    d.click(s.control(MODIFY))
    dialog = s.account_dialog()
    if not dialog:
        t.true("Modify opens the dialog", False)
        return
    s.enter_field(dialog, 1002, "typed")
    d.click(d.child(dialog, IDCANCEL))
    d.gone(dialog, 5000)
    t.check("Cancel: the cell keeps the old user name", old, s.rows_by_ip()[ip]["cells"][3])
    d.click(s.control(MODIFY))
    dialog = s.account_dialog()
    t.check("Cancel: the record kept the typed user name", "typed", dialog and s.account_fields(dialog)[1])
    if dialog:
        s.enter_field(dialog, 1002, old)
        d.click(d.child(dialog, IDOK))
        d.gone(dialog, 5000)
    d.select(s.control(LIST), -1, False)


def batch_setting(s):
    d = s.driver
    list_view = s.control(LIST)
    before = {ip: r["cells"] for ip, r in s.rows_by_ip().items()}

    def open_batch(column):
        if column == 4:
            s.scroll_list_right()  # as a person would, to reach the header
        d.header(list_view, column)
        return d.find(BATCH_TITLE, 5000)

    # Without a selection the password goes to every row without one.
    d.select(list_view, -1, False)
    dialog = open_batch(4)
    t.true("Password header opens the batch setting", dialog)
    if not dialog:
        return
    s.shot(dialog, "accounts-batch-setting")
    t.check("batch label for the password", "Password : ", d.text(d.child(dialog, 1011)))
    edit = d.child(dialog, 1012)
    t.check("batch edit has the focus", edit, d.focus(dialog)[0])
    d.settext(edit, "batchpw")
    d.click(d.child(dialog, IDOK))
    d.gone(dialog, 5000)
    after = {ip: r["cells"] for ip, r in s.rows_by_ip().items()}
    t.check("batch password without a selection: only the empty ones",
            {ip: cells[4] or "batchpw" for ip, cells in before.items()},
            {ip: cells[4] for ip, cells in after.items()})

    # Cancel changes nothing.
    dialog = open_batch(3)
    if dialog:
        d.settext(d.child(dialog, 1012), "nobody")
        d.click(d.child(dialog, IDCANCEL))
        d.gone(dialog, 5000)
    t.check("batch Cancel changes nothing", after, {ip: r["cells"] for ip, r in s.rows_by_ip().items()})

    # With a selection exactly the selected rows get it, over their own.
    chosen = ["10.69.0.32", "10.69.0.34"]
    s.select_cards(chosen)
    dialog = open_batch(3)
    t.true("User name header opens the batch setting", dialog)
    if not dialog:
        return
    t.check("batch label for the user name", "Account : ", d.text(d.child(dialog, 1011)))
    d.settext(d.child(dialog, 1012), "batchuser")
    d.click(d.child(dialog, IDOK))
    d.gone(dialog, 5000)
    final = {ip: r["cells"] for ip, r in s.rows_by_ip().items()}
    t.check("batch user name with a selection: exactly the selected rows",
            {ip: "batchuser" if ip in chosen else cells[3] for ip, cells in after.items()},
            {ip: cells[3] for ip, cells in final.items()})
    t.check("header clicks 3 and 4 do not sort", list(after), s.ip_order())


def double_click(s):
    d = s.driver
    list_view = s.control(LIST)
    order = s.ip_order()
    d.dblclick(list_view, 1)
    dialog = s.account_dialog(5)
    t.check("double click edits that row", order[1], dialog and s.account_fields(dialog)[0])
    if dialog:
        d.click(d.child(dialog, IDCANCEL))
        d.gone(dialog, 5000)


def removing(s):
    d = s.driver
    list_view = s.control(LIST)
    order = s.ip_order()
    s.select_cards([order[1], order[3]])
    d.key(list_view, "DELETE")
    t.check("Delete removes the selected rows", [order[0], order[2], order[4]], s.ip_order())
    t.check("no question on Delete", None, d.msgbox("*", 300))
    s.select_cards([order[2]])
    d.click(s.control(REMOVE))
    # The click is posted: the row goes once the window has taken it.
    wait_until(lambda: s.ip_order() == [order[0], order[4]], 5)
    t.check("Remove removes the selected row", [order[0], order[4]], s.ip_order())
    t.check("Modify and Remove disabled again", [False, False],
            [not wait_until(lambda: not d.enabled(s.control(MODIFY)), 3), d.enabled(s.control(REMOVE))])


def main():
    started = time.monotonic()
    with Scene(FLEET) as s:
        main_window = s.start_program()
        add_and_bad_addresses(s)
        if len(s.rows()) == 5:
            sorting(s)
            modify_three(s)
            cancel_keeps_stored_field(s)
            batch_setting(s)
            s.shot(main_window, "accounts-main-window")
            double_click(s)
            removing(s)
        else:
            t.true("five rows to work on", False)
    print("accounts scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
