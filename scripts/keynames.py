#!/usr/bin/python3
"""Reads key-driver capture lines (hex scan codes, e.g. "02 d2") on standard
input and prints each key event by name as soon as its line arrives:

    press 1
    release keypad 0

usage: keynames.py [-t | --clock] [--prefix TEXT]
  -t             start each line with the seconds since the filter started
  --clock        start each line with the time of day, to the millisecond
  --prefix TEXT  start each line with TEXT (after the time stamp)
"""

import os
import sys
import time

NAMES = {
    0x01: "esc",
    0x02: "1", 0x03: "2", 0x04: "3", 0x05: "4", 0x06: "5", 0x07: "6",
    0x1C: "enter",
    0x39: "space",
    0x52: "keypad 0", 0x4F: "keypad 1", 0x50: "keypad 2", 0x51: "keypad 3",
    0x4B: "keypad 4", 0x4C: "keypad 5", 0x4D: "keypad 6",
    0x47: "keypad 7", 0x48: "keypad 8", 0x49: "keypad 9",
}


def event(code):
    key = code & 0x7F
    name = NAMES.get(key, "0x%02x" % key)
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
        for word in line.split():
            try:
                code = int(word, 16)
                if not 0 <= code <= 0xFF:
                    raise ValueError
            except ValueError:
                sys.stderr.write("keynames: not a scan code: %r\n" % word)
                sys.stderr.flush()
                continue
            sys.stdout.write(lead + event(code) + "\n")
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
