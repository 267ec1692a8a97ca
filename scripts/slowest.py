#!/usr/bin/env python3
"""Prints the slowest tests of a CTest JUnit file, then the count of tests
passed and failed as the last line: slowest.py FILE [N]."""
import sys
import xml.etree.ElementTree as ET

try:
    cases = list(ET.parse(sys.argv[1]).getroot().iter("testcase"))
except (OSError, ET.ParseError) as e:
    sys.exit("no test times: %s" % e)
count = int(sys.argv[2]) if len(sys.argv) > 2 else 10
times = sorted(((float(c.get("time", 0)), c.get("name", "?")) for c in cases), reverse=True)
print("The %d slowest tests:" % min(count, len(times)))
for seconds, name in times[:count]:
    print("  %7.1f s  %s" % (seconds, name))
failed = sum(1 for c in cases if c.get("status") == "fail" or c.find("failure") is not None)
print("%d passed, %d failed" % (len(cases) - failed, failed))
