"""The demo: daveridur.exe under Wine against a simulated fleet of eight
cards in a private network. With a display of the user's own the operator
plays with it; without one, a scripted tour does what an operator would do
and prints what the program showed, leaving screenshots behind.

Run by scripts/demo.sh, inside scripts/netns-run.sh scripts/wine-run.sh."""

import hashlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import CONFIRM, INFORMATION, LIST, UPGRADE, VERSION, DATE_CODE, FILE_SIZE, Scene
from uidrive import wait_until

FLEET_NOTES = {
    "10.69.0.11": "ready, firmware 1.02",
    "10.69.0.12": "ready, firmware 1.01",
    "10.69.0.13": "ready, firmware 1.04",
    "10.69.0.14": "ready, firmware 1.05 (as new as the image)",
    "10.69.0.15": "ready, firmware 2.00 (newer than the image)",
    "10.69.0.16": "refuses upgrades",
    "10.69.0.17": "has the account service/secret (the program tries admin)",
    "10.69.0.18": "never answers",
}


def say(text=""):
    print(text, flush=True)


def image_hash_without_stamp(path):
    data = bytearray(open(path, "rb").read())
    data[28:32] = b"\0\0\0\0"
    return data


def show_rows(scene):
    say("  %-12s %-18s %-7s %-8s %s" % ("IP", "MAC", "version", "user", "state"))
    states = {0: "not answering", 1: "ready", 2: "no upgrade"}
    for r in sorted(scene.rows(), key=lambda r: tuple(int(p) for p in r["cells"][0].split("."))):
        c = r["cells"]
        say("  %-12s %-18s %-7s %-8s %s" % (c[0], c[1], c[2], c[3], states.get(r["image"], r["image"])))


def tour(scene, shots, good, broken):
    d = scene.driver
    main = scene.start_program()
    say("The main window is open.")
    scene.shot(main, "1-main-window")

    say("\nDiscover (about nine seconds: two broadcasts, then a direct query to each card) ...")
    scene.discover("2-discovery-dialog")
    rows = scene.wait_rows(lambda rows: len(rows) >= 7 and all(r["image"] != 0 for ip, r in rows.items()
                                                              if ip != "10.69.0.18"), 10)
    show_rows(scene)
    scene.shot(main, "3-cards-found")

    say("\nOpen a broken image: %s" % broken)
    scene.open_image(broken)
    box = d.msgbox(CONFIRM, 5000)
    if box:
        say("  the program says: %s" % box["text"])
        scene.shot(box["hwnd"], "4-broken-image")
        d.answer(box["hwnd"], 1)

    say("\nOpen the good image: %s" % good)
    scene.open_image(good)
    say("  version %s, date code %s, size %s" % (d.text(scene.control(VERSION)),
                                                 d.text(scene.control(DATE_CODE)),
                                                 d.text(scene.control(FILE_SIZE))))

    list_view = scene.control(LIST)
    order = [r["cells"][0] for r in scene.rows()]
    say("\nTick every card found and press Upgrade.")
    for index in range(len(order)):
        d.check(list_view, index, True)
    wait_until(lambda: d.enabled(scene.control(UPGRADE)), 5)
    d.click(scene.control(UPGRADE))
    box = d.msgbox(CONFIRM, 10000)
    if not box:
        say("  no confirmation appeared")
        return 1
    say("  the confirmation reads:")
    for line in box["text"].split("\r\n"):
        say("    " + line)
    scene.shot(box["hwnd"], "5-confirmation")
    d.answer(box["hwnd"], 6)

    progress = d.find("prefix:Upg ", 10000)
    if progress:
        time.sleep(1.5)
        # A card that refuses closes its window at once: picture one still open.
        progress = d.find("prefix:Upg ", 5000)
    if progress:
        scene.shot(progress, "6-progress-window")
        say("  progress windows open, at most four at a time")
    report = d.msgbox(INFORMATION, 180000)
    if not report:
        say("  no report appeared")
        return 1
    say("\nThe report:")
    for line in report["text"].strip().split("\r\n"):
        say("    " + line)
    scene.shot(report["hwnd"], "7-report")
    d.answer(report["hwnd"], 1)

    say("\nWhat the cards received:")
    expected = image_hash_without_stamp(good)
    for rec in scene.records("upload"):
        ip = rec["ip"]
        saved = scene.path("received/%s.bin" % ip)
        same = os.path.exists(saved) and image_hash_without_stamp(saved) == expected
        say("  %-12s %-8s %s" % (ip, rec.get("status"), "image intact (stamp aside)" if same else
                                 rec.get("reason", rec.get("msg", ""))))

    scene.shot(main, "8-after-upgrade")
    say("\nQuit.")
    ok = scene.quit()
    say("  the program %s" % ("ended" if ok else "did not end"))
    return 0 if ok else 1


def interactive(scene, good, broken):
    scene.start_program()
    say("Daveridur is running on your display, against these simulated cards:")
    for ip, note in FLEET_NOTES.items():
        say("  %-12s %s" % (ip, note))
    say("Images to open: %s (good), %s (broken)." % (good, broken))
    say("Try Discover, Open, tick cards and Upgrade. Close the program to end the demo.")
    scene.program.wait()
    return 0


def main():
    shots = os.environ.get("DAVERIDUR_DEMO_SHOTS") or os.path.join(os.getcwd(), "build/demo-shots")
    os.makedirs(shots, exist_ok=True)
    # The cards take 10 ms to store a block: transfers last long enough to be seen.
    with Scene(shots=shots, cardsim_args=["--ack_delay", "10"]) as scene:
        good = scene.make_image("firmware-1.05.bin", "--version", "1.05", "--date", "07042000", "--size",
                                "300000")
        broken = scene.make_image("broken.bin", "--version", "1.05", "--broken", "body-sum")
        say("Simulated cards (cardsim, private network 10.69.0.0/16):")
        for ip, note in FLEET_NOTES.items():
            say("  %-12s %s" % (ip, note))
        say()
        if os.environ.get("DAVERIDUR_DEMO_INTERACTIVE"):
            return interactive(scene, good, broken)
        rc = tour(scene, shots, good, broken)
    say("\nScreenshots: %s" % shots)
    for name in sorted(os.listdir(shots)):
        say("  " + os.path.join(shots, name))
    return rc


if __name__ == "__main__":
    sys.exit(main())
