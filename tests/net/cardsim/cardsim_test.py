#!/usr/bin/env python3
"""Network test of tools/cardsim, with raw UDP.

Run ONLY inside a private network namespace, e.g.
  unshare --net bash -c 'ip link set lo up; ip addr add 10.69.0.1/16 dev lo;
      ip route add default dev lo; python3 tests/net/cardsim_test.py build/native/tools/cardsim/cardsim'
"""
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

CLIENT_IP = "10.69.0.1"
FLEET_BASE = (10 << 24) | (69 << 16) | (20 << 8) | 1  # 10.69.20.1
FLEET = 1000
RRQ = b"\x00\x01sysinfo\x00octet\x00"
DISK_FULL = b"\x00\x05\x00\x03Disk full or allocation exceeded\x00"

CONFIG = """\
# cards for the test; fleet cards come from --fleet
ip=10.69.1.1 mac=00-0a-ff-01-02-03 prod=0x00020007 fw=1.02
ip=10.69.1.2 write=0 broadcast=0 fw_raw="2.10 beta"
ip=10.69.1.3 reply_size=600
ip=10.69.1.4 silent=1
ip=10.69.1.5 loss=0.25 dup=0.25 user=op password=s3cret broadcast=0   # lossy link
ip=10.69.1.6 error_at=3 password=pw
ip=10.69.1.7 delay=300 text="Custom\\r\\n+IP : 10.69.1.7\\r\\n\\tend\\\\"
ip=10.69.1.8 user=root password=secret account_error="Bad login"
ip=10.69.1.9 idle_timeout=0.5 linger=0.5
ip=10.69.1.11 ack_delay=150 broadcast=0
"""

passed = 0
failed = 0


def check(name, cond, detail=""):
    global passed, failed
    if cond:
        passed += 1
    else:
        failed += 1
        print(f"FAIL {name} {detail}")
    return cond


def guard():
    """Refuse to run where packets could leave the machine."""
    route = None
    with open("/proc/net/route") as f:
        next(f)
        for line in f:
            col = line.split()
            if col[1] == "00000000" and col[7] == "00000000":
                route = col[0]
    with open("/proc/net/dev") as f:  # this namespace's interfaces (sysfs may be the host's)
        others = [l.split(":")[0].strip() for l in f.readlines()[2:]]
    others = [n for n in others if n != "lo"]
    if route != "lo" or others:
        sys.exit(f"refusing to run: default route via {route!r}, interfaces {others}; "
                 "run inside a private network namespace (see the top of this file)")


def fleet_ip(i):
    return socket.inet_ntoa(struct.pack("!I", FLEET_BASE + i))


def card_text(ip, mac, prod=0x00010004, fw="v1.00", write=True):
    t = (f"MX-2 SNMP/WEB Card\r\n+PROD : 0x{prod:08X}\r\n+IP : {ip}\r\n+MAC : {mac}\r\n"
         f"+FW : {fw}\r\n")
    return (t + ("+WRQ : ACCEPT\r\n" if write else "")).encode()


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def client(timeout=0.5):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind((CLIENT_IP, 0))
    s.settimeout(timeout)
    return s


def recv_until(sock, timeout, pred, seen=None):
    """Next datagram satisfying pred(pkt, addr) within timeout, else (None, None)."""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return None, None
        sock.settimeout(left)
        try:
            pkt, addr = sock.recvfrom(70000)
        except socket.timeout:
            return None, None
        if seen is not None:
            seen.append((pkt, addr))
        if pred(pkt, addr):
            return pkt, addr


class Records:
    def __init__(self, path):
        self.path = path

    def all(self):
        out = []
        with open(self.path) as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                out.append((parts[0], dict(p.split("=", 1) for p in parts[1:])))
        return out

    def find(self, event, **want):
        return [r for e, r in self.all()
                if e == event and all(r.get(k) == v for k, v in want.items())]

    def wait(self, event, timeout=2.0, **want):
        deadline = time.monotonic() + timeout
        while True:
            got = self.find(event, **want)
            if got or time.monotonic() > deadline:
                return got
            time.sleep(0.02)


