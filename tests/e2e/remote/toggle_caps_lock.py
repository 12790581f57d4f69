# SPDX-License-Identifier: MIT
"""Toggles the seat's Caps Lock through a remote desktop session of mutter's
own, as a user's key press would, and exits once mutter reports the new
state (status 0), or with 1 after ten seconds. Run as the session's user on
its bus."""

import sys
import time

import dbus

SERVICE = "org.gnome.Mutter.RemoteDesktop"
SESSION = "org.gnome.Mutter.RemoteDesktop.Session"
CAPS_LOCK = 0xffe5


def main():
    bus = dbus.SessionBus()
    desktop = bus.get_object(SERVICE, "/org/gnome/Mutter/RemoteDesktop")
    path = desktop.CreateSession(dbus_interface=SERVICE)
    session = bus.get_object(SERVICE, path)
    session.Start(dbus_interface=SESSION)

    def caps():
        return bool(session.Get(SESSION, "CapsLockState",
                                dbus_interface="org.freedesktop.DBus.Properties"))
    before = caps()
    deadline = time.monotonic() + 10
    # A new session may lose its first key: press again until the state
    # changes, reading it back after each press.
    while time.monotonic() < deadline:
        session.NotifyKeyboardKeysym(dbus.UInt32(CAPS_LOCK), True, dbus_interface=SESSION)
        session.NotifyKeyboardKeysym(dbus.UInt32(CAPS_LOCK), False, dbus_interface=SESSION)
        settle = time.monotonic() + 1
        while time.monotonic() < settle:
            if caps() != before:
                session.Stop(dbus_interface=SESSION)
                return 0
            time.sleep(0.01)
    return 1


if __name__ == "__main__":
    sys.exit(main())
