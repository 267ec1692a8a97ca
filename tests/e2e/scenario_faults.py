"""Faults on the network, driven from outside the program: a card that
answers from a port of its own (the transfer follows it), cards that lose
and duplicate a tenth of their packets both ways, an address without a card
whose direct query draws an ICMP port-unreachable, and a flood of junk
datagrams on both discovery sockets, then datagrams longer than those
sockets read. Through all of it the program keeps working: every card gets
exactly one report line, rows still update from real replies, the window
answers, nothing hangs. Packets on lo are watched with a packet socket (the
namespace's root may open one). Takes about 90 s.

    scripts/netns-run.sh scripts/wine-run.sh python3 tests/e2e/scenario_faults.py"""

import os
import random
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import card_lines, CONFIRM, DISCOVER, DISCOVERING, ICON_NO_REPLY, ICON_READY, INFORMATION, LIST, UPGRADE, Scene, Tally
from uidrive import DriverError, wait_until

LOSSY = ["10.69.0.71", "10.69.0.72", "10.69.0.73", "10.69.0.74", "10.69.0.75", "10.69.0.76"]
CLEAN = ["10.69.0.81", "10.69.0.82"]
BROADCAST_ONLY = "10.69.0.83"  # its row changes only through the broadcast socket
NO_CARD = "10.69.5.5"  # inside the card network, nobody listens there
HOST = "10.69.0.1"


def fleet(lossy=False, fw81="1.02", fw82="1.02", fw83="1.02"):
    knobs = " loss=0.1 dup=0.1" if lossy else ""
    lines = ["ip=%s mac=00-0a-ff-00-00-%s fw=1.02%s" % (ip, ip.split(".")[3], knobs) for ip in LOSSY]
    lines.append("ip=10.69.0.81 mac=00-0a-ff-00-00-81 fw=" + fw81)
    lines.append("ip=10.69.0.82 mac=00-0a-ff-00-00-82 fw=" + fw82)
    lines.append("ip=%s mac=00-0a-ff-00-00-83 unicast=0 fw=%s" % (BROADCAST_ONLY, fw83))
    return "\n".join(lines) + "\n"


# The discovery sockets read at most 1599 bytes; longer datagrams come last,
# on their own (see oversized_datagrams).
MAX_JUNK = 1599
IMAGE_BODY = 20000  # 40 blocks: quick even with a retransmission now and then
IDOK, IDYES = 1, 6
OP_RRQ, OP_WRQ, OP_DATA, OP_ACK, OP_ERROR = 1, 2, 3, 4, 5

t = Tally()


def without_stamp(data):
    return data[:28] + b"\0\0\0\0" + data[32:]


# What the loopback carries, seen from inside the namespace.

class Sniffer:
    """Captures the UDP and ICMP packets on lo while it runs: each UDP
    datagram as (src, sport, dst, dport, payload), each ICMP port-unreachable
    as (reporter, original destination, original port)."""

    def __init__(self):
        self.udp = []
        self.unreachable = []
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind(("lo", 0x0800))
        self.sock.settimeout(0.1)
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                packet, addr = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            if addr[2] == socket.PACKET_OUTGOING:
                continue  # lo shows every packet twice: keep the arriving copy
            self._parse(packet)

    def _parse(self, p):
        if len(p) < 20 or p[0] >> 4 != 4:
            return
        ihl = (p[0] & 15) * 4
        src, dst = socket.inet_ntoa(p[12:16]), socket.inet_ntoa(p[16:20])
        body = p[ihl:]
        if p[9] == 17 and len(body) >= 8:
            sport, dport = struct.unpack("!HH", body[:4])
            self.udp.append((src, sport, dst, dport, bytes(body[8:])))
        elif p[9] == 1 and len(body) >= 8 and body[0] == 3 and body[1] == 3:
            inner = body[8:]
            if len(inner) >= 20:
                iihl = (inner[0] & 15) * 4
                odst = socket.inet_ntoa(inner[16:20])
                oport = struct.unpack("!H", inner[iihl + 2:iihl + 4])[0] if len(inner) >= iihl + 4 else None
                self.unreachable.append((src, odst, oport))

    def stop(self):
        self.running = False
        self.thread.join(2)
        self.sock.close()