def sysinfo(ip, sock=None, timeout=0.5):
    s = sock or client()
    s.sendto(RRQ, (ip, 69))
    return recv_until(s, timeout, lambda p, a: a[0] == ip)


def port_of(sock):
    return str(sock.getsockname()[1])


# ---- tests ----------------------------------------------------------------

def test_sysinfo_unicast(rec):
    a = client()
    pkt, addr = sysinfo("10.69.1.1", a)
    check("unicast reply arrives", pkt is not None)
    if pkt:
        check("reply from a fresh port", addr[1] != 69, str(addr))
        check("reply is DATA 1", pkt[:4] == b"\x00\x03\x00\x01", pkt[:4].hex())
        want = card_text("10.69.1.1", "00-0a-ff-01-02-03", prod=0x00020007, fw="v1.02")
        check("generated text", pkt[4:] == want, repr(pkt[4:]))
        a.sendto(b"\x00\x04\x00\x01", addr)
    b = client()
    pkt, addr = sysinfo("10.69.1.2", b)
    want = card_text("10.69.1.2", "00-0a-fe-45-01-02", fw="2.10 beta", write=False)
    check("fw_raw, derived mac, no WRQ line", pkt and pkt[4:] == want, repr(pkt))
    if pkt:
        b.sendto(DISK_FULL, addr)
    c = client()
    pkt, addr = sysinfo("10.69.1.3", c)
    check("reply_size pads to 600 bytes", pkt and len(pkt) == 600, pkt and len(pkt))
    if pkt:
        base = card_text("10.69.1.3", "00-0a-fe-45-01-03")
        check("padding is blank", pkt[4:].startswith(base) and not pkt[4 + len(base):].strip())
    pkt, addr = sysinfo("10.69.1.7", timeout=0.25)
    check("delay holds the reply back", pkt is None)
    d = client()
    t0 = time.monotonic()
    pkt, addr = sysinfo("10.69.1.7", d, timeout=1.0)
    check("delayed raw text", pkt and pkt[4:] == b"Custom\r\n+IP : 10.69.1.7\r\n\tend\\", repr(pkt))
    check("delay about 300 ms", 0.28 <= time.monotonic() - t0 < 0.9)

    ack = rec.wait("answer", ip="10.69.1.1", **{"from": f"{CLIENT_IP}:{port_of(a)}"})
    check("ACK recorded", ack and ack[0]["kind"] == "ACK" and ack[0]["block"] == "1", ack)
    err = rec.wait("answer", ip="10.69.1.2")
    check("ERROR recorded", err and err[0]["kind"] == "ERROR" and err[0]["code"] == "3"
          and err[0]["msg"] == "Disk full or allocation exceeded", err)
    none = rec.wait("answer", ip="10.69.1.3")
    check("NONE recorded", none and none[0]["kind"] == "NONE", none)
    got = rec.find("sysinfo", ip="10.69.1.1", via="unicast")
    check("sysinfo recorded", got and got[0]["from"] == f"{CLIENT_IP}:{port_of(a)}", got)


def test_silent(rec):
    s = client()
    s.sendto(RRQ, ("10.69.1.4", 69))
    s.sendto(b"\x00\x02upgrade@@admin\x00octet\x00", ("10.69.1.4", 69))
    pkt, _ = recv_until(s, 0.3, lambda p, a: True)
    check("silent card says nothing", pkt is None)
    check("silent card records nothing", not [r for _, r in rec.all() if r.get("ip") == "10.69.1.4"])


