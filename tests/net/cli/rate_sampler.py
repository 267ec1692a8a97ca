"""Counts the UDP datagrams this namespace sends while a command runs (its
/proc/net/snmp, so a stray ARP or ICMP packet is not counted), and prints
the rate between the first and the last one sent:
    rate_sampler.py OUT -- COMMAND...
COMMAND's stdout goes to OUT; prints "DATAGRAMS SECONDS RATE"."""

import subprocess
import sys
import time


def udp_sent():
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("OutDatagrams")])


def main():
    out = sys.argv[1]
    command = sys.argv[3:]
    start = udp_sent()
    first = last = None
    count = start
    with open(out, "w") as f:
        proc = subprocess.Popen(command, stdout=f)
        while proc.poll() is None:
            now, n = time.monotonic(), udp_sent()
            if n != count:
                if first is None:
                    first = now
                last, count = now, n
            time.sleep(0.005)
    sent = count - start
    seconds = (last - first) if first is not None else 0.0
    rate = (sent - 1) / seconds if seconds > 0 else 0.0
    print("%d %.3f %.1f" % (sent, seconds, rate))
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main())
