# SPDX-License-Identifier: MIT
"""The pieces an end-to-end test puts together: an X server with a window
manager, a pty standing in for the scanner's serial line, the program itself
with its standard error captured, and a receiving window.

Everything started here is registered with a contextlib.ExitStack and stopped
by its process id when the stack unwinds, also when a test fails half way.
Waiting is always "poll a condition until a deadline", never a bare sleep.
"""

import contextlib
import fcntl
import itertools
import os
import re
import select
import signal
import subprocess
import tempfile
import termios
import threading
import time
import tty

APP_TITLE = "Scanferry 0.01"
# xdotool takes a regular expression for --name.
APP_TITLE_RE = "^" + re.escape(APP_TITLE) + "$"

OPENBOX_RC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "openbox-rc.xml")

# Generous: the machine is shared and the build may carry sanitizers.
START_TIMEOUT = 30.0
STEP_TIMEOUT = 20.0


class Config:
    """Paths handed in by the runner (see run_e2e.py)."""
    app = None
    receiver = None
    artifacts = None


def wait_until(predicate, timeout, what, interval=0.02):
    """Returns the first truthy result of predicate(); raises on the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise TimeoutError(f"gave up after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def stop_process(proc, grace=5.0):
    """Stops one process we started, by its pid: TERM, then KILL."""
    if proc.poll() is not None:
        return
    with contextlib.suppress(ProcessLookupError):
        proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            proc.kill()
        proc.wait(timeout=grace)


def clean_env(**extra):
    """The environment of a child: no inherited display or Qt platform choice."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                        "SCNFERRY_KEYBOARD", "XAUTHORITY")}
    env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
    env.update({k: v for k, v in extra.items() if v is not None})
    return env


