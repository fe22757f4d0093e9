#!/usr/bin/env python3
"""Latency under Wine: notchkey.exe (injector=sendinput) against the least a
Windows program can do with the same port and SendInput (bench/wine/floor.cpp),
both under Wine on Xvfb, with one window in front (bench/wine/keys.cpp) that
writes a byte to a FIFO for every key it receives. This script writes each
message on a program's pseudo-terminal and waits in select() on the FIFO; the
two take the messages in a turn shuffled for every message, each message 2 ms
after the one before it, as a mascon sends them. The key window's and
Wine's own way to it are the same for both, so the ratio is what notchkey
adds. It prints each program's latency, its messages over 1 ms, and its
processor time a message (every thread, schedstat).

usage: bench/wine_rig.py [--messages N] [--runs R] [--build DIR] [--wine LOADER]
  DIR  the Windows build with notchkey.exe and bench/wine/ (build-win, or
       build-win64 where the kernel runs no 32-bit programs)
"""
import argparse
import os
import random
import select
import statistics
import subprocess
import sys
import tempfile
import time
import tty

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from desks import find_exe_pid, wait_until, winpath  # noqa: E402
from waiting import cpu_ns, wine_desk, wine_missing, wine_stage  # noqa: E402

MESSAGES = [b"MCA55\r", b"MCA50\r", b"MCK99\r", b"MCK00\r"]
SPACING = 0.002


class Keys:
    """The window in front, and the FIFO it reports each key event on."""

    def __init__(self, stage, exe):
        self.path = os.path.join(stage.root, "keys.fifo")
        os.mkfifo(self.path)
        self.fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
        self.process = subprocess.Popen([stage.loader, exe, winpath(self.path)], env=stage.env,
                                        cwd=stage.root, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not self.wait(60):
            raise RuntimeError("the key window did not come to the front")
        self.drain()

    def wait(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        return bool(ready)

    def drain(self):
        try:
            while os.read(self.fd, 4096):
                pass
        except BlockingIOError:
            pass


class Program:
    """A program under Wine on COMn, a pseudo-terminal, synchronised."""

    def __init__(self, stage, keys, name, argv, number, exe_name):
        self.name = name
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        link = os.path.join(stage.devices, "com%d" % number)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(self.slave), link)
        self.home = tempfile.mkdtemp(prefix=name.replace(".", "_") + ".", dir=stage.root)
        with open(os.path.join(self.home, "notchkey.ini"), "w") as f:
            f.write("[config]\r\nport=COM%d\r\ninjector=sendinput\r\n" % number)
        self.process = subprocess.Popen([stage.loader] + argv, cwd=self.home, env=stage.env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        asked = b""
        deadline = time.monotonic() + 60
        while b"RESET\r" not in asked:
            if not select.select([self.master], [], [], max(0, deadline - time.monotonic()))[0]:
                raise RuntimeError("%s sent no RESET" % name)
            asked += os.read(self.master, 64)
        os.write(self.master, b"MCA50\rMCG00\r")
        if not keys.wait(30):
            raise RuntimeError("%s's first key did not reach the window in front" % name)
        self.pid = wait_until(lambda: find_exe_pid(stage.prefix, exe_name), 10, name + "'s process")
        self.latency = []


def turn(programs, keys, count):
    for program in programs:
        program.latency = []
        program.cpu = cpu_ns(program.pid)
    order = list(programs)
    for i in range(count):
        random.shuffle(order)
        for program in order:
            began = time.perf_counter_ns()
            os.write(program.master, MESSAGES[i % len(MESSAGES)])
            if not keys.wait(5):
                raise RuntimeError("%s: no key for message %d" % (program.name, i))
            program.latency.append((time.perf_counter_ns() - began) / 1000)
            # A packet's second event comes right behind its first.
            left = began / 1e9 + SPACING - time.perf_counter()
            if left > 0:
                time.sleep(left)
            keys.drain()
    for program in programs:
        program.cpu = (cpu_ns(program.pid) - program.cpu) / count / 1000


def report(programs, count):
    floor, notchkey = programs
    rows = {}
    for program in programs:
        latency = sorted(program.latency)
        rows[program.name] = (statistics.median(latency), latency[int(len(latency) * 0.99)])
        print("   %-13s median %7.1f us  p99 %7.1f us  over 1 ms: %3d of %d   CPU %6.1f us a message" %
              (program.name, rows[program.name][0], rows[program.name][1],
               sum(1 for us in latency if us > 1000), count, program.cpu))
    median = rows[notchkey.name][0] / rows[floor.name][0]
    p99 = rows[notchkey.name][1] / rows[floor.name][1]
    print("   notchkey / floor: median %.2fx, p99 %.2fx;  median <= 1.25x: %s" %
          (median, p99, "met" if median <= 1.25 else "NOT MET"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=1500)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--build", default=None)
    parser.add_argument("--wine", default=None)
    args = parser.parse_args()
    build, loader = wine_desk()
    build = os.path.abspath(args.build or build)
    loader = args.wine or loader
    exe = os.path.join(build, "notchkey.exe")
    floor_exe = os.path.join(build, "bench", "wine", "notchkey_floor_win32.exe")
    keys_exe = os.path.join(build, "bench", "wine", "notchkey_keys_win32.exe")
    print()
    print("8. Latency under Wine (%s, %s): notchkey.exe with injector=sendinput against the Win32 floor "
          "(same port, one SendInput a message), a window in front writing each key it gets to a FIFO; "
          "messages 2 ms apart in a shuffled turn, %d to each program a run" %
          (os.path.basename(loader), os.path.relpath(exe, ROOT), args.messages))
    why = wine_missing(loader, [exe, floor_exe, keys_exe])
    if why:
        print("   skipped: %s" % why)
        return 0
    with wine_stage(exe, loader, "notchkey-wine-rig.") as stage:
        stage.clear_ports()
        keys = Keys(stage, keys_exe)
        programs = [Program(stage, keys, "floor", [floor_exe, "COM6"], 6, b"notchkey_floor_win32.exe"),
                    Program(stage, keys, "notchkey.exe", [exe], 5, b"notchkey.exe")]
        time.sleep(0.5)  # the start's keys all in, before they are thrown away
        keys.drain()
        turn(programs, keys, 100)  # the first after start find cold caches
        for run in range(args.runs):
            turn(programs, keys, args.messages)
            print("   run %d:" % (run + 1))
            report(programs, args.messages)
    return 0


if __name__ == "__main__":
    sys.exit(main())
