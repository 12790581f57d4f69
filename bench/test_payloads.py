# SPDX-License-Identifier: MIT
"""Checks of the benchmark's payloads and scoring: a wrong score would turn a
lossy tool into a clean one in the tables. Run: python3 -m unittest test_payloads"""

import unittest

import payloads


class NotationTest(unittest.TestCase):

    def test_typed_as(self):
        cases = [
            ("a\r\nb", "a\nb"),          # CR LF is one Return
            ("a\n\rb", "a\n\nb"),        # LF CR is two
            ("\r\r", "\n\n"),
            ("@\n\x1e\rANSI", "@\n<C-^>\nANSI"),
            ("01\x1d10", "01<C-]>10"),   # GS1 separator
            ("\x04", "<C-d>"),           # letters in lower case
            ("\x00", "<C-@>"),
            ("a\tb\b\x1b\x7f", "a\tb<BackSpace><Escape><Delete>"),
            ("Ä€漢", "Ä€漢"),
        ]
        for text, recording in cases:
            with self.subTest(text=text):
                self.assertEqual(payloads.typed_as(text), recording)


class ScoreTest(unittest.TestCase):

    def test_score(self):
        cases = [
            ("abc\n", "abc\n", (0, 0, 0)),
            ("abc\n", "ac\n", (1, 0, 0)),
            ("abc\n", "abbc\n", (0, 1, 0)),
            ("abc\n", "aXc\n", (0, 0, 1)),
            ("abc\n", "", (4, 0, 0)),
            ("", "xy", (0, 2, 0)),
            # A control key typed as something else is one change, not five.
            ("a<C-^>b", "a^b", (0, 0, 1)),
            ("a<C-^>b", "a<C-6>b", (0, 0, 1)),
            ("x<Escape>", "x", (1, 0, 0)),
            # Reordered keys are a loss and an extra.
            ("abcd", "acbd", (1, 1, 0)),
            ("ÄäÖö", "ääÖö", (0, 0, 1)),
        ]
        for expected, received, (lost, extra, changed) in cases:
            with self.subTest(expected=expected, received=received):
                self.assertEqual(payloads.score(expected, received),
                                 {"lost": lost, "extra": extra, "changed": changed})

    def test_long_recordings_align_without_junk_heuristics(self):
        # With difflib's default popular-element pruning a long run of
        # repeated characters aligns badly and one loss scores as hundreds.
        expected = payloads.typed_as(payloads.international())
        received = expected[:2500] + expected[2501:]
        self.assertEqual(payloads.score(expected, received), {"lost": 1, "extra": 0, "changed": 0})


class PayloadTest(unittest.TestCase):

    def test_ean13_check_digits(self):
        for number, code in [(590123412345, "5901234123457"), (400638133393, "4006381333931"),
                             (0, "0000000000000")]:
            with self.subTest(number=number):
                self.assertEqual(payloads.ean13(number), code)

    def test_shapes(self):
        dl = payloads.driver_licence()
        intl = payloads.international()
        ideographs = payloads.cjk()
        non_us = [c for c in intl if ord(c) > 0x7E]
        cases = [
            ("scan length", len(payloads.ean13_scan(7)), 14),
            ("scan ends in CR", payloads.ean13_scan(7)[-1], "\r"),
            ("licence length", len(dl), 1000),
            ("licence has RS", "\x1e" in dl, True),
            ("licence has LF", "\n" in dl, True),
            ("licence ends in CR", dl[-1], "\r"),
            ("licence subfiles", dl.count("\r") >= 2, True),
            ("international length", len(intl), 5000),
            ("a fifth outside US", len(non_us), 1000),
            ("many distinct", len(set(non_us)) >= 60, True),
            ("no key-name opener", "<" in intl, False),
            ("CJK count", len(ideographs), 300),
            ("CJK distinct", len(set(ideographs)), 300),
            ("CJK in the unified block", all(0x4E00 <= ord(c) <= 0x9FFF for c in ideographs), True),
        ]
        for what, got, want in cases:
            with self.subTest(what=what):
                self.assertEqual(got, want)


class PercentileTest(unittest.TestCase):

    def test_nearest_rank(self):
        hundred = list(range(100, 0, -1))
        cases = [([5], 99, 5), ([3, 1, 2], 50, 2), (hundred, 50, 50), (hundred, 90, 90),
                 (hundred, 99, 99), (hundred, 100, 100), (list(range(1, 31)), 99, 30)]
        for values, p, want in cases:
            with self.subTest(n=len(values), p=p):
                self.assertEqual(payloads.percentile(values, p), want)


if __name__ == "__main__":
    unittest.main()
