# SPDX-License-Identifier: MIT
"""The serial line's life seen from outside: a port someone else holds, and
a device that goes away while the program reads it."""

import contextlib
import os
import signal
import tempfile
import time
import unittest

from e2e_session import App, Receiver, XSession, start_on_pty, wait_until
from test_command_line import UNAVAILABLE, expect_box

# CPU a waiting message box may use in a second, in clock ticks: a little for
# Qt's own timers and the window manager's traffic, nothing like a busy loop.
IDLE_TICKS_PER_SECOND = max(1, os.sysconf("SC_CLK_TCK") // 10)


def assert_idle(case, app, when):
    """Measures the program's CPU time over a second."""
    before = app.cpu_ticks()
    started = time.monotonic()
    time.sleep(1.0)  # the measuring interval, not a wait for a condition
    used = app.cpu_ticks() - before
    elapsed = time.monotonic() - started
    case.assertLessEqual(used, IDLE_TICKS_PER_SECOND * elapsed,
                         f"{used} clock ticks of CPU in {elapsed:.2f} s {when}")


class IdleTest(unittest.TestCase):

    def test_waiting_for_scans_costs_no_cpu(self):
        with contextlib.ExitStack() as stack:
            session = XSession(stack)
            tmp = stack.enter_context(tempfile.TemporaryDirectory())
            receiver = Receiver(stack, session, os.path.join(tmp, "received.txt"))
            line, app = start_on_pty(stack, session)
            assert_idle(self, app, "with the port open, before any scan")
            receiver.focus()
            # A burst that ends inside a character leaves a tail to time out.
            line.write_block(b"123\r9\xc3")
            receiver.wait_text_ending("123\n9\u00c3")
            assert_idle(self, app, "after a scan")


class BusyPortTest(unittest.TestCase):

    def test_second_instance_is_refused_and_first_keeps_typing(self):
        # The same device by its own name and through a symlink: one lock.
        for alias in ("direct", "symlink"):
            with self.subTest(alias=alias), contextlib.ExitStack() as stack:
                session = XSession(stack)
                tmp = stack.enter_context(tempfile.TemporaryDirectory())
                receiver = Receiver(stack, session, os.path.join(tmp, "received.txt"))
                line, first = start_on_pty(stack, session)
                path = line.path
                if alias == "symlink":
                    path = os.path.join(tmp, "scanner")
                    os.symlink(line.path, path)

                second = App(stack, [f"{path},9600,N,8,1"], session)
                expect_box(second, UNAVAILABLE, 0)
                self.assertEqual(second.wait_exit(), 1, second.stderr.lines())

                self.assertIsNone(first.proc.poll(), first.stderr.lines())
                receiver.focus()
                line.write_block(b"4006381333931\r")
                self.assertEqual(receiver.wait_text_ending("4006381333931\n"),
                                 "4006381333931\n")


class DeviceLossTest(unittest.TestCase):

    def test_vanished_device_is_reported_without_spinning(self):
        with contextlib.ExitStack() as stack:
            session = XSession(stack)
            line, app = start_on_pty(stack, session)
            line.hang_up()

            first = app.wait_stderr_line(f"Error while opening port ({line.path})")
            lines = app.stderr.wait_for(lambda ls: ls if len(ls) > first + 1 else None,
                                        10.0, "the error description")
            description = lines[first + 1]
            self.assertTrue(description.startswith("Error Description : "), lines)
            self.assertTrue(description[len("Error Description : "):].strip(), lines)

            # The box is on screen and waits for the user; meanwhile the
            # program must sleep, not poll a dead descriptor.
            wait_until(lambda: app.visible_windows(), 20.0, "the error box")
            assert_idle(self, app, "while the error box waits")

            self.assertIsNone(app.proc.poll(), "ended before the box was answered")
            app.answer_box()
            self.assertEqual(app.wait_exit(), 1)
            # One report, not one per failed read.
            self.assertEqual(sum(1 for ln in app.stderr.lines()
                                 if ln.startswith("Error while opening port")), 1)


class TerminationSignalTest(unittest.TestCase):

    def test_signal_ends_in_order_without_asking(self):
        for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signo.name), contextlib.ExitStack() as stack:
                session = XSession(stack)
                tmp = stack.enter_context(tempfile.TemporaryDirectory())
                receiver = Receiver(stack, session, os.path.join(tmp, "received.txt"))
                line, app = start_on_pty(stack, session)
                # Sent once the program is capturing: a scan got through.
                receiver.focus()
                line.write_block(b"77\r")
                receiver.wait_text_ending("77\n")
                app.proc.send_signal(signo)
                self.assertEqual(app.wait_exit(), 0, app.stderr.lines())
                self.assertNotIn("Do you want to end Scanferry ?", app.stderr.lines())
                # The port was closed and its lock released.
                start_on_pty(stack, session, line=line)

    def test_signal_while_a_failure_box_is_open_ends_with_status_1(self):
        # The failure stands whoever ends the program while its box waits.
        for when in ("start-up", "receiving"):
            with self.subTest(when=when), contextlib.ExitStack() as stack:
                session = XSession(stack)
                if when == "start-up":
                    app = App(stack, ["/dev/scnferry-no-such-port,9600,N,8,1"], session)
                    app.wait_stderr_line(UNAVAILABLE[0])
                else:
                    line, app = start_on_pty(stack, session)
                    line.hang_up()
                    app.wait_stderr_line(f"Error while opening port ({line.path})")
                wait_until(lambda: app.visible_windows(), 20.0, "the failure box")
                app.proc.send_signal(signal.SIGTERM)
                self.assertEqual(app.wait_exit(), 1, app.stderr.lines())


if __name__ == "__main__":
    unittest.main()
