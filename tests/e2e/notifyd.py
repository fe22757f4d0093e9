"""A desktop's notification server, for the tests: owns
org.freedesktop.Notifications on the bus it is given and writes each
notification it receives as one JSON line to a file, before it answers.

  notifyd.py RECORD [--silent]    --silent: never answers a Notify

It prints "ready" once the name is its own.
"""

import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"


class Server(dbus.service.Object):
    def __init__(self, bus, record, silent):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.record = record
        self.silent = silent
        self.count = 0

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u",
                         async_callbacks=("reply", "error"))
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout, reply, error):
        self.count += 1
        self.record.write(json.dumps({"app": str(app), "icon": str(icon), "summary": str(summary),
                                      "body": str(body), "actions": [str(a) for a in actions],
                                      "timeout": int(timeout)}) + "\n")
        self.record.flush()
        if not self.silent:
            reply(dbus.UInt32(self.count))

    @dbus.service.method(NAME, out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(NAME, out_signature="ssss")
    def GetServerInformation(self):
        return ["notifyd", "notchkey tests", "1", "1.2"]

    @dbus.service.method(NAME, in_signature="u")
    def CloseNotification(self, number):
        pass


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    with open(sys.argv[1], "a") as record:
        name = dbus.service.BusName(NAME, bus, do_not_queue=True)
        server = Server(bus, record, "--silent" in sys.argv[2:])
        print("ready", flush=True)
        GLib.MainLoop().run()
    del name, server


if __name__ == "__main__":
    main()