def test_broadcast_fleet(rec):
    s = client()
    try:
        s.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)  # SO_RCVBUFFORCE
    except OSError:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
    expect = {fleet_ip(i) for i in range(FLEET)}
    expect |= {"10.69.1.1", "10.69.1.3", "10.69.1.6", "10.69.1.7", "10.69.1.8", "10.69.1.9"}
    replies = []
    s.sendto(RRQ, ("255.255.255.255", 69))
    deadline = time.monotonic() + 5
    while len(replies) < len(expect) and time.monotonic() < deadline:
        pkt, addr = recv_until(s, deadline - time.monotonic(), lambda p, a: True)
        if pkt:
            replies.append((pkt, addr))
    ips = [a[0] for _, a in replies]
    check("every broadcast card answers once", sorted(ips) == sorted(expect),
          f"{len(ips)} replies, missing {len(expect - set(ips))}, extra {set(ips) - expect}")
    check("no replies from port 69", all(a[1] != 69 for _, a in replies))
    bad = [a for p, a in replies if f"\r\n+IP : {a[0]}\r\n".encode() not in p]
    check("each text names its sender", not bad, bad[:3])
    want = card_text(fleet_ip(999), "00-0a-ff-00-03-e8")
    last = [p for p, a in replies if a[0] == fleet_ip(999)]
    check("fleet mac from index", last and last[0][4:] == want, last)
    time.sleep(0.1)
    n = len(rec.find("sysinfo", via="broadcast", **{"from": f"{CLIENT_IP}:{port_of(s)}"}))
    check("broadcast sysinfo records", n == len(expect), n)


def tftp_put(ip, name, payload, timeout=0.05, tries=80):
    """Lock-step write with retransmits; returns (completed, ports ACKs came from, sends)."""
    s = client()
    sends = 0
    seen = []
    wrq = b"\x00\x02" + name.encode() + b"\x00octet\x00"
    tid = None
    for _ in range(tries):
        s.sendto(wrq, (ip, 69))
        sends += 1
        pkt, tid = recv_until(s, timeout, lambda p, a: a[0] == ip and p[:4] == b"\x00\x04\x00\x00", seen)
        if pkt:
            break
    if not tid:
        return False, set(), sends
    count = len(payload) // 512 + 1
    done = True
    for n in range(1, count + 1):
        data = struct.pack("!HH", 3, n & 0xFFFF) + payload[(n - 1) * 512:n * 512]
        ack = struct.pack("!HH", 4, n & 0xFFFF)
        for _ in range(tries):
            s.sendto(data, tid)
            sends += 1
            pkt, _ = recv_until(s, timeout, lambda p, a: a == tid and p[:4] == ack, seen)
            if pkt:
                break
        else:
            done = False
            break
    time.sleep(timeout)
    return done, {a[1] for p, a in seen if a[0] == ip and p[:2] == b"\x00\x04"}, sends


def check_upload(rec, ip, payload, user, password, save_dir, label):
    ups = rec.wait("upload", ip=ip)
    check(f"{label}: one upload record", len(ups) == 1, ups)
    if not ups:
        return
    u = ups[0]
    nostamp = payload[:28] + b"\0\0\0\0" + payload[32:]
    check(f"{label}: record fields", u["status"] == "ok" and u["size"] == str(len(payload))
          and u["hash"] == fnv1a64(payload) and u["hash_nostamp"] == fnv1a64(nostamp)
          and u["stamp"] == f"{struct.unpack('<I', payload[28:32])[0]:08x}"
          and u["user"] == user and u["password"] == password, u)
    with open(os.path.join(save_dir, f"{ip}.bin"), "rb") as f:
        check(f"{label}: saved file equals sent bytes", f.read() == payload)


