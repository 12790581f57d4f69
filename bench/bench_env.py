# SPDX-License-Identifier: MIT
"""The machinery the benchmarks stand on: an X server with a window manager,
a headless sway session, a pty as the scanner's line, the receiving window,
and a clock on the receiver's file.

Every process started here is registered with a contextlib.ExitStack and
stopped by its process id when the stack unwinds. Waiting is polling a
condition against a deadline.
"""

import contextlib
import ctypes
import json
import os
import pwd
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import sys
import tty

# Waiting and stopping work as in the end-to-end tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import e2e_session  # noqa: E402
from e2e_session import stop_process  # noqa: E402,F401

START_TIMEOUT = 30.0
STEP_TIMEOUT = 20.0


def wait_until(predicate, timeout, what, interval=0.005):
    """As in the tests, but polling every 5 ms: the timings want it."""
    return e2e_session.wait_until(predicate, timeout, what, interval)


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                        "SCNFERRY_KEYBOARD", "XAUTHORITY")}
    env.update({k: v for k, v in extra.items() if v is not None})
    return env


def cpu_ticks(pid):
    """User plus system time of a process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return int(fields[11]) + int(fields[12])


def wait_quiet(pid, window_s=0.5, timeout=600.0):
    """Waits until a process uses at most one CPU tick in window_s (a blinking
    cursor may cost a compositor that much). A window manager reloads its
    keyboard on every keymap change and can lag minutes behind a tool that
    remaps keys per character; the next step waits for it."""
    deadline = time.monotonic() + timeout
    ticks = cpu_ticks(pid)
    while True:
        time.sleep(window_s)
        now = cpu_ticks(pid)
        if now - ticks <= 1:
            return
        if time.monotonic() > deadline:
            raise TimeoutError(f"process {pid} still busy after {timeout:.0f} s")
        ticks = now


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for {pid}")


class LineReader:
    """Collects a pipe's lines on a thread, each with the CLOCK_MONOTONIC
    nanoseconds at which it arrived."""

    def __init__(self, pipe):
        self._lines = []
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._pump, args=(pipe,), daemon=True)
        self._thread.start()

    def _pump(self, pipe):
        for raw in iter(pipe.readline, b""):
            with self._cond:
                self._lines.append((time.monotonic_ns(), raw.decode(errors="replace").rstrip("\n")))
                self._cond.notify_all()
        pipe.close()

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for stamp, line in self._lines:
                    if predicate(line):
                        return stamp, line
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"gave up waiting for {what}; lines: {self._lines!r}")
                self._cond.wait(left)


class XSession:
    """Xvfb on a free display with openbox on it."""

    kind = "X11 (Xvfb + openbox)"

    def __init__(self, stack):
        read_end, write_end = os.pipe()
        # -noreset: the readiness probe's disconnect must not reset the server.
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=clean_env())
        stack.callback(stop_process, self._xvfb)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            ready, _, _ = select.select([pipe], [], [], START_TIMEOUT)
            if not ready:
                raise RuntimeError("Xvfb did not report a display")
            self.display = ":" + pipe.readline().decode().strip()
        wait_until(lambda: self.run(["xdpyinfo"]).returncode == 0, START_TIMEOUT, "Xvfb")
        self._wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env(),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stack.callback(stop_process, self._wm)
        self.wm_pid = self._wm.pid
        wait_until(lambda: "window id" in self.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"]).stdout,
                   START_TIMEOUT, "openbox")

    def env(self, **extra):
        return clean_env(DISPLAY=self.display, **extra)

    def run(self, argv):
        return subprocess.run(argv, env=self.env(), capture_output=True, text=True, timeout=STEP_TIMEOUT)

    def popen(self, argv, stderr=subprocess.DEVNULL, **extra_env):
        return subprocess.Popen(argv, env=self.env(**extra_env), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=stderr)

    def app_env(self):
        return {"QT_QPA_PLATFORM": "xcb", "SCNFERRY_KEYBOARD": "x11"}

    def empty_keycodes(self):
        """Keycodes of the server's keymap with no symbol: the room a typing
        tool has for characters the layout lacks."""
        dump = self.run(["xkbcomp", "-xkb", self.display, "-"]).stdout
        if "xkb_keycodes" not in dump or "xkb_symbols" not in dump:
            return None
        names = dump[dump.index("xkb_keycodes"):dump.index("xkb_types")]
        symbols = dump[dump.index("xkb_symbols"):]
        codes = {m.group(1): int(m.group(2)) for m in re.finditer(r"<([^>]+)>\s*=\s*(\d+);", names)}
        used = {codes[n] for n in re.findall(r"key <([^>]+)>\s*\{", symbols) if n in codes}
        low = int(re.search(r"minimum = (\d+)", names).group(1))
        high = int(re.search(r"maximum = (\d+)", names).group(1))
        return high - low + 1 - len(used)

    def receiver_env(self):
        return {"QT_QPA_PLATFORM": "xcb"}

    def owner(self):
        return None

    def focus(self, pid):
        def focused():
            windows = self.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(pid),
                                "--name", ".*"]).stdout.split()
            current = self.run(["xdotool", "getwindowfocus"]).stdout.strip()
            if current and current in windows:
                return True
            if windows:
                self.run(["xdotool", "windowactivate", windows[0]])
            return False
        wait_until(focused, STEP_TIMEOUT, f"focus on {pid}", interval=0.05)


class SwaySession:
    """Headless sway with XWayland, run as its own unprivileged user by the
    end-to-end kit's scripts."""

    kind = "Wayland (headless sway)"

    def __init__(self, stack, scripts):
        self._scripts = scripts
        out = subprocess.run([os.path.join(scripts, "start-sway.sh")], capture_output=True,
                             text=True, timeout=START_TIMEOUT + 10)
        if out.returncode != 0:
            raise RuntimeError(f"sway did not start: {out.stderr.strip()}")
        self.vars = {}
        for line in out.stdout.splitlines():
            if line.startswith("export "):
                name, _, value = line[len("export "):].partition("=")
                self.vars[name] = value.strip("'\"")
        stack.callback(subprocess.run, [os.path.join(scripts, "stop-sway.sh"), self.vars["SWAY_PID"],
                                        self.vars["SWAY_DIR"]], timeout=30)
        self.user = pwd.getpwnam(self.vars["SWAY_USER"])
        self.wm_pid = int(self.vars["SWAY_PID"])
        runtime = self.vars["XDG_RUNTIME_DIR"]
        self._ipc = wait_until(lambda: next((os.path.join(runtime, n) for n in os.listdir(runtime)
                                             if n.startswith("sway-ipc.")), None),
                               START_TIMEOUT, "the sway IPC socket")

    def env(self, **extra):
        return clean_env(**{k: v for k, v in self.vars.items()}, **extra)

    def _as_user(self, argv, extra_env):
        assigns = [f"{k}={v}" for k, v in extra_env.items()]
        return [os.path.join(self._scripts, "run-as-sway-user.sh"), "env", *assigns, *argv]

    def run(self, argv, **extra_env):
        return subprocess.run(self._as_user(argv, extra_env), env=self.env(), capture_output=True,
                              text=True, timeout=STEP_TIMEOUT)

    def popen(self, argv, stderr=subprocess.DEVNULL, **extra_env):
        # The user script execs its command: the pid is the program's.
        return subprocess.Popen(self._as_user(argv, extra_env), env=self.env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=stderr)

    def app_env(self):
        # The window through XWayland, the keys through the virtual keyboard.
        return {"QT_QPA_PLATFORM": "xcb", "SCNFERRY_KEYBOARD": "wayland"}

    def receiver_env(self):
        return {"QT_QPA_PLATFORM": "wayland"}

    def owner(self):
        return self.user.pw_uid, self.user.pw_gid

    def swaymsg(self, *args):
        return subprocess.run(["swaymsg", "-s", self._ipc, *args], capture_output=True, text=True,
                              timeout=STEP_TIMEOUT)

    def _focused_pid(self):
        def walk(node):
            if node.get("focused"):
                return node.get("pid")
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                found = walk(child)
                if found is not None:
                    return found
            return None
        return walk(json.loads(self.swaymsg("-t", "get_tree").stdout or "{}"))

    def focus(self, pid):
        def focused():
            if self._focused_pid() == pid:
                return True
            self.swaymsg(f"[pid={pid}] focus")
            return False
        wait_until(focused, STEP_TIMEOUT, f"focus on {pid}", interval=0.05)


