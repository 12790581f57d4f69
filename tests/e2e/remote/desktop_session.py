# SPDX-License-Identifier: MIT
"""GNOME's and KDE's compositors, headless, for the remote-input tests:
mutter (with or without XWayland) or a copy of kwin_wayland with the
desktop portal, each on a private session bus, all as an unprivileged user
with its own XDG_RUNTIME_DIR (0700).

Everything started here is registered with a contextlib.ExitStack and is
stopped by its pid when the stack unwinds, also when a test fails half way.
Readiness is confirmed (a Wayland round trip, a bus name with an owner),
never waited for by the clock.
"""

import contextlib
import glob
import os
import pwd
import re
import shutil
import socket
import struct
import subprocess
import tempfile

from e2e_session import START_TIMEOUT, STEP_TIMEOUT, App, Config, Receiver, _LineCollector, \
    stop_process, wait_until

TEST_USER = "scnferry-test"
IN_CI = os.environ.get("CI") == "true"


def have(kind):
    """Whether the compositor of kind is installed."""
    tools = {"mutter": ["mutter", "dbus-daemon"],
             "mutter-x11": ["mutter", "dbus-daemon", "Xwayland"],
             "kwin": ["kwin_wayland", "dbus-daemon", "/usr/libexec/xdg-desktop-portal",
                      "/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde"]}[kind]
    return all(shutil.which(t) or os.access(t, os.X_OK) for t in tools)


def skip_reason(kind):
    """None when the tests of kind can run. In CI a missing compositor is a
    failure, not a skip: the caller asserts instead."""
    if have(kind) or IN_CI:
        return None
    return f"{kind} is not installed"


