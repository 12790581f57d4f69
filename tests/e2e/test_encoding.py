# SPDX-License-Identifier: MIT
"""Scans in the system's legacy code page arrive as the characters they
stand for: Shift_JIS under a Japanese locale, GBK named by
SCNFERRY_ENCODING; UTF-8 scans stay UTF-8; an unknown name stops the start."""

import contextlib
import os
import tempfile
import unittest
from unittest import mock

from e2e_session import App, Receiver, ScannerLine, XSession, start_on_pty, typed_as

LOCALE_VARIABLES = ("LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LANG", "LANGUAGE", "SCNFERRY_ENCODING")

# A QR code in Kanji mode holds Shift_JIS: a product name with its weight,
# full-width digits, half-width katakana; CR as the scanner's suffix.
SHIFT_JIS_NAME = "特選 煎茶 ５００ｇ ｾﾝﾁｬ\r"
GBK_NAME = "商品：绿茶 500克\r"


@contextlib.contextmanager
def environment(**values):
    """The program started inside sees exactly these locale variables."""
    with mock.patch.dict(os.environ):
        for name in LOCALE_VARIABLES:
            os.environ.pop(name, None)
        os.environ.update(values)
        yield


class LegacyEncodingTest(unittest.TestCase):

    def start(self, **env):
        self.stack = self.enterContext(contextlib.ExitStack())
        self.session = XSession(self.stack)
        tmp = self.stack.enter_context(tempfile.TemporaryDirectory())
        self.receiver = Receiver(self.stack, self.session, os.path.join(tmp, "received.txt"))
        with environment(**env):
            self.line, self.app = start_on_pty(self.stack, self.session)
        self.receiver.focus()
        self.expected = ""
        self.markers = 0

    def scan(self, data, text, paced=False):
        """Sends one scan and a marker, then checks the receiver holds
        exactly what was typed so far."""
        if paced:
            self.line.write_paced(data)
        else:
            self.line.write_block(data)
        self.expected += typed_as(text)
        self.markers += 1
        marker = f"end{self.markers}\r"
        self.line.write_block(marker.encode())
        self.expected += typed_as(marker)
        got = self.receiver.wait_text_ending(typed_as(marker), timeout=60.0)
        self.assertEqual(got, self.expected)

    def test_shift_jis_under_japanese_locale(self):
        self.start(LANG="ja_JP.UTF-8")
        for paced in (False, True):
            with self.subTest(paced=paced):
                self.scan(SHIFT_JIS_NAME.encode("cp932"), SHIFT_JIS_NAME, paced=paced)
        # UTF-8 comes first under every locale.
        self.scan("漢字 ä\r".encode(), "漢字 ä\r", paced=True)
        self.assertEqual([ln for ln in self.app.stderr.lines() if "U+FFFD" in ln], [])

    def test_gbk_named_by_the_variable(self):
        self.start(LANG="C.UTF-8", SCNFERRY_ENCODING="GBK")
        for paced in (False, True):
            with self.subTest(paced=paced):
                self.scan(GBK_NAME.encode("gbk"), GBK_NAME, paced=paced)

    def test_unmappable_bytes_are_typed_as_replacement_and_reported(self):
        self.start(LANG="ja_JP.UTF-8")
        # 0x8540 is unassigned in code page 932.
        self.scan(b"\x93\x8c\x85\x40\r", "東\ufffd\r")
        self.app.stderr.wait_for(
            lambda lines: next((ln for ln in lines if "is no Shift_JIS character" in ln), None),
            20.0, "the report of the replaced bytes")


class EncodingStartUpTest(unittest.TestCase):

    def test_unknown_encoding_is_a_start_up_error_naming_the_variable(self):
        with contextlib.ExitStack() as stack:
            session = XSession(stack)
            line = ScannerLine(stack)
            with environment(LANG="C.UTF-8", SCNFERRY_ENCODING="Shift-JS"):
                app = App(stack, [f"{line.path},9600,N,8,1"], session)
            app.wait_stderr_line("Run-time error '380':")
            app.answer_box()
            self.assertEqual(app.wait_exit(), 1)
            self.assertTrue(any(ln.startswith('SCNFERRY_ENCODING=Shift-JS: "Shift-JS" is no encoding')
                                for ln in app.stderr.lines()), app.stderr.lines())


if __name__ == "__main__":
    unittest.main()
