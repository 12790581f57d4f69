# SPDX-License-Identifier: MIT
"""What the tray tests add to the X11 end-to-end pieces: a private session
bus, a StatusNotifierWatcher on it (or none), a D-Bus client that talks to
the program's item as a host would, an XEmbed tray (trayer), and a look at
the serial port's lock file.

As in e2e_session, everything started is registered with an ExitStack and
stopped by its process id; every wait polls a condition against a deadline.
"""

import contextlib
import ctypes
import ctypes.util
import glob
import os
import re
import select
import subprocess
import sys
import tempfile
import time

from gi.repository import Gio, GLib

from e2e_session import (APP_TITLE_RE, START_TIMEOUT, STEP_TIMEOUT, App,
                         Config, ScannerLine, XSession, clean_env, stop_process, wait_until)
from test_window import pixel

HERE = os.path.dirname(os.path.abspath(__file__))
WATCHER_NAME = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_IFACE = "org.kde.StatusNotifierItem"
MENU_IFACE = "com.canonical.dbusmenu"
PROPS_IFACE = "org.freedesktop.DBus.Properties"

# The three lines the exit question writes to standard error.
QUESTION = ["You are about to close Scanferry !",
            "This disables serial scanner's capture.",
            "Do you want to end Scanferry ?"]


def read_line(fd, timeout, what, proc=None):
    """One line from a pipe, read against a deadline."""
    deadline = time.monotonic() + timeout
    data = b""
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or (proc is not None and proc.poll() is not None and not data):
            raise RuntimeError(f"no line from {what}")
        ready, _, _ = select.select([fd], [], [], min(left, 0.5))
        if ready:
            chunk = os.read(fd, 256)
            if not chunk:
                raise RuntimeError(f"{what} closed its pipe")
            data += chunk
    return data.decode().strip()