def wayland_round_trip(path):
    """One wl_display.sync on a fresh connection: the compositor serves
    clients once its answer (wl_callback.done) comes back."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(2.0)
        try:
            s.connect(path)
        except OSError:
            # Bound but not yet listening.
            return False
        # object 1 (wl_display), opcode 0 (sync), size 12, new id 2
        s.sendall(struct.pack("<IIi", 1, (12 << 16) | 0, 2))
        data = b""
        while len(data) < 8:
            try:
                chunk = s.recv(4096)
            except TimeoutError:
                # Still starting up; the caller asks again.
                return False
            if not chunk:
                return False
            data += chunk
            while len(data) >= 8:
                obj, word = struct.unpack_from("<II", data)
                if obj == 2:
                    return True
                size = word >> 16
                if len(data) < size:
                    break
                data = data[size:]
        return False


class DesktopSession:
    """One headless compositor of kind "mutter", "mutter-x11" or "kwin" and
    its session bus, as the test user."""

    def __init__(self, stack, kind):
        self.kind = kind
        self._stack = stack
        if os.getuid() == 0:
            self.user = TEST_USER
            if subprocess.run(["id", self.user], capture_output=True).returncode != 0:
                subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir",
                                "/nonexistent", "--shell", "/usr/sbin/nologin", self.user],
                               check=True)
            os.makedirs("/tmp/.X11-unix", exist_ok=True)
            os.chmod("/tmp/.X11-unix", 0o1777)
        else:
            self.user = pwd.getpwuid(os.getuid()).pw_name
        entry = pwd.getpwnam(self.user)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid

        self.dir = tempfile.mkdtemp(prefix="scnferry-desktop.")
        stack.callback(shutil.rmtree, self.dir, True)
        self.runtime = os.path.join(self.dir, "runtime")
        self.home = os.path.join(self.dir, "home")
        os.makedirs(self.runtime, mode=0o700)
        os.makedirs(self.home)
        os.chmod(self.dir, 0o755)
        for d in (self.dir, self.runtime, self.home):
            os.chown(d, self.uid, self.gid)
        # A name in XDG_RUNTIME_DIR: both compositors take it as they are.
        self.wayland_name = "wayland-scnferry"
        self.wayland_display = os.path.join(self.runtime, self.wayland_name)
        self.bus = f"unix:path={self.dir}/bus"
        self.display = ""
        self.xauthority = ""
        desktop = "KDE" if kind == "kwin" else "GNOME"
        self._base_env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": self.home,
            "USER": self.user,
            "LANG": "C.UTF-8",
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_CURRENT_DESKTOP": desktop,
            "XDG_SESSION_TYPE": "wayland",
            "WAYLAND_DISPLAY": self.wayland_name,
            "DBUS_SESSION_BUS_ADDRESS": self.bus,
        }
        self._start_bus()
        if kind == "kwin":
            self._start_kwin()
        else:
            self._start_mutter(x11=(kind == "mutter-x11"))

    # ---- processes as the test user ----

    def env(self, **extra):
        env = dict(self._base_env)
        if self.display:
            env["DISPLAY"] = self.display
            env["XAUTHORITY"] = self.xauthority
        for name, value in os.environ.items():
            if name.startswith("SCNFERRY_") or name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
                env[name] = value
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
        env.update({k: v for k, v in extra.items() if v is not None})
        return env

    def _as_user(self, argv):
        if os.getuid() == 0 and self.user != "root":
            return ["setpriv", f"--reuid={self.uid}", f"--regid={self.gid}", "--init-groups",
                    "--", *argv]
        return list(argv)

    def popen(self, argv, env=None, stop=True, **kwargs):
        """argv as the test user; setpriv execs, so the pid is argv's own."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(self._as_user(argv), env=env or self.env(),
                                start_new_session=True, **kwargs)
        if stop:
            self._stack.callback(stop_process, proc)
        return proc

    def run(self, argv, check=True, timeout=STEP_TIMEOUT, **extra):
        return subprocess.run(self._as_user(argv), env=self.env(**extra), capture_output=True,
                              text=True, check=check, timeout=timeout)

    def log_tail(self, name, chars=3000):
        with contextlib.suppress(OSError), open(os.path.join(self.dir, name), "rb") as f:
            return f.read()[-chars:].decode(errors="replace")
        return ""

    # ---- the pieces ----

    def _start_bus(self):
        # The portals take their environment from the bus that starts them.
        # Services it starts (the portals) write into its log.
        log = open(os.path.join(self.dir, "bus.log"), "wb")
        self._stack.callback(log.close)
        self.bus_proc = self.popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                    f"--address={self.bus}"],
                                   stdout=log, stderr=subprocess.STDOUT)
        wait_until(lambda: self._bus_answers(), START_TIMEOUT, "the session bus", interval=0.05)

    def _bus_answers(self):
        if self.bus_proc.poll() is not None:
            raise RuntimeError(f"dbus-daemon ended with {self.bus_proc.returncode}")
        return self.run(["dbus-send", f"--bus={self.bus}", "--print-reply",
                         "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus.GetId"], check=False).returncode == 0

    def name_has_owner(self, name):
        out = self.run(["dbus-send", f"--bus={self.bus}", "--print-reply",
                        "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.NameHasOwner", f"string:{name}"], check=False)
        return "boolean true" in out.stdout

    def name_owner_pid(self, name):
        """The process id of a bus name's owner, or None."""
        out = self.run(["dbus-send", f"--bus={self.bus}", "--print-reply",
                        "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.GetConnectionUnixProcessID", f"string:{name}"],
                       check=False)
        found = re.search(r"uint32 (\d+)", out.stdout)
        return int(found.group(1)) if found else None

    def _wait_compositor(self, proc, log, name):
        def up():
            if proc.poll() is not None:
                raise RuntimeError(f"{name} ended with {proc.returncode}: {self.log_tail(log)}")
            return os.path.exists(self.wayland_display) and \
                wayland_round_trip(self.wayland_display)
        wait_until(up, START_TIMEOUT, f"{name} to serve Wayland clients", interval=0.05)

    def _start_mutter(self, x11):
        for stale in (self.wayland_display, self.wayland_display + ".lock"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(stale)
        argv = ["mutter", "--headless", "--wayland", "--virtual-monitor", "1024x768",
                "--wayland-display", self.wayland_name]
        if not x11:
            argv.append("--no-x11")
        env = self.env()
        env.pop("WAYLAND_DISPLAY")
        log = open(os.path.join(self.dir, "compositor.log"), "wb")
        self._stack.callback(log.close)
        self.compositor = self.popen(argv, env=env, stdout=log, stderr=subprocess.STDOUT)
        self._wait_compositor(self.compositor, "compositor.log", "mutter")
        wait_until(lambda: self.name_has_owner("org.gnome.Mutter.RemoteDesktop"), START_TIMEOUT,
                   "mutter's remote desktop service", interval=0.05)
        if x11:
            def x_display():
                found = re.search(r"Using public X11 display (:\d+)",
                                  self.log_tail("compositor.log", 100000))
                return found and found.group(1)
            self.display = wait_until(x_display, START_TIMEOUT, "mutter's X display")
            socket_path = f"/tmp/.X11-unix/X{self.display[1:]}"
            wait_until(lambda: os.path.exists(socket_path), START_TIMEOUT, "the X socket")
            # XWayland admits the clients that hold mutter's cookie.
            self.xauthority = wait_until(
                lambda: (glob.glob(os.path.join(self.runtime, ".mutter-Xwaylandauth.*"))
                         or [None])[0], START_TIMEOUT, "mutter's X authority file")

    def _start_kwin(self):
        # The installed binary carries a file capability that containers
        # refuse at exec; a plain copy runs.
        kwin = os.path.join(self.dir, "kwin_wayland")
        shutil.copyfile(shutil.which("kwin_wayland"), kwin)
        os.chmod(kwin, 0o755)
        for stale in (self.wayland_display, self.wayland_display + ".lock"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(stale)
        env = self.env(QT_QPA_PLATFORM="offscreen")
        env.pop("WAYLAND_DISPLAY")
        log = open(os.path.join(self.dir, "compositor.log"), "wb")
        self._stack.callback(log.close)
        self.compositor = self.popen(
            [kwin, "--virtual", "--width", "1024", "--height", "768", "--socket",
             self.wayland_name, "--no-lockscreen", "--no-global-shortcuts",
             "--no-kactivities"], env=env, stdout=log, stderr=subprocess.STDOUT)
        self._wait_compositor(self.compositor, "compositor.log", "kwin_wayland")
        # The portal and its KDE backend are started by bus activation with
        # the bus's environment (WAYLAND_DISPLAY, XDG_CURRENT_DESKTOP=KDE), as
        # at a desktop's login: ready once a probe session starts.
        probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "portal_probe.py")

        def portal_ready():
            if self.compositor.poll() is not None:
                raise RuntimeError(f"kwin_wayland ended: {self.log_tail('compositor.log')}")
            return self.run(["python3", probe], check=False, timeout=60).returncode == 0
        wait_until(portal_ready, START_TIMEOUT, "the remote desktop portal", interval=0.2)


class DesktopReceiver(Receiver):
    """The receiving window, native ("wayland") or behind XWayland ("xcb").
    A new window takes the keyboard focus on both desktops."""

    def __init__(self, stack, desktop, platform):
        self.session = desktop
        self.platform = platform
        self.out_path = os.path.join(desktop.home, f"received-{platform}.txt")
        self.proc = desktop.popen([Config.receiver, "--out", self.out_path],
                                  env=desktop.env(QT_QPA_PLATFORM=platform),
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._stdout = _LineCollector(self.proc.stdout)

        def ready():
            if self.proc.poll() is not None:
                raise RuntimeError(f"the {platform} receiver ended with {self.proc.returncode}")
            return "READY" in self._stdout.lines()
        wait_until(ready, START_TIMEOUT, f"the {platform} receiver's READY", interval=0.05)

    def focus(self):
        """Nothing else takes the focus in these sessions."""


class DesktopApp(App):
    """ScnFerry as the test user, choosing its keyboard itself."""

    def __init__(self, stack, desktop, port_arg, platform="wayland", **env):
        self._adopt(stack, desktop, desktop.popen(
            [Config.app, port_arg], env=desktop.env(QT_QPA_PLATFORM=platform, **env), stop=False,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE))

    def wait_started(self, path, timeout=START_TIMEOUT):
        def started():
            if self.proc.poll() is not None:
                raise AssertionError(f"ScnFerry ended with {self.proc.returncode} during "
                                     f"start-up; stderr: {self.stderr.lines()!r}")
            return self.port_open(path)
        wait_until(started, timeout, "ScnFerry to open the port", interval=0.05)

    def warnings(self):
        return [ln for ln in self.stderr.lines() if ln.startswith("ScnFerry:")]


def chown_line(desktop, line):
    os.chown(line.path, desktop.uid, desktop.gid)
    os.chmod(line.path, 0o600)