def test_write_clean(rec, save_dir):
    ip = "10.69.1.1"
    payload = bytes(random.Random(1).randrange(256) for _ in range(2048))  # ends with an empty block
    s = client()
    s.sendto(b"\x00\x02upgrade@@admin\x00octet\x00", (ip, 69))
    p1, a1 = recv_until(s, 0.5, lambda p, a: True)
    s.sendto(b"\x00\x02upgrade@@admin\x00octet\x00", (ip, 69))  # retransmitted WRQ
    p2, a2 = recv_until(s, 0.5, lambda p, a: True)
    check("ACK 0 for the WRQ and its repeat, same port",
          p1 == p2 == b"\x00\x04\x00\x00" and a1 == a2 and a1[1] != 69, (p1, a1, p2, a2))
    if not a1:
        return
    replies = []
    def send(block, chunk):
        s.sendto(struct.pack("!HH", 3, block) + chunk, a1)
        replies.append(recv_until(s, 0.2, lambda p, a: a == a1)[0])
    send(1, payload[:512])
    send(2, payload[512:1024])
    send(2, payload[512:1024])  # duplicate: re-ACK, not appended
    send(9, payload[:512])  # out of order: ignored
    send(3, payload[1024:1536])
    send(4, payload[1536:])
    send(5, b"")
    send(5, b"")  # final block repeated: card lingers and re-ACKs
    acks = [r and struct.unpack("!HH", r) for r in replies]
    check("lock-step ACKs", acks == [(4, 1), (4, 2), (4, 2), None, (4, 3), (4, 4), (4, 5), (4, 5)],
          acks)
    check_upload(rec, ip, payload, "admin", "", save_dir, "clean write")
    check("no second transfer from the repeated WRQ", len(rec.find("upload", ip=ip)) == 1)
    check("both WRQs recorded", len(rec.find("wrq", ip=ip, file="upgrade@@admin")) == 2)


def test_write_lossy(rec, save_dir):
    ip = "10.69.1.5"
    payload = bytearray(random.Random(2).randrange(256) for _ in range(5000))
    payload[28:32] = struct.pack("<I", 0x5F3759DF)
    payload = bytes(payload)
    done, ports, sends = tftp_put(ip, "upgrade@s3cret@op", payload)
    check("lossy write completes", done)
    check("the link did lose packets", sends > 11, sends)  # 1 WRQ + 10 blocks without loss
    check("all ACKs from one transfer port", len(ports) == 1 and 69 not in ports, ports)
    check_upload(rec, ip, payload, "op", "s3cret", save_dir, "lossy write")


def test_write_slow(rec, save_dir):
    """A slow card ACKs each block only after it stored it; a repeated block
    meanwhile is ACKed at once, the transfer still ends whole."""
    ip = "10.69.1.11"
    payload = bytes(random.Random(3).randrange(256) for _ in range(700))
    s = client()
    s.sendto(b"\x00\x02upgrade@@admin\x00octet\x00", (ip, 69))
    _, port = recv_until(s, 0.5, lambda p, a: True)
    if not check("slow card: ACK 0", port, port):
        return
    took = []
    for block, chunk in ((1, payload[:512]), (2, payload[512:])):
        sent = time.monotonic()
        s.sendto(struct.pack("!HH", 3, block) + chunk, port)
        pkt, _ = recv_until(s, 1.0, lambda p, a: a == port)
        took.append((pkt and struct.unpack("!HH", pkt), round(time.monotonic() - sent, 2)))
    check("slow card: each ACK after its delay",
          [t[0] for t in took] == [(4, 1), (4, 2)] and all(0.14 <= t[1] < 0.6 for t in took), took)
    check_upload(rec, ip, payload, "admin", "", save_dir, "slow write")


def expect_error(ip, name, code, msg, label):
    s = client()
    s.sendto(b"\x00\x02" + name.encode() + b"\x00octet\x00", (ip, 69))
    pkt, addr = recv_until(s, 0.5, lambda p, a: True)
    want = struct.pack("!HH", 5, code) + msg.encode() + b"\0"
    check(label, pkt == want and addr[0] == ip and addr[1] != 69, (pkt, addr))
    return s, pkt, addr


