"""The window's half of bench/rollout.sh (bench/rollout.sh window), inside
the private network and a Wine prefix of its own: the rollout benchmark's
fleet, discovered by the real program, every row ticked, a rollout in waves
at "Transfers at once" 32 driven from outside. Prints the wall time from
the confirmation's Yes to the report beside the lower bound of the same run
(per wave, its cards 32 at a time at the mean transfer time measured, plus
the restart and one check interval), the same fleet through daveridur-cli
--parallel 32 with the same waves, and the window's answer time (WM_NULL
sent from another process every 20 ms) during the run: p50, p99, max.

    python3 bench/rollout_window.py

The Rollout dialog has a first wave and later waves, so the waves are the
first and last entries of ROLLOUT_WAVES ("1,10,25%" runs as 1, then 25 % at
a time, for the window and the CLI alike). The fleet comes from the
environment as for bench/rollout.sh; ROLLOUT_WINDOW_PARALLEL [32]."""

import math
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
sys.path.insert(0, HERE)

import rollout_bench as rb  # noqa: E402  (the fleet's settings and helpers)
from scene import CONFIRM, ICON_READY, INFORMATION, LIST, UPGRADE, Scene  # noqa: E402
from uidrive import Driver, unix_path, wait_until  # noqa: E402

PARALLEL = int(os.environ.get("ROLLOUT_WINDOW_PARALLEL", "32"))
STEPS = [s.strip() for s in rb.WAVES.split(",")]
FIRST, LATER = STEPS[0], STEPS[-1]
WAVES = FIRST + "," + LATER
REPORT_TEXT = 1041  # the long report's text field
MENU_CLASS = "class:#32768"
ROLLOUT_ITEM = 6
IDOK, IDYES = 1, 6


def percentile(samples, p):
    if not samples:
        return float("nan")
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(math.ceil(p / 100.0 * len(ordered))) - 1)]


def set_rollout(s):
    d = s.driver
    list_view = s.control(LIST)
    d.key(list_view, "APPS")
    d.find(MENU_CLASS, 5000)
    for _ in range(ROLLOUT_ITEM):
        d.key(list_view, "DOWN")
    d.key(list_view, "RETURN")
    dialog = d.find("Rollout", 10000)
    if not dialog:
        sys.exit("no rollout dialog")
    if not d.checked(d.child(dialog, 1050)):
        d.click(d.child(dialog, 1050))
    for control, text in ((1051, FIRST), (1052, LATER), (1053, "1"), (1056, str(PARALLEL))):
        d.settext(d.child(dialog, control), text)
    d.click(d.child(dialog, IDOK))
    if not d.gone(dialog, 5000):
        box = d.msgbox(CONFIRM, 1000)
        sys.exit("the rollout dialog refused: %s" % (box and box["text"]))


def report_text(d, box_hwnd):
    """The report's text: the long report's field, or the message box's."""
    field = d.child(box_hwnd, REPORT_TEXT)
    return d.text(field) if field else d.msgbox(INFORMATION, 0)["text"]


def watch_latency(scene, main, samples, done):
    """A second driver process sends WM_NULL to the main window until done."""
    with Driver(os.path.join(scene.windows, "tools/uidrive/uidrive.exe")) as probe:
        while not done.is_set():
            samples.extend(probe.latency(main, 2000, 20))


def program_pid():
    """The process of daveridur.exe under Wine (its command line names it)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if any(a.lower().endswith(b"daveridur.exe") for a in args):
            return int(pid)
    return None


def watch_threads(counts, done):
    """The program's thread count (its Wine threads included) while it runs."""
    pid = program_pid()
    while pid and not done.is_set():
        try:
            counts.append(len(os.listdir("/proc/%d/task" % pid)))
        except OSError:
            return
        time.sleep(0.2)


