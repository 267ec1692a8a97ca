#!/usr/bin/env python3
"""The timings of bench/report.sh, side by side with their references and
targets. Run by it, in the private network:
    report_bench.py DAVERIDUR-CLI WORK RUNS"""

import glob
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/support"))
from cdp_pipe import Browser  # noqa: E402


def best(runs, command):
    """The shortest wall time of the command, in seconds."""
    times = []
    for _ in range(runs):
        start = time.monotonic()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        times.append(time.monotonic() - start)
    return min(times)


def screenshot(url, path):
    """From the browser's start to the page's full-height PNG written."""
    start = time.monotonic()
    with Browser(timeout=120) as browser:
        height = browser.open(url).screenshot(path)
    return time.monotonic() - start, height


def line(what, value, unit, reference, target, within):
    print("  %-34s %8.2f %-4s %-44s target %-8s %s" % (
        what, value, unit, reference, target, "ok" if within else "OVER"))


def main():
    cli, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    report = os.path.join(work, "rollout.csv")
    page = os.path.join(work, "rollout.html")
    cards = sum(1 for _ in open(report, encoding="utf-8")) - 1
    print("%d-card report (%.1f MB CSV):" % (cards, os.path.getsize(report) / 1e6))
    read = best(runs, [cli, "report", report])
    written = best(runs, [cli, "report", report, "--html", page])
    line("page written (report --html)", written, "s",
         "reading the report alone %.2f s (x %.1f)" % (read, written / read), "< 1 s", written < 1)
    size = os.path.getsize(page) / 1e6
    line("page size", size, "MB", "the CSV %.1f MB (x %.2f)" % (
        os.path.getsize(report) / 1e6, size * 1e6 / os.path.getsize(report)), "< 8 MB", size < 8)
    empty_times, page_times, height = [], [], 0
    for _ in range(max(1, runs - 1)):
        empty_times.append(screenshot("about:blank", os.path.join(work, "empty.png"))[0])
        took, height = screenshot("file://" + page, os.path.join(work, "rollout.png"))
        page_times.append(took)
    shot = min(page_times)
    line("Chromium: full-page screenshot", shot, "s",
         "an empty page %.2f s; %d px high" % (min(empty_times), height), "< 5 s", shot < 5)

    sites = sorted(glob.glob(os.path.join(work, "sites", "*.csv")))
    fleet_cards = sum(sum(1 for _ in open(s, encoding="utf-8")) - 1 for s in sites)
    print("%d reports, %d cards:" % (len(sites), fleet_cards))
    read = best(runs, [cli, "report", *sites])
    merged = best(runs, [cli, "report", *sites, "--behind", "1.05"])
    line("fleet merged (report --behind)", merged, "s",
         "reading the reports alone %.2f s (x %.1f)" % (read, merged / read), "< 2 s", merged < 2)
    fleet_page = os.path.join(work, "fleet.html")
    written = best(runs, [cli, "report", *sites, "--html", fleet_page])
    line("fleet page written (report --html)", written, "s",
         "%.1f MB" % (os.path.getsize(fleet_page) / 1e6), "-", True)


if __name__ == "__main__":
    main()
