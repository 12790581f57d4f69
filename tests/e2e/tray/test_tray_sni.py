# SPDX-License-Identifier: MIT
"""The icon as a StatusNotifierItem: Xvfb + openbox, a private session bus
and the watcher of sni_watcher.py. The test plays the host: it reads the
item's properties, calls Activate and clicks the item's menu over D-Bus."""

import contextlib
import os
import signal
import tempfile
import unittest
from unittest import mock

from e2e_session import APP_TITLE, App, Receiver, STEP_TIMEOUT, wait_until
from test_window import assert_placed, leave_at_client_area
from tray_session import (PrivateBus, TraySession, Watcher, asked_count, main_window_shown,
                          plain_label, port_locks, question_lines, start_app)


def start(stack, width=1024, height=768):
    bus = PrivateBus(stack)
    Watcher(stack, bus)
    session = TraySession(stack, bus, width, height)
    line, app = start_app(stack, session)
    item = bus.client.wait_item(app)
    return bus.client, session, line, app, item


def wait_shown(session, app, shown=True, what=""):
    wait_until(lambda: app.proc.poll() is None and main_window_shown(session, app) == shown,
               STEP_TIMEOUT, ("the window on screen " if shown else "the window to go ") + what,
               interval=0.05)


def wait_box(session, app):
    def box():
        found = [w for w in session.windows(pid=app.pid, visible=True) if w != app.main_window]
        return found[-1] if found else None
    return wait_until(box, STEP_TIMEOUT, "the question box")


