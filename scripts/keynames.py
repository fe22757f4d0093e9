#!/usr/bin/python3
"""Reads key-driver capture lines (hex scan codes, e.g. "02 d2", an extended
key after its prefix, "e0 48") on standard input and prints each key event
by name as soon as its line arrives, by the names notchkey.ini's [keys]
takes:

    press 1
    release kp0
    press up

usage: keynames.py [-t | --clock] [--prefix TEXT]
  -t             start each line with the seconds since the filter started
  --clock        start each line with the time of day, to the millisecond
  --prefix TEXT  start each line with TEXT (after the time stamp)
"""

import os
import subprocess
import sys
import time

EXTENDED = 0xE0
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def key_names():
    """The program's own key names, by (extended, make code), as mascon-sim
    lists them from the program's table."""
    sim = os.environ.get("MASCON_SIM_PROGRAM") or os.path.join(ROOT, "build", "tools", "mascon-sim")
    try:
        listed = subprocess.run([sim, "--key-names"], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as error:
        sys.stderr.write("keynames: no key names from %s (scripts/build.sh builds it): %s\n"
                         % (sim, error))
        sys.exit(1)
    names = {}
    for line in listed.stdout.splitlines():
        *codes, name = line.split()
        names[(len(codes) == 2, int(codes[-1], 16))] = name
    return names


def event(names, extended, code):
    key = code & 0x7F
    name = names.get((extended, key)) or ("0xe0 " if extended else "") + "0x%02x" % key
    return ("release " if code & 0x80 else "press ") + name


def usage(why):
    sys.stderr.write("keynames: %s\n%s" % (why, __doc__.split("usage: ", 1)[1]))
    sys.exit(2)


def main(argv):
    stamp = False
    prefix = ""
    args = list(argv)
    while args:
        arg = args.pop(0)
        if arg == "-t":
            stamp = "elapsed"
        elif arg == "--clock":
            stamp = "clock"
        elif arg == "--prefix":
            if not args:
                usage("--prefix needs a value")
            prefix = args.pop(0)
        elif arg in ("-h", "--help"):
            sys.stdout.write(__doc__)
            return 0
        else:
            usage("unknown argument: " + arg)

    names = key_names()
    start = time.monotonic()
    # readline() rather than iteration or read(): each line must be printed
    # while the writer is still running, not when the pipe ends.
    while True:
        line = sys.stdin.readline()
        if not line:
            return 0
        lead = prefix
        if stamp == "elapsed":
            lead = "%7.3f %s" % (time.monotonic() - start, prefix)
        elif stamp == "clock":
            now = time.time()
            lead = "%s.%03d %s" % (time.strftime("%H:%M:%S", time.localtime(now)),
                                   int(now * 1000) % 1000, prefix)
        extended = False
        words = line.split()
        for i, word in enumerate(words):
            try:
                code = int(word, 16)
                if not 0 <= code <= 0xFF:
                    raise ValueError
            except ValueError:
                sys.stderr.write("keynames: not a scan code: %r\n" % word)
                sys.stderr.flush()
                continue
            # The prefix belongs to the code after it; last in its packet it
            # can only be a release of its own.
            if code == EXTENDED and i + 1 < len(words):
                extended = True
                continue
            sys.stdout.write(lead + event(names, extended, code) + "\n")
            extended = False
        sys.stdout.flush()


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)
    except BrokenPipeError:
        # Whoever read our output went away; the flush at exit would only
        # complain about it again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(141)
