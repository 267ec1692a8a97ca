#!/usr/bin/env python3
"""The run's page in a real browser: a rollout against simulated cards (one
refused write whose message is hostile HTML, one card back with its old
version, one silent card, the halt leaving two cards not started, one card
skipped) writes its report and its page (upgrade --html), and the report
command writes a page of that report. In headless Chromium, in this private
network, each page loads without any request but its own file, holds one
object per row of the CSV with the row's cells and verdict, shows the CSV's
counts, shows the hostile texts (the card's message, the image's and the
report's names) as text and runs nothing of them; its card table sorts and
filters; a screenshot of it goes with the tests' screenshots. Then: the
trace has one bar per transfer and no two bars in one slot at once; --behind
lists exactly the cards the run left behind; a report read twice gives the
same figures; a run ended by SIGTERM still writes its page.

    scripts/netns-run.sh python3 tests/net/cli/report_page_test.py COMMAND...

About 25 s: the waves wait for the checks after the upgrade, and two
transfers are slow."""

import collections
import csv
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../support"))
from cdp_pipe import Browser  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import Cardsim, check, finish, run  # noqa: E402

HOSTILE = "<img src=x onerror=alert(1)></script><!--<script>alert(2)</script>"
IMAGE_NAME = "fw<svg onload=alert(3)>.bin"
REPORT_NAME = "night&<i>1.csv"
CARD = "fw=1.00 restart=1 restart_fw=1.05"
# .1 takes about 3 s, .3 refuses the write after about 10 s: the seconds
# sort as numbers or not.
FLEET = [
    ("10.69.40.1", CARD + " ack_delay=25"),
    ("10.69.40.2", CARD),
    ("10.69.40.3", 'fw=1.00 ack_delay=100 error_at=100 error_msg="%s"' % HOSTILE.replace('"', '\\"')),
    ("10.69.40.4", "fw=1.00 restart=6"),  # back with its old version: not applied
    ("10.69.40.5", CARD),
    ("10.69.40.6", CARD),
    ("10.69.40.9", "silent=1"),
    ("10.69.40.10", "fw=1.05"),
]
SLOW = ["10.69.41.%d" % n for n in range(1, 4)]
# Where each verdict counts in the headline.
TALLY = {"applied": "applied", "sent": "applied", "unverifiable": "applied",
         "current": "skipped", "done_before": "skipped", "not_started_halted": "not_started",
         "not_started_stopped": "not_started", "not_started_window": "not_started",
         "pending": "not_started"}
# Each script the page may hold: its data and its own.
NO_SCRIPT_BUT_OURS = """(function(){
  var s = document.querySelectorAll('script');
  return {scripts: s.length, data: s[0].id, images: document.querySelectorAll('img, image, iframe, object, embed').length,
          alerts: window.__alerts};
})()"""


def fleet_conf(lines):
    return "\n".join("ip=%s %s" % line for line in lines) + "\n"


def csv_rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    for r in rows:  # the journal pads each row's last cell
        r["verdict"] = r["verdict"].rstrip(" ")
        r["image_sha256"] = r["image_sha256"].rstrip(" ")
    return rows


def embedded_data(html):
    m = re.search(r'<script type="application/json" id="report-data">(.*?)</script>', html, re.S)
    return json.loads(m.group(1)) if m else None


def cell(value):
    """A JSON value as the CSV's cell would read."""
    return "" if value is None else str(value)


