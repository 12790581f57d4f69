# SPDX-License-Identifier: MIT
"""The main window once the user brings it up: size, place and looks."""

import contextlib
import os
import re
import tempfile
import unittest

from e2e_session import Config, Receiver, XSession, start_on_pty, typed_as, wait_until
from test_command_line import expect_box

CONFIRM = ["You are about to close Scanferry !", "This disables serial scanner's capture.",
           "Do you want to end Scanferry ?"]

TWIPS_PER_PIXEL = 15
OUTER_TWIPS = (4740, 1545)
CLIENT_PIXELS = (310, 78)
WINDOW_COLOUR = (255, 192, 128)
# Frames differ from the reference one; the corner the program asks for is
# what it controls, give or take the rounding of a pixel.
SLACK = 1


def expected_corner(width, height):
    """Where the outer frame's upper left corner belongs on a screen of
    width x height pixels: 100 twips from the right, 600 from the bottom."""
    left = (width * TWIPS_PER_PIXEL - OUTER_TWIPS[0] - 100) / TWIPS_PER_PIXEL
    top = (height * TWIPS_PER_PIXEL - OUTER_TWIPS[1] - 600) / TWIPS_PER_PIXEL
    return left, top


def rgb(colour):
    return tuple(int(colour[i:i + 2], 16) for i in (0, 2, 4))


def count(counts, test):
    """How many pixels of a region's colour counts pass test((r, g, b))."""
    return sum(n for colour, n in counts.items() if test(rgb(colour)))


def share(counts, test):
    return count(counts, test) / max(1, sum(counts.values()))


def violet_face(p):
    """The buttons' face, 255,192,255, as the style's gradient lightens it."""
    return p[0] == p[2] and p[0] >= 240 and p[0] - p[1] >= 25


# What the restored window shows where, in twips of its client area:
# (what, left, top, width, height, check of the region's colour counts).
TRAFFIC_LIGHT = (75, 90, 750, 645)
END_BUTTON = (3885, 90, 750, 645)
STATE_BOX = (825, 495, 3060, 225)  # inside its frame line
LOOKS = [
    ("the window colour below the text lines", 15, 1020, 4620, 150,
     lambda c: share(c, lambda p: p == WINDOW_COLOUR) == 1.0),
    ("the state box, white", *STATE_BOX, lambda c: share(c, lambda p: p == (255, 255, 255)) >= 0.5),
    ("dark text in the state box", *STATE_BOX, lambda c: count(c, lambda p: sum(p) < 150) >= 40),
    ("the traffic light's violet face", *TRAFFIC_LIGHT, lambda c: count(c, violet_face) >= 100),
    ("the green lamp lit", *TRAFFIC_LIGHT, lambda c: count(c, lambda p: p == (0, 255, 0)) >= 10),
    ("the red lamp dark", *TRAFFIC_LIGHT, lambda c: count(c, lambda p: p == (255, 0, 0)) == 0),
    ("the end button's violet face", *END_BUTTON, lambda c: count(c, violet_face) >= 100),
    ("the end button's red disc", *END_BUTTON, lambda c: count(c, lambda p: p == (255, 0, 0)) >= 50),
]


def assert_placed(test, session, window, width, height, what):
    """The outer frame stands where the placement puts it, within a pixel.
    Returns the client area's corner."""
    geom = session.geometry(window)
    frame = geom["frame"]
    left, top = expected_corner(width, height)
    test.assertLessEqual(abs(frame["x"] - left), SLACK, (what, geom, left, top))
    test.assertLessEqual(abs(frame["y"] - top), SLACK, (what, geom, left, top))
    return geom["x"], geom["y"]


def leave_at_client_area(session, window, corner):
    """Moves the withdrawn window to where its client area stood, as window
    managers do that do not move it back to its frame's corner on
    withdrawal (openbox does)."""
    session.run(["xdotool", "windowmove", str(window), *map(str, corner)])

    def moved():
        geom = session.geometry(window)
        return (geom["x"], geom["y"]) == tuple(corner)
    wait_until(moved, 20.0, f"the withdrawn window at {corner}", interval=0.05)


def pixel(session, png, x, y):
    out = session.run(["convert", png, "-format", f"%[fx:int(255*p{{{x},{y}}}.r)],"
                       f"%[fx:int(255*p{{{x},{y}}}.g)],%[fx:int(255*p{{{x},{y}}}.b)]",
                       "info:"]).stdout
    return tuple(int(v) for v in re.findall(r"\d+", out)[:3])


def restore(session, app):
    """Brings the minimised window up as a taskbar or pager would."""
    window = app.main_window
    if session.is_visible(window):
        raise AssertionError("the window did not start minimised")
    wait_until(lambda: session.run(["xdotool", "windowactivate", "--sync", str(window)],
                                   check=False).returncode == 0
               and session.is_visible(window), 20.0, "the restored window", interval=0.2)
    return window