class StatusNotifierTest(unittest.TestCase):

    def test_item_registers_hidden_window_with_title_and_icon(self):
        with contextlib.ExitStack() as stack:
            bus, session, _line, app, item = start(stack)
            props = bus.get_all(*item, "org.kde.StatusNotifierItem")
            _icon_name, _tip_icon, tip_title, _tip_text = props["ToolTip"]
            self.assertEqual(tip_title, APP_TITLE)
            # Hosts hide Passive items.
            self.assertEqual(props["Status"], "Active")
            pixmaps = props["IconPixmap"]
            self.assertTrue(pixmaps, "the item carries no picture")
            for width, height, argb in pixmaps:
                with self.subTest(size=f"{width}x{height}"):
                    self.assertIn((width, height), [(16, 16), (32, 32)])
                    self.assertEqual(len(argb), width * height * 4)
                    opaque = sum(1 for a in argb[0::4] if a == 0xFF)
                    self.assertGreater(opaque, width * height // 4, "the picture is see-through")
            # Out of sight: neither on screen nor in the taskbar.
            self.assertFalse(main_window_shown(session, app))
            self.assertNotIn(app.main_window, session.managed_windows())
            self.assertEqual(asked_count(app), 0)

    def test_restore_and_minimise_alternate(self):
        activate = lambda bus, item: bus.activate(item)  # noqa: E731
        show = lambda bus, item: bus.click_menu(item, "Show")  # noqa: E731
        # (route, restore, whether the window is first left where its client
        # area stood)
        routes = [
            ("Activate", activate, False),
            ("menu Show", show, False),
            ("Activate again", activate, False),
            ("Activate, window left at its client area", activate, True),
            ("menu Show, window left at its client area", show, True),
        ]
        width, height = 1024, 768
        with contextlib.ExitStack() as stack:
            bus, session, _line, app, item = start(stack, width, height)
            window = app.main_window
            client = None
            for round_no, (route, restore, shifted) in enumerate(routes):
                # Each round starts where the last one left: a later round
                # means nothing once one has failed, so no subTest here.
                if shifted:
                    leave_at_client_area(session, window, client)
                restore(bus, item)
                wait_shown(session, app, what=f"after {route}")
                bus.wait_no_item()
                self.assertEqual(session.window_state(window), "Normal", route)
                client = assert_placed(self, session, window, width, height, route)
                if round_no == 0:
                    session.screenshot_painted("tray-sni-restored.png", window)

                session.run(["xdotool", "windowminimize", str(window)])
                wait_shown(session, app, shown=False, what=f"minimised after {route}")
                item = bus.wait_item(app)
                # Hidden, not iconified: no taskbar entry either.
                self.assertIsNone(session.window_state(window), route)
                self.assertNotIn(window, session.managed_windows(), route)
            self.assertEqual(asked_count(app), 0)

    def test_a_window_the_user_moved_comes_back_where_it_was(self):
        with contextlib.ExitStack() as stack:
            bus, session, _line, app, item = start(stack)
            window = app.main_window
            bus.activate(item)
            wait_shown(session, app, what="after Activate")
            session.run(["xdotool", "windowmove", "--sync", str(window), "120", "140"])
            moved = wait_until(lambda: (f := session.geometry(window)["frame"])["x"] < 300 and f,
                               STEP_TIMEOUT, "the window to move")
            session.run(["xdotool", "windowminimize", str(window)])
            wait_shown(session, app, shown=False, what="minimised")
            bus.activate(bus.wait_item(app))
            wait_shown(session, app, what="after the second Activate")
            frame = session.geometry(window)["frame"]
            self.assertLessEqual(abs(frame["x"] - moved["x"]), 1, (frame, moved))
            self.assertLessEqual(abs(frame["y"] - moved["y"]), 1, (frame, moved))

    def test_menu_exit_asks_no_keeps_yes_ends(self):
        with contextlib.ExitStack() as stack:
            bus, session, line, app, item = start(stack)
            _path, entries = bus.menu(item)
            self.assertEqual([(plain_label(label), kind, visible)
                              for _id, label, kind, visible in entries],
                             [("Show", "standard", True), ("", "separator", True),
                              ("Exit", "standard", True)])
            locks = port_locks(app.pid)
            self.assertTrue(locks, "no lock file for the open port")

            bus.click_menu(item, "Exit")
            first = question_lines(app)
            session.screenshot_painted("tray-sni-question.png", wait_box(session, app))
            app.answer_box("n")
            # No: still running, still hidden, still in the tray, port held.
            self.assertIsNone(app.proc.poll())
            self.assertFalse(main_window_shown(session, app))
            self.assertEqual(bus.registered_items(), [item])
            self.assertEqual(port_locks(app.pid), locks)

            bus.click_menu(item, "Exit")
            question_lines(app, after=first + 1)
            app.answer_box("Return")  # Yes is the default button
            self.assertEqual(app.wait_exit(), 0)
            self.assertEqual(asked_count(app), 2)
            bus.wait_no_item()
            self.assertEqual([p for p in locks if os.path.exists(p)], [], "lock file left behind")

            # The port is free for the next program.
            second = App(stack, [f"{line.path},9600,N,8,1"], session)
            second.wait_main_window()
            self.assertTrue(port_locks(second.pid))
            second.proc.send_signal(signal.SIGTERM)
            self.assertEqual(second.wait_exit(), 0)

    def test_termination_signals_end_in_order_without_asking(self):
        for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signo.name), contextlib.ExitStack() as stack:
                bus, _session, _line, app, _item = start(stack)
                locks = port_locks(app.pid)
                self.assertTrue(locks, "no lock file for the open port")
                app.proc.send_signal(signo)
                self.assertEqual(app.wait_exit(), 0, app.stderr.lines())
                self.assertEqual(asked_count(app), 0)
                self.assertEqual([p for p in locks if os.path.exists(p)], [],
                                 "lock file left behind")
                bus.wait_no_item()

    def test_termination_signal_while_asking_ends_in_order(self):
        # A log-out or a service stop does not wait for the user's answer.
        with contextlib.ExitStack() as stack:
            bus, session, _line, app, item = start(stack)
            locks = port_locks(app.pid)
            bus.click_menu(item, "Exit")
            question_lines(app)
            wait_box(session, app)
            app.proc.send_signal(signal.SIGTERM)
            self.assertEqual(app.wait_exit(), 0, app.stderr.lines())
            self.assertEqual(asked_count(app), 1)
            self.assertEqual([p for p in locks if os.path.exists(p)], [], "lock file left behind")
            bus.wait_no_item()

    def test_scan_during_the_exit_question_waits_for_the_receiver(self):
        # A CR typed into the question would press its default button, Yes.
        with contextlib.ExitStack() as stack:
            bus, session, line, app, item = start(stack)
            tmp = stack.enter_context(tempfile.TemporaryDirectory())
            receiver = Receiver(stack, session, os.path.join(tmp, "received.txt"))
            receiver.focus()
            bus.click_menu(item, "Exit")
            question_lines(app)
            box = wait_box(session, app)
            wait_until(lambda: session.focused_window() == box or session.activate(box),
                       STEP_TIMEOUT, "the question box to take the focus")
            line.write_block(b"1234\r")
            line.wait_read()
            app.answer_box("n")
            self.assertIsNone(app.proc.poll(), app.stderr.lines())
            receiver.focus()
            self.assertEqual(receiver.wait_text_ending("1234\n"), "1234\n")
            self.assertIsNone(app.proc.poll(), app.stderr.lines())
            self.assertEqual(asked_count(app), 1)

    def test_every_way_out_ends_cleanly(self):
        # Qt objects that outlive the application (the icon, its menu, the
        # typing thread) show up as sanitizer reports or Qt's warnings at the
        # very end, after the exit status is already decided.
        def exit_yes(bus, item, app):
            bus.click_menu(item, "Exit")
            question_lines(app)
            app.answer_box("Return")

        ways = [
            ("Exit, Yes", exit_yes),
            ("SIGTERM", lambda bus, item, app: app.proc.send_signal(signal.SIGTERM)),
        ]
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
        leaks_on = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=1",
                        LSAN_OPTIONS=f"suppressions={suppressions}:print_suppressions=0")
        for way, leave in ways:
            with self.subTest(way=way), contextlib.ExitStack() as stack, \
                    mock.patch.dict(os.environ, leaks_on):
                bus, _session, _line, app, item = start(stack)
                leave(bus, item, app)
                self.assertEqual(app.wait_exit(), 0, app.stderr.lines())
                late = [ln for ln in app.stderr.lines()
                        if ln.startswith(("QObject", "QSocketNotifier", "QBasicTimer", "QThread",
                                          "QWidget", "QPixmap", "QDBus"))
                        or "Sanitizer" in ln]
                self.assertEqual(late, [], app.stderr.lines())


if __name__ == "__main__":
    unittest.main()