def check_page(browser, page_path, rows, label, shot=None):
    """Loads the page; its requests, data, counts, hostile texts."""
    url = "file://" + page_path
    page = browser.open(url, before_load=(
        "window.__alerts = []; window.alert = function (m) { window.__alerts.push(String(m)); };"))
    requests = [e["request"]["url"] for e in page.events("Network.requestWillBeSent")]
    check(label + ": no request but the page's own file", [url], requests)
    problems = [e["entry"]["text"] for e in page.events("Log.entryAdded")
                if e["entry"]["level"] in ("error", "warning")]
    problems += [str(e) for e in page.events("Runtime.exceptionThrown")]
    check(label + ": nothing refused or thrown (the page's own script and style ran)", [], problems)
    check(label + ": no dialog opened", [], page.events("Page.javascriptDialogOpening"))

    data = page.evaluate("JSON.parse(document.getElementById('report-data').textContent)")
    # A card holds its report's image cells unless it names its own.
    cards = [dict(r["image_columns"], **c) for r in data["reports"] for c in r["cards"]]
    check(label + ": one object per CSV row, in its order, with its verdict",
          [(r["ip"], r["verdict"]) for r in rows], [(c["ip"], c["verdict"]) for c in cards])
    # The padding column is the report's room to write rows in place: no data.
    columns = [c for c in rows[0].keys() if not c.startswith("padding")]
    check(label + ": each object holds the row's cells",
          [[r[k] for k in columns] for r in rows], [[cell(c.get(k)) for k in columns] for c in cards])

    verdicts = collections.Counter(r["verdict"] for r in rows)
    shown = page.evaluate("""(function(){ var o = {};
        document.querySelectorAll('.headline table.counts tr[data-verdict]').forEach(function (tr) {
          o[tr.getAttribute('data-verdict')] = +tr.querySelector('td.n').textContent; });
        return o; })()""")
    check(label + ": the counts shown are the CSV's verdicts", dict(verdicts), shown)
    tallies = collections.Counter(TALLY.get(r["verdict"], "failed") for r in rows)
    expected = {"applied": tallies["applied"], "planned": len(rows) - tallies["skipped"],
                "failed": tallies["failed"], "not_started": tallies["not_started"],
                "skipped": tallies["skipped"]}
    headline = page.evaluate("""(function(){ var h = document.querySelector('.headline');
        var n = function (s) { return +h.querySelector(s).textContent.match(/\\d+/)[0]; };
        return {applied: n('[data-tally=applied]'), planned: n('[data-figure=planned]'),
                failed: n('li[data-tally=failed]'), not_started: n('li[data-tally=not_started]'),
                skipped: n('li[data-tally=skipped]')}; })()""")
    check(label + ": the headline's counts are the CSV's", expected, headline)

    refused = [r for r in rows if r["verdict"] == "refused"]
    messages = page.evaluate("""Array.from(document.querySelectorAll(
        'table[data-grid=cards] tbody tr[data-verdict=refused] td:nth-child(6)')).map(function (td) {
        return td.textContent; })""")
    check(label + ": the card's hostile message shows as its text", [HOSTILE] * len(refused), messages)
    facts = page.evaluate("document.querySelector('table.facts').textContent")
    check(label + ": the image's and the report's names show as text", (True, True),
          (IMAGE_NAME in facts, REPORT_NAME in facts))
    check(label + ": no element of theirs, no script ran",
          {"scripts": 2, "data": "report-data", "images": 0, "alerts": []},
          page.evaluate(NO_SCRIPT_BUT_OURS))
    if shot:
        page.screenshot(shot)
    return page


def column(page, k):
    return page.evaluate("""Array.from(document.querySelectorAll(
        'table[data-grid=cards] tbody tr td:nth-child(%d)')).map(function (td) { return td.textContent; })""" % k)


def check_table(page, rows):
    def ip_key(ip):
        return tuple(int(p) for p in ip.split("."))

    page.click("table[data-grid=cards] th:nth-child(1)")
    check("table: sorted by address, as numbers", sorted((r["ip"] for r in rows), key=ip_key), column(page, 1))
    page.click("table[data-grid=cards] th:nth-child(7)")
    seconds = [int(s) for s in column(page, 7)]
    check("table: sorted by seconds, as numbers", (sorted(seconds), True),
          (seconds, sorted(seconds) != sorted(seconds, key=str)))
    page.click("table[data-grid=cards] th:nth-child(7)")
    seconds = [int(s) for s in column(page, 7)]
    check("table: a second click sorts the other way", sorted(seconds, reverse=True), seconds)
    page.type_into("div.tools[data-grid=cards] input", "not started")
    halted = sorted(r["ip"] for r in rows if r["verdict"] == "not_started_halted")
    check("table: the filter keeps the rows that hold its text", (halted, "1\u20132 of 2 (of %d)" % len(rows)),
          (sorted(column(page, 1)), page.evaluate("document.querySelector('div.tools[data-grid=cards] .shown').textContent")))


