# SPDX-License-Identifier: MIT
"""The command line as a user types it: the informational switches, which
need no display, and the start-up paths that end in message boxes."""

import contextlib
import os
import unittest

from e2e_session import App, ScannerLine, XSession

USAGE = [
    " Command Line:  ScnFerry Port,Baud,Parity,Data Bits,Stop Bits",
    "",
    " i.e ScnFerry 1,9600,N,8,1 Will open COM1 At 9600 with no parity",
    "                           8 data bits and 1 stop bit.",
    "",
    " Valid Values For Parameters:",
    " Port   = 1 - 16",
    " Baud   = 110 - 115200",
    " Parity = N, M, S, E, O",
    " Data   = 7, 8",
    " Stop   = 1, 1.5, 2",
    "",
]
DEFAULTS = ["Using Defaults 2,9600,N,8,1"]
UNAVAILABLE = ["The Port Number Specified Is Unavailable !"]
OVERFLOW = ["Run-time error '6':", "", "Overflow"]

# The first line of every box the program can show at start-up, to tell an
# unexpected box from the expected ones.
FIRST_LINES = {USAGE[0]: "usage", DEFAULTS[0]: "defaults", UNAVAILABLE[0]: "unavailable",
               OVERFLOW[0]: "overflow"}


def boxes_seen(lines):
    return [FIRST_LINES[line] for line in lines if line in FIRST_LINES]


def expect_box(app, prompt, after, key="Return"):
    """Waits for the prompt's lines on standard error, answers the box and
    returns the index of the line after the prompt."""
    first = app.wait_stderr_line(prompt[0], after=after)
    lines = app.stderr.wait_for(
        lambda ls: ls if len(ls) >= first + len(prompt) else None, 10.0,
        f"the rest of {prompt[0]!r}")
    got = lines[first:first + len(prompt)]
    if got != prompt:
        raise AssertionError(f"box prompt on standard error:\n{got!r}\nexpected:\n{prompt!r}")
    app.answer_box(key)
    return first + len(prompt)


class InformationalSwitchTest(unittest.TestCase):
    """--help and --version answer on standard output without a display."""

    def test_switches_without_display(self):
        cases = [
            ("--version", ["ScnFerry 1.00"]),
            ("--help", USAGE),
        ]
        for switch, expected_start in cases:
            with self.subTest(switch=switch), contextlib.ExitStack() as stack:
                app = App(stack, [switch])
                status = app.wait_exit()
                out = app.stdout.lines()
                self.assertEqual(status, 0, app.stderr.lines())
                self.assertEqual(out[:len(expected_start)], expected_start)
                self.assertEqual(app.stderr.lines(), [])
        with contextlib.ExitStack() as stack:
            app = App(stack, ["--help"])
            app.wait_exit()
            out = app.stdout.lines()
            # Thirteen lines, the last one the credits, not empty.
            self.assertEqual(len(out), 13, out)
            self.assertTrue(out[12].strip(), out)


class StartupBoxTest(unittest.TestCase):
    """Start-up paths that show boxes: which boxes, in which order, their
    text on standard error, and the exit status once they are answered."""

    def run_case(self, args, boxes, status):
        with contextlib.ExitStack() as stack:
            session = XSession(stack)
            line = ScannerLine(stack)
            args = [a.replace("PTY", line.path) for a in args]
            app = App(stack, args, session)
            pos = 0
            for prompt in boxes:
                pos = expect_box(app, prompt, pos)
            self.assertEqual(app.wait_exit(), status, app.stderr.lines())
            self.assertEqual(boxes_seen(app.stderr.lines()),
                             [FIRST_LINES[b[0]] for b in boxes], app.stderr.lines())
            return app.stderr.lines()

    def test_start_up_failures(self):
        cases = [
            # (command line, boxes in order, exit status)
            (["9600"], [USAGE, UNAVAILABLE], 1),
            (["32768,9600,N,8,1"], [OVERFLOW], 1),
            (["-32769,9600,N,8,1"], [OVERFLOW], 1),
            (["0,9600,N,8,1"], [UNAVAILABLE], 1),
            (["/dev/scnferry-e2e-missing,9600,N,8,1"], [UNAVAILABLE], 1),
            (["PTY,9600,X,8,1"], [UNAVAILABLE], 1),
            (["PTY,9600,N,9,1"], [UNAVAILABLE], 1),
            (["PTY,0,N,8,1"], [UNAVAILABLE], 1),
            (["PTY,9600,N,8,3"], [UNAVAILABLE], 1),
            (["PTY"], [USAGE, UNAVAILABLE], 1),
        ]
        for args, boxes, status in cases:
            with self.subTest(args=args):
                self.run_case(args, boxes, status)

    def test_empty_command_line_takes_the_defaults(self):
        # COM2 is /dev/ttyS1. Where it opens, the program runs with its window
        # minimised; where it does not, the failure must name COM2.
        for args in ([], ["   "]):
            with self.subTest(args=args), contextlib.ExitStack() as stack:
                session = XSession(stack)
                app = App(stack, args, session)
                pos = expect_box(app, USAGE, 0)
                pos = expect_box(app, DEFAULTS, pos)
                if self._com2_usable():
                    app.wait_main_window()
                else:
                    pos = expect_box(app, UNAVAILABLE, pos)
                    self.assertEqual(app.wait_exit(), 1)
                    self.assertTrue(any("COM2" in ln or "/dev/ttyS1" in ln
                                        for ln in app.stderr.lines()[pos:]),
                                    app.stderr.lines())
                self.assertEqual(boxes_seen(app.stderr.lines())[:2], ["usage", "defaults"])

    @staticmethod
    def _com2_usable():
        try:
            os.close(os.open("/dev/ttyS1", os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY))
            return True
        except OSError:
            return False


if __name__ == "__main__":
    unittest.main()
