#!/usr/bin/env python3
"""The program's parts depend one way: no loop among its modules.

A module is a header and its source (keys/steps.h with keys/steps.cpp); it
depends on every module whose header either of them includes. Exits 1 and
names a loop if there is one.
"""
import os
import re
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
folders = ("common", "link", "keys", "shell")
depends = {}
for folder in folders:
    for name in sorted(os.listdir(os.path.join(root, folder))):
        stem, ext = os.path.splitext(name)
        if ext not in (".h", ".cpp"):
            continue
        module = f"{folder}/{stem}"
        text = open(os.path.join(root, folder, name)).read()
        for target in re.findall(r'^#include "((?:%s)/[^"]+)\.h"' % "|".join(folders), text, re.M):
            if target != module:
                depends.setdefault(module, set()).add(target)
        depends.setdefault(module, set())

# Depth-first, with the path in hand to name a loop by.
state = {}
def visit(module, path):
    state[module] = "open"
    for target in sorted(depends.get(module, ())):
        if state.get(target) == "open":
            loop = path[path.index(target):] + [target]
            sys.exit("include loop: " + " -> ".join(loop))
        if target not in state:
            visit(target, path + [target])
    state[module] = "done"

for module in sorted(depends):
    if module not in state:
        visit(module, [module])
print(f"ok - {len(depends)} modules of {', '.join(folders)}, no include loop")
