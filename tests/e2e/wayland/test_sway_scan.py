# SPDX-License-Identifier: MIT
"""The built ScnFerry in a Wayland session: headless sway with XWayland, the
program's own window behind XWayland and its keyboard chosen by itself, a
pty as the scanner's line, and a receiving window (native Wayland or behind
XWayland) holding the keyboard focus.

Every scan is followed by a marker scan of its own: whatever the scan was
typed as, doubled or trailing keys included, lies before the marker, and a
lost key shows as a difference before it."""

import contextlib
import itertools
import os
import shutil
import signal
import unittest

from e2e_session import STEP_TIMEOUT, ScannerLine, send_with_marker, typed_as, wait_until
from sway_e2e import SwayApp, SwayReceiver, SwaySession, chown_line
from test_port import assert_idle

HAVE_SWAY = all(shutil.which(tool) for tool in ("sway", "swaymsg", "Xwayland"))

EAN13 = b"4006381333931\r"
NON_ASCII = "\u00c4 \u00e4 \u00df \u20ac \u00f1 \u03a9\r".encode()
# Chinese, Japanese kana and Korean: more distinct characters than any
# layout has spare keys for.
CJK = "\u6761\u7801\u626b\u63cf \u6f22\u5b57 \u304b\u306a \u30ab\u30ca \ud55c\uae00\r".encode()
# A GS1 element string: GS ends the variable-length lot before the next
# application identifier.
GS1 = b"0109501101020917171231" b"10ABC123\x1d" b"21XYZ\r"


def long_payload(length=1000):
    """Printable ASCII in a fixed order, the characters a key syntax would
    take for modifiers and groups (+ ^ % ~ ( ) { } [ ]) among them."""
    chars = [chr(c) for c in range(0x20, 0x7f)]
    return "".join(itertools.islice(itertools.cycle(chars), length)).encode() + b"\r"


def start_in_sway(stack):
    """Headless sway with ScnFerry reading a fresh pty, started and ready."""
    sway = SwaySession(stack)
    line = ScannerLine(stack)
    chown_line(sway, line)
    app = SwayApp(stack, sway, f"{line.path},9600,N,8,1")
    app.wait_started(line.path)
    return sway, line, app


class _SwayScanCase(unittest.TestCase):
    """One sway session, one ScnFerry and one receiver for the class."""

    receiver_platform = None
    @classmethod
    def setUpClass(cls):
        stack = contextlib.ExitStack()
        cls.addClassCleanup(stack.close)
        cls.sway, cls.line, cls.app = start_in_sway(stack)
        # After the program's window, so that nothing takes the focus from it.
        cls.receiver = SwayReceiver(stack, cls.sway, cls.receiver_platform)

    def assert_typed(self, scan, paced=False):
        """Sends scan (bytes as on the line) and then a marker scan, and
        checks that the receiver got exactly the scan's keys before the marker."""
        self.assertIsNone(self.app.proc.poll(), f"ScnFerry ended: {self.app.stderr.lines()!r}")
        self.receiver.focus()
        got, marker = send_with_marker(self.line, self.receiver, scan, paced)
        self.assertEqual(got, typed_as(scan.decode("utf-8") + marker))
        # Typing went to native windows: no fallback to XWayland, no warning.
        self.assertEqual(self.app.warnings(), [])


@unittest.skipUnless(HAVE_SWAY or "CI" in os.environ, "sway is not installed")
class NativeReceiverTest(_SwayScanCase):
    receiver_platform = "wayland"

    def test_scan_in_one_block(self):
        self.assert_typed(EAN13)

    def test_scan_paced_at_9600_baud(self):
        self.assert_typed(EAN13, paced=True)

    def test_characters_outside_the_layout(self):
        for name, scan in (("latin-greek-euro", NON_ASCII), ("cjk", CJK)):
            with self.subTest(name):
                self.assert_typed(scan)

    def test_group_separator_as_control_key(self):
        self.assert_typed(GS1)

    def test_long_payload(self):
        self.assert_typed(long_payload())

    def test_window_behind_xwayland_keys_through_wayland(self):
        # Started as a desktop starts it, with no platform chosen for it.
        self.assertNotIn("QT_QPA_PLATFORM", self.app.environment())
        views = self.sway.views_of(self.app.pid)
        self.assertEqual([v.get("shell") for v in views], ["xwayland"], views)
        # The same window is an X window on sway's XWayland display.
        self.assertIn(views[0].get("window"), self.app.x_windows(), views)
        info = self.sway.run(["xwininfo", "-id", str(views[0]["window"])]).stdout
        self.assertIn("Map State: IsViewable", info)
        # Native Wayland windows are reached by the Wayland keyboard only
        # (XTest through XWayland would not get there, and would warn).
        self.assert_typed(EAN13)