def test_refusals(rec):
    expect_error("10.69.1.8", "upgrade@wrong@root", 2, "Bad login", "wrong password refused")
    expect_error("10.69.1.8", "upgrade@root@secret", 2, "Bad login", "password comes first")
    expect_error("10.69.1.8", "firmware.bin", 2, "Bad login", "name without account refused")
    expect_error("10.69.1.2", "upgrade@@admin", 2, "Upgrade not allowed !", "write refused")
    refused = [r["reason"] for r in rec.wait("upload", ip="10.69.1.8", status="refused")]
    check("account refusals recorded", refused == ["account"] * 3, refused)
    w = rec.find("upload", ip="10.69.1.2", status="refused")
    check("write refusal recorded", [r["reason"] for r in w] == ["write"], w)
    # right account, then the program gives up: recorded as aborted
    s = client()
    s.sendto(b"\x00\x02upgrade@secret@root\x00octet\x00", ("10.69.1.8", 69))
    pkt, addr = recv_until(s, 0.5, lambda p, a: True)
    check("right account accepted", pkt == b"\x00\x04\x00\x00", pkt)
    if addr:
        s.sendto(b"\x00\x05\x00\x00cancelled\x00", addr)
        ab = rec.wait("upload", ip="10.69.1.8", status="aborted")
        check("abort recorded", ab and ab[0]["msg"] == "cancelled", ab)


def test_error_at_and_abandon(rec):
    s = client()
    s.sendto(b"\x00\x02upgrade@pw@admin\x00octet\x00", ("10.69.1.6", 69))
    _, tid = recv_until(s, 0.5, lambda p, a: True)
    got = []
    for n in (1, 2, 3):
        s.sendto(struct.pack("!HH", 3, n) + b"x" * 512, tid)
        got.append(recv_until(s, 0.5, lambda p, a: a == tid)[0])
    check("error_at: ERROR on block 3", got[:2] == [b"\0\4\0\1", b"\0\4\0\2"]
          and got[2] == b"\0\5\0\0Flash write error !\0", got)
    e = rec.wait("upload", ip="10.69.1.6", status="error")
    check("error recorded", e and e[0]["block"] == "3" and e[0]["received"] == "1024", e)

    s = client()
    s.sendto(b"\x00\x02upgrade@@admin\x00octet\x00", ("10.69.1.9", 69))
    _, tid = recv_until(s, 0.5, lambda p, a: True)
    s.sendto(struct.pack("!HH", 3, 1) + b"y" * 512, tid)
    ab = rec.wait("upload", ip="10.69.1.9", status="abandoned", timeout=2.5)
    check("idle transfer abandoned", ab and ab[0]["received"] == "512", ab)


def test_reload(rec, proc, config_path):
    with open(config_path, "w") as f:
        f.write(CONFIG.replace("fw=1.02", "fw=3.04") + "ip=10.69.1.10 user=new\n")
    proc.send_signal(signal.SIGHUP)
    r = rec.wait("reload")
    check("reload recorded", r and r[0]["status"] == "ok" and r[0]["added"] == "1", r)
    pkt, _ = sysinfo("10.69.1.1")
    check("reload changes a card", pkt and b"+FW : v3.04\r\n" in pkt, pkt)
    pkt, _ = sysinfo("10.69.1.10")
    check("reload adds a card", pkt and b"+IP : 10.69.1.10\r\n" in pkt, pkt)


