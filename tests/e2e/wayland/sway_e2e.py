# SPDX-License-Identifier: MIT
"""ScnFerry under headless sway: the session from the shared sway kit, the
program and the receiving windows run as the session's user, and sway's IPC
(swaymsg) to see the windows and move the keyboard focus.

Everything started here is registered with a contextlib.ExitStack and is
stopped by its pid (sway with its whole process group) when the stack
unwinds, also when a test fails half way.
"""

import contextlib
import glob
import json
import os
import pwd
import shlex
import subprocess

from e2e_session import APP_TITLE_RE, START_TIMEOUT, STEP_TIMEOUT, App, Config, Receiver, \
    _LineCollector, clean_env, stop_process, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
SWAY_KIT = os.path.join(HERE, "..", "env", "sway")
RUN_AS = os.path.join(SWAY_KIT, "run-as-sway-user.sh")


class SwaySession:
    """Headless sway with XWayland, as the unprivileged session user."""

    def __init__(self, stack):
        out = subprocess.run([os.path.join(SWAY_KIT, "start-sway.sh")], env=clean_env(),
                             capture_output=True, text=True, timeout=START_TIMEOUT + 10)
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
        if not self.exports.get("DISPLAY"):
            raise RuntimeError("the sway session has no XWayland display")
        user = pwd.getpwnam(self.exports["SWAY_USER"])
        self.uid, self.gid = user.pw_uid, user.pw_gid
        self.dir = self.exports["SWAY_DIR"]
        # The session user's own writable folder: the receivers' records.
        self.home = os.path.join(self.dir, "home")
        runtime = self.exports["XDG_RUNTIME_DIR"]
        self.ipc = wait_until(lambda: (glob.glob(os.path.join(runtime, "sway-ipc.*.sock"))
                                       or [None])[0], START_TIMEOUT, "sway's IPC socket")

    def env(self, **extra):
        return clean_env(**self.exports, **extra)

    def popen(self, argv, platform=None, **kwargs):
        """argv as the session user. The kit's script execs the command, so
        the pid is the command's own."""
        return subprocess.Popen([RUN_AS, *argv], env=self.env(QT_QPA_PLATFORM=platform),
                                stdin=subprocess.DEVNULL, **kwargs)

    def run(self, argv, check=True, timeout=STEP_TIMEOUT):
        return subprocess.run([RUN_AS, *argv], env=self.env(), capture_output=True, text=True,
                              check=check, timeout=timeout)

    def swaymsg(self, *args, check=True):
        return self.run(["swaymsg", "-s", self.ipc, *args], check=check)

    def views(self):
        """Every window sway manages, tiled or floating, as its tree nodes."""
        tree = json.loads(self.swaymsg("-t", "get_tree", "-r").stdout)
        found = []
        pending = [tree]
        while pending:
            node = pending.pop()
            if node.get("pid") and node.get("type") in ("con", "floating_con"):
                found.append(node)
            pending += node.get("nodes", []) + node.get("floating_nodes", [])
        return found

    def views_of(self, pid):
        return [v for v in self.views() if v["pid"] == pid]

    def focused_view(self):
        return next((v for v in self.views() if v.get("focused")), None)

    def focus(self, view_id, timeout=STEP_TIMEOUT):
        """Moves the keyboard focus to a window and waits until sway has it there."""
        def focused():
            current = self.focused_view()
            if current and current["id"] == view_id:
                return True
            self.swaymsg(f"[con_id={view_id}]", "focus", check=False)
            return False
        wait_until(focused, timeout, f"the focus on window {view_id}", interval=0.05)

    def log_tail(self, chars=3000):
        with contextlib.suppress(OSError), open(os.path.join(self.dir, "sway.log"), "rb") as f:
            return f.read()[-chars:].decode(errors="replace")
        return ""


class SwayReceiver(Receiver):
    """The receiving window on one Qt platform: "wayland" for a native
    window, "xcb" for one behind XWayland."""

    def __init__(self, stack, sway, platform):
        self.session = sway
        self.platform = platform
        # Written by the receiver as the session user, into that user's home.
        self.out_path = os.path.join(sway.home, f"received-{platform}.txt")
        self.proc = sway.popen([Config.receiver, "--out", self.out_path], platform,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        stack.callback(stop_process, self.proc)
        self._stdout = _LineCollector(self.proc.stdout)

        def view():
            if self.proc.poll() is not None:
                raise RuntimeError(f"the {platform} receiver ended with {self.proc.returncode}")
            return (sway.views_of(self.proc.pid) or [None])[0]
        self.view = wait_until(view, START_TIMEOUT, f"the {platform} receiver's window",
                               interval=0.05)["id"]
        self.focus()
        self._stdout.wait_for(lambda lines: True if "READY" in lines else None, START_TIMEOUT,
                              f"the {platform} receiver's READY")

    def focus(self):
        self.session.focus(self.view)


class SwayApp(App):
    """ScnFerry as the session user, started as a desktop starts it: the
    window system and the keyboard left for the program to choose."""

    def __init__(self, stack, sway, port_arg):
        self._adopt(stack, sway, sway.popen([Config.app, port_arg], None,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE))

    def x_windows(self):
        """The program's main window as X clients of XWayland see it."""
        out = self.session.run(["xdotool", "search", "--pid", str(self.pid), "--name",
                                APP_TITLE_RE], check=False).stdout
        return [int(w) for w in out.split()]

    def wait_started(self, path, timeout=START_TIMEOUT):
        """Waits until the port is open and the window exists on the X side;
        the window is made minimised, so it need not be on screen."""
        def started():
            if self.proc.poll() is not None:
                raise AssertionError(f"ScnFerry ended with {self.proc.returncode} during "
                                     f"start-up; stderr: {self.stderr.lines()!r}")
            if not self.port_open(path):
                return False
            return bool(self.x_windows())
        wait_until(started, timeout, "ScnFerry to open the port and make its window",
                   interval=0.05)

    def environment(self):
        """The environment the program was started with, as a dict."""
        with open(f"/proc/{self.pid}/environ", "rb") as f:
            entries = f.read().split(b"\0")
        return dict(e.decode(errors="replace").partition("=")[::2] for e in entries if e)

    def warnings(self):
        return [ln for ln in self.stderr.lines() if ln.startswith("ScnFerry:")]


def chown_line(sway, line):
    """The program runs as the session user: the pty slave becomes theirs."""
    os.chown(line.path, sway.uid, sway.gid)
    os.chmod(line.path, 0o600)
