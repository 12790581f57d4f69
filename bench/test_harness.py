# SPDX-License-Identifier: MIT
"""Checks of the benchmark's clock on the receiver's file and of the verdicts
it writes: a clock that stops early reports keys as lost, a verdict that
reads the wrong figure tells the README a target is met.
Run: python3 -m unittest test_harness (no display needed)."""

import contextlib
import os
import tempfile
import time
import unittest

import payloads
import scnferry_bench
from bench_env import FileClock, wait_until
from scnferry_bench import opened_path


class FileClockTest(unittest.TestCase):

    def setUp(self):
        self.stack = contextlib.ExitStack()
        self.addCleanup(self.stack.close)
        self.dir = self.stack.enter_context(tempfile.TemporaryDirectory())
        self.path = os.path.join(self.dir, "received.txt")
        self.clock = FileClock(self.stack, self.path)
        self.out = self.stack.enter_context(open(self.path, "wb", buffering=0))

    def test_records_growth_of_its_file_only(self):
        start = time.monotonic_ns()
        with open(os.path.join(self.dir, "other.txt"), "wb") as other:
            other.write(b"x" * 50)
        for chunk in (b"ab", b"cde", b"\xc3\x84"):
            self.out.write(chunk)
            wait_until(lambda: self.clock.size() == os.path.getsize(self.path), 5, "the clock")
        self.assertEqual(self.clock.size(), 7)
        reached = self.clock.first_reaching(5, start)
        self.assertIsNotNone(reached)
        self.assertLessEqual(reached, self.clock.last_change()[0])
        self.assertIsNone(self.clock.first_reaching(8, start))
        self.assertIsNone(self.clock.first_reaching(1, time.monotonic_ns()))
        self.assertEqual(self.clock.read_from(2), b"cde\xc3\x84")

    def test_settle_waits_for_a_receiver_lagging_behind_its_sender(self):
        # The sender runs longer than the give-up time without a key landing,
        # exits, and the keys land a few polls later: settle must still be
        # waiting then, not count the sender's running time as idle.
        cases = [("keys 3 polls after the sender", True), ("no sender, keys at poll 3", False)]
        for what, with_sender in cases:
            with self.subTest(what):
                target = self.clock.size() + 4
                sender_ends = time.monotonic() + (1.5 if with_sender else 0.0)
                idle_polls = {"n": 0}

                def busy():
                    if time.monotonic() < sender_ends:
                        return True
                    idle_polls["n"] += 1
                    if idle_polls["n"] == 3:
                        self.out.write(b"keys")
                    return False
                self.clock.settle(target, quiet_s=0.0, give_up_s=1.0, busy=busy)
                self.assertEqual(self.clock.size(), target)

    def test_settle_gives_up_on_lost_keys(self):
        self.clock.settle(10, quiet_s=0.0, give_up_s=0.05)
        self.assertEqual(self.clock.size(), 0)

    def test_settle_waits_for_the_target_size(self):
        self.out.write(b"abc")
        self.clock.settle(3, quiet_s=0.0, give_up_s=30.0)
        self.assertEqual(self.clock.size(), 3)


class OpenedPathTest(unittest.TestCase):

    def test_sees_own_open_files(self):
        with tempfile.NamedTemporaryFile() as f:
            cases = [(os.getpid(), f.name, True), (os.getpid(), f.name + ".none", False),
                     (2 ** 22 + 1, f.name, False)]
            for pid, path, held in cases:
                with self.subTest(pid=pid, path=path):
                    self.assertEqual(opened_path(pid, path), held)


def row(tool, payload, rates, lost=0, extra=0, changed=0, session="X11"):
    return {"session": session, "tool": tool, "payload": payload, "runs": len(rates),
            "exact_runs": 0, "rates": rates, "lost": lost, "extra": extra, "changed": changed}


class ReadingTest(unittest.TestCase):

    def test_verdicts(self):
        cases = [
            ("fast and exact", [row("ScnFerry", "intl 5,000", [4000, 6000, 7000])], "met)"),
            ("exactly at the target", [row("ScnFerry", "intl 5,000", [5000])], "met)"),
            ("fast, one key lost", [row("ScnFerry", "intl 5,000", [9000], lost=1)], "not met"),
            ("median below", [row("ScnFerry", "intl 5,000", [9000, 100, 200])], "not met"),
        ]
        for what, rows, verdict in cases:
            with self.subTest(what):
                text = scnferry_bench.reading([], rows, [], "")
                self.assertIn(f"none wrong: {verdict}", text)

    def test_ratio_is_ours_over_theirs(self):
        rows = [row("ScnFerry", "intl 5,000", [6000]),
                row("xdotool type --delay 0", "intl 5,000", [2000], lost=3)]
        text = scnferry_bench.reading([], rows, [], "")
        self.assertIn("ScnFerry/xdotool = 3.00", text)
        self.assertIn("3 wrong keys", text)

    def test_scan_latency_verdict(self):
        just_under = [1.0] * 99 + [4.9]
        two_slow = [1.0] * 98 + [7.0, 7.0]
        for latencies, verdict in [(just_under, "meets"), (two_slow, "misses")]:
            with self.subTest(verdict=verdict):
                scan = {**row("ScnFerry", "EAN-13 scan", []), "latencies_ms": latencies}
                text = scnferry_bench.reading([], [scan], [], "")
                self.assertIn(f"({verdict} the 5 ms target)", text)
                self.assertEqual(payloads.percentile(latencies, 99), latencies[-2])


if __name__ == "__main__":
    unittest.main()
