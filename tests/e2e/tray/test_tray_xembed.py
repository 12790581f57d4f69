# SPDX-License-Identifier: MIT
"""The icon in an XEmbed system tray: Xvfb + openbox + trayer, and a session
bus without any StatusNotifierWatcher, so the program docks a window into
the tray. The test clicks that window as a user would."""

import contextlib
import os
import unittest

from e2e_session import STEP_TIMEOUT, wait_until
from test_window import assert_placed, leave_at_client_area
from tray_session import (PrivateBus, TraySession, Trayer, asked_count, main_window_shown,
                          port_locks, question_lines, start_app)


def start(stack):
    bus = PrivateBus(stack)
    session = TraySession(stack, bus)
    tray = Trayer(stack, session)
    _line, app = start_app(stack, session)
    icon = tray.wait_docked(app)
    return session, tray, app, icon


def centre(session, window):
    geom = session.geometry(window)
    return geom["x"] + geom["width"] // 2, geom["y"] + geom["height"] // 2


def click_until(session, icon, clicks, outcome, what):
    """Clicks the icon until outcome() holds. A busy machine can still be
    laying out a freshly docked icon when the first click comes, which then
    lands beside it; a click that took effect is not repeated."""
    def clicked():
        # No --sync: it waits for a motion that never comes when the pointer
        # is already there; the server takes the move before the click anyway.
        session.run(["xdotool", "mousemove", *map(str, centre(session, icon)), "click", *clicks])
        with contextlib.suppress(TimeoutError):
            return wait_until(outcome, 3.0, what, interval=0.05)
        return None
    return wait_until(clicked, STEP_TIMEOUT, what, interval=0)


def open_menu(session, app, icon):
    """Right-clicks the icon; returns the menu's window once it is up."""
    def menu():
        found = [w for w in session.windows(pid=app.pid, visible=True)
                 if w not in (icon, app.main_window)]
        return found[-1] if found else None
    return click_until(session, icon, ["3"], menu, "the icon's menu")


class XEmbedTest(unittest.TestCase):

    def test_single_click_does_nothing_double_click_restores(self):
        with contextlib.ExitStack() as stack:
            session, tray, app, icon = start(stack)
            self.assertFalse(main_window_shown(session, app))
            self.assertNotIn(app.main_window, session.managed_windows())
            x, y = map(str, centre(session, icon))

            session.click(x, y)
            # The menu opens from a later click, so by the time it is up the
            # program has handled the single click.
            menu = open_menu(session, app, icon)
            self.assertFalse(main_window_shown(session, app), "a single click restored the window")
            session.key("Escape")
            wait_until(lambda: not session.is_visible(menu), STEP_TIMEOUT, "the menu to close")

            session.run(["xdotool", "mousemove", x, y,
                         "click", "--repeat", "2", "--delay", "60", "1"])
            wait_until(lambda: main_window_shown(session, app), STEP_TIMEOUT,
                       "the window after a double-click on the icon", interval=0.05)
            wait_until(lambda: not tray.docked(app.pid), STEP_TIMEOUT,
                       "the icon to leave the tray", interval=0.05)
            self.assertEqual(session.window_state(app.main_window), "Normal")
            session.screenshot_painted("tray-xembed-restored.png", app.main_window)

            session.run(["xdotool", "windowminimize", str(app.main_window)])
            wait_until(lambda: not main_window_shown(session, app), STEP_TIMEOUT,
                       "the window to leave the screen", interval=0.05)
            tray.wait_docked(app)
            self.assertEqual(asked_count(app), 0)

    def test_every_restore_puts_the_frame_at_the_placement(self):
        def double_click(session, app, icon):
            click_until(session, icon, ["--repeat", "2", "--delay", "60", "1"],
                        lambda: main_window_shown(session, app), "the window after a double-click")

        def menu_show(session, app, icon):
            menu = open_menu(session, app, icon)
            session.key("s")  # the mnemonic of "&Show"
            wait_until(lambda: not session.is_visible(menu), STEP_TIMEOUT, "the menu to close")

        # (route, restore, whether the window is first left where its client
        # area stood)
        routes = [
            ("double-click", double_click, False),
            ("double-click again", double_click, False),
            ("menu Show", menu_show, False),
            ("double-click, window left at its client area", double_click, True),
            ("menu Show, window left at its client area", menu_show, True),
        ]
        with contextlib.ExitStack() as stack:
            session, tray, app, icon = start(stack)
            window = app.main_window
            client = None
            for route, restore, shifted in routes:
                # Each round starts where the last one left.
                if shifted:
                    leave_at_client_area(session, window, client)
                restore(session, app, icon)
                wait_until(lambda: main_window_shown(session, app), STEP_TIMEOUT,
                           f"the window after {route}", interval=0.05)
                wait_until(lambda: not tray.docked(app.pid), STEP_TIMEOUT,
                           "the icon to leave the tray", interval=0.05)
                client = assert_placed(self, session, window, session.width, session.height,
                                       route)
                session.run(["xdotool", "windowminimize", str(window)])
                wait_until(lambda: not main_window_shown(session, app), STEP_TIMEOUT,
                           f"the window to leave the screen after {route}", interval=0.05)
                icon = tray.wait_docked(app)
            self.assertEqual(asked_count(app), 0)

    def test_exit_from_the_icon_menu(self):
        with contextlib.ExitStack() as stack:
            session, _tray, app, icon = start(stack)
            locks = port_locks(app.pid)
            self.assertTrue(locks, "no lock file for the open port")
            menu = open_menu(session, app, icon)
            session.screenshot_painted("tray-xembed-menu.png", menu)
            # The menu has the keyboard grab: its mnemonic picks "&Exit".
            session.key("e")
            wait_until(lambda: not session.is_visible(menu), STEP_TIMEOUT, "the menu to close")
            question_lines(app)
            app.answer_box("Return")
            self.assertEqual(app.wait_exit(), 0)
            self.assertFalse(session.is_visible(icon), "the icon outlived the program")
            self.assertEqual([p for p in locks if os.path.exists(p)], [], "lock file left behind")


if __name__ == "__main__":
    unittest.main()