class Bus:
    """A D-Bus client connection to one bus address, with the few calls a
    tray host makes. Values come back unpacked into Python types."""

    def __init__(self, stack, address):
        flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                 | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        self.connection = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
        stack.callback(self.close)

    def close(self):
        if not self.connection.is_closed():
            self.connection.close_sync(None)

    def call(self, dest, path, iface, method, params=None, reply=None, timeout=STEP_TIMEOUT):
        result = self.connection.call_sync(dest, path, iface, method, params,
                                           GLib.VariantType(reply) if reply else None,
                                           Gio.DBusCallFlags.NO_AUTO_START,
                                           int(timeout * 1000), None)
        return result.unpack() if result is not None else None

    def send(self, dest, path, iface, method, params=None):
        """A call whose answer nobody waits for, as hosts send clicks: the
        program may sit in a modal question before it could answer."""
        message = Gio.DBusMessage.new_method_call(dest, path, iface, method)
        if params is not None:
            message.set_body(params)
        message.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        self.connection.send_message(message, Gio.DBusSendMessageFlags.NONE)
        self.connection.flush_sync(None)

    def get(self, dest, path, iface, name):
        (value,) = self.call(dest, path, PROPS_IFACE, "Get", GLib.Variant("(ss)", (iface, name)),
                             "(v)")
        return value

    def get_all(self, dest, path, iface):
        (values,) = self.call(dest, path, PROPS_IFACE, "GetAll", GLib.Variant("(s)", (iface,)),
                              "(a{sv})")
        return values

    def has_owner(self, name):
        (owned,) = self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "NameHasOwner",
                             GLib.Variant("(s)", (name,)), "(b)")
        return owned

    # As a host sees the notification area.

    def registered_items(self):
        """The items the watcher lists, each as (bus name, object path)."""
        if not self.has_owner(WATCHER_NAME):
            return []
        items = self.get(WATCHER_NAME, WATCHER_PATH, WATCHER_NAME, "RegisteredStatusNotifierItems")
        return [split_item(item) for item in items]

    def host_registered(self):
        return self.has_owner(WATCHER_NAME) and self.get(
            WATCHER_NAME, WATCHER_PATH, WATCHER_NAME, "IsStatusNotifierHostRegistered")

    def wait_item(self, app=None, timeout=START_TIMEOUT):
        """The one item in the notification area, once there is one."""
        def one():
            if app is not None and app.proc.poll() is not None:
                raise AssertionError(f"ScnFerry ended with {app.proc.returncode}; "
                                     f"stderr: {app.stderr.lines()!r}")
            items = self.registered_items()
            if len(items) > 1:
                raise AssertionError(f"more than one item in the notification area: {items}")
            return items[0] if items else None
        return wait_until(one, timeout, "an item in the notification area", interval=0.05)

    def wait_no_item(self, timeout=STEP_TIMEOUT):
        wait_until(lambda: not self.registered_items(), timeout,
                   "the item to leave the notification area", interval=0.05)

    def activate(self, item):
        self.send(item[0], item[1], ITEM_IFACE, "Activate", GLib.Variant("(ii)", (0, 0)))

    def menu(self, item):
        """The item's menu as [(id, label, type)], labels without mnemonics."""
        menu_path = self.get(item[0], item[1], ITEM_IFACE, "Menu")
        _revision, (_root, _props, children) = self.call(
            item[0], menu_path, MENU_IFACE, "GetLayout",
            GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
        entries = []
        for child_id, props, _grandchildren in children:
            label = props.get("label", "")
            entries.append((child_id, label, props.get("type", "standard"),
                            props.get("visible", True)))
        return menu_path, entries

    def click_menu(self, item, label):
        """Clicks the menu entry whose label reads `label` once its mnemonic
        marker (Qt sends "_" for "&") is gone."""
        menu_path, entries = self.menu(item)
        ids = [entry[0] for entry in entries if plain_label(entry[1]) == label]
        if len(ids) != 1:
            raise AssertionError(f"no single menu entry {label!r} in {entries}")
        self.send(item[0], menu_path, MENU_IFACE, "Event",
                  GLib.Variant("(isvu)", (ids[0], "clicked", GLib.Variant("i", 0), 0)))


def split_item(item):
    """"<bus name><path>" as watchers list items, split in two."""
    slash = item.find("/")
    if slash <= 0:
        return item, "/StatusNotifierItem"
    return item[:slash], item[slash:]


def plain_label(label):
    """A menu label as the user reads it: "_Exit" and "&Exit" read "Exit",
    a doubled marker stands for itself."""
    return re.sub(r"([_&])([_&]?)", lambda m: m.group(2), label)


class PrivateBus:
    """A session bus of its own for one test; `prefix` runs it as another
    user."""

    def __init__(self, stack, config=None, prefix=(), env=None):
        read_end, write_end = os.pipe()
        argv = [*prefix, "dbus-daemon", "--nofork", "--nopidfile",
                f"--print-address={write_end}"]
        argv += [f"--config-file={config}"] if config else ["--session"]
        self.proc = subprocess.Popen(argv, pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=env or clean_env())
        stack.callback(stop_process, self.proc)
        os.close(write_end)
        try:
            self.address = read_line(read_end, START_TIMEOUT, "dbus-daemon", self.proc)
        finally:
            os.close(read_end)
        self.client = Bus(stack, self.address)


class Watcher:
    """The stand-in host of sni_watcher.py on a bus; up once it owns its name."""

    def __init__(self, stack, bus):
        self._log = stack.enter_context(tempfile.TemporaryFile())
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "sni_watcher.py")],
            env=clean_env(DBUS_SESSION_BUS_ADDRESS=bus.address), stdin=subprocess.DEVNULL,
            stdout=self._log, stderr=subprocess.STDOUT)
        stack.callback(stop_process, self.proc)

        def owned():
            if self.proc.poll() is not None:
                raise RuntimeError(f"the watcher ended with {self.proc.returncode}: {self.log()}")
            return bus.client.has_owner(WATCHER_NAME)
        wait_until(owned, START_TIMEOUT, "the StatusNotifierWatcher")

    def log(self):
        self._log.seek(0)
        return self._log.read().decode(errors="replace")


