"""What the network tests of the command-line tool and the collection share:
the count of their checks, a cardsim fleet with its record, and a tool run
whose output goes to files."""

import os
import signal
import subprocess
import tempfile
import time


class _Count:
    passed = 0
    failed = 0


def check(name, expected, actual, echo=False):
    """One check: counted, and its two sides printed when they differ
    (and its name when they agree, with echo)."""
    if expected == actual:
        _Count.passed += 1
        if echo:
            print("ok   %s" % name, flush=True)
        return True
    _Count.failed += 1
    print("FAILED %s\n  expected: %r\n  actual:   %r" % (name, expected, actual), flush=True)
    return False


def failures():
    return _Count.failed


def finish(suffix=""):
    """Prints the count and returns the exit status."""
    print("%d passed, %d failed%s" % (_Count.passed, _Count.failed, suffix), flush=True)
    return 1 if _Count.failed else 0


def run(command, *args, timeout=120, raw=False):
    """(exit status, stdout, stderr) of one run of the tool, as text (as
    bytes with raw). Files, not pipes: Wine's helper processes started by a
    first run inherit its output and would hold a pipe open long after it
    ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.run(list(command) + list(args), stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        if raw:
            return p.returncode, out.read(), err.read()
        return p.returncode, out.read().decode(errors="replace"), err.read().decode(errors="replace")


class Tool:
    def __init__(self, command, timeout=120):
        self.command, self.timeout = command, timeout

    def run(self, *args, timeout=None):
        return run(self.command, *args, timeout=timeout or self.timeout)


def lines(text):
    return [l.rstrip("\r") for l in text.splitlines() if l.strip()]


class Cardsim:
    """The simulated cards of one configuration, and the record of what
    they saw. `prefix` starts it elsewhere (another namespace)."""

    def __init__(self, native, work, conf, *args, prefix=(), name="cardsim"):
        self.work, self.name = work, name
        self.conf = os.path.join(work, "fleet.conf")
        self.record = os.path.join(work, "record")
        with open(self.conf, "w") as f:
            f.write(conf)
        ready = os.path.join(work, "ready")
        if os.path.exists(ready):  # a cardsim before this one's
            os.remove(ready)
        self.proc = subprocess.Popen(
            list(prefix) + [os.path.join(native, "tools/cardsim/cardsim"), "--config", self.conf,
                            "--record", self.record, "--ready-file", ready] + list(args),
            stderr=open(os.path.join(work, "cardsim.log"), "w"))
        for _ in range(200):
            if os.path.exists(ready):
                return
            time.sleep(0.05)
        raise RuntimeError("%s did not start" % name)

    def reconfigure(self, conf):
        """A new configuration, taken once cardsim says it reloaded."""
        before = len(self.events("reload"))
        with open(self.conf, "w") as f:
            f.write(conf)
        self.proc.send_signal(signal.SIGHUP)
        for _ in range(100):
            if len(self.events("reload")) > before:
                return
            time.sleep(0.05)
        raise RuntimeError("%s did not reload" % self.name)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)

    def mark(self):
        return len(self.events())

    def events(self, *names, since=0, **match):
        """(index, event, fields) of the record's whole lines from line
        `since`, of these events (all without names), whose fields hold
        `match`."""
        out = []
        with open(self.record) as f:
            for i, line in enumerate(f.read().split("\n")[:-1]):
                if i < since:
                    continue
                parts = line.split("\t")
                fields = dict(p.split("=", 1) for p in parts[1:] if "=" in p)
                if (not names or parts[0] in names) and all(fields.get(k) == v for k, v in match.items()):
                    out.append((i, parts[0], fields))
        return out

    def records(self, *names, since=0, **match):
        """The fields alone of events()."""
        return [fields for _, _, fields in self.events(*names, since=since, **match)]
