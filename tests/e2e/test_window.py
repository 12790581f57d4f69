# SPDX-License-Identifier: MIT
"""The main window once the user brings it up: size, place and looks."""

import contextlib
import os
import re
import tempfile
import unittest

from e2e_session import Config, XSession, start_on_pty, wait_until

TWIPS_PER_PIXEL = 15
OUTER_TWIPS = (4740, 1545)
CLIENT_PIXELS = (310, 78)
WINDOW_COLOUR = (255, 192, 128)
# Frames differ from the reference one; the corner the program asks for is
# what it controls, give or take the rounding of a pixel.
SLACK = 2


def expected_corner(width, height):
    """Where the outer frame's upper left corner belongs on a screen of
    width x height pixels: 100 twips from the right, 600 from the bottom."""
    left = (width * TWIPS_PER_PIXEL - OUTER_TWIPS[0] - 100) / TWIPS_PER_PIXEL
    top = (height * TWIPS_PER_PIXEL - OUTER_TWIPS[1] - 600) / TWIPS_PER_PIXEL
    return left, top


def pixel(session, png, x, y):
    out = session.run(["convert", png, "-format", f"%[fx:int(255*p{{{x},{y}}}.r)],"
                       f"%[fx:int(255*p{{{x},{y}}}.g)],%[fx:int(255*p{{{x},{y}}}.b)]",
                       "info:"]).stdout
    return tuple(int(v) for v in re.findall(r"\d+", out)[:3])


class WindowTest(unittest.TestCase):

    def restore(self, session, app):
        window = app.main_window
        self.assertFalse(session.is_visible(window), "the window starts minimised")
        wait_until(lambda: session.run(["xdotool", "windowactivate", "--sync", str(window)],
                                       check=False).returncode == 0
                   and session.is_visible(window), 20.0, "the restored window", interval=0.2)
        return window

    def test_restored_window_sits_at_lower_right(self):
        for width, height in [(1024, 768), (1280, 1024), (800, 600)]:
            with self.subTest(screen=f"{width}x{height}"), contextlib.ExitStack() as stack:
                session = XSession(stack, width, height)
                _, app = start_on_pty(stack, session)
                window = self.restore(session, app)
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
            window = self.restore(session, app)
            geom = session.geometry(window)
            out_dir = Config.artifacts or stack.enter_context(tempfile.TemporaryDirectory())
            os.makedirs(out_dir, exist_ok=True)
            png = os.path.join(out_dir, "window-restored.png")
            # Below the contact line only the window's colour shows; poll
            # until the window has painted.
            spot = (geom["x"] + geom["width"] // 2, geom["y"] + geom["height"] - 3)
            wait_until(lambda: pixel(session, session.screenshot(png), *spot) == WINDOW_COLOUR,
                       20.0, f"the window colour at {spot} in {png}", interval=0.2)
            print(f"\nscreenshot: {png} (state text expected: "
                  f"'The port {line.path} is open')")


if __name__ == "__main__":
    unittest.main()