def window_run(work):
    fleet_args = ["--fleet", str(rb.CARDS), "--base", rb.ip_of(0), "--fw", "1.00", "--ack_delay", str(rb.ACK_MS),
                  "--restart", str(rb.RESTART_S), "--restart_fw", "2.00"]
    with Scene("", cardsim_args=fleet_args, work_root=work) as s:
        d = s.driver
        image = s.make_image("fw.bin", "--size", str(rb.IMAGE_KB * 1024), "--seed", "5", "--version", "2.00")
        s.set_setting("SettleSeconds", str(rb.SETTLE_S))  # the CLI's --settle beside it
        s.start_program(60)
        s.discover()
        rows = s.wait_rows(lambda r: len(r) == rb.CARDS and all(x["image"] == ICON_READY for x in r.values()),
                           120)
        if len(rows) != rb.CARDS:
            sys.exit("only %d of %d cards listed ready" % (len(rows), rb.CARDS))
        set_rollout(s)
        s.open_image(image)
        list_view = s.control(LIST)
        for row in range(rb.CARDS):
            d.check(list_view, row, True)
        wait_until(lambda: d.enabled(s.control(UPGRADE)), 5)
        d.click(s.control(UPGRADE))
        box = d.msgbox(CONFIRM, 30000)
        if not box:
            sys.exit("no confirmation")
        samples, done = [], threading.Event()
        watcher = threading.Thread(target=watch_latency, args=(s, s.main, samples, done))
        watcher.start()
        threads_before = len(os.listdir("/proc/%d/task" % program_pid())) if program_pid() else 0
        counts = []
        counter = threading.Thread(target=watch_threads, args=(counts, done))
        counter.start()
        t0 = time.monotonic()
        d.answer(box["hwnd"], IDYES)
        # A report of more than 30 cards is a dialog of its own, no message box.
        report = None
        while not report and time.monotonic() - t0 < 3600:
            report = d.find(INFORMATION, 60000)
        wall = time.monotonic() - t0
        done.set()
        watcher.join()
        counter.join()
        print("  threads    %d before the run, at most %d during it (the program's own and Wine's)" %
              (threads_before, max(counts or [0])), flush=True)
        if not report:
            sys.exit("no report within an hour")
        text = report_text(d, report)
        last = text.split("\r\n")[-1]
        kept = unix_path(last[len("Report saved: "):]) if last.startswith("Report saved: ") else None
        per_card = rb.mean_transfer_s(kept) if kept and os.path.exists(kept) else float("nan")
        ok_lines = sum(1 for line in text.split("\r\n") if line.endswith(" OK."))
        d.answer(report, IDOK)
        return wall, per_card, ok_lines, samples


def main():
    work = os.path.join(os.environ.get("TMPDIR", "/tmp"), "daveridur-rollout-window.%d" % os.getpid())
    os.makedirs(work)
    sizes = rb.wave_sizes(WAVES, rb.CARDS)
    print("window: %d cards, %d KB image, %.0f ms per block, restart %.0f s, waves %s -> %s, %d at once" %
          (rb.CARDS, rb.IMAGE_KB, rb.ACK_MS, rb.RESTART_S, WAVES, sizes, PARALLEL), flush=True)
    wall, per_card, ok_lines, samples = window_run(work)
    bound = sum(math.ceil(w / PARALLEL) * per_card + rb.RESTART_S + rb.CHECK_PERIOD_S + rb.HELD_S
                for w in sizes)
    print("  window     %4d/%d OK  wall %7.1f s  bound %7.1f s  ratio %.3f  (%.2f s per card)" %
          (ok_lines, rb.CARDS, wall, bound, wall / bound, per_card), flush=True)
    print("  latency    %d WM_NULL round trips: p50 %.1f ms  p99 %.1f ms  max %.1f ms" %
          (len(samples), percentile(samples, 50), percentile(samples, 99), max(samples or [float("nan")])),
          flush=True)

    # The same fleet through the command-line tool, under Wine as well.
    cli = os.path.join(os.environ.get("DAVERIDUR_WINDOWS_BIN", "build/windows"), "cli", "daveridur-cli.exe")
    subprocess.run([rb.MKIMAGE, os.path.join(work, "fw.bin"), "--size", str(rb.IMAGE_KB * 1024), "--seed", "5",
                    "--version", "2.00"], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(work, "cards.csv"), "w") as f:
        f.write("".join(rb.ip_of(i) + "\r\n" for i in range(rb.CARDS)))
    rb.WAVES = WAVES
    fleet = rb.Fleet(work, "cli")
    rc, cli_wall, report, lines = rb.run_cli([os.environ.get("WINE", "wine"), cli], work, "cli", [], PARALLEL)
    fleet.stop()
    cli_card = rb.mean_transfer_s(report)
    cli_bound = sum(math.ceil(w / PARALLEL) * cli_card + rb.RESTART_S + rb.CHECK_PERIOD_S + rb.HELD_S
                for w in sizes)
    applied = sum(1 for l in lines if l.get("verified") == "applied")
    print("  cli        %4d/%d applied  wall %7.1f s  bound %7.1f s  ratio %.3f  (%.2f s per card, exit %d)" %
          (applied, rb.CARDS, cli_wall, cli_bound, cli_wall / cli_bound, cli_card, rc))
    print("  the window takes %.2f x the CLI's time (--parallel %d)" % (wall / cli_wall, PARALLEL))
    subprocess.run(["rm", "-rf", work])
    return 0 if ok_lines == rb.CARDS and rc == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
