# SPDX-License-Identifier: MIT
"""A StatusNotifierWatcher for tests, the part of a tray host that items talk
to: it owns org.kde.StatusNotifierWatcher on the session bus named by
DBUS_SESSION_BUS_ADDRESS, keeps the list of registered items and drops an
item when its bus name goes away. It draws nothing.

It prints one line per event on standard output, READY first, once the name
is owned: "REGISTERED <item>", "UNREGISTERED <item>", where <item> is
"<bus name><object path>" as hosts list them.
"""

import signal
import sys

from gi.repository import Gio, GLib

WATCHER_NAME = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_PATH = "/StatusNotifierItem"

# Qt reads IsStatusNotifierHostRegistered through an introspected interface:
# a property missing from this XML makes it decide there is no tray.
INTROSPECTION = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem">
      <arg name="service" type="s" direction="in"/>
    </method>
    <method name="RegisterStatusNotifierHost">
      <arg name="service" type="s" direction="in"/>
    </method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>
"""


def item_key(sender, service):
    """The item as "<bus name><path>": a path alone belongs to the sender,
    a bus name alone serves the item at the conventional path."""
    if service.startswith("/"):
        return sender, sender + service
    if "/" in service:
        name, _, path = service.partition("/")
        return name, f"{name}/{path}"
    return service, service + ITEM_PATH


class Watcher:
    def __init__(self, connection):
        self._connection = connection
        self._items = {}   # key -> the bus name whose loss removes it
        self._hosts = set()
        node = Gio.DBusNodeInfo.new_for_xml(INTROSPECTION)
        self._interface = node.interfaces[0]
        connection.register_object(WATCHER_PATH, self._interface, self._on_call,
                                   self._on_get_property, None)
        connection.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus",
                                    "NameOwnerChanged", "/org/freedesktop/DBus", None,
                                    Gio.DBusSignalFlags.NONE, self._on_name_owner_changed)

    def _emit(self, name, params=None):
        self._connection.emit_signal(None, WATCHER_PATH, self._interface.name, name, params)

    def _properties_changed(self, *names):
        changed = {n: self._on_get_property(None, None, None, None, n) for n in names}
        self._connection.emit_signal(None, WATCHER_PATH, "org.freedesktop.DBus.Properties",
                                     "PropertiesChanged",
                                     GLib.Variant("(sa{sv}as)", (self._interface.name, changed, [])))

    def _on_call(self, _connection, sender, _path, _iface, method, params, invocation):
        (service,) = params.unpack()
        if method == "RegisterStatusNotifierItem":
            owner, key = item_key(sender, service)
            if key not in self._items:
                self._items[key] = owner
                print(f"REGISTERED {key}", flush=True)
                self._emit("StatusNotifierItemRegistered", GLib.Variant("(s)", (key,)))
                self._properties_changed("RegisteredStatusNotifierItems")
        else:
            self._hosts.add(service)
            self._emit("StatusNotifierHostRegistered")
        invocation.return_value(None)

    def _on_get_property(self, _connection, _sender, _path, _iface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", list(self._items))
        if name == "IsStatusNotifierHostRegistered":
            # This process stands for the host as well.
            return GLib.Variant("b", True)
        if name == "ProtocolVersion":
            return GLib.Variant("i", 0)
        return None

    def _on_name_owner_changed(self, _connection, _sender, _path, _iface, _signal, params):
        name, _old, new = params.unpack()
        if new:
            return
        gone = [key for key, owner in self._items.items() if owner == name]
        for key in gone:
            del self._items[key]
            print(f"UNREGISTERED {key}", flush=True)
            self._emit("StatusNotifierItemUnregistered", GLib.Variant("(s)", (key,)))
        if gone:
            self._properties_changed("RegisteredStatusNotifierItems")


def main():
    loop = GLib.MainLoop()
    connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    watcher = Watcher(connection)

    def acquired(*_):
        print("READY", flush=True)

    def lost(*_):
        print(f"{WATCHER_NAME} is owned by another process", file=sys.stderr, flush=True)
        loop.quit()

    Gio.bus_own_name_on_connection(connection, WATCHER_NAME,
                                   Gio.BusNameOwnerFlags.DO_NOT_QUEUE, acquired, lost)
    for signo in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signo, loop.quit)
    loop.run()
    del watcher
    return 0


if __name__ == "__main__":
    sys.exit(main())
