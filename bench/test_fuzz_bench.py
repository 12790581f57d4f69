# SPDX-License-Identifier: MIT
"""Checks of what the fuzz and soak reports rest on: a fuzzing run that
printed a sanitizer report but ended with status 0 (UBSan recovers unless
told not to) must not pass, a run cut short must not count as all its runs,
and a section written twice must replace itself, not pile up.
Run: python3 -m unittest test_fuzz_bench (no display needed)."""

import os
import tempfile
import unittest

import doc_sections
from fuzz_bench import parse_log, verdict

CLEAN = """INFO: Seed: 1
#10000000\tDONE   cov: 120 ft: 300 corp: 40/1Kb exec/s: 30000 rss: 60Mb
Done 10000000 runs in 333 second(s)
stat::number_of_executed_units: 10000000
stat::average_exec_per_sec:     30030
stat::new_units_added:          41
stat::peak_rss_mb:              61
"""


class FuzzVerdictTest(unittest.TestCase):

    def test_verdicts(self):
        ubsan = CLEAN.replace("Done", "src/x.cpp:3:5: runtime error: signed integer overflow\nDone")
        crash = ("==1== ERROR: libFuzzer: deadly signal\nSUMMARY: libFuzzer: deadly signal\n"
                 "artifact_prefix='x-'; Test unit written to x-crash-da39\n"
                 "stat::number_of_executed_units: 5000\n")
        cases = [
            # log, status, runs wanted, time limit, verdict
            (CLEAN, 0, 10_000_000, 0, "clean"),
            (ubsan, 0, 10_000_000, 0, "FAILED"),
            (crash, 77, 10_000_000, 0, "FAILED"),
            (CLEAN.replace("10000000\n", "400000\n"), 0, 10_000_000, 0, "FAILED"),
            (CLEAN.replace("10000000\n", "400000\n"), 0, 10_000_000, 600, "clean (time limit)"),
            (CLEAN, 1, 10_000_000, 0, "FAILED"),
        ]
        for text, status, runs, limit, want in cases:
            stats, findings, _ = parse_log(text)
            with self.subTest(want=want, status=status, findings=findings):
                self.assertEqual(verdict(status, stats, findings, runs, limit), want)

    def test_crash_input_is_named(self):
        _, _, artifacts = parse_log("Test unit written to build/fuzz-logs/fuzz_keystrokes-crash-ab12\n")
        self.assertEqual(artifacts, ["build/fuzz-logs/fuzz_keystrokes-crash-ab12"])


class SectionTest(unittest.TestCase):

    def setUp(self):
        fd, self.doc = tempfile.mkstemp(suffix=".md")
        os.close(fd)
        self.addCleanup(os.remove, self.doc)
        with open(self.doc, "w") as f:
            f.write("# Benchmarks\n\nintro\n\n## Typing\n\nrows\n\n"
                    "## What bounds the figures\n\nprose\n\n## How it is measured\n\nmethod\n")

    def headings(self):
        with open(self.doc) as f:
            return [line.strip() for line in f if line.startswith("## ")]

    def test_new_sections_go_before_the_analysis_and_replace_themselves(self):
        doc_sections.splice("## Soak\n\nfirst\n", self.doc)
        doc_sections.splice("## Fuzzing\n\nfigures\n", self.doc)
        doc_sections.splice("## Soak\n\nsecond\n", self.doc)
        self.assertEqual(self.headings(), ["## Typing", "## Soak", "## Fuzzing",
                                           "## What bounds the figures", "## How it is measured"])
        with open(self.doc) as f:
            text = f.read()
        self.assertIn("second", text)
        self.assertNotIn("first", text)
        self.assertIn("rows", text)
        self.assertIn("method", text)

    def test_a_rewrite_finds_the_sections_it_does_not_write(self):
        doc_sections.splice("## Remote input\n\nmutter\n", self.doc)
        self.assertEqual(doc_sections.sections_not_in({"## Typing", "## What bounds the figures",
                                                       "## How it is measured"}, self.doc),
                         ["## Remote input\n\nmutter"])


if __name__ == "__main__":
    unittest.main()
