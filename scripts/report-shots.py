#!/usr/bin/env python3
"""The guide's pictures of the report pages, from real runs: two sites of
simulated cards upgraded by daveridur-cli in waves (the second halts on a
card that refuses the write and one that comes back with its old version;
one card there never answers), each run's page (upgrade --html), then the
fleet's page of both reports (report --html), photographed in headless
Chromium. Run inside the private network (scripts/guide-shots.sh does):

    report-shots.py BUILD-DIR OUTPUT-DIR

writes OUTPUT-DIR/report-page.png (a run's headline, waves and timeline)
and OUTPUT-DIR/report-fleet.png (the fleet's summary and the cards behind)."""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/support"))
from cdp_pipe import Browser  # noqa: E402

CARD = "fw=1.02 restart=3 restart_fw=1.05 ack_delay=8"
SITES = {
    "north": ["ip=10.69.50.%d %s" % (n, CARD) for n in range(1, 13)] +
             ["ip=10.69.50.13 fw=1.05"],
    "south": ["ip=10.69.51.%d %s" % (n, CARD) for n in range(1, 5)] +
             ['ip=10.69.51.5 fw=1.02 ack_delay=8 error_at=40 error_msg="Flash write error !"',
              "ip=10.69.51.6 fw=1.02 restart=6 ack_delay=8"] +
             ["ip=10.69.51.%d %s" % (n, CARD) for n in range(7, 13)] +
             ["ip=10.69.51.13 silent=1"],
}


def clip_of(page, first, last):
    """The page's area from the top of one element to the bottom of another."""
    box = page.evaluate(
        "(function(){var a=document.querySelector(%r).getBoundingClientRect(),"
        "b=document.querySelector(%r).getBoundingClientRect();"
        "return [a.top+window.scrollY-12, b.bottom+window.scrollY+12];})()" % (first, last))
    return {"x": 0, "y": max(0, box[0]), "width": 1100, "height": box[1] - max(0, box[0]), "scale": 1}


def photograph(url, path, first, last):
    import base64
    with Browser() as browser:
        page = browser.open(url, width=1100, height=1400)
        shot = page.send("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True,
                                                    "clip": clip_of(page, first, last)})
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))


def main():
    build, out = sys.argv[1], sys.argv[2]
    cli = os.path.join(build, "cli/daveridur-cli")
    work = tempfile.mkdtemp(prefix="daveridur-report-shots.")
    os.environ["HOME"] = work
    image = os.path.join(work, "mx2-1.05.bin")
    subprocess.run([os.path.join(build, "tools/mkimage/mkimage"), image, "--version", "1.05",
                    "--size", "120000"], check=True, stdout=subprocess.DEVNULL)
    conf = os.path.join(work, "fleet.conf")
    with open(conf, "w") as f:
        f.write("\n".join(line for lines in SITES.values() for line in lines) + "\n")
    ready = os.path.join(work, "ready")
    sim = subprocess.Popen([os.path.join(build, "tools/cardsim/cardsim"), "--config", conf,
                            "--ready-file", ready], stderr=subprocess.DEVNULL)
    try:
        while not os.path.exists(ready):
            time.sleep(0.05)
        reports = []
        for site, lines in SITES.items():
            cards = [line.split()[0][3:] for line in lines]
            report = os.path.join(work, site + ".csv")
            subprocess.run([cli, "upgrade", image, *cards, "--waves", "1,25%", "--max-failures", "1",
                            "--parallel", "4", "--report", report, "--html",
                            os.path.join(work, site + ".html")],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            reports.append(report)
    finally:
        sim.terminate()
        sim.wait()
    fleet = os.path.join(work, "fleet.html")
    subprocess.run([cli, "report", *reports, "--html", fleet], check=True)
    os.makedirs(out, exist_ok=True)
    photograph("file://" + os.path.join(work, "south.html"), os.path.join(out, "report-page.png"),
               "h1", "div.timeline")
    photograph("file://" + fleet, os.path.join(out, "report-fleet.png"), "h1", "table[data-grid=behind]")
    print("report pages: %s" % work)


if __name__ == "__main__":
    main()
