# SPDX-License-Identifier: MIT
"""Exits 0 once the remote desktop portal starts a keyboard session, 1 if
it answered with an error, 2 if it gave no answer. Run as the session's user
on its bus. The KDE backend refuses sessions until it has seen the
compositor's outputs, which it reads after it is already on the bus."""

import sys

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

TIMEOUT_MS = 10000


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = bus.get_object("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")
    remote = dbus.Interface(portal, "org.freedesktop.portal.RemoteDesktop")
    sender = bus.get_unique_name()[1:].replace(".", "_")
    loop = GLib.MainLoop()
    counter = iter(range(1000))

    def request(method, *args, **options):
        token = f"probe{next(counter)}"
        options["handle_token"] = token
        answer = {}

        def on_response(code, results):
            answer["code"], answer["results"] = int(code), results
            loop.quit()
        bus.add_signal_receiver(on_response, "Response", "org.freedesktop.portal.Request",
                                path=f"/org/freedesktop/portal/desktop/request/{sender}/{token}")
        getattr(remote, method)(*args, options)
        GLib.timeout_add(TIMEOUT_MS, loop.quit)
        loop.run()
        if "code" not in answer:
            sys.exit(2)
        if answer["code"] != 0:
            sys.exit(1)
        return answer["results"]

    session = request("CreateSession", session_handle_token="probe")["session_handle"]
    request("SelectDevices", dbus.ObjectPath(session), types=dbus.UInt32(1))
    request("Start", dbus.ObjectPath(session), "")
    dbus.Interface(bus.get_object("org.freedesktop.portal.Desktop", session),
                   "org.freedesktop.portal.Session").Close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
