"""The driver of bench/flood.sh, inside the private network: the same
fleet upgraded twice, without and with a flood at the first card's
transfer port, each card's line timed as it comes."""

import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

IP_FREEBIND = 15  # Linux: bind to an address not (yet) on an interface


def env(name, default):
    return int(os.environ.get(name, default))


def flood(target, source_ip, stop, sent):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_IP, IP_FREEBIND, 1)
    s.bind((source_ip, 0))
    payload = b"\x00\x04\x00\x01"  # an ACK, as a stray card would send
    n = 0
    while not stop.is_set():
        for _ in range(1000):
            try:
                s.sendto(payload, target)
                n += 1
            except OSError:
                pass
    sent.append(n)


def run(work, bin_dir, cards, flooded):
    record = os.path.join(work, "record")
    open(record, "w").close()
    cli = os.path.join(bin_dir, "cli", "daveridur-cli")
    began = time.monotonic()
    proc = subprocess.Popen([cli, "upgrade", os.path.join(work, "fw.bin"), *cards, "--parallel",
                             str(len(cards)), "--user", "admin"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    stop, sent, flooder = threading.Event(), [], None
    if flooded:
        port = None
        for _ in range(400):
            with open(record) as f:
                for line in f:
                    m = re.match(r"wrq\s+ip=%s\s.*from=([\d.]+):(\d+)" % re.escape(cards[0]), line)
                    if m:
                        port = (m.group(1), int(m.group(2)))
            if port:
                break
            time.sleep(0.005)
        if not port:
            sys.exit("flood_bench: no write request from the first card's transfer")
        flooder = threading.Thread(target=flood, args=(port, cards[0], stop, sent))
        flooder.start()
    done = {}
    for line in proc.stdout:
        m = re.match(r"([\d.]+) (.*)", line.strip())
        if m and m.group(1) in cards:
            done[m.group(1)] = (time.monotonic() - began, m.group(2))
    proc.wait()
    stop.set()
    if flooder:
        flooder.join()
    return done, (sent[0] if sent else 0)


def main():
    bin_dir = sys.argv[1]
    n, kb, ack_ms = env("FLOOD_CARDS", 8), env("FLOOD_KB", 200), env("FLOOD_ACK_MS", 4)
    cards = ["10.69.8.%d" % (i + 1) for i in range(n)]
    with tempfile.TemporaryDirectory(prefix="daveridur-flood.") as work:
        with open(os.path.join(work, "cards.conf"), "w") as f:
            for ip in cards:
                f.write("ip=%s user=admin ack_delay=%d\n" % (ip, ack_ms))
        subprocess.run([os.path.join(bin_dir, "tools", "mkimage", "mkimage"),
                        os.path.join(work, "fw.bin"), "--size", str(kb * 1024), "--seed", "3",
                        "--version", "1.05"], check=True, stdout=subprocess.DEVNULL)
        results = {}
        for flooded in (False, True):
            ready = os.path.join(work, "ready")
            if os.path.exists(ready):
                os.remove(ready)
            sim = subprocess.Popen([os.path.join(bin_dir, "tools", "cardsim", "cardsim"), "--config",
                                    os.path.join(work, "cards.conf"), "--record",
                                    os.path.join(work, "record"), "--ready-file", ready],
                                   stderr=subprocess.DEVNULL)
            try:
                for _ in range(200):
                    if os.path.exists(ready) and os.path.getsize(ready):
                        break
                    time.sleep(0.05)
                results[flooded] = run(work, bin_dir, cards, flooded)
            finally:
                sim.terminate()
                sim.wait()
        status = 0
        others = {}
        for flooded in (False, True):
            done, sent = results[flooded]
            rest = [done.get(ip, (float("inf"), "no line"))[0] for ip in cards[1:]]
            others[flooded] = max(rest)
            bad = [ip + " " + done.get(ip, (0, "no line"))[1] for ip in cards[1:]
                   if done.get(ip, (0, ""))[1] != "OK."]
            first = done.get(cards[0], (float("nan"), "no line"))
            print("%s: the other %d cards done in %.2f s (the first card: %s at %.2f s)%s%s" % (
                "flooded" if flooded else "alone  ", len(cards) - 1, others[flooded], first[1],
                first[0], "; %d datagrams sent at its port (%.0f a second)" % (
                    sent, sent / max(others[flooded], 1e-9)) if flooded else "",
                "; not OK: " + ", ".join(bad) if bad else ""))
            if bad:
                status = 1
        ratio = others[True] / others[False]
        print("ratio flooded / alone: %.2f (target under 1.5)" % ratio)
        if ratio >= 1.5:
            status = 1
        return status


if __name__ == "__main__":
    sys.exit(main())