class ScannerLine:
    """A pty pair: the program opens the slave by path, the benchmark writes
    into the master."""

    def __init__(self, stack, owner=None):
        self.master, self._slave = os.openpty()
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)
        if owner:
            os.fchown(self._slave, *owner)
        stack.callback(os.close, self.master)
        stack.callback(os.close, self._slave)

    def write_block(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.master, view):]

    def write_paced(self, data, baud=9600, bits_per_char=10):
        """One byte per character time, scheduled against the clock so the
        pace does not drift; returns the times of the first and last byte."""
        period_ns = bits_per_char * 1_000_000_000 // baud
        start = time.monotonic_ns()
        last = start
        for index in range(len(data)):
            due = start + index * period_ns
            wait = due - time.monotonic_ns()
            if wait > 0:
                time.sleep(wait / 1e9)
            last = time.monotonic_ns()
            os.write(self.master, data[index:index + 1])
        return start, last


class FileClock:
    """Watches one file through inotify and records (nanoseconds, size) at
    every change, on a thread, so that the time the last key was recorded is
    known to well under a millisecond whatever the main thread is doing."""

    IN_MODIFY = 0x002
    IN_CREATE = 0x100
    IN_NONBLOCK = 0o4000
    IN_CLOEXEC = 0o2000000

    def __init__(self, stack, path):
        self.path = path
        self._name = os.path.basename(path).encode()
        libc = ctypes.CDLL(None, use_errno=True)
        self._fd = libc.inotify_init1(self.IN_NONBLOCK | self.IN_CLOEXEC)
        if self._fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if libc.inotify_add_watch(self._fd, os.path.dirname(path).encode(),
                                  self.IN_MODIFY | self.IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch")
        self._stop_r, self._stop_w = os.pipe()
        self._lock = threading.Lock()
        self._changes = []
        self._thread = threading.Thread(target=self._pump, daemon=True)
        self._thread.start()
        stack.callback(self._close)

    def _close(self):
        os.write(self._stop_w, b"x")
        self._thread.join(5)
        for fd in (self._fd, self._stop_r, self._stop_w):
            os.close(fd)

    def _pump(self):
        while True:
            ready, _, _ = select.select([self._fd, self._stop_r], [], [])
            if self._stop_r in ready:
                return
            try:
                data = os.read(self._fd, 65536)
            except BlockingIOError:
                continue
            stamp = time.monotonic_ns()
            offset = 0
            ours = False
            while offset < len(data):
                _wd, _mask, _cookie, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0")
                ours |= name == self._name
                offset += 16 + length
            if ours:
                with contextlib.suppress(FileNotFoundError):
                    size = os.stat(self.path).st_size
                    with self._lock:
                        if not self._changes or self._changes[-1][1] != size:
                            self._changes.append((stamp, size))

    def size(self):
        with self._lock:
            return self._changes[-1][1] if self._changes else 0

    def last_change(self):
        with self._lock:
            return self._changes[-1] if self._changes else (0, 0)

    def first_reaching(self, size, after_ns):
        """When the file first held at least `size` bytes, after a moment."""
        with self._lock:
            return next((t for t, s in self._changes if t >= after_ns and s >= size), None)

    def settle(self, target_size, quiet_s, give_up_s, busy=lambda: False):
        """Waits until the file holds target_size bytes and then stays still
        for quiet_s (extra keys would land in that time), or until it has not
        grown for give_up_s since the sender finished (keys were lost). A
        receiver can lag seconds behind a sender that has already exited."""
        since = time.monotonic_ns()
        while True:
            now = time.monotonic_ns()
            if busy():
                since = now
            stamp, size = self.last_change()
            if size >= target_size and (now - stamp) / 1e9 >= quiet_s:
                return
            if (now - max(stamp, since)) / 1e9 >= give_up_s:
                return
            time.sleep(0.01)

    def read_from(self, offset):
        with open(self.path, "rb") as f:
            f.seek(offset)
            return f.read()


class Receiver:
    """The receiving window, in a directory of its own that its user owns."""

    def __init__(self, stack, session, receiver_binary, clock=True):
        self.dir = stack.enter_context(tempfile.TemporaryDirectory(prefix="scnferry-bench-"))
        owner = session.owner()
        if owner:
            os.chown(self.dir, *owner)
        self.path = os.path.join(self.dir, "received.txt")
        # A soak of millions of keys polls the file's size instead: a stamp
        # for every key would cost the machine more than the receiver does.
        self.clock = FileClock(stack, self.path) if clock else None
        wait_quiet(session.wm_pid)
        self.proc = session.popen([receiver_binary, "--out", self.path], **session.receiver_env())
        stack.callback(stop_process, self.proc)
        self.session = session
        # A window manager may decline to focus a newcomer right after keys
        # were typed elsewhere (focus-stealing prevention): give it the focus
        # rather than wait for it.
        self.focus()
        LineReader(self.proc.stdout).wait_for(lambda line: line == "READY", START_TIMEOUT,
                                              "the receiver's READY")

    def focus(self):
        self.session.focus(self.proc.pid)


def tool_available(name):
    return shutil.which(name) is not None