class WindowTest(unittest.TestCase):

    def test_restored_window_sits_at_lower_right(self):
        for width, height in [(1024, 768), (1280, 1024), (800, 600)]:
            with self.subTest(screen=f"{width}x{height}"), contextlib.ExitStack() as stack:
                session = XSession(stack, width, height)
                _, app = start_on_pty(stack, session)
                window = restore(session, app)
                geom = session.geometry(window)
                frame = geom["frame"]
                left, top = expected_corner(width, height)
                self.assertEqual((geom["width"], geom["height"]), CLIENT_PIXELS, geom)
                self.assertLessEqual(abs(frame["x"] - left), SLACK, (geom, left, top))
                self.assertLessEqual(abs(frame["y"] - top), SLACK, (geom, left, top))
                self.assertLessEqual(frame["x"] + frame["width"], width, geom)
                self.assertLessEqual(frame["y"] + frame["height"], height, geom)
                # Fixed size: the window manager is not offered a maximise.
                actions = session.run(["xprop", "-id", str(window),
                                       "_NET_WM_ALLOWED_ACTIONS"]).stdout
                self.assertIn("_NET_WM_ACTION_MOVE", actions)
                self.assertNotIn("MAXIMIZE", actions)

    def test_screenshot_of_restored_window(self):
        with contextlib.ExitStack() as stack:
            session = XSession(stack)
            line, app = start_on_pty(stack, session)
            window = restore(session, app)
            geom = session.geometry(window)
            out_dir = Config.artifacts or stack.enter_context(tempfile.TemporaryDirectory())
            os.makedirs(out_dir, exist_ok=True)
            png = os.path.join(out_dir, "window-restored.png")
            missing = []

            def looks_right():
                session.screenshot(png)
                missing[:] = [what for what, left, top, width, height, check in LOOKS
                              if not check(colours(session, png,
                                                   geom["x"] + round(left / TWIPS_PER_PIXEL),
                                                   geom["y"] + round(top / TWIPS_PER_PIXEL),
                                                   round(width / TWIPS_PER_PIXEL),
                                                   round(height / TWIPS_PER_PIXEL)))]
                return not missing
            # Poll: the window paints after it is mapped.
            try:
                wait_until(looks_right, 20.0, "the window painted", interval=0.2)
            except TimeoutError:
                self.fail(f"not on screen in {png}: {', '.join(missing)}")
            print(f"\nscreenshot: {png} (state text expected: "
                  f"'The port {line.path} is open')")


if __name__ == "__main__":
    unittest.main()


def colours(session, png, x, y, width, height):
    """Counts of each colour ("#RRGGBB") in a rectangle of the screenshot."""
    out = session.run(["convert", png, "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                       "-depth", "8", "txt:-"]).stdout
    counts = {}
    for colour in re.findall(r"#([0-9A-F]{6})", out):
        counts[colour] = counts.get(colour, 0) + 1
    return counts


class WindowControlsTest(unittest.TestCase):
    """The buttons of the restored window, clicked as a user clicks them."""

    def setUp(self):
        self.stack = self.enterContext(contextlib.ExitStack())
        self.session = XSession(self.stack)
        self.tmp = self.stack.enter_context(tempfile.TemporaryDirectory())
        self.receiver = Receiver(self.stack, self.session, os.path.join(self.tmp, "rx.txt"))
        self.line, self.app = start_on_pty(self.stack, self.session)
        self.window = restore(self.session, self.app)
        self.geom = self.session.geometry(self.window)

    def click_client(self, twips_x, twips_y):
        self.session.click(self.geom["x"] + round(twips_x / TWIPS_PER_PIXEL),
                           self.geom["y"] + round(twips_y / TWIPS_PER_PIXEL))

    def traffic_light(self):
        """'open' or 'closed' by the lamp lit on the toggle button, None while
        neither shows."""
        png = self.session.screenshot(os.path.join(self.tmp, "toggle.png"))
        # cmdStSt: 75, 90, 750 x 645 twips.
        counts = colours(self.session, png, self.geom["x"] + 5, self.geom["y"] + 6, 50, 43)
        green, red = counts.get("00FF00", 0), counts.get("FF0000", 0)
        if green and not red:
            return "open"
        if red and not green:
            return "closed"
        return None

    def scan_arrives(self, data, expected_record):
        self.receiver.focus()
        self.line.write_block(data)
        self.assertEqual(self.receiver.wait_text_ending(typed_as(data.decode())),
                         expected_record)

    def test_traffic_light_closes_and_reopens_the_port(self):
        wait_until(lambda: self.traffic_light() == "open", 20.0, "the green lamp")
        self.scan_arrives(b"111\r", "111\n")

        self.click_client(75 + 375, 90 + 322)
        wait_until(lambda: self.traffic_light() == "closed", 20.0, "the red lamp")
        # Sent while the port is closed: nobody reads it, and reopening drops it.
        self.line.write_block(b"222\r")

        # Reopened with Space on the button, which has kept the focus inside
        # its window, sent to that window alone: the receiver keeps the
        # keyboard, so anything typed at the reopening would land there.
        self.receiver.focus()
        self.session.run(["xdotool", "key", "--window", str(self.window), "space"])
        wait_until(lambda: self.traffic_light() == "open", 20.0, "the green lamp again")
        self.assertEqual(self.session.focused_window(), self.receiver.window)
        self.scan_arrives(b"333\r", "111\n333\n")

    def test_ending_asks_first(self):
        end_button = (3885 + 375, 90 + 322)
        triggers = [
            ("end button", lambda: self.click_client(*end_button)),
            ("close box", lambda: self.session.click_close_box(self.window)),
        ]
        for how, trigger in triggers:
            with self.subTest(how=how):
                after = len(self.app.stderr.lines())
                trigger()
                expect_box(self.app, CONFIRM, after, key="Escape")
                self.assertIsNone(self.app.proc.poll())
                self.assertTrue(self.session.is_visible(self.window))
        # Still capturing after No.
        self.scan_arrives(b"444\r", "444\n")

        after = len(self.app.stderr.lines())
        self.click_client(*end_button)
        expect_box(self.app, CONFIRM, after, key="Return")
        self.assertEqual(self.app.wait_exit(), 0)
        # The port was closed and its lock released: another instance gets it.
        start_on_pty(self.stack, self.session, line=self.line)
