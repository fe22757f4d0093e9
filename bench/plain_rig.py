#!/usr/bin/env python3
"""A rig of another make than e2e.cpp, to check that the benchmark's floors
cost what they should: this script writes each message on the pseudo-terminal
and waits in select() on the driver FIFO, the floors and notchkey taking the
messages in a shuffled turn, each message 2 ms after the one before it, as a
mascon sends them, then back to back. It prints each program's latency and
its messages over 1 ms, and each of its busy threads' processor time and time
slices a message (schedstat).

usage: bench/plain_rig.py BUILD_BENCH [MESSAGES]
  BUILD_BENCH  the benchmarks' build folder (scripts/bench.sh makes build-bench)
"""
import glob
import os
import pty
import random
import select
import statistics
import subprocess
import sys
import tempfile
import time
import tty

MESSAGES = [b"MCA55\r", b"MCA50\r", b"MCK99\r", b"MCK00\r"]


def start(exe):
    folder = tempfile.mkdtemp(prefix="notchkey-rig.")
    master, slave = pty.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    os.symlink(os.ttyname(slave), os.path.join(folder, "com2"))
    os.mkfifo(os.path.join(folder, "keytap.vxd"))
    with open(os.path.join(folder, "notchkey.ini"), "w") as f:
        f.write("[config]\nport=COM2\n")
    process = subprocess.Popen([exe], cwd=folder, env=dict(os.environ, NOTCHKEY_DEVICES=folder),
                               stderr=subprocess.DEVNULL)
    keys = os.open(os.path.join(folder, "keytap.vxd"), os.O_RDONLY)
    asked = b""
    while b"RESET\r" not in asked:
        asked += os.read(master, 64)
    os.write(master, b"MCA50\rMCG00\r")
    select.select([keys], [], [])
    os.read(keys, 4096)
    return {"master": master, "slave": slave, "keys": keys, "process": process, "latency": []}


def threads(pid):
    """{thread: (processor time in ns, time slices)}"""
    seen = {}
    for task in glob.glob("/proc/%d/task/*" % pid):
        with open(task + "/schedstat") as f:
            fields = f.read().split()
        seen[os.path.basename(task)] = (int(fields[0]), int(fields[2]))
    return seen


def run(rigs, count, spacing):
    """count messages to each program, spacing seconds after the one before
    (0: as soon as its packet is read); {name: latencies}, and the threads'
    cost."""
    for rig in rigs.values():
        rig["latency"] = []
    before = {name: threads(rig["process"].pid) for name, rig in rigs.items()}
    order = list(rigs)
    for i in range(count):
        random.shuffle(order)
        for name in order:
            rig = rigs[name]
            began = time.perf_counter_ns()
            os.write(rig["master"], MESSAGES[i % len(MESSAGES)])
            select.select([rig["keys"]], [], [])
            rig["latency"].append((time.perf_counter_ns() - began) / 1000)
            os.read(rig["keys"], 4096)
            if spacing:
                left = began / 1e9 + spacing - time.perf_counter()
                if left > 0:
                    time.sleep(left)
    print("messages %s, %d to each program:" %
          ("%.1f ms apart" % (spacing * 1000) if spacing else "back to back", count))
    for name, rig in rigs.items():
        after = threads(rig["process"].pid)
        latency = sorted(rig["latency"])
        print("%-17s median %7.1f us  p99 %7.1f us  over 1 ms: %d" %
              (name, statistics.median(latency), latency[int(len(latency) * 0.99)],
               sum(1 for us in latency if us > 1000)))
        for thread, (ns, slices) in after.items():
            was = before[name].get(thread, (0, 0))
            if slices - was[1] > count // 100:
                print("    thread %s: %.2f us a message, %.2f time slices a message" %
                      (thread, (ns - was[0]) / count / 1000, (slices - was[1]) / count))


def main():
    build = os.path.abspath(sys.argv[1])
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1500
    programs = {"floor": build + "/bench/notchkey_floor",
                "floor, 3 threads": build + "/bench/notchkey_floor_threads",
                "notchkey": build + "/notchkey/notchkey"}
    rigs = {name: start(exe) for name, exe in programs.items()}
    run(rigs, count, 0.002)
    run(rigs, count, 0)
    for rig in rigs.values():
        rig["process"].terminate()
        rig["process"].wait()


if __name__ == "__main__":
    main()