class XSession:
    """Xvfb on a free display with openbox on it."""

    def __init__(self, stack, width=1024, height=768, window_manager=True):
        self.width = width
        self.height = height
        # The session's own runtime directory, as a login would provide.
        self.runtime_dir = stack.enter_context(tempfile.TemporaryDirectory())
        os.chmod(self.runtime_dir, 0o700)
        read_end, write_end = os.pipe()
        # -displayfd lets the server pick a free display and tell us which.
        # -noreset: otherwise the server resets when the readiness probe
        # disconnects, and the next client to connect meets a closed door.
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, env=clean_env())
        stack.callback(stop_process, self._xvfb)
        os.close(write_end)
        try:
            number = self._read_display_number(read_end)
        finally:
            os.close(read_end)
        self.display = f":{number}"
        wait_until(lambda: self.run(["xdpyinfo"], check=False).returncode == 0,
                   START_TIMEOUT, f"Xvfb on {self.display}")
        if window_manager:
            self._wm_log = stack.enter_context(tempfile.TemporaryFile())
            self._wm = subprocess.Popen(
                ["openbox", "--sm-disable", "--config-file", OPENBOX_RC], env=self.env(),
                stdout=self._wm_log, stderr=subprocess.STDOUT)
            stack.callback(stop_process, self._wm)
            wait_until(self._wm_ready, START_TIMEOUT, "openbox")

    def _read_display_number(self, fd):
        deadline = time.monotonic() + START_TIMEOUT
        data = b""
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or self._xvfb.poll() is not None:
                raise RuntimeError("Xvfb did not report a display")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 64)
                if not chunk:
                    raise RuntimeError("Xvfb closed its display pipe")
                data += chunk
        return int(data.strip())

    def _wm_ready(self):
        if self._wm.poll() is not None:
            self._wm_log.seek(0)
            raise RuntimeError(f"openbox ended with {self._wm.returncode} on {self.display}: "
                               f"{self._wm_log.read().decode(errors='replace')}")
        out = self.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check=False).stdout
        return "window id" in out

    def env(self, **extra):
        return clean_env(DISPLAY=self.display, XDG_RUNTIME_DIR=self.runtime_dir, **extra)

    def run(self, argv, check=True, timeout=STEP_TIMEOUT):
        return subprocess.run(argv, env=self.env(), capture_output=True, text=True,
                              check=check, timeout=timeout)

    # Windows, through xdotool and xwininfo.

    def windows(self, pid=None, name=None, visible=True):
        # --all: a window must match every criterion, not any one of them.
        argv = ["xdotool", "search", "--all"]
        if visible:
            argv.append("--onlyvisible")
        if pid is not None:
            argv += ["--pid", str(pid)]
        # xdotool needs some criterion; any name matches ".*".
        argv += ["--name", name if name is not None else ".*"]
        result = self.run(argv, check=False)
        return [int(w) for w in result.stdout.split()]

    def is_visible(self, window):
        # Asked of the window itself: a search walks every window and can
        # miss one while another (a closing box) is being destroyed.
        info = self.run(["xwininfo", "-id", str(window)], check=False)
        return info.returncode == 0 and "Map State: IsViewable" in info.stdout

    def activate(self, window, sync=True):
        argv = ["xdotool", "windowactivate"] + (["--sync"] if sync else []) + [str(window)]
        try:
            self.run(argv, check=False, timeout=5.0)
        except subprocess.TimeoutExpired:
            pass  # the caller polls for the outcome

    def focused_window(self):
        result = self.run(["xdotool", "getwindowfocus"], check=False)
        return int(result.stdout.strip()) if result.returncode == 0 else None

    def key(self, keysym):
        self.run(["xdotool", "key", "--clearmodifiers", keysym])

    def click(self, x, y):
        # One connection: the server moves the pointer before it presses the
        # button. (--sync would wait 15 s when the pointer is already there.)
        self.run(["xdotool", "mousemove", str(x), str(y), "click", "1"])

    def click_close_box(self, window):
        """The window manager's close box, the last button of the title bar.
        The window manager closes the window whose frame was clicked, whatever
        has the keyboard focus at that moment."""
        frame = self.geometry(window)["frame"]
        self.click(frame["x"] + frame["width"] - 11, frame["y"] + 10)

    def geometry(self, window):
        """Client area in root coordinates and the WM frame around it."""
        info = self.run(["xwininfo", "-id", str(window)]).stdout

        def field(label):
            return int(re.search(rf"{label}:\s+(-?\d+)", info).group(1))
        geom = {"x": field("Absolute upper-left X"), "y": field("Absolute upper-left Y"),
                "width": field("Width"), "height": field("Height")}
        extents = self.run(["xprop", "-id", str(window), "_NET_FRAME_EXTENTS"],
                           check=False).stdout
        numbers = [int(n) for n in re.findall(r"\d+", extents.partition("=")[2])]
        left, right, top, bottom = numbers if len(numbers) == 4 else (0, 0, 0, 0)
        geom["frame"] = {"x": geom["x"] - left, "y": geom["y"] - top,
                         "width": geom["width"] + left + right,
                         "height": geom["height"] + top + bottom}
        return geom

    def screenshot(self, path):
        self.run(["import", "-window", "root", path])
        return path


class ScannerLine:
    """A pty pair: the program opens the slave by its path, the test writes
    into the master what a scanner would send."""

    def __init__(self, stack):
        self.master, self._slave = os.openpty()
        # No line discipline of our own: CR must reach the program as CR.
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)
        stack.callback(self.close)

    def write_block(self, data):
        view = memoryview(data)
        while view:
            written = os.write(self.master, view)
            view = view[written:]

    def write_paced(self, data, baud=9600, bits_per_char=10):
        """One byte per character time, scheduled against the clock so that
        the pace does not drift with the cost of each write; returns the
        monotonic nanoseconds of the first and the last byte."""
        period = bits_per_char / baud
        start = time.monotonic()
        first = last = time.monotonic_ns()
        for index in range(len(data)):
            due = start + index * period
            now = time.monotonic()
            if due > now:
                time.sleep(due - now)
            last = time.monotonic_ns()
            self.write_block(data[index:index + 1])
        return first, last

    def wait_read(self, timeout=STEP_TIMEOUT):
        """Waits until the program has read everything written: the tty's
        input queue, seen through the test's own descriptor, is empty."""
        def drained():
            queued = fcntl.ioctl(self._slave, termios.FIONREAD, b"\0\0\0\0")
            return int.from_bytes(queued, "little") == 0
        wait_until(drained, timeout, "the program to read the line")

    def hang_up(self):
        """The device goes away: closing the master hangs up the slave."""
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def close(self):
        self.hang_up()
        if self._slave is not None:
            os.close(self._slave)
            self._slave = None


