"""The demo: daveridur.exe under Wine against a simulated fleet of eight
cards in a private network. With a display of the user's own the operator
plays with it; without one, a scripted tour does what an operator would do
and prints what the program showed, leaving screenshots behind.

The tour ends with the report, what every card received and where the
pictures are; it exits 0 only when the report holds one line per ticked card,
at least one card took the image, and every card reported " OK." holds the
image file byte for byte but for the upload stamp.

Windows that close on their own (the discovery dialog, progress windows) may
be gone before their picture: that picture is skipped, said so, and the tour
goes on.

Run by scripts/demo.sh, inside scripts/netns-run.sh scripts/wine-run.sh."""

import os
import re
import sys
import time
import traceback

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
# Cards that take the whole image: their progress windows live longest.
TAKES_IMAGE = ("10.69.0.11", "10.69.0.12", "10.69.0.13", "10.69.0.14", "10.69.0.15")

# The pictures the tour takes; older ones of these names are removed first,
# so that the list printed at the end is this run's.
SHOTS = ("1-main-window", "2-discovery-dialog", "3-cards-found", "4-broken-image", "5-confirmation",
         "6-progress-window", "7-report", "8-after-upgrade")

# The image's upload stamp: bytes 28 to 31, written by the program per card.
STAMP_AT, STAMP_END = 28, 32
# Large enough that a card's transfer can be watched for a moment.
GOOD_IMAGE_SIZE = 300000

IP_LINE = re.compile(r"^(\d{1,3}(?:\.\d{1,3}){3}) (.*)$")


def say(text=""):
    print(text, flush=True)


def without_stamp(data):
    data = bytearray(data)
    data[STAMP_AT:STAMP_END] = bytes(len(data[STAMP_AT:STAMP_END]))
    return bytes(data)