def test_restart(cardsim, tmp):
    """A card told to restart is silent after a completed upload, then comes
    back with its new version; one told -1 never comes back."""
    path, rec_path, ready = (os.path.join(tmp, n) for n in ("restart.conf", "restart.rec", "restart.ready"))
    with open(path, "w") as f:
        f.write("ip=10.69.3.2 fw=1.02 restart=1 restart_fw=1.05\nip=10.69.3.3 fw=1.02 restart=-1\n")
    proc = subprocess.Popen([cardsim, "--config", path, "--record", rec_path, "--ready-file", ready],
                            stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.02)
        rec = Records(rec_path)
        before = sysinfo("10.69.3.2")[0]
        check("restart: old version before the upload", before and b"+FW : v1.02" in before, before)
        for ip in ("10.69.3.2", "10.69.3.3"):
            done, _, _ = tftp_put(ip, "upgrade@@admin", bytes(600))
            check(f"restart: {ip} took the upload", done)
        check("restart: silent at once", sysinfo("10.69.3.2", timeout=0.3)[0] is None)
        check("restart: recorded", rec.find("restart", ip="10.69.3.2", fw="1.05"), rec.find("restart"))
        time.sleep(1.0)
        after = sysinfo("10.69.3.2")[0]
        check("restart: back with the new version", after and b"+FW : v1.05" in after, after)
        check("restart: -1 never comes back", sysinfo("10.69.3.3", timeout=0.5)[0] is None)
    finally:
        proc.kill()
        proc.wait()


def run_bad(cardsim, tmp, text, args, want, label):
    path = os.path.join(tmp, "bad.conf")
    with open(path, "w") as f:
        f.write(text)
    p = subprocess.run([cardsim, "--config", path] + args, capture_output=True, text=True,
                       timeout=5)
    check(label, p.returncode != 0 and want in p.stderr, (p.returncode, p.stderr))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: cardsim_test.py PATH_TO_CARDSIM")
    guard()
    cardsim = os.path.abspath(sys.argv[1])
    tmp = tempfile.mkdtemp(prefix="cardsim-test-")
    run_bad(cardsim, tmp, "ip=10.69.3.1 colour=red\n", [], "unknown key 'colour'", "unknown key")
    run_bad(cardsim, tmp, "ip=10.69.300.1\n", [], "bad value for ip", "bad ip")
    run_bad(cardsim, tmp, "mac=00-0a-ff-00-00-01\n", [], "without ip", "missing ip")

    config_path = os.path.join(tmp, "cards.conf")
    with open(config_path, "w") as f:
        f.write(CONFIG)
    rec_path, ready = os.path.join(tmp, "records"), os.path.join(tmp, "ready")
    save_dir = os.path.join(tmp, "saved")
    os.mkdir(save_dir)
    proc = subprocess.Popen([cardsim, "--config", config_path, "--record", rec_path,
                             "--save-dir", save_dir, "--seed", "7", "--ready-file", ready,
                             "--fleet", str(FLEET), "--base", fleet_ip(0),
                             "--answer_timeout", "0.7"], stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(ready) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        if not check("cardsim gets ready", os.path.exists(ready)):
            proc.kill()
            print(proc.stderr.read())
            return
        check("ready line", proc.stderr.readline().strip() == f"cardsim: {FLEET + 10} cards ready")
        rec = Records(rec_path)
        for test in (test_sysinfo_unicast, test_silent, test_broadcast_fleet,
                     lambda r: test_write_clean(r, save_dir), lambda r: test_write_lossy(r, save_dir),
                     lambda r: test_write_slow(r, save_dir),
                     test_refusals, test_error_at_and_abandon,
                     lambda r: test_reload(r, proc, config_path)):
            try:
                test(rec)
            except Exception as e:  # one broken test must not hide the others
                check(getattr(test, "__name__", "test"), False, repr(e))
        run_bad(cardsim, tmp, "ip=10.69.1.1\n", [], "cannot bind 10.69.1.1:69", "bind failure")
        test_restart(cardsim, tmp)
        d = client()
        d.sendto(RRQ, ("10.69.1.7", 69))  # still delayed when the card is told to stop
        time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        check("SIGTERM exits 0", proc.wait(timeout=3) == 0)
        left = rec.find("answer", ip="10.69.1.7", at_exit="1")
        check("pending answer recorded at exit", left and left[0]["kind"] == "NONE", left)
    finally:
        if proc.poll() is None:
            proc.kill()
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
