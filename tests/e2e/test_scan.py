# SPDX-License-Identifier: MIT
"""Scans written into the pty arrive as keystrokes in the focused window."""

import contextlib
import itertools
import os
import tempfile
import unittest

from e2e_session import Receiver, XSession, start_on_pty, typed_as

EAN13 = b"5901234123457\r"


def payload(length):
    """Printable ASCII, the characters of the old key syntax among them
    (+ ^ % ~ ( ) { } [ ]), ending in CR."""
    alphabet = bytes(range(0x20, 0x7F))
    body = bytes(itertools.islice(itertools.cycle(alphabet), length - 1))
    return body + b"\r"


class ScanTest(unittest.TestCase):

    def setUp(self):
        self.stack = self.enterContext(contextlib.ExitStack())
        self.session = XSession(self.stack)
        tmp = self.stack.enter_context(tempfile.TemporaryDirectory())
        self.receiver = Receiver(self.stack, self.session, os.path.join(tmp, "received.txt"))
        self.line, self.app = start_on_pty(self.stack, self.session)
        # The program comes up out of sight and leaves the focus where it was.
        self.assertEqual(self.app.visible_windows(), [])
        self.receiver.focus()
        self.expected = ""
        self.markers = 0

    def scan(self, data, paced=False, text=None):
        """Sends one scan, then a marker scan, and checks that the receiver
        holds exactly what was typed so far: nothing lost, doubled or changed.
        text is what data stands for, when it is not UTF-8."""
        if paced:
            self.line.write_paced(data)
        else:
            self.line.write_block(data)
        self.expected += typed_as(text if text is not None else data.decode())
        self.markers += 1
        marker = f"end{self.markers}\r".encode()
        self.line.write_block(marker)
        self.expected += typed_as(marker.decode())
        got = self.receiver.wait_text_ending(typed_as(marker.decode()), timeout=60.0)
        if got != self.expected:
            at = next((i for i, (a, b) in enumerate(zip(got, self.expected)) if a != b),
                      min(len(got), len(self.expected)))
            self.fail(f"receiver differs at {at}: got ...{got[at:at + 40]!r}, "
                      f"expected ...{self.expected[at:at + 40]!r} "
                      f"({len(got)} against {len(self.expected)} characters)")

    def test_scan_in_one_block(self):
        self.scan(EAN13)

    def test_scan_paced_at_9600_baud(self):
        self.scan(EAN13, paced=True)

    def test_long_payload(self):
        for paced in (False, True):
            with self.subTest(paced=paced):
                self.scan(payload(2000), paced=paced)

    def test_control_and_non_ascii_characters(self):
        cases = [
            # GS1 data: FNC1 separators arrive as GS, typed as Ctrl+].
            b"0109501101020917\x1d10ABC123\r",
            b"[)>\x1e06\x1dP123\x1e\x04\r",
            b"A\tB\r",
            b"CRLF\r\n",
            b"LF\n",
            "Größe 5 € ñ Ω\r".encode(),
            "\u6f22\u5b57\r".encode(),
        ]
        for data in cases:
            for paced in (False, True):
                with self.subTest(data=data, paced=paced):
                    self.scan(data, paced=paced)

    def test_windows_1252_bytes(self):
        # Bytes that cannot be UTF-8 stand for their Windows-1252 characters.
        cases = [
            (b"\xc4pfel\r", "Äpfel\r"),
            (b"5 \x80\r", "5 €\r"),
            # A lead byte cut short by the CR.
            (b"1\xc3\r", "1Ã\r"),
        ]
        for data, text in cases:
            with self.subTest(data=data):
                self.scan(data, text=text)

    def test_cut_short_character_is_not_held_back(self):
        # A lead byte ends the burst and nothing follows it: after a short
        # wait for its continuation it is typed as its Windows-1252 character.
        self.line.write_block(b"9\xc4")
        self.assertEqual(self.receiver.wait_text_ending("9Ä"), "9Ä")


if __name__ == "__main__":
    unittest.main()
