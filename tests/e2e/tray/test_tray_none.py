# SPDX-License-Identifier: MIT
"""No notification area at all: Xvfb + openbox, a session bus without a
watcher and no XEmbed tray. The window must stay reachable: minimised in the
taskbar, never hidden."""

import contextlib
import os
import unittest

from e2e_session import STEP_TIMEOUT, wait_until
from tray_session import (PrivateBus, TraySession, asked_count, main_window_shown,
                          port_locks, question_lines, start_app)


def restore(session, app):
    def shown():
        if main_window_shown(session, app):
            return True
        session.activate(app.main_window)
        return False
    wait_until(shown, STEP_TIMEOUT, "the window after activating it", interval=0.1)


class NoTrayTest(unittest.TestCase):

    def test_minimised_window_stays_in_taskbar_and_close_asks(self):
        with contextlib.ExitStack() as stack:
            bus = PrivateBus(stack)
            session = TraySession(stack, bus)
            _line, app = start_app(stack, session)
            window = app.main_window
            locks = port_locks(app.pid)
            self.assertTrue(locks, "no lock file for the open port")

            for step in ("start-up", "minimise"):
                with self.subTest(step=step):
                    wait_until(lambda: session.window_state(window) == "Iconic", STEP_TIMEOUT,
                               f"the window iconified after {step}", interval=0.05)
                    self.assertIn(window, session.managed_windows(), "no taskbar entry")
                    restore(session, app)
                    self.assertEqual(session.window_state(window), "Normal")
                    if step == "start-up":
                        session.run(["xdotool", "windowminimize", str(window)])

            # The close box asks; No keeps the window.
            for asked, answer in enumerate(("n", "Return"), start=1):
                mark = len(app.stderr.lines())
                session.click_close_box(window)
                question_lines(app, after=mark)
                self.assertEqual(asked_count(app), asked)
                app.answer_box(answer)
                if answer == "n":
                    self.assertIsNone(app.proc.poll())
                    self.assertTrue(main_window_shown(session, app))
                    self.assertEqual(port_locks(app.pid), locks)
            self.assertEqual(app.wait_exit(), 0)
            self.assertEqual([p for p in locks if os.path.exists(p)], [], "lock file left behind")


if __name__ == "__main__":
    unittest.main()
