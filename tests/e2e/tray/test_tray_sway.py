# SPDX-License-Identifier: MIT
"""The icon on a tray host nobody here wrote: swaybar's tray under headless
sway. swaybar owns the StatusNotifierWatcher on a session bus of the sway
user; the program runs as that user under XWayland. The test reads the
watcher and the item over D-Bus as root, which the bus's own configuration
lets in, and sends the Activate that swaybar sends for a left click (the
headless seat has no pointer to click with)."""

import contextlib
import os
import pwd
import shlex
import shutil
import signal
import subprocess
import tempfile
import unittest

from e2e_session import APP_TITLE, APP_TITLE_RE, START_TIMEOUT, STEP_TIMEOUT, Config, ScannerLine, \
    clean_env, stop_process, wait_until
from tray_session import PrivateBus, port_locks

HERE = os.path.dirname(os.path.abspath(__file__))
SWAY_KIT = os.path.join(HERE, "..", "env", "sway")

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    <!-- the test reads the tray as root -->
    <allow user="root"/>
  </policy>
</busconfig>
"""

# sway starts its bars itself; this one waits for the session bus the test
# starts once sway is up, so that its tray finds a bus to own the watcher on.
BAR_WRAPPER = """#!/bin/sh
deadline=$(( $(date +%s) + {timeout} ))
until [ -S "{socket}" ]; do
    [ "$(date +%s)" -ge "$deadline" ] && {{ echo "no session bus at {socket}" >&2; exit 1; }}
    sleep 0.05
done
exec env DBUS_SESSION_BUS_ADDRESS="unix:path={socket}" swaybar "$@"
"""

BAR_CONFIG = """
bar {{
    swaybar_command {wrapper}
    position bottom
    tray_output *
    colors {{
        background {background}
    }}
}}
"""
# A bar colour none of the icon's sixteen colours has, so that every pixel
# of the drawn icon stands out.
BAR_BACKGROUND = "#3070b0"
# The lower right corner of the screen that holds the tray's first icon.
TRAY_SPOT = (24, 12)


class SwaySession:
    """Headless sway with a swaybar, started through the shared sway kit."""

    def __init__(self, stack):
        self.dir = stack.enter_context(tempfile.TemporaryDirectory(prefix="scnferry-tray-"))
        # swaybar starts with sway and runs as the sway user: its wrapper
        # must be reachable before that user is even known.
        os.chmod(self.dir, 0o755)
        self.user_dir = os.path.join(self.dir, "user")
        self.socket = os.path.join(self.user_dir, "bus")
        wrapper = os.path.join(self.dir, "bar.sh")
        with open(wrapper, "w") as f:
            f.write(BAR_WRAPPER.format(socket=self.socket, timeout=int(START_TIMEOUT)))
        os.chmod(wrapper, 0o755)
        extra = os.path.join(self.dir, "extra.conf")
        with open(extra, "w") as f:
            f.write(BAR_CONFIG.format(wrapper=wrapper, background=BAR_BACKGROUND))
        bus_config = os.path.join(self.dir, "bus.conf")
        with open(bus_config, "w") as f:
            f.write(BUS_CONFIG.format(socket=self.socket))
        os.chmod(bus_config, 0o644)

        out = subprocess.run([os.path.join(SWAY_KIT, "start-sway.sh"), "--config-extra", extra],
                             env=clean_env(), capture_output=True, text=True,
                             timeout=START_TIMEOUT + 10)
        if out.returncode != 0:
            raise RuntimeError(f"start-sway.sh failed ({out.returncode}): {out.stderr}")
        self.exports = {}
        for line in out.stdout.splitlines():
            words = shlex.split(line)
            if len(words) == 2 and words[0] == "export":
                key, _, value = words[1].partition("=")
                self.exports[key] = value
        stack.callback(subprocess.run, [os.path.join(SWAY_KIT, "stop-sway.sh"),
                                        self.exports["SWAY_PID"], self.exports["SWAY_DIR"]],
                       env=clean_env(), timeout=30)
        user = pwd.getpwnam(self.exports["SWAY_USER"])
        self.uid, self.gid = user.pw_uid, user.pw_gid
        # Where the sway user's bus puts its socket and grim its pictures.
        os.mkdir(self.user_dir, 0o755)
        os.chown(self.user_dir, self.uid, self.gid)

        self.bus = PrivateBus(stack, config=bus_config, prefix=self.as_user(), env=self.env())
        wait_until(lambda: self.bus.client.host_registered(), START_TIMEOUT,
                   "swaybar's tray to register its host", interval=0.05)

    def env(self, **extra):
        return clean_env(**self.exports, **extra)

    def as_user(self):
        return [os.path.join(SWAY_KIT, "run-as-sway-user.sh")]

    def run(self, argv, check=True):
        return subprocess.run([*self.as_user(), *argv], env=self.env(), capture_output=True,
                              text=True, check=check, timeout=STEP_TIMEOUT)

    def screenshot_to(self, name):
        """grim, as the sway user, then copied into the artifacts folder."""
        shot = os.path.join(self.user_dir, name)
        self.run(["grim", shot])
        out_dir = Config.artifacts or tempfile.gettempdir()
        os.makedirs(out_dir, exist_ok=True)
        return shutil.copy(shot, os.path.join(out_dir, name))

    def shown_windows(self, pid):
        """The program's main window where XWayland has it on screen."""
        out = self.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(pid),
                        "--name", APP_TITLE_RE], check=False).stdout
        return [int(w) for w in out.split()]

    def tray_drawn(self, name):
        """Whether the bar's right end, where the tray sits with no status
        text beside it, shows anything but the bar's colour."""
        shot = self.screenshot_to(name)
        out = subprocess.run(
            ["convert", shot, "-gravity", "SouthEast",
             "-crop", f"{TRAY_SPOT[0]}x{TRAY_SPOT[1]}+0+0", "+repage", "-fill", "white", "-opaque", BAR_BACKGROUND, "-fill", "black",
             "+opaque", "white", "-format", "%[fx:mean]", "info:"],
            capture_output=True, text=True, check=True, timeout=STEP_TIMEOUT).stdout
        return float(out) < 1.0