def fnv1a64(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def ip_key(ip):
    return tuple(int(p) for p in ip.split("."))


def report_lines(text):
    """The report's card lines by address: {ip: [tails]}. Lines that start
    with no address (a note the program may add) are not card lines."""
    out = {}
    for line in text.replace("\r\n", "\n").split("\n"):
        m = IP_LINE.match(line.strip())
        if m:
            out.setdefault(m.group(1), []).append(m.group(2).strip())
    return out


def report_problems(lines, ticked):
    """What is wrong with the report's card lines for the ticked cards."""
    problems = []
    for ip in ticked:
        count = len(lines.get(ip, []))
        if count != 1:
            problems.append("the report has %d lines for %s, not one" % (count, ip))
    for ip in sorted(set(lines) - set(ticked), key=ip_key):
        problems.append("the report names %s, which was not ticked" % ip)
    return problems


def received_check(rec, saved, expected):
    """Whether a card's record and saved file match the image file but for
    the stamp; (ok, what to print)."""
    if not rec:
        return False, "no upload recorded"
    if rec.get("status") != "ok":
        return False, "upload %s" % rec.get("status")
    if not os.path.exists(saved):
        return False, "no file saved"
    with open(saved, "rb") as f:
        got = f.read()
    if len(got) != len(expected):
        return False, "%d bytes, the file has %d" % (len(got), len(expected))
    if without_stamp(got) != without_stamp(expected):
        first = next(i for i in range(len(got)) if got[i] != expected[i] and not STAMP_AT <= i < STAMP_END)
        return False, "differs from the file at byte %d" % first
    if rec.get("hash_nostamp") != fnv1a64(without_stamp(expected)) or rec.get("size") != str(len(expected)):
        return False, "the card's record disagrees with the file it saved"
    return True, "the image, byte for byte but for the stamp %s" % rec.get("stamp")


def last_uploads(scene):
    """The latest upload record of each card; a completed one wins."""
    out = {}
    for rec in scene.records("upload"):
        ip = rec.get("ip")
        if rec.get("status") == "ok" or out.get(ip, {}).get("status") != "ok":
            out[ip] = rec
    return out


def show_rows(scene):
    say("  %-12s %-18s %-7s %-8s %s" % ("IP", "MAC", "version", "user", "state"))
    states = {0: "not answering", 1: "ready", 2: "no upgrade"}
    for r in sorted(scene.rows(), key=lambda r: ip_key(r["cells"][0])):
        c = r["cells"]
        say("  %-12s %-18s %-7s %-8s %s" % (c[0], c[1], c[2], c[3], states.get(r["image"], r["image"])))


def picture(scene, hwnd, name, what):
    if not scene.shot_if_open(hwnd, name):
        say("  (%s closed before its picture could be taken: no %s.png)" % (what, name))


def watch_progress(scene):
    """A picture of the progress window of a card taking the whole image,
    once it has moved a little. A window that closes first is passed over
    for the next; when every transfer ends first, there is no picture."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        windows = scene.session_windows()
        watch = [ip for ip in TAKES_IMAGE if ip in windows]
        if watch:
            hwnd = windows[watch[0]]
            wait_until(lambda: (scene.percent(hwnd) or 0) >= 3 or not scene.is_open(hwnd), 3)
            if scene.shot_if_open(hwnd, "6-progress-window"):
                say("  the progress window of %s pictured (at most four are open at a time)" % watch[0])
                return
            scene.skipped_shots.remove("6-progress-window")
        elif scene.driver.msgbox(INFORMATION, 0):
            break
        time.sleep(0.02)
    say("  (every transfer ended before its progress window could be pictured: no 6-progress-window.png)")


def tour(scene, good, broken):
    """Operates the program; returns the list of problems (empty: passed)."""
    d = scene.driver
    with open(good, "rb") as f:
        image = f.read()
    main = scene.start_program()
    say("The main window is open.")
    picture(scene, main, "1-main-window", "the main window")

    say("\nDiscover (about nine seconds: two broadcasts, then a direct query to each card) ...")
    scene.discover("2-discovery-dialog")
    if "2-discovery-dialog" in scene.skipped_shots:
        say("  (the discovery dialog closed before its picture could be taken)")
    rows = scene.wait_rows(lambda rows: len(rows) >= 7 and all(r["image"] != 0 for ip, r in rows.items()
                                                              if ip != "10.69.0.18"), 10)
    show_rows(scene)
    picture(scene, main, "3-cards-found", "the main window")
    if not rows:
        return ["no card was found"]

    say("\nOpen a broken image: %s" % broken)
    scene.open_image(broken)
    box = d.msgbox(CONFIRM, 5000)
    if box:
        say("  the program says: %s" % box["text"])
        picture(scene, box["hwnd"], "4-broken-image", "the message")
        d.answer(box["hwnd"], 1)
    else:
        say("  no message appeared")

    say("\nOpen the good image: %s" % good)
    scene.open_image(good)
    wait_until(lambda: d.text(scene.control(VERSION)).startswith("v"), 5)
    say("  version %s, date code %s, size %s" % (d.text(scene.control(VERSION)),
                                                 d.text(scene.control(DATE_CODE)),
                                                 d.text(scene.control(FILE_SIZE))))

    list_view = scene.control(LIST)
    say("\nTick every card found and press Upgrade.")
    for index in range(len(scene.rows())):
        d.check(list_view, index, True)
    ticked = sorted((r["cells"][0] for r in scene.rows() if r["check"] == 1), key=ip_key)
    say("  ticked: %s" % ", ".join(ticked))
    if not wait_until(lambda: d.enabled(scene.control(UPGRADE)), 5):
        return ["Upgrade stayed disabled with %d cards ticked" % len(ticked)]
    d.click(scene.control(UPGRADE))
    box = d.msgbox(CONFIRM, 10000)
    if not box:
        return ["no confirmation appeared"]
    say("  the confirmation reads:")
    for line in box["text"].split("\r\n"):
        say("    " + line)
    picture(scene, box["hwnd"], "5-confirmation", "the confirmation")
    d.answer(box["hwnd"], 6)

    watch_progress(scene)
    report = d.msgbox(INFORMATION, 180000)
    if not report:
        return ["no report appeared"]
    say("\nThe report:")
    for line in report["text"].strip().split("\r\n"):
        say("    " + line)
    picture(scene, report["hwnd"], "7-report", "the report")
    d.answer(report["hwnd"], 1)
    # The batch gives the main window back just after the report closes.
    if not wait_until(lambda: d.enabled(main), 10):
        return ["the main window stayed disabled after the report"]
    picture(scene, main, "8-after-upgrade", "the main window")

    lines = report_lines(report["text"])
    problems = report_problems(lines, ticked)
    ok_cards = [ip for ip in ticked if lines.get(ip) == ["OK."]]
    if not ok_cards:
        problems.append("no card took the image")

    say("\nWhat the cards received:")
    # The card writes its record as it acknowledges the last block: give it
    # a moment to land.
    wait_until(lambda: all(ip in last_uploads(scene) for ip in ok_cards), 5)
    uploads = last_uploads(scene)
    for ip in ticked:
        rec = uploads.get(ip)
        intact, what = received_check(rec, scene.path("received/%s.bin" % ip), image)
        if rec and rec.get("status") != "ok":
            what = "nothing kept (%s)" % ", ".join("%s=%s" % (k, v) for k, v in rec.items()
                                                   if k not in ("event", "ip", "from"))
        elif not rec:
            what = "nothing (no upload recorded)"
        reported = "; ".join(lines.get(ip, [])) or "-"
        say("  %-12s reported %-36s received: %s" % (ip, reported, what))
        if ip in ok_cards and not intact:
            problems.append("%s is reported OK but %s" % (ip, what))

    say("\nQuit.")
    ended = scene.quit()
    say("  the program %s" % ("ended" if ended else "did not end"))
    if not ended:
        problems.append("the program did not end on Quit")
    return problems


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
    for name in SHOTS:
        for ext in (".png", ".bmp"):
            if os.path.exists(os.path.join(shots, name + ext)):
                os.remove(os.path.join(shots, name + ext))
    # The scene's files (images, what the cards received) live beside the
    # pictures, not in the shared /tmp.
    work_root = os.path.join(os.path.dirname(os.path.abspath(shots)), "demo-work")
    # The cards take 10 ms to store a block, so that a transfer lasts long
    # enough for its progress window to be seen and pictured.
    with Scene(shots=shots, work_root=work_root, cardsim_args=["--ack_delay", "10"]) as scene:
        good = scene.make_image("firmware-1.05.bin", "--version", "1.05", "--date", "07042000", "--size",
                                str(GOOD_IMAGE_SIZE))
        broken = scene.make_image("broken.bin", "--version", "1.05", "--broken", "body-sum")
        say("Simulated cards (cardsim, private network 10.69.0.0/16):")
        for ip, note in FLEET_NOTES.items():
            say("  %-12s %s" % (ip, note))
        say()
        if os.environ.get("DAVERIDUR_DEMO_INTERACTIVE"):
            return interactive(scene, good, broken)
        try:
            problems = tour(scene, good, broken)
        except Exception as e:  # the tour's own failure: still say where the pictures are
            traceback.print_exc()
            problems = ["the tour stopped: %s" % e]
    say("\nScreenshots in %s:" % shots)
    for name in SHOTS:
        if os.path.exists(os.path.join(shots, name + ".png")):
            say("  " + os.path.join(shots, name + ".png"))
    if problems:
        say("\nThe demo FAILED:")
        for p in problems:
            say("  " + p)
        return 1
    say("\nThe demo ran as it should.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
