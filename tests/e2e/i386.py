#!/usr/bin/python3
"""Exits 0 when this kernel runs 32-bit x86 programs, 1 when it does not (a
kernel without IA-32 emulation answers their execve with ENOEXEC), saying
which on standard output.

Asks with a program of its own, a 32-bit ELF that only exits, so the answer
needs nothing 32-bit installed.
"""

import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
CODE = bytes([0xB8, 1, 0, 0, 0,   # mov eax, 1 (exit)
              0x31, 0xDB,         # xor ebx, ebx
              0xCD, 0x80])        # int 0x80
HEADER, PROGRAM_HEADER = 52, 32


def program():
    size = HEADER + PROGRAM_HEADER + len(CODE)
    elf = b"\x7fELF\x01\x01\x01" + bytes(9)
    elf += struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, BASE + HEADER + PROGRAM_HEADER, HEADER, 0, 0,
                       HEADER, PROGRAM_HEADER, 1, 0, 0, 0)
    elf += struct.pack("<IIIIIIII", 1, 0, BASE, BASE, size, size, 5, 0x1000)
    return elf + CODE


def runs_i386():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "exit32")
        with open(path, "wb") as f:
            f.write(program())
        os.chmod(path, 0o755)
        try:
            return subprocess.run([path]).returncode == 0
        except OSError:
            return False


if __name__ == "__main__":
    if runs_i386():
        print("this kernel runs 32-bit programs")
        sys.exit(0)
    print("this kernel runs no 32-bit programs")
    sys.exit(1)
