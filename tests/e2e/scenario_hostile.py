"""Discover among lying cards, driven from outside the program: a card that
answers the broadcast and the queries for another with its address and a
newer version, and floods made-up addresses from its own. The list holds
the cards that answered for themselves, each with its own version.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_hostile.py"""

import os
import socket
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "net", "cli"))

from scene import ICON_READY, Scene, Tally
from hostile_test import ERRORS, LIAR, VICTIM, HostileNet

FLEET = "ip=10.69.0.21 mac=00-0a-ff-00-00-21 fw=1.02\n"
HONEST = sorted(["10.69.0.21", VICTIM, LIAR] + list(ERRORS), key=socket.inet_aton)

t = Tally()


def main():
    started = time.monotonic()
    with Scene(FLEET) as s:
        net = HostileNet()
        try:
            main_window = s.start_program()
            s.discover()
            # After the dialog a refresh pass asks every row directly; the
            # liar answers the queries for the victim as well.
            rows = s.wait_rows(lambda r: len(r) >= len(HONEST) and
                               all(x["image"] == ICON_READY for x in r.values()), 15)
            t.check("the cards that answered for themselves, nothing made up", HONEST,
                    sorted(rows, key=lambda ip: socket.inet_aton(ip) if ip[0].isdigit() else b""))
            t.check("every card ready", {ip: ICON_READY for ip in HONEST},
                    {ip: r["image"] for ip, r in rows.items()})
            t.check("the victim's own version", "1.00", rows.get(VICTIM, {}).get("cells", [None] * 3)[2])
            s.shot(main_window, "hostile-rows")
        finally:
            net.close()
    print("hostile scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
