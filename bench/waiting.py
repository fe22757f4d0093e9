#!/usr/bin/env python3
"""What notchkey costs while it waits for a mascon that does not answer: the
adapter plugged in, the mascon switched off. Each port is a pseudo-terminal
that opens and never answers; the program runs with reconnect=yes, so it asks
each one, waits its second for the answer, sleeps its second between tries,
and asks again. Its time on a processor, every thread summed from
/proc/PID/task/*/schedstat, is taken over a while from the wait's first try
(each port's second RESET): the start's search, which with port=auto looks at
every name once, is not the wait.

Two setups on each desk: port=COM5 with COM5 silent, and port=auto with four
silent ports (COM5 to COM8). The native desk runs the native program; the Wine
desk runs notchkey.exe under Wine on Xvfb (wineserver's own time is not the
program's and is not counted).

usage: bench/waiting.py [--seconds S] [--native PATH] [--exe PATH] [--wine LOADER]
                        [--no-wine]
"""
import argparse
import contextlib
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from desks import WineStage, find_exe_pid, process_gone  # noqa: E402

SETUPS = [("port=COM5, the port silent", "COM5", [5], 10),
          ("port=auto, four silent ports", "auto", [5, 6, 7, 8], 25)]


def wine_desk():
    """The Windows build and the Wine that runs it here: the shipped 32-bit
    build under wine where the kernel runs 32-bit programs, else the x86-64
    build under wine64."""
    runs_i386 = subprocess.run([sys.executable, os.path.join(ROOT, "tests", "e2e", "i386.py")],
                               capture_output=True).returncode == 0
    if runs_i386:
        return os.path.join(ROOT, "build-win"), "wine"
    return os.path.join(ROOT, "build-win64"), "/usr/lib/wine/wine64"


def wine_missing(loader, programs):
    """Why the Wine desk cannot run the programs here, or None."""
    for path in programs:
        if not os.path.exists(path):
            return "%s is not built" % path
    if not all(shutil.which(tool) for tool in (loader, "wineserver", "Xvfb")):
        return "no %s, wineserver or Xvfb" % loader
    return None


@contextlib.contextmanager
def wine_stage(exe, loader, prefix):
    """Xvfb and a fresh Wine prefix in a folder of their own, gone afterwards."""
    root = tempfile.mkdtemp(prefix=prefix)
    stage = WineStage(root, exe, None, None, loader)
    try:
        stage.start()
        yield stage
    finally:
        stage.stop()
        shutil.rmtree(root, ignore_errors=True)


def cpu_ns(pid):
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


class SilentPorts:
    """Pseudo-terminals linked as comN in a folder; nothing ever answers."""

    def __init__(self, folder, numbers):
        self.ports = []
        for number in numbers:
            master, slave = os.openpty()
            link = os.path.join(folder, "com%d" % number)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(os.ttyname(slave), link)
            self.ports.append((master, slave, link))

    def wait_asked(self, times=2, timeout=30):
        """Until each port has had RESET times (what a port echoes is read too)."""
        asked = {master: b"" for master, _, _ in self.ports}
        deadline = time.monotonic() + timeout
        while any(got.count(b"RESET\r") < times for got in asked.values()):
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError("no RESET on every port within %d s" % timeout)
            ready, _, _ = select.select(list(asked), [], [], left)
            for master in ready:
                asked[master] += os.read(master, 4096)

    def close(self):
        for master, slave, link in self.ports:
            os.close(master)
            os.close(slave)
            if os.path.lexists(link):
                os.unlink(link)


def settings(folder, port, injector="driver"):
    with open(os.path.join(folder, "notchkey.ini"), "w") as f:
        f.write("[config]\r\nport=%s\r\nreconnect=yes\r\ninjector=%s\r\n" % (port, injector))


def measure(pid, ports, seconds):
    ports.wait_asked()
    before = cpu_ns(pid)
    time.sleep(seconds)  # the measurement's window, not a wait for an event
    if process_gone(pid):
        raise RuntimeError("the program ended while waiting")
    return (cpu_ns(pid) - before) / 1e6


def native_row(binary, port, numbers, seconds):
    folder = tempfile.mkdtemp(prefix="notchkey-waiting.")
    ports = SilentPorts(folder, numbers)
    open(os.path.join(folder, "keytap.vxd"), "w").close()
    settings(folder, port)
    env = {k: v for k, v in os.environ.items() if k != "DBUS_SESSION_BUS_ADDRESS"}
    env.update(NOTCHKEY_DEVICES=folder, XDG_RUNTIME_DIR=folder)
    program = subprocess.Popen([binary], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        return measure(program.pid, ports, seconds)
    finally:
        program.send_signal(signal.SIGTERM)
        try:
            program.wait(10)
        except subprocess.TimeoutExpired:
            program.kill()
            program.wait()
        ports.close()
        shutil.rmtree(folder, ignore_errors=True)


def wine_row(stage, port, numbers, seconds):
    home = tempfile.mkdtemp(prefix="notchkey-waiting.", dir=stage.root)
    stage.clear_ports()
    ports = SilentPorts(stage.devices, numbers)
    settings(home, port, "sendinput")  # current Windows has no driver
    with open(os.path.join(home, "wine.log"), "wb") as log:
        program = subprocess.Popen([stage.loader, stage.exe], cwd=home, env=stage.env,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 60
        while not (pid := find_exe_pid(stage.prefix)):
            if time.monotonic() > deadline:
                raise RuntimeError("notchkey.exe did not start under Wine")
            time.sleep(0.05)
        return measure(pid, ports, seconds)
    finally:
        stage.kill_all()
        program.wait(30)
        ports.close()
        shutil.rmtree(home, ignore_errors=True)


def row(desk, what, goal_5s, ms, seconds):
    per_10s = ms * 10 / seconds
    row_goal = ms * 5 / seconds < goal_5s
    share = per_10s / 100  # ms in 10 s, as a percentage of one core
    print("   %-6s  %-30s  %7.2f ms in %d s = %5.3f %% of a core;  < %d ms in 5 s: %s;  "
          "< 0.2 %%: %s" % (desk, what, ms, seconds, share, goal_5s,
                            "met" if row_goal else "NOT MET", "met" if share < 0.2 else "NOT MET"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--native", default=os.path.join(ROOT, "build", "notchkey"))
    parser.add_argument("--exe", default=None)
    parser.add_argument("--wine", default=None)
    parser.add_argument("--no-wine", action="store_true")
    args = parser.parse_args()
    build, loader = wine_desk()
    exe = os.path.abspath(args.exe or os.path.join(build, "notchkey.exe"))
    loader = args.wine or loader

    print()
    print("7. CPU while waiting for a mascon that does not answer (reconnect=yes; pseudo-terminals that open "
          "and never answer; time on a processor of every thread, /proc/PID/task/*/schedstat, over %d s "
          "from the wait's first try, each port's second RESET)" % args.seconds)
    for what, port, numbers, goal in SETUPS:
        row("native", what, goal, native_row(os.path.abspath(args.native), port, numbers, args.seconds),
            args.seconds)
    why = "not asked for" if args.no_wine else wine_missing(loader, [exe])
    if why:
        print("   wine    skipped: %s" % why)
        return 0
    with wine_stage(exe, loader, "notchkey-waiting-wine.") as stage:
        desk = os.path.basename(loader)
        for what, port, numbers, goal in SETUPS:
            row(desk, what, goal, wine_row(stage, port, numbers, args.seconds), args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