# The program, as an operator drives it.

def check_only(s, ips):
    """Ticks exactly the rows of these addresses."""
    lv = s.control(LIST)
    for i, ip in enumerate(s.ip_order()):
        s.driver.check(lv, i, ip in ips)


def icons(rows, ips):
    return {ip: rows[ip]["image"] if ip in rows else None for ip in ips}


def upgrade(s, ips, deadline_s):
    """Ticks the cards, Upgrade, Yes; waits (bounded) for the report and
    closes it. Returns (report lines or None, most progress windows at once)."""
    d = s.driver
    check_only(s, ips)
    wait_until(lambda: d.enabled(s.control(UPGRADE)), 3)
    d.click(s.control(UPGRADE))
    box = s.answer_box(CONFIRM, IDYES)
    if not box:
        return None, 0
    most = 0
    report = None
    deadline = time.monotonic() + deadline_s
    while time.monotonic() < deadline:
        report = d.msgbox(INFORMATION, 0)
        if report:
            break
        try:
            most = max(most, len(d.findall("prefix:Upg ")))
        except DriverError:
            pass
        time.sleep(0.2)
    if not report:
        return None, most
    s.last_report_hwnd = report["hwnd"]
    lines = report["text"].split("\r\n")
    # The last line names the kept report file; the card lines come before it.
    if lines and lines[-1].startswith("Report saved: "):
        lines.pop()
    return card_lines(lines), most


def close_report(s, main_window, name):
    d = s.driver
    hwnd = getattr(s, "last_report_hwnd", None)
    if hwnd:
        s.shot(hwnd, name)
        d.answer(hwnd, IDOK)
    t.true("%s: main window enabled after the report" % name, wait_until(lambda: d.enabled(main_window), 5))
    t.check("%s: no progress window left" % name, [], d.findall("prefix:Upg "))


def lines_by_ip(lines):
    out = {}
    for line in lines or []:
        ip, _, rest = line.partition(" ")
        out.setdefault(ip, []).append(" " + rest)
    return out


def received_ok(s, ip, image_bytes):
    try:
        got = open(s.path(os.path.join("received", ip + ".bin")), "rb").read()
    except OSError:
        return False
    return len(got) == len(image_bytes) and without_stamp(got) == without_stamp(image_bytes)


def clear_received(s):
    for name in os.listdir(s.path("received")):
        os.remove(os.path.join(s.path("received"), name))


# The scenarios.