class TraySession(XSession):
    """Xvfb + openbox whose clients all use the given session bus."""

    def __init__(self, stack, bus, width=1024, height=768):
        self.bus_address = bus.address
        super().__init__(stack, width, height)

    def env(self, **extra):
        return super().env(DBUS_SESSION_BUS_ADDRESS=self.bus_address, **extra)

    def window_state(self, window):
        """The ICCCM state the window manager gave: "Normal", "Iconic", or
        None when the window is withdrawn (hidden)."""
        out = self.run(["xprop", "-id", str(window), "WM_STATE"], check=False).stdout
        found = re.search(r"window state:\s*(\w+)", out)
        if not found or found.group(1) == "Withdrawn":
            return None
        return found.group(1)

    def managed_windows(self):
        """The windows a taskbar shows: the window manager's client list."""
        out = self.run(["xprop", "-root", "_NET_CLIENT_LIST"], check=False).stdout
        return [int(w, 16) for w in re.findall(r"0x[0-9a-fA-F]+", out)]

    def parent(self, window):
        out = self.run(["xwininfo", "-children", "-id", str(window)]).stdout
        found = re.search(r"Parent window id:\s*(0x[0-9a-fA-F]+)", out)
        return int(found.group(1), 16)

    def root(self):
        out = self.run(["xwininfo", "-root"]).stdout
        return int(re.search(r"Window id:\s*(0x[0-9a-fA-F]+)", out).group(1), 16)

    def ancestors(self, window):
        root = self.root()
        chain = []
        while window != root and len(chain) < 32:
            window = self.parent(window)
            chain.append(window)
        return chain

    def is_viewable(self, window):
        out = self.run(["xwininfo", "-id", str(window)], check=False).stdout
        return "IsViewable" in out

    def selection_owner(self, selection):
        """The window owning an X selection, 0 when none does."""
        xlib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        xlib.XOpenDisplay.restype = ctypes.c_void_p
        xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        xlib.XInternAtom.restype = ctypes.c_ulong
        xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        xlib.XGetSelectionOwner.restype = ctypes.c_ulong
        xlib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        display = xlib.XOpenDisplay(self.display.encode())
        if not display:
            raise RuntimeError(f"cannot open {self.display}")
        try:
            atom = xlib.XInternAtom(display, selection.encode(), 0)
            return xlib.XGetSelectionOwner(display, atom)
        finally:
            xlib.XCloseDisplay(display)

    def screenshot_to(self, name):
        """A screenshot of the whole screen into the artifacts folder."""
        out_dir = Config.artifacts or tempfile.gettempdir()
        os.makedirs(out_dir, exist_ok=True)
        return self.screenshot(os.path.join(out_dir, name))

    def screenshot_painted(self, name, window):
        """A screenshot taken once `window` has painted: the root window is
        black, the middle of a painted window of ours is not."""
        geom = self.geometry(window)
        spot = (geom["x"] + geom["width"] // 2, geom["y"] + geom["height"] // 2)
        wait_until(lambda: pixel(self, self.screenshot_to(name), *spot) != (0, 0, 0),
                   STEP_TIMEOUT, f"window {window} painted in {name}", interval=0.2)
        return os.path.join(Config.artifacts or tempfile.gettempdir(), name)


class Trayer:
    """An XEmbed system tray (trayer) along the bottom right of the screen."""

    def __init__(self, stack, session):
        self.session = session
        self.proc = subprocess.Popen(
            ["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
             "--height", "32", "--SetDockType", "true", "--SetPartialStrut", "false"],
            env=session.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        stack.callback(stop_process, self.proc)
        # The tray is up once it owns the selection that clients dock to.
        screen = 0
        wait_until(lambda: self.proc.poll() is None
                   and session.selection_owner(f"_NET_SYSTEM_TRAY_S{screen}"),
                   START_TIMEOUT, "trayer to own the system tray selection")
        self.windows = session.windows(pid=self.proc.pid, visible=False)

    def docked(self, pid):
        """The program's windows that sit inside the tray and are on screen."""
        inside = []
        # A search that walks the tree while the tray reparents a window can
        # list it twice: one window is one icon.
        for window in dict.fromkeys(self.session.windows(pid=pid, visible=False)):
            if window in self.windows:
                continue
            if set(self.session.ancestors(window)) & set(self.windows) \
                    and self.session.is_viewable(window):
                inside.append(window)
        return inside

    def wait_docked(self, app, timeout=START_TIMEOUT):
        def one():
            if app.proc.poll() is not None:
                raise AssertionError(f"ScnFerry ended with {app.proc.returncode}; "
                                     f"stderr: {app.stderr.lines()!r}")
            icons = self.docked(app.pid)
            if len(icons) > 1:
                raise AssertionError(f"more than one icon in the tray: {icons}")
            return icons[0] if icons else None
        return wait_until(one, timeout, "the icon in the tray", interval=0.05)


LOCK_DIRS = ["/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
             "/tmp", "/var/tmp", tempfile.gettempdir()]


def port_locks(pid):
    """The serial lock files (LCK..name) that process pid holds: their first
    line is the holder's pid."""
    found = set()
    for directory in LOCK_DIRS:
        for path in glob.glob(os.path.join(directory, "LCK..*")):
            with contextlib.suppress(OSError):
                with open(path) as f:
                    if f.readline().strip() == str(pid):
                        found.add(os.path.realpath(path))
    return sorted(found)


def question_lines(app, after=0):
    """Where the exit question starts on standard error, waiting for all
    three of its lines in order."""
    def find(lines):
        for i in range(after, len(lines) - len(QUESTION) + 1):
            if lines[i:i + len(QUESTION)] == QUESTION:
                return i
        return None
    return app.stderr.wait_for(find, STEP_TIMEOUT, "the exit question on standard error")


def asked_count(app):
    lines = app.stderr.lines()
    return sum(1 for i in range(len(lines)) if lines[i:i + len(QUESTION)] == QUESTION)


def main_window_shown(session, app):
    return app.main_window in session.windows(pid=app.pid, name=APP_TITLE_RE, visible=True)


def start_app(stack, session, line=None):
    """ScnFerry on a fresh pty in `session`, its window found (hidden)."""
    line = line or ScannerLine(stack)
    app = App(stack, [f"{line.path},9600,N,8,1"], session)
    app.wait_main_window()
    return line, app

