# SPDX-License-Identifier: MIT
"""The stand-in watcher the tray tests rely on: how it names items, and that
it lists an item exactly as long as the item's bus name lives."""

import contextlib
import unittest

from gi.repository import Gio, GLib

from sni_watcher import item_key
from tray_session import WATCHER_NAME, WATCHER_PATH, Bus, PrivateBus, Watcher, plain_label, \
    split_item


class ItemKeyTest(unittest.TestCase):

    def test_item_keys(self):
        cases = [
            # sender, what the item registers, expected (owner, key)
            (":1.7", "/StatusNotifierItem", (":1.7", ":1.7/StatusNotifierItem")),
            (":1.7", "/org/ayatana/item", (":1.7", ":1.7/org/ayatana/item")),
            (":1.7", "org.kde.StatusNotifierItem-42-1",
             ("org.kde.StatusNotifierItem-42-1", "org.kde.StatusNotifierItem-42-1/StatusNotifierItem")),
            (":1.7", ":1.9", (":1.9", ":1.9/StatusNotifierItem")),
            (":1.7", "org.example.App/Tray", ("org.example.App", "org.example.App/Tray")),
        ]
        for sender, service, expected in cases:
            with self.subTest(service=service):
                self.assertEqual(item_key(sender, service), expected)
                # What the tests read back from the list splits the same way.
                self.assertEqual(split_item(expected[1])[0], expected[0])

    def test_menu_labels_lose_their_mnemonic_marker(self):
        for label, plain in [("_Exit", "Exit"), ("&Show", "Show"), ("Save __as", "Save _as"),
                             ("R&&D", "R&D"), ("", "")]:
            with self.subTest(label=label):
                self.assertEqual(plain_label(label), plain)


class WatcherTest(unittest.TestCase):

    def test_item_listed_while_its_name_lives(self):
        with contextlib.ExitStack() as stack:
            bus = PrivateBus(stack)
            Watcher(stack, bus)
            self.assertTrue(bus.client.host_registered())
            self.assertEqual(bus.client.registered_items(), [])

            item = Bus(stack, bus.address)
            name = "org.kde.StatusNotifierItem-1-1"
            (reply,) = item.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "RequestName",
                                 GLib.Variant("(su)", (name, 4)), "(u)")
            self.assertEqual(reply, 1)  # primary owner
            for _ in range(2):  # a second registration lists it once
                item.call(WATCHER_NAME, WATCHER_PATH, WATCHER_NAME, "RegisterStatusNotifierItem",
                          GLib.Variant("(s)", (name,)))
            self.assertEqual(bus.client.registered_items(), [(name, "/StatusNotifierItem")])

            # The program hides its icon by giving up the name; a crash closes
            # the connection. Either way the item goes.
            item.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "ReleaseName", GLib.Variant("(s)", (name,)), "(u)")
            bus.client.wait_no_item()
            item.call(WATCHER_NAME, WATCHER_PATH, WATCHER_NAME, "RegisterStatusNotifierItem",
                      GLib.Variant("(s)", ("/StatusNotifierItem",)))
            unique = item.connection.get_unique_name()
            self.assertEqual(bus.client.registered_items(), [(unique, "/StatusNotifierItem")])
            item.close()
            bus.client.wait_no_item()

    def test_introspection_lists_the_host_property(self):
        # Qt decides there is no tray when this property is missing.
        with contextlib.ExitStack() as stack:
            bus = PrivateBus(stack)
            Watcher(stack, bus)
            (xml,) = bus.client.call(WATCHER_NAME, WATCHER_PATH,
                                     "org.freedesktop.DBus.Introspectable", "Introspect",
                                     None, "(s)")
            node = Gio.DBusNodeInfo.new_for_xml(xml)
            iface = node.lookup_interface(WATCHER_NAME)
            self.assertIsNotNone(iface.lookup_property("IsStatusNotifierHostRegistered"))


if __name__ == "__main__":
    unittest.main()