def check_trace(path, rows):
    with open(path) as f:
        events = json.load(f)["traceEvents"]
    bars = [e for e in events if e.get("ph") == "X"]
    sent = sorted(r["ip"] for r in rows if int(r["bytes_sent"]) > 0)
    check("trace: one bar per card sent", sent, sorted(e["name"] for e in bars))
    overlaps = []
    by_slot = collections.defaultdict(list)
    for e in bars:
        by_slot[(e["pid"], e["tid"])].append((e["ts"], e["ts"] + e["dur"], e["name"]))
    for spans in by_slot.values():
        spans.sort()
        overlaps += [(a[2], b[2]) for a, b in zip(spans, spans[1:]) if b[0] < a[1]]
    check("trace: no two transfers at once in one slot", [], overlaps)


def test_signal(command, native, work, image):
    """SIGTERM in the middle of a run: the cards aborted, the page written."""
    cardsim = Cardsim(native, work, fleet_conf((ip, "fw=1.00 ack_delay=40") for ip in SLOW))
    report, page = os.path.join(work, "term.csv"), os.path.join(work, "term.html")
    try:
        proc = subprocess.Popen(command + ["upgrade", image, *SLOW, "--parallel", "1", "--report", report,
                                           "--html", page], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        while b": started" not in proc.stderr.readline():
            pass
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=30)
    finally:
        cardsim.stop()
    rows = csv_rows(report)
    with open(page, encoding="utf-8") as f:
        data = embedded_data(f.read())
    check("SIGTERM: every card aborted, the page written with the report's verdicts",
          (["aborted"] * 3, [(r["ip"], r["verdict"]) for r in rows]),
          ([r["verdict"] for r in rows],
           [(c["ip"], c["verdict"]) for c in (data or {"reports": [{"cards": []}]})["reports"][0]["cards"]]))


def main():
    command = sys.argv[1:]
    native = os.environ["DAVERIDUR_BIN"]
    work = tempfile.mkdtemp(prefix="daveridur-report-page.")
    os.environ["HOME"] = work
    image = os.path.join(work, IMAGE_NAME)
    subprocess.run([os.path.join(native, "tools/mkimage/mkimage"), image, "--version", "1.05",
                    "--size", "60000"], check=True, stdout=subprocess.DEVNULL)
    report = os.path.join(work, REPORT_NAME)
    run_page, report_page = os.path.join(work, "run.html"), os.path.join(work, "report.html")
    trace = os.path.join(work, "trace.json")
    cardsim = Cardsim(native, work, fleet_conf(FLEET))
    try:
        rc, out, err = run(command, "upgrade", image, *[ip for ip, _ in FLEET], "--waves", "2",
                           "--max-failures", "1", "--parallel", "2", "--report", report, "--html", run_page)
    finally:
        cardsim.stop()
    rows = csv_rows(report)
    check("the run: halted (exit 4), with every verdict the page must show", (4, [
        "applied", "applied", "refused", "not_applied", "not_started_halted", "not_started_halted",
        "no_connection", "current"]), (rc, [r["verdict"] for r in rows]))
    rc, out, err = run(command, "report", report, "--html", report_page, "--trace", trace)
    check("report --html --trace: exit 0", (0, ""), (rc, err))

    shots = os.environ.get("DAVERIDUR_SHOTS") or work
    os.makedirs(shots, exist_ok=True)
    with Browser() as browser:
        page = check_page(browser, run_page, rows, "upgrade --html", os.path.join(shots, "report-page.png"))
        check_table(page, rows)
        check_page(browser, report_page, rows, "report --html")
    check_trace(trace, rows)

    rc, out, err = run(command, "report", report, "--behind", "1.05")
    check("--behind: exactly the cards the run left behind",
          (0, ["10.69.40.3", "10.69.40.4", "10.69.40.5", "10.69.40.6", "10.69.40.9"]),
          (rc, sorted(line.split("\t")[1] for line in out.splitlines())))
    once = run(command, "report", report, "--json")
    check("a report read twice gives the same figures", (0, True),
          (once[0], run(command, "report", report, report, "--json")[1] == once[1]))

    test_signal(command, native, work, image)
    status = finish()
    if status == 0:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("work left in " + work)
    sys.exit(status)


if __name__ == "__main__":
    main()
