#!/usr/bin/env python3
"""Builds notchkey's tray icon (.ico) from the pixel text in res/.

usage: make_icon.py [--source DIR] OUT.ico

DIR holds icon-32.txt and icon-16.txt (default: res/ beside this script).
The format is described at the top of those files.
"""

import argparse
import os
import struct
import sys

# Largest first: readers that only look at the first entry get the
# detailed image, and the 16x16 one is there for the tray.
SIZES = (32, 16)

# The stock Windows 16-colour palette as (r, g, b), index for index.
PALETTE = (
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
)

TRANSPARENT = "."
COLOURS = {c: int(c, 16) for c in "0123456789abcdef"}


class SourceError(Exception):
    pass


def read_pixels(path, size):
    """Returns size rows of size entries: a palette index, or None for transparent."""
    try:
        with open(path, encoding="ascii") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise SourceError(f"{path}: cannot read: {e}")

    rows = []
    for number, line in enumerate(lines, 1):
        # Trailing blanks are invisible in an editor, so they must not count.
        line = line.rstrip()
        if not line or line.startswith("#"):
            continue
        where = f"{path}:{number}"
        if len(line) != size:
            raise SourceError(f"{where}: row has {len(line)} pixels, expected {size}")
        row = []
        for column, ch in enumerate(line, 1):
            if ch == TRANSPARENT:
                row.append(None)
            elif ch.lower() in COLOURS:
                row.append(COLOURS[ch.lower()])
            else:
                raise SourceError(f"{where}:{column}: unknown pixel character {ch!r}")
        rows.append(row)

    if len(rows) != size:
        raise SourceError(f"{path}: {len(rows)} rows, expected {size}")
    return rows


def padded(n):
    return (n + 3) & ~3


def dib(rows):
    """One icon image: header, palette, 4-bpp colour bits, 1-bpp AND mask."""
    size = len(rows)
    xor_stride = padded((size * 4 + 7) // 8)
    and_stride = padded((size + 7) // 8)

    xor = bytearray()
    mask = bytearray()
    # DIB rows run bottom-up.
    for row in reversed(rows):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, index in enumerate(row):
            if index is None:
                # Black under a set mask bit leaves the screen as it was;
                # any other colour would be XORed onto it.
                index = 0
                bits[x // 8] |= 0x80 >> (x % 8)
            line[x // 2] |= index << 4 if x % 2 == 0 else index
        xor += line
        mask += bits

    header = struct.pack(
        "<IiiHHIIiiII",
        40,             # biSize
        size,           # biWidth
        size * 2,       # biHeight: the colour bits and the mask, stacked
        1,              # biPlanes
        4,              # biBitCount
        0,              # biCompression: BI_RGB
        len(xor) + len(mask),
        0, 0,           # pixels per metre, unused for icons
        0,              # biClrUsed: 0 means all 16
        0,              # biClrImportant
    )
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def build_ico(images):
    """images: (size, dib bytes) pairs, in directory order."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return out


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="Write notchkey's .ico from its pixel text.")
    parser.add_argument("out", metavar="OUT.ico")
    parser.add_argument("--source", metavar="DIR", default=os.path.join(here, "..", "res"),
                        help="directory with icon-32.txt and icon-16.txt")
    args = parser.parse_args(argv)

    try:
        images = []
        for size in SIZES:
            path = os.path.join(args.source, f"icon-{size}.txt")
            images.append((size, dib(read_pixels(os.path.normpath(path), size))))
    except SourceError as e:
        print(f"make_icon.py: {e}", file=sys.stderr)
        return 1

    data = build_ico(images)
    try:
        with open(args.out, "wb") as f:
            f.write(data)
    except OSError as e:
        print(f"make_icon.py: cannot write {args.out}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