@unittest.skipUnless((shutil.which("sway") and shutil.which("swaybar")) or "CI" in os.environ,
                     "sway is not installed")
class SwayTrayTest(unittest.TestCase):

    def test_swaybar_hosts_the_item(self):
        with contextlib.ExitStack() as stack:
            sway = SwaySession(stack)
            line = ScannerLine(stack)
            os.chown(line.path, sway.uid, -1)  # the program runs as the sway user
            log = stack.enter_context(tempfile.TemporaryFile())
            app = subprocess.Popen(
                [*sway.as_user(), "env", f"DBUS_SESSION_BUS_ADDRESS={sway.bus.address}",
                 # run-as-sway-user.sh passes no environment of ours on.
                 f"ASAN_OPTIONS={os.environ.get('ASAN_OPTIONS', 'detect_leaks=0')}",
                 Config.app, f"{line.path},9600,N,8,1"],
                env=sway.env(), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            stack.callback(stop_process, app)

            def diagnostics():
                log.seek(0)
                return log.read().decode(errors="replace")

            try:
                item = sway.bus.client.wait_item()
            except TimeoutError as e:
                raise AssertionError(f"{e}; ScnFerry said: {diagnostics()}") from None
            props = sway.bus.client.get_all(*item, "org.kde.StatusNotifierItem")
            self.assertEqual(props["ToolTip"][2], APP_TITLE)
            self.assertEqual(props["Status"], "Active")
            self.assertTrue(props["IconPixmap"] or props["IconName"], "the item has no picture")
            _path, entries = sway.bus.client.menu(item)
            self.assertEqual(len(entries), 3, entries)
            locks = port_locks(app.pid)
            self.assertTrue(locks, "no lock file for the open port")
            wait_until(lambda: sway.tray_drawn("tray-swaybar.png"), STEP_TIMEOUT,
                       "swaybar to draw the icon", interval=0.2)
            self.assertEqual(sway.shown_windows(app.pid), [], "the window starts on screen")

            # What swaybar sends for a left click on the icon.
            sway.bus.client.activate(item)
            wait_until(lambda: sway.shown_windows(app.pid), STEP_TIMEOUT,
                       "the window on screen after Activate", interval=0.05)
            sway.bus.client.wait_no_item()
            sway.screenshot_to("tray-sway-restored.png")

            app.send_signal(signal.SIGTERM)
            self.assertEqual(app.wait(timeout=STEP_TIMEOUT), 0, diagnostics())
            self.assertEqual([p for p in locks if os.path.exists(p)], [], "lock file left behind")
            self.assertNotIn("Sanitizer", diagnostics())


if __name__ == "__main__":
    unittest.main()
