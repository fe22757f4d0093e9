"""A private session bus with a notification server and a tray on it, as a
desktop has.

The bus is a dbus-daemon of its own, with no services to start on demand,
so nothing but the test's server can answer."""

import json
import os
import subprocess
import sys

CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def missing():
    """Why a bus cannot be had here, or None."""
    if not os.path.exists("/usr/bin/dbus-daemon"):
        return "no dbus-daemon (Debian dbus)"
    probe = subprocess.run([sys.executable, "-c", "import dbus, gi.repository.GLib"],
                           capture_output=True)
    if probe.returncode != 0:
        return "no python3-dbus or python3-gi"
    return None


class Bus:
    def __init__(self, root, silent=False, tray=True):
        os.makedirs(root, exist_ok=True)
        self.record = os.path.join(root, "notifications.jsonl")
        open(self.record, "w").close()
        self.items = os.path.join(root, "items.jsonl")
        open(self.items, "w").close()
        self.watcher = None
        config = os.path.join(root, "bus.conf")
        with open(config, "w") as f:
            f.write(CONFIG % os.path.join(root, "bus"))
        self.daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork",
                                        "--print-address=1"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.address = self.daemon.stdout.readline().decode().strip()
        if not self.address:
            self.daemon.kill()
            raise RuntimeError("dbus-daemon gave no address")
        self.env = {"DBUS_SESSION_BUS_ADDRESS": self.address}
        self.server = self.serve("notifyd.py", self.record, *(["--silent"] if silent else []))
        if tray:
            self.start_tray()

    def serve(self, script, *args):
        server = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), script),
                                   *args], env=dict(os.environ, **self.env),
                                  stdout=subprocess.PIPE)
        if server.stdout.readline().strip() != b"ready":
            server.kill()
            self.stop()
            raise RuntimeError(script + " did not start")
        return server

    def start_tray(self):
        self.watcher = self.serve("sniwatcher.py", self.items)

    def stop_tray(self):
        self.watcher.terminate()
        self.watcher.wait()

    def items_registered(self):
        """Each item's registration with the tray so far: sender and service."""
        with open(self.items) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def notifications(self):
        """Every notification received so far, in order."""
        with open(self.record) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def stop(self):
        for p in (self.watcher, getattr(self, "server", None), self.daemon):
            if p and p.poll() is None:
                p.terminate()
                p.wait()
