"""A desktop's tray host, for the tests: owns org.kde.StatusNotifierWatcher on
the bus it is given and writes the sender and service of each item that
registers as one JSON line to a file, before it answers.

  sniwatcher.py RECORD

It prints "ready" once the name is its own.
"""

import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.kde.StatusNotifierWatcher"


class Watcher(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.record = record

    @dbus.service.method(NAME, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        self.record.write(json.dumps({"sender": str(sender), "service": str(service)}) + "\n")
        self.record.flush()
        self.StatusNotifierItemRegistered(service)

    @dbus.service.signal(NAME, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    with open(sys.argv[1], "a") as record:
        name = dbus.service.BusName(NAME, bus, do_not_queue=True)
        watcher = Watcher(bus, record)
        print("ready", flush=True)
        GLib.MainLoop().run()
    del name, watcher


if __name__ == "__main__":
    main()
