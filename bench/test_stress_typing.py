# SPDX-License-Identifier: MIT
"""What bench/stress_typing.py counts as wrong, lost and doubled keys."""

import unittest

from stress_typing import FAILED_TEST, classify


class Classify(unittest.TestCase):
    def test_table(self):
        cases = [
            ("abc", "abc", (0, 0, 0)),
            ("abcz\n!", "abc\n\n!", (1, 0, 0)),  # z typed as Return
            ("abcdef", "abcddef", (0, 0, 1)),  # either copy may be the extra one
            ("abc", "abbc", (0, 0, 1)),
            ("abc", "ac", (0, 1, 0)),
            ("abc", "axbc", (1, 0, 0)),  # an extra key that repeats nothing
            ("abc", "xyz", (3, 0, 0)),
        ]
        for want, got, counts in cases:
            with self.subTest(want=want, got=got):
                self.assertEqual(classify(want, got), counts)

    def test_failed_test_lines(self):
        out = ("[  FAILED  ] Sway/T.R/xcb_New, where GetParam() = xcb_New (62872 ms)\n"
               "[  FAILED  ] A.b (3 ms)\n"
               "[  FAILED  ] A.b\n")
        self.assertEqual(FAILED_TEST.findall(out), ["Sway/T.R/xcb_New", "A.b"])


if __name__ == "__main__":
    unittest.main()