def port_of_its_own(s, main_window, image):
    """The card answers the write request from a fresh port: the program
    sends every DATA block there."""
    ip = "10.69.0.81"
    sniffer = Sniffer()
    try:
        lines, _ = upgrade(s, [ip], 40)
    finally:
        time.sleep(0.3)
        sniffer.stop()
    t.check("own port: report", [ip + " OK."], lines)
    close_report(s, main_window, "faults-port-report")
    wrqs = [u for u in sniffer.udp if u[2] == ip and u[4][:2] == b"\0\2"]
    t.check("own port: the write request goes to port 69", {69}, {u[3] for u in wrqs})
    session_port = wrqs[0][1] if wrqs else None
    acks0 = [u for u in sniffer.udp if u[0] == ip and u[3] == session_port and u[4][:4] == b"\0\4\0\0"]
    card_ports = {u[1] for u in acks0}
    t.true("own port: ACK 0 comes from a port other than 69 (%r)" % card_ports,
           len(card_ports) == 1 and 69 not in card_ports)
    data = [u for u in sniffer.udp if u[0] == HOST and u[1] == session_port and u[2] == ip and
            u[4][:2] == b"\0\3"]
    image_bytes = open(image, "rb").read()
    t.check("own port: every DATA block goes to the card's port",
            (card_ports, len(image_bytes) // 512 + 1), ({u[3] for u in data}, len({u[4][2:4] for u in data})))
    t.true("own port: the card received the file but for the stamp", received_ok(s, ip, image_bytes))
    t.check("own port: one write request recorded", 1, len([r for r in s.records("wrq") if r["ip"] == ip]))


def loss_and_duplication(s, main_window, image):
    """A tenth of the packets lost and a tenth sent twice, both ways: each
    card ends with " OK." (and the file's bytes) or " Timeout.", once."""
    s.reload_fleet(fleet(lossy=True))
    clear_received(s)
    started = time.monotonic()
    sniffer = Sniffer()
    try:
        lines, most = upgrade(s, LOSSY, 150)
    finally:
        sniffer.stop()
    took = time.monotonic() - started
    repeats = {"DATA": 0, "ACK": 0}  # packets seen more than once on the wire
    seen = set()
    for src, sport, dst, dport, payload in sniffer.udp:
        kind = {b"\0\3": "DATA", b"\0\4": "ACK"}.get(payload[:2])
        if kind and (src in LOSSY or dst in LOSSY):
            key = (src, dst, payload[:4])
            repeats[kind] += key in seen
            seen.add(key)
    print("loss: packets seen twice on the wire: %r" % repeats, flush=True)
    t.true("loss: the cards did lose and repeat packets (%r)" % repeats, repeats["DATA"] and repeats["ACK"])
    print("lossy batch of %d cards took %.0f s" % (len(LOSSY), took), flush=True)
    t.true("loss: report shown", lines is not None)
    by_ip = lines_by_ip(lines)
    t.check("loss: exactly one line per card, nothing else", sorted(LOSSY), sorted(by_ip))
    t.check("loss: one line each", {ip: 1 for ip in LOSSY}, {ip: len(by_ip.get(ip, [])) for ip in LOSSY})
    outcomes = {ip: by_ip.get(ip, [None])[0] for ip in LOSSY}
    # These cards never change their version. The check after " OK." takes
    # three of its queries lost in a row for a restart, and the next answer,
    # the old version, for an image that did not take: a whole transfer
    # then reads " Not applied : still 1.02 ." once the check has its say
    # before the report (a slow batch, a first card).
    whole = (" OK.", " Not applied : still 1.02 .")
    t.true("loss: each line is OK., Not applied or Timeout. (%r)" % outcomes,
           all(o in whole + (" Timeout.",) for o in outcomes.values()))
    t.true("loss: at most four at a time (%d)" % most, 1 <= most <= 4)
    image_bytes = open(image, "rb").read()
    good = [ip for ip, o in outcomes.items() if o in whole]
    print("loss outcomes: %s" % outcomes, flush=True)
    # A lost last ACK after the card has stopped lingering ends in " Timeout.",
    # now and then; most cards still get through.
    t.true("loss: most cards made it (%d of %d)" % (len(good), len(LOSSY)), len(good) >= len(LOSSY) // 2)
    t.check("loss: every OK card holds the file but for the stamp", {ip: True for ip in good},
            {ip: received_ok(s, ip, image_bytes) for ip in good})
    oks = {}
    for r in s.records("upload"):
        if r["ip"] in good and r["status"] == "ok":
            oks[r["ip"]] = oks.get(r["ip"], 0) + 1
    t.check("loss: one complete upload recorded per OK card", {ip: 1 for ip in good}, oks)
    close_report(s, main_window, "faults-loss-report")


def port_unreachable(s, main_window):
    """A card added by hand where nobody listens: its query draws an ICMP
    port-unreachable on the query socket, which must not stop the replies of
    real cards from being merged afterwards."""
    s.reload_fleet(fleet(lossy=True, fw82="1.03"))
    sniffer = Sniffer()
    try:
        s.add_card(NO_CARD)
        rows = s.wait_rows(lambda r: NO_CARD in r, 5)
        t.check("unreachable: the hand-added row", (["10.69.5.5", "00-00-00-00-00-00", "--.--", "admin", "", ""],
                                                    ICON_NO_REPLY),
                (rows.get(NO_CARD, {}).get("cells"), rows.get(NO_CARD, {}).get("image")))
        wait_until(lambda: sniffer.unreachable, 3)
        s.discover()
        expected = {"10.69.0.81": ICON_READY, "10.69.0.82": ICON_READY, NO_CARD: ICON_NO_REPLY}
        rows = s.wait_rows(lambda r: icons(r, expected) == expected and
                           r.get("10.69.0.82", {}).get("cells", [""] * 3)[2] == "1.03", 8)
    finally:
        sniffer.stop()
    t.true("unreachable: the kernel answered the query with port-unreachable (%r)" % sniffer.unreachable[:3],
           any(u[1] == NO_CARD and u[2] == 69 for u in sniffer.unreachable))
    t.check("unreachable: direct replies still merged after it", expected, icons(rows, expected))
    t.check("unreachable: a changed card shows its new version", "1.03",
            rows.get("10.69.0.82", {}).get("cells", [None] * 3)[2])
    listed = s.ip_order()
    t.check("unreachable: duplicated replies share their rows", sorted(set(listed)), sorted(listed))
    t.check("unreachable: every card listed once", sorted(LOSSY + CLEAN + [BROADCAST_ONLY, NO_CARD]),
            sorted(listed))
    s.shot(main_window, "faults-unreachable-rows")

    lines, _ = upgrade(s, [NO_CARD, "10.69.0.81"], 60)
    by_ip = lines_by_ip(lines)
    t.check("unreachable: one line per card", {NO_CARD: 1, "10.69.0.81": 1},
            {ip: len(v) for ip, v in by_ip.items()})
    t.check("unreachable: the real card OK", [" OK."], by_ip.get("10.69.0.81"))
    t.true("unreachable: the empty address fails (%r)" % by_ip.get(NO_CARD),
           by_ip.get(NO_CARD) in ([" No connection , abort."], [" Timeout."]))
    close_report(s, main_window, "faults-unreachable-report")


class Flood:
    """Junk datagrams to the program's discovery sockets from a thread:
    a first burst back to back, then a steady stream until stopped."""

    TEXTS = [
        b"MX-2 SNMP/WEB Card",  # no marker at all
        b"+PROD : 0x00010004\r\n+IP : 10.69.9.1\r\n+MAC : 00-0a-ff-09-09-01\r\n+FW : v1.02\r\n",  # 1st line
        b"x\r\n+PROD : 0x00020004\r\n+IP : 10.69.9.2\r\n+MAC : 00-0a-ff-09-09-02\r\n+FW : v1.02\r\n",
        b"x\r\n+PROD : 0x00010005\r\n+IP : 10.69.9.3\r\n+MAC : 00-0a-ff-09-09-03\r\n+FW : v1.02\r\n",
        b"x\r\n+PROD : 0x00010004\r\n+MAC : 00-0a-ff-09-09-04\r\n+FW : v1.02\r\n",  # no IP
        b"x\r\n+PROD : 0x00010004\r\n+IP 10.69.9.5\r\n+MAC 00-0a-ff-09-09-05\r\n+FW v1.02\r\n",  # no colons
        b"x\r\n+PROD : 0x00010004\r\n+IP : 10.69.9.6\r\n+FW : v1.02\r\n",  # no MAC
        b"x\r\n+PROD : 0x00010004\r\n+IP : 10.69.9.7\r\n+MAC : 00-0a-ff-09-09-07\r\n",  # no FW
        b"x\r\n+PROD : 0x00010004\r\n+IP : 10.69.9.8\r\n+MAC : 00-0a-ff-09-09-08\r\n+FW : 1.02\r\n",  # no v
        b"x\r\n+PROD : 0x00010004\r\n+IP : 10.69.9.9\r\n+MAC : 00-0a-ff-09-09-09\r\n+FW : v1\r\n",  # no dot
        b"x\r\n+PROD",  # marker at the very end
        b"x\r\n+PROD : 0xffffffffffffffffffff\r\n+IP : 10.69.9.10\r\n+MAC : 0\r\n+FW : v9.99\r\n",
        b"\r\n" * 200,
    ]

    def __init__(self, ports, seed=7):
        self.ports = ports
        self.rng = random.Random(seed)
        self.sent = 0
        self.running = True
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("10.69.200.1", 0))
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def junk(self):
        r = self.rng
        kind = r.randrange(7)
        if kind == 0:
            return bytes(r.getrandbits(8) for _ in range(r.randrange(MAX_JUNK + 1)))
        if kind == 1:
            return bytes(r.getrandbits(8) for _ in range(r.randrange(1, 4)))
        if kind == 2:
            return struct.pack("!HH", OP_DATA, r.choice([0, 1, 2, 65535])) + r.choice(self.TEXTS)
        if kind == 3:
            return struct.pack("!HH", OP_ACK, r.randrange(65536))
        if kind == 4:
            msg = bytes(r.randrange(32, 127) for _ in range(r.randrange(60)))
            return struct.pack("!HH", OP_ERROR, r.randrange(8)) + msg + (b"\0" if r.randrange(2) else b"")
        if kind == 5:
            return struct.pack("!HH", OP_DATA, 1) + bytes(r.randrange(32, 127)
                                                          for _ in range(r.randrange(512, MAX_JUNK - 3)))
        return struct.pack("!H", r.choice([OP_RRQ, OP_WRQ])) + b"sysinfo\0octet\0"

    def _send(self, sock):
        try:
            sock.sendto(self.junk(), (HOST, self.ports[self.sent % len(self.ports)]))
            self.sent += 1
        except OSError:
            pass  # a queue full for a moment, or an earlier ICMP error reported here

    def _run(self):
        for _ in range(1500):
            self._send(self.sock)
        while self.running and self.sent < 12000:
            # Some junk from sockets that close at once, so that the program's
            # answers to it come back as port-unreachable errors.
            if self.rng.randrange(4) == 0:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as gone:
                    gone.bind(("10.69.200.2", 0))
                    for _ in range(5):
                        self._send(gone)
            for _ in range(20):
                self._send(self.sock)
            time.sleep(0.05)

    def stop(self):
        self.running = False
        self.thread.join(5)
        self.sock.close()


def responsive(s, name, clicks=True):
    """Reads the table and clicks a column header twice (not while the main
    window is disabled); every call must come back quickly. Returns the
    slowest call in seconds, None when one failed."""
    slowest = 0.0
    lv = s.control(LIST)
    actions = [lambda: s.rows()]
    if clicks:
        actions += [lambda: s.driver.header(lv, 1), lambda: s.driver.header(lv, 1), lambda: s.rows()]
    for action in actions:
        began = time.monotonic()
        try:
            action()
        except DriverError as e:
            print("%s: %s" % (name, e), flush=True)
            return None
        slowest = max(slowest, time.monotonic() - began)
    return slowest


def junk_flood(s, main_window, image):
    """Thousands of junk datagrams on the query and broadcast sockets, during
    a Discover and an upgrade: the window answers, no junk becomes a row,
    real replies still update the rows, the transfers complete."""
    d = s.driver
    ports = s.discovery_ports()
    t.true("flood: both discovery sockets known from the records (%r)" % (ports,),
           None not in ports and ports[0] != ports[1])
    if None in ports:
        return
    s.reload_fleet(fleet(lossy=True, fw81="1.04", fw82="1.03"))
    before = s.ip_order()
    lines, during_upgrade = None, (0, 0)
    flood = Flood(ports)
    try:
        slowest = []
        wait_until(lambda: flood.sent >= 1500, 10)
        slowest.append(responsive(s, "flood: idle sockets"))
        s.shot(main_window, "faults-flood-main")
        # The Discover opens the broadcast socket to everything that comes.
        d.click(s.control(DISCOVER))
        dialog = d.find(DISCOVERING, 10000)
        t.true("flood: the discovery dialog opens", dialog)
        if dialog:
            s.shot(dialog, "faults-flood-discover")
            d.gone(dialog, 20000)
        expected = {"10.69.0.81": ICON_READY, "10.69.0.82": ICON_READY}
        rows = s.wait_rows(lambda r: icons(r, expected) == expected and
                           r.get("10.69.0.81", {}).get("cells", [""] * 3)[2] == "1.04", 10)
        t.check("flood: real replies still update the rows", (expected, "1.04"),
                (icons(rows, expected), rows.get("10.69.0.81", {}).get("cells", [None] * 3)[2]))
        slowest.append(responsive(s, "flood: after the Discover"))
        sent_before = flood.sent
        lines, _ = upgrade(s, CLEAN, 60)
        during_upgrade = (sent_before, flood.sent)
        slowest.append(responsive(s, "flood: with the report open", clicks=False))
    finally:
        flood.stop()
    print("flood: %d junk datagrams sent to ports %r" % (flood.sent, ports), flush=True)
    t.true("flood: a few thousand datagrams went out (%d)" % flood.sent, flood.sent >= 3000)
    t.true("flood: still flooding while the batch ran (%d, %d)" % during_upgrade,
           during_upgrade[1] > during_upgrade[0])
    t.true("flood: every table read and click came back within 5 s (%r)" % slowest,
           all(x is not None and x < 5 for x in slowest))
    t.check("flood: report", sorted(ip + " OK." for ip in CLEAN), sorted(lines or []))
    close_report(s, main_window, "faults-flood-report")
    image_bytes = open(image, "rb").read()
    t.check("flood: the cards hold the file but for the stamp", {ip: True for ip in CLEAN},
            {ip: received_ok(s, ip, image_bytes) for ip in CLEAN})
    after = s.ip_order()
    t.check("flood: no junk became a row", sorted(before), sorted(after))
    t.true("flood: the table still sorts on a header click", s.sort_by_ip())


def oversized_datagrams(s, main_window):
    """Datagrams longer than the discovery sockets read (1600 to 2000
    bytes) on both sockets: the cards' replies must still be answered and
    merged afterwards. Last, because a program that fails here has lost its
    discovery for the rest of the run."""
    query_port, broadcast_port = s.discovery_ports()
    s.reload_fleet(fleet(lossy=True, fw81="1.05", fw82="1.03", fw83="1.05"))
    rng = random.Random(11)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as junk:
        junk.bind(("10.69.200.3", 0))
        for i in range(40):
            size = rng.randrange(1600, 2001)
            payload = struct.pack("!HH", OP_DATA, 1) + bytes(rng.randrange(32, 127) for _ in range(size - 4))
            junk.sendto(payload, (HOST, query_port if i % 2 else broadcast_port))
    time.sleep(1.5)  # the receive threads wake once a second
    t.true("oversized: the window still answers", responsive(s, "oversized") is not None)
    answers_before = len(s.records("answer"))
    s.discover()
    expected = {"10.69.0.81": ICON_READY, "10.69.0.82": ICON_READY}

    def version(rows, ip):
        return rows.get(ip, {}).get("cells", [None] * 3)[2]

    rows = s.wait_rows(lambda r: icons(r, expected) == expected and version(r, "10.69.0.81") == "1.05" and
                       version(r, BROADCAST_ONLY) == "1.05", 6)
    # Only a merged direct reply makes a row ready again; only a merged
    # broadcast reply changes the broadcast-only card.
    t.check("oversized: direct replies still merged", (expected, "1.05"),
            (icons(rows, expected), version(rows, "10.69.0.81")))
    t.check("oversized: broadcast replies still merged", "1.05", version(rows, BROADCAST_ONLY))
    time.sleep(2.5)  # a card gives up waiting for the program's answer after 2 s
    print("oversized: the program's answers to the replies: %s" % sorted(
        {(r["ip"], r["via"], r["kind"]) for r in s.records("answer")[answers_before:]
         if r["ip"] in CLEAN + [BROADCAST_ONLY]}), flush=True)
    s.shot(main_window, "faults-oversized-rows")


def main():
    started = time.monotonic()
    with Scene(fleet()) as s:
        main_window = s.start_program()
        image = s.make_image("fw.bin", "--version", "1.05", "--date", "07042000", "--size", str(IMAGE_BODY))
        s.discover()
        everyone = LOSSY + CLEAN
        rows = s.wait_rows(lambda r: icons(r, everyone) == {ip: ICON_READY for ip in everyone}, 10)
        t.check("fleet listed and ready", {ip: ICON_READY for ip in everyone}, icons(rows, everyone))
        t.true("rows in address order", s.sort_by_ip())
        s.open_image(image)
        port_of_its_own(s, main_window, image)
        loss_and_duplication(s, main_window, image)
        port_unreachable(s, main_window)
        junk_flood(s, main_window, image)
        oversized_datagrams(s, main_window)
        t.true("the program still runs", s.program.poll() is None)
        t.true("and quits when asked", s.quit())
    print("faults scenario took %.0f s" % (time.monotonic() - started))
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