class _LineCollector:
    """Reads a pipe line by line on a thread; tests wait on its lines."""

    def __init__(self, pipe):
        self._lines = []
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._pump, args=(pipe,), daemon=True)
        self._thread.start()

    def _pump(self, pipe):
        for raw in iter(pipe.readline, b""):
            line = raw.decode("utf-8", errors="replace").rstrip("\r\n")
            with self._cond:
                self._lines.append(line)
                self._cond.notify_all()
        pipe.close()

    def lines(self):
        with self._cond:
            return list(self._lines)

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = predicate(self._lines)
                if found is not None:
                    return found
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"gave up after {timeout:.0f} s waiting for {what}; "
                                       f"lines so far: {self._lines!r}")
                self._cond.wait(left)

    def join(self, timeout):
        self._thread.join(timeout)


class App:
    """ScnFerry run as a user runs it."""

    def __init__(self, stack, args, session=None, keyboard="x11"):
        env = session.env(SCNFERRY_KEYBOARD=keyboard, QT_QPA_PLATFORM="xcb") \
            if session else clean_env()
        self._adopt(stack, session, subprocess.Popen(
            [Config.app, *args], env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE))

    def _adopt(self, stack, session, proc):
        """Watches a started ScnFerry: its output collected, stopped by its
        pid when the stack unwinds, its sanitizer reports failing the test."""
        self.session = session
        self.proc = proc
        # Registered before the stop, so it runs after it, on the full output.
        stack.callback(self._check_sanitizers)
        stack.callback(stop_process, self.proc)
        self.stdout = _LineCollector(self.proc.stdout)
        self.stderr = _LineCollector(self.proc.stderr)
        self._answered = set()
        self.main_window = None

    def port_open(self, path):
        """Whether the program holds path open."""
        with contextlib.suppress(OSError):
            for fd in os.listdir(f"/proc/{self.pid}/fd"):
                with contextlib.suppress(OSError):
                    if os.readlink(f"/proc/{self.pid}/fd/{fd}") == path:
                        return True
        return False

    def _check_sanitizers(self):
        """A sanitizer build's report fails the test even where the exit
        status alone (1 after a failure box) would hide it."""
        self.stderr.join(STEP_TIMEOUT)
        reports = [ln for ln in self.stderr.lines()
                   if "Sanitizer" in ln or ": runtime error:" in ln]
        if reports:
            raise AssertionError("sanitizer report from ScnFerry:\n" + "\n".join(reports))

    @property
    def pid(self):
        return self.proc.pid

    def wait_exit(self, timeout=STEP_TIMEOUT):
        status = self.proc.wait(timeout=timeout)
        self.stdout.join(timeout)
        self.stderr.join(timeout)
        return status

    def wait_stderr_line(self, text, after=0, timeout=STEP_TIMEOUT):
        """Index of the first stderr line at or after `after` equal to text."""
        def find(lines):
            for i in range(after, len(lines)):
                if lines[i] == text:
                    return i
            return None
        return self.stderr.wait_for(find, timeout, f"{text!r} on standard error")

    def wait_main_window(self, timeout=START_TIMEOUT):
        """The main window exists once the port is open and start-up is done.
        It is created minimised, so it is searched for visible or not."""
        def find():
            if self.proc.poll() is not None:
                raise AssertionError(f"ScnFerry ended with {self.proc.returncode} during start-up; "
                                     f"stderr: {self.stderr.lines()!r}")
            found = self.session.windows(pid=self.pid, name=APP_TITLE_RE, visible=False)
            return found[0] if found else None
        self.main_window = wait_until(find, timeout, "the ScnFerry window")
        return self.main_window

    def visible_windows(self):
        return self.session.windows(pid=self.pid, name=APP_TITLE_RE, visible=True)

    def answer_box(self, key="Return", timeout=STEP_TIMEOUT):
        """Presses key in the message box on screen, then waits until the box
        is gone (or the program has ended)."""
        def new_box():
            boxes = [w for w in self.visible_windows()
                     if w not in self._answered and w != self.main_window]
            return boxes[-1] if boxes else None
        box = wait_until(new_box, timeout, f"a '{APP_TITLE}' message box")
        deadline = time.monotonic() + timeout
        while True:
            self.session.activate(box)
            if self.session.focused_window() == box:
                self.session.key(key)
                try:
                    wait_until(lambda: self.proc.poll() is not None
                               or not self.session.is_visible(box), 2.0, "the box to close")
                    break
                except TimeoutError:
                    pass
            if time.monotonic() >= deadline:
                raise TimeoutError(f"the message box {box} did not take {key}")
            time.sleep(0.05)
        self._answered.add(box)
        return box

    def cpu_ticks(self):
        """User plus system time of the process, in clock ticks."""
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rpartition(")")[2].split()
        # Fields 14 and 15 of stat; the split starts at field 3 (state).
        return int(fields[11]) + int(fields[12])


