"""The demo tour's verdict: how it reads the report and judges what a card
received. Plain Python, no program, no network."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from demo import fnv1a64, received_check, report_lines, report_problems, without_stamp

TICKED = ["10.69.0.11", "10.69.0.16", "10.69.0.17"]


class ReportTest(unittest.TestCase):
    def test_card_lines_by_address_and_other_lines_ignored(self):
        text = ("10.69.0.17 Invalid user name or password !\r\n10.69.0.11 OK.\r\n"
                "10.69.0.16 Write refused\r\nReport saved: C:\\reports\\upgrade.csv\r\n")
        lines = report_lines(text)
        self.assertEqual({"10.69.0.11": ["OK."], "10.69.0.16": ["Write refused"],
                          "10.69.0.17": ["Invalid user name or password !"]}, lines)
        self.assertEqual([], report_problems(lines, TICKED))

    def test_missing_repeated_and_unticked_cards_are_named(self):
        lines = report_lines("10.69.0.11 OK.\r\n10.69.0.11 Timeout.\r\n10.69.0.99 OK.\r\n10.69.0.17 OK.\r\n")
        self.assertEqual(["the report has 2 lines for 10.69.0.11, not one",
                          "the report has 0 lines for 10.69.0.16, not one",
                          "the report names 10.69.0.99, which was not ticked"],
                         report_problems(lines, TICKED))


class ReceivedTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.image = bytes(range(256)) * 5

    def tearDown(self):
        shutil.rmtree(self.dir)

    def check(self, got, **record):
        path = os.path.join(self.dir, "card.bin")
        with open(path, "wb") as f:
            f.write(got)
        rec = {"status": "ok", "size": str(len(got)), "hash_nostamp": fnv1a64(without_stamp(got)),
               "stamp": "5a3c2e11"}
        rec.update(record)
        return received_check(rec, path, self.image)[0]

    def test_only_the_stamp_may_differ(self):
        stamped = bytearray(self.image)
        stamped[28:32] = b"\x11\x2e\x3c\x5a"
        self.assertTrue(self.check(bytes(stamped)))
        for at in (27, 32, len(self.image) - 1):
            changed = bytearray(stamped)
            changed[at] ^= 0xFF
            self.assertFalse(self.check(bytes(changed)), at)
        self.assertFalse(self.check(bytes(stamped[:-1])))
        self.assertFalse(self.check(bytes(stamped) + b"\0"))

    def test_the_cards_record_must_agree(self):
        self.assertFalse(self.check(self.image, hash_nostamp="0" * 16))
        self.assertFalse(self.check(self.image, status="abandoned"))
        self.assertFalse(received_check(None, os.path.join(self.dir, "none.bin"), self.image)[0])
        self.assertFalse(received_check({"status": "ok"}, os.path.join(self.dir, "none.bin"), self.image)[0])

    def test_fnv1a64_matches_the_card_simulator(self):
        self.assertEqual("cbf29ce484222325", fnv1a64(b""))
        self.assertEqual("af63dc4c8601ec8c", fnv1a64(b"a"))


if __name__ == "__main__":
    unittest.main()
