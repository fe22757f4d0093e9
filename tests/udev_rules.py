"""Reads udev rule files as udev does and refuses what it would reject or
ignore: a line that is not KEY{attr}OP"value" pairs separated by commas, an
unknown key, an operator the key does not take, an attribute missing or
given where none belongs. For udev without "udevadm verify" (before 254).

  udev_rules.py FILE...    exit 1 with the faults, one a line
"""

import re
import sys

MATCH = ("==", "!=")
ASSIGN = ("=", "+=", "-=", ":=")
# key: (operators, attribute: True required, False none, None optional)
KEYS = {
    "ACTION": (MATCH, False), "DEVPATH": (MATCH, False), "KERNEL": (MATCH, False),
    "KERNELS": (MATCH, False), "SUBSYSTEM": (MATCH, False), "SUBSYSTEMS": (MATCH, False),
    "DRIVER": (MATCH, False), "DRIVERS": (MATCH, False), "TAGS": (MATCH, False),
    "RESULT": (MATCH, False), "CONST": (MATCH, True), "ATTRS": (MATCH, True),
    "TEST": (MATCH, None), "PROGRAM": (MATCH + ("=",), False),
    "NAME": (MATCH + ASSIGN, False), "SYMLINK": (MATCH + ASSIGN, False),
    "TAG": (MATCH + ASSIGN, False), "ENV": (MATCH + ASSIGN, True),
    "ATTR": (MATCH + ASSIGN, True), "SYSCTL": (MATCH + ASSIGN, True),
    "OWNER": (ASSIGN, False), "GROUP": (ASSIGN, False), "MODE": (ASSIGN, False),
    "SECLABEL": (ASSIGN, True), "RUN": (ASSIGN, None), "LABEL": (("=",), False),
    "GOTO": (("=",), False), "IMPORT": (MATCH + ASSIGN, True), "OPTIONS": (ASSIGN, False),
}
PAIR = re.compile(r'\s*([A-Z]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(,|$)')


def faults(path):
    found = []
    with open(path) as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        if line.endswith("\\"):
            found.append("%s:%d: continued lines are not read here" % (path, number))
            continue
        at = 0
        while at < len(line):
            m = PAIR.match(line, at)
            if not m:
                found.append("%s:%d: not a KEY OP \"value\" pair at column %d" % (path, number, at + 1))
                break
            key, attr, op, _value, comma = m.groups()
            if key not in KEYS:
                found.append("%s:%d: unknown key %s" % (path, number, key))
            else:
                ops, wants_attr = KEYS[key]
                if op not in ops:
                    found.append("%s:%d: %s does not take %s" % (path, number, key, op))
                if wants_attr is True and not attr:
                    found.append("%s:%d: %s needs {attribute}" % (path, number, key))
                if wants_attr is False and attr is not None:
                    found.append("%s:%d: %s takes no {attribute}" % (path, number, key))
            at = m.end()
            if not comma and at < len(line):
                found.append("%s:%d: no comma before column %d" % (path, number, at + 1))
                break
            if comma and not line[at:].strip():
                found.append("%s:%d: a comma at the end" % (path, number))
    return found


def main():
    found = [f for path in sys.argv[1:] for f in faults(path)]
    for f in found:
        print(f)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
