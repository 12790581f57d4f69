# SPDX-License-Identifier: MIT
"""The built ScnFerry on GNOME's and KDE's compositors, typing through the
desktop's remote input: a pty as the scanner's line, a receiving window
(native Wayland, or behind XWayland under mutter) holding the focus.

Every scan is followed by a marker scan: whatever the scan was typed as
lies before the marker, and a lost key shows as a difference before it."""

import contextlib
import itertools
import os
import signal
import sys
import unittest

from desktop_session import IN_CI, DesktopApp, DesktopReceiver, DesktopSession, chown_line, \
    have, skip_reason
from e2e_session import STEP_TIMEOUT, ScannerLine, send_with_marker, typed_as, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))

# ASCII with shifted punctuation (and the characters a key syntax would
# take for modifiers), Code 39's specials, GS1 with GS, CR LF.
PAYLOADS = [
    ("ascii-shifted", b"Hello, World! ~!@#$%^&*()_+{}|:\"<>? `-=[]\\;',./\r"),
    ("code39", b"CODE-39 $/+% .ABC123\r"),
    ("gs1", b"0109501101020917171231" b"10ABC123\x1d" b"21XYZ\r"),
    ("crlf", b"LINE1\r\nLINE2\r\n"),
    ("tab", b"A\tB\r"),
]
EAN13 = b"4006381333931\r"
# Neither on the default US layout: the scan is refused, whole. The euro
# sign is on AltGr+5, a level an XWayland window would lose.
OUT_OF_LAYOUT = "AB\u00c4\u6f22CD\u20ac\r".encode()


class _RemoteSessionCase(unittest.TestCase):
    """One compositor, one ScnFerry and one receiver for the class."""
    kind = None
    receiver_platform = "wayland"
    app_platform = "wayland"

    @classmethod
    def setUpClass(cls):
        if cls.kind is None:
            raise unittest.SkipTest("a base class")
        if not have(cls.kind):
            assert not IN_CI, f"{cls.kind} is missing in CI"
        stack = contextlib.ExitStack()
        cls.addClassCleanup(stack.close)
        cls.desktop = DesktopSession(stack, cls.kind)
        cls.line = ScannerLine(stack)
        chown_line(cls.desktop, cls.line)
        cls.app = DesktopApp(stack, cls.desktop, f"{cls.line.path},9600,N,8,1",
                             platform=cls.app_platform)
        cls.app.wait_started(cls.line.path)
        # After the program's window, so that the receiver has the focus.
        cls.receiver = DesktopReceiver(stack, cls.desktop, cls.receiver_platform)

    def send_with_marker(self, scan, paced=False):
        self.assertIsNone(self.app.proc.poll(), f"ScnFerry ended: {self.app.stderr.lines()!r}")
        try:
            return send_with_marker(self.line, self.receiver, scan, paced)
        except AssertionError as e:
            raise AssertionError(f"{e}; ScnFerry said {self.app.stderr.lines()[-4:]!r}") from None

    def assert_typed(self, scan, paced=False):
        got, marker = self.send_with_marker(scan, paced)
        self.assertEqual(got, typed_as(scan.decode("utf-8") + marker))


class _RemoteScanCase(_RemoteSessionCase):

    def test_payloads(self):
        for name, scan in PAYLOADS:
            with self.subTest(name):
                self.assert_typed(scan)

    def test_scan_paced_at_9600_baud(self):
        self.assert_typed(EAN13, paced=True)

    def test_long_payload(self):
        chars = [chr(c) for c in range(0x20, 0x7f)]
        scan = "".join(itertools.islice(itertools.cycle(chars), 1000)).encode() + b"\r"
        self.assert_typed(scan)


class _UntypableCase(_RemoteSessionCase):
    """A session of its own: a refused scan must leave the program running."""

    def test_characters_outside_the_layout_are_refused_and_named(self):
        before = len(self.app.stderr.lines())
        got, marker = self.send_with_marker(OUT_OF_LAYOUT)
        # Nothing of the refused scan, the next scan whole.
        self.assertEqual(got, typed_as(marker))
        self.assertIsNone(self.app.proc.poll(), "the program ended on an untypable scan")
        # The marker may arrive with the scan, in one burst: it is typed
        # first and the refusal reported after it.
        said = self.app.stderr.wait_for(
            lambda lines: next((ln for ln in lines[before:] if "U+00C4" in ln), None),
            STEP_TIMEOUT, "the refusal on standard error")
        for named in ("U+00C4", "U+6F22", "U+20AC", "English (US)"):
            self.assertIn(named, said)


@unittest.skipIf(skip_reason("mutter"), skip_reason("mutter"))
class MutterNativeTest(_RemoteScanCase):
    kind = "mutter"

    def test_caps_lock_on(self):
        """Keysyms are typed on the level they are found on: with the
        user's Caps Lock on, letters would change case."""
        toggle = [sys.executable, os.path.join(HERE, "toggle_caps_lock.py")]
        self.desktop.run(toggle)
        try:
            self.assert_typed(b"aB1!zZ\r")
        finally:
            self.desktop.run(toggle)


@unittest.skipIf(skip_reason("mutter"), skip_reason("mutter"))
class MutterUntypableTest(_UntypableCase):
    kind = "mutter"


@unittest.skipIf(skip_reason("mutter-x11"), skip_reason("mutter-x11"))
class MutterXWaylandTest(_RemoteScanCase):
    kind = "mutter-x11"
    receiver_platform = "xcb"
    app_platform = "xcb"


@unittest.skipIf(skip_reason("kwin"), skip_reason("kwin"))
class KWinPortalTest(_RemoteScanCase):
    kind = "kwin"

    def test_session_lost_with_the_portal_is_started_again(self):
        """The portal ends (a desktop update restarts it): the session is
        gone, the next scan starts a new one and arrives whole."""
        self.assert_typed(EAN13)
        pid = self.desktop.name_owner_pid("org.freedesktop.portal.Desktop")
        self.assertIsNotNone(pid)
        # Started by the test's own bus for this session.
        os.kill(pid, signal.SIGTERM)
        wait_until(lambda: not os.path.exists(f"/proc/{pid}"), STEP_TIMEOUT, "the portal to end")
        self.assert_typed(EAN13)
        self.assertIsNone(self.app.proc.poll(), f"ScnFerry ended: {self.app.stderr.lines()!r}")


@unittest.skipIf(skip_reason("kwin"), skip_reason("kwin"))
class KWinUntypableTest(_UntypableCase):
    kind = "kwin"


if __name__ == "__main__":
    unittest.main()