class Receiver:
    """The receiving window: records what it is typed to a file."""

    def __init__(self, stack, session, out_path):
        self.session = session
        self.out_path = out_path
        self.proc = subprocess.Popen([Config.receiver, "--out", out_path],
                                     env=session.env(QT_QPA_PLATFORM="xcb"),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        stack.callback(stop_process, self.proc)
        self._stdout = _LineCollector(self.proc.stdout)
        self.window = wait_until(lambda: (session.windows(pid=self.proc.pid) or [None])[0],
                                 START_TIMEOUT, "the receiver's window")

        def ready():
            if "READY" in self._stdout.lines():
                return True
            if self.proc.poll() is not None:
                raise RuntimeError(f"the receiver ended with {self.proc.returncode}")
            # A busy machine can map the window after openbox decided where
            # the focus goes; ask for it as a taskbar would.
            session.activate(self.window, sync=False)
            return False
        wait_until(ready, START_TIMEOUT, "the receiver's READY", interval=0.2)

    def focus(self):
        """Gives the receiver the keyboard focus and waits until it has it."""
        def focused():
            if self.session.focused_window() == self.window:
                return True
            self.session.activate(self.window)
            return False
        wait_until(focused, STEP_TIMEOUT, "focus on the receiver", interval=0.1)

    def text(self):
        try:
            with open(self.out_path, "rb") as f:
                return f.read().decode("utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def wait_text_ending(self, marker, timeout=STEP_TIMEOUT):
        """Waits until the record ends with marker and returns the whole record.
        A scan sent after the one under test serves as marker: whatever the
        first one was typed as, doubled or trailing keys included, lies
        before it."""
        try:
            return wait_until(lambda: (t := self.text()).endswith(marker) and t,
                              timeout, f"{marker!r} in the receiver")
        except TimeoutError as e:
            tail = self.text()[-200:]
            raise AssertionError(f"{e}; the receiver holds ...{tail!r}") from None


_markers = itertools.count(1)


def send_with_marker(line, receiver, scan, paced=False):
    """Writes scan (bytes as on the line), then a marker scan, and returns
    what the receiver got from the scan on, marker included, with the
    marker's text. Whatever the scan was typed as, doubled or trailing keys
    included, lies before the marker."""
    before = len(receiver.text())
    marker = f"END{next(_markers)}\r"
    if paced:
        line.write_paced(scan)
    else:
        line.write_block(scan)
    line.write_block(marker.encode())
    got = receiver.wait_text_ending(typed_as(marker))
    return got[before:], marker


def typed_as(text):
    """What the receiver records for text typed by ScnFerry: CR, LF and CR LF
    are one Return, recorded as LF; TAB is Tab; the named control keys appear
    by name; other C0 controls are Ctrl plus the character 0x40 above them,
    letters in lower case."""
    named = {"\b": "<BackSpace>", "\x1b": "<Escape>", "\x7f": "<Delete>", "\t": "\t"}
    out = []
    i = 0
    while i < len(text):
        ch = text[i]
        if ch == "\r":
            out.append("\n")
            if text[i + 1:i + 2] == "\n":
                i += 1
        elif ch == "\n":
            out.append("\n")
        elif ch in named:
            out.append(named[ch])
        elif ord(ch) < 0x20:
            out.append(f"<C-{chr(ord(ch) + 0x40).lower()}>")
        else:
            out.append(ch)
        i += 1
    return "".join(out)


def start_on_pty(stack, session, settings="9600,N,8,1", line=None):
    """ScnFerry on a fresh pty, started and waited for: when this returns the
    port is open and the program is in its event loop."""
    line = line or ScannerLine(stack)
    app = App(stack, [f"{line.path},{settings}"], session)
    app.wait_main_window()
    return line, app