@unittest.skipUnless(HAVE_SWAY or "CI" in os.environ, "sway is not installed")
class XWaylandReceiverTest(_SwayScanCase):
    receiver_platform = "xcb"

    def test_scan_in_one_block(self):
        self.assert_typed(EAN13)

    def test_characters_outside_the_layout(self):
        self.assert_typed(NON_ASCII)


@unittest.skipUnless(HAVE_SWAY or "CI" in os.environ, "sway is not installed")
class EndDuringALongScanTest(unittest.TestCase):

    def test_termination_during_a_long_scan_ends_in_order(self):
        # Long bursts are paced for XWayland's sake: typing 30,000 characters
        # takes many seconds, and a service stop must not wait for them.
        with contextlib.ExitStack() as stack:
            sway, line, app = start_in_sway(stack)
            receiver = SwayReceiver(stack, sway, "wayland")
            receiver.focus()
            payload = long_payload(30000)
            line.write_block(payload)
            wait_until(lambda: len(receiver.text()) > 1000, STEP_TIMEOUT, "typing under way")
            app.proc.send_signal(signal.SIGTERM)
            self.assertEqual(app.wait_exit(), 0, app.stderr.lines())
            # Stopped part way, said so, and nothing but the scan's own keys
            # arrived.
            self.assertTrue(any(ln.startswith("ScnFerry: ended while typing")
                                for ln in app.stderr.lines()), app.stderr.lines())
            got = receiver.text()
            expected = typed_as(payload.decode())
            self.assertTrue(expected.startswith(got), got[-80:])


@unittest.skipUnless((HAVE_SWAY and shutil.which("wtype")) or "CI" in os.environ,
                     "sway or wtype is not installed")
class DeviceLossTest(unittest.TestCase):

    def test_vanished_device_is_reported_and_ends_after_ok(self):
        with contextlib.ExitStack() as stack:
            sway, line, app = start_in_sway(stack)
            windows_before = {v["id"] for v in sway.views_of(app.pid)}
            line.hang_up()

            first = app.wait_stderr_line(f"Error while opening port ({line.path})")
            lines = app.stderr.wait_for(lambda ls: ls if len(ls) > first + 1 else None,
                                        10.0, "the error description")
            description = lines[first + 1]
            self.assertTrue(description.startswith("Error Description : "), lines)
            self.assertTrue(description[len("Error Description : "):].strip(), lines)

            box = wait_until(lambda: next((v["id"] for v in sway.views_of(app.pid)
                                           if v["id"] not in windows_before), None),
                             STEP_TIMEOUT, "the error box on screen", interval=0.05)
            # The box waits for the user; meanwhile the program must sleep,
            # not poll a dead descriptor.
            assert_idle(self, app, "while the error box waits")
            self.assertIsNone(app.proc.poll(), "ended before the box was answered")

            # OK is the box's default button: Return on the focused box.
            def answered():
                if app.proc.poll() is not None:
                    return True
                # Once the box has closed the program only has to end.
                if any(v["id"] == box for v in sway.views_of(app.pid)):
                    with contextlib.suppress(TimeoutError):
                        sway.focus(box, timeout=2.0)
                        sway.run(["wtype", "-k", "Return"], check=False)
                with contextlib.suppress(TimeoutError):
                    return wait_until(lambda: app.proc.poll() is not None, 2.0,
                                      "the program to end")
                return False
            wait_until(answered, STEP_TIMEOUT, "the box to take Return", interval=0.05)
            self.assertEqual(app.wait_exit(), 1, app.stderr.lines())
            # One report, not one per failed read.
            self.assertEqual(sum(1 for ln in app.stderr.lines()
                                 if ln.startswith("Error while opening port")), 1)


if __name__ == "__main__":
    unittest.main()
