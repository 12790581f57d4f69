# SPDX-License-Identifier: MIT
"""Checks of the soak's scans and scoring: a scan that is not unique or
whose recording holds a Return would make a lost key look like a good line,
and each kind of fault must land in its own column.
Run: python3 -m unittest test_soak (no display needed)."""

import unittest

import payloads
from soak import CODE39_SPECIALS, GS, score, soak_scans


class ScansTest(unittest.TestCase):

    def test_scans_are_unique_single_lines_covering_every_kind(self):
        scans = soak_scans(20_000)
        recorded = [payloads.typed_as(s) for s in scans]
        self.assertEqual(len(set(recorded)), len(scans))
        for r in recorded:
            self.assertTrue(r.endswith("\n"))
            self.assertNotIn("\n", r[:-1])
        text = "".join(scans)
        for ch in CODE39_SPECIALS + GS:
            self.assertIn(ch, text)
        self.assertTrue(any(ord(c) > 0x7F for c in text))
        self.assertTrue(any(ord(c) > 0xFFFF or 0x4E00 <= ord(c) <= 0x9FFF for c in text))


class ScoreTest(unittest.TestCase):

    def test_each_fault_is_counted_in_its_column(self):
        scans = soak_scans(6)
        lines = [payloads.typed_as(s)[:-1] for s in scans]
        ok = {"lost": 0, "doubled": 0, "reordered": 0, "wrong": 0}
        cases = [
            # what was recorded, the counts
            ("exact", lines, ok),
            ("one lost", lines[:2] + lines[3:], {**ok, "lost": 1}),
            ("one doubled", lines[:3] + lines[2:], {**ok, "doubled": 1}),
            ("two swapped", [lines[1], lines[0]] + lines[2:], {**ok, "reordered": 1}),
            ("a changed key", lines[:1] + [lines[1][:-1] + "?"] + lines[2:], {**ok, "wrong": 1, "lost": 1}),
            # A lost Return joins two scans into one wrong line.
            ("a lost Return", lines[:2] + [lines[2] + lines[3]] + lines[4:], {**ok, "wrong": 1, "lost": 2}),
        ]
        for name, recorded, want in cases:
            with self.subTest(name):
                got = score(scans, "\n".join(recorded) + "\n")
                self.assertEqual({k: got[k] for k in want}, want)

    def test_keys_after_the_last_return_are_wrong(self):
        scans = soak_scans(2)
        text = "".join(payloads.typed_as(s) for s in scans) + "7"
        self.assertEqual(score(scans, text)["wrong"], 1)


if __name__ == "__main__":
    unittest.main()
