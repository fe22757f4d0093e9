#!/usr/bin/env bash
# Checks the tray icon generator and, where the cross tools exist, the
# compiled resource script. Reads every file back with its own small parser
# rather than trusting make_icon.py's idea of the formats.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
if [[ -z "${PYTHON:-}" ]]; then
  PYTHON="$(command -v /usr/bin/python3 || command -v python3)"
fi
make_icon="$here/scripts/make_icon.py"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

ok() { echo "ok - $*"; }
fail() { echo "FAIL - $*" >&2; exit 1; }

# Reads an .ico back and compares every pixel with the text sources in $2.
check_ico() {
  "$PYTHON" - "$1" "$2" <<'EOF'
import struct, sys
ico, src = sys.argv[1], sys.argv[2]
data = open(ico, "rb").read()

def need(cond, what):
    if not cond:
        sys.exit(f"{ico}: {what}")

reserved, kind, count = struct.unpack_from("<HHH", data, 0)
need((reserved, kind, count) == (0, 1, 2), f"directory header {reserved, kind, count}")

end = 6 + 16 * count
for i, size in enumerate((32, 16)):
    w, h, colours, res0, planes, bpp, nbytes, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
    need((w, h) == (size, size), f"entry {i} is {w}x{h}, expected {size}")
    need((colours, res0, planes, bpp) == (16, 0, 1, 4), f"entry {i} fields {colours, res0, planes, bpp}")
    need(offset == end, f"entry {i} at {offset}, expected {end}")
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    need(nbytes == 40 + 64 + size * (xor_stride + and_stride), f"entry {i} claims {nbytes} bytes")
    end = offset + nbytes

    bi = struct.unpack_from("<IiiHHIIiiII", data, offset)
    need(bi[:6] == (40, size, size * 2, 1, 4, 0), f"image {i} header {bi[:6]}")
    need(bi[9] in (0, 16), f"image {i} biClrUsed {bi[9]}")
    # The stock Windows colours as the file stores them: blue, green, red, 0.
    palette = bytes.fromhex(
        "00000000 00008000 00800000 00808000 80000000 80008000 80800000 c0c0c000"
        "80808000 0000ff00 00ff0000 00ffff00 ff000000 ff00ff00 ffff0000 ffffff00")
    need(data[offset + 40:offset + 104] == palette, f"image {i} palette is not the stock 16 colours")

    rows = [l.rstrip() for l in open(f"{src}/icon-{size}.txt")]
    rows = [l for l in rows if l and not l.startswith("#")]
    xor_at = offset + 104
    and_at = xor_at + size * xor_stride
    for y, line in enumerate(rows):
        dib_y = size - 1 - y
        for x, ch in enumerate(line):
            byte = data[xor_at + dib_y * xor_stride + x // 2]
            index = byte >> 4 if x % 2 == 0 else byte & 15
            masked = data[and_at + dib_y * and_stride + x // 8] >> (7 - x % 8) & 1
            if ch == ".":
                need(masked == 1 and index == 0, f"image {i} pixel {x},{y} should be transparent")
            else:
                need(masked == 0 and index == int(ch, 16),
                     f"image {i} pixel {x},{y} is {index:x}/{masked}, source says {ch}")
need(end == len(data), f"images end at {end}, file is {len(data)} bytes")
EOF
}

# --- the icon from the real sources ---------------------------------------
"$PYTHON" "$make_icon" "$tmp/notchkey.ico" || fail "make_icon.py on res/"
check_ico "$tmp/notchkey.ico" "$here/res" || fail "res/ icon does not read back"
ok "icon from res/: 32x32 then 16x16, 4 bpp, offsets and sizes add up, pixels and mask match"

# --- a source using every character, so no colour or mask bit goes unchecked
synth="$tmp/synth"
mkdir -p "$synth"
"$PYTHON" - "$synth" <<'EOF'
import sys
chars = "0123456789abcdef."
for size in (32, 16):
    with open(f"{sys.argv[1]}/icon-{size}.txt", "w") as f:
        f.write("# generated\n\n")
        for y in range(size):
            f.write("".join(chars[(x * 3 + y * 5) % len(chars)] for x in range(size)) + "   \n")
EOF
"$PYTHON" "$make_icon" --source "$synth" "$tmp/synth.ico" || fail "make_icon.py on every character"
check_ico "$tmp/synth.ico" "$synth" || fail "every-character icon does not read back"
ok "every colour and transparency survive the round trip, trailing blanks ignored"

# --- malformed sources ------------------------------------------------------
# Each case copies the good sources, spoils one, and wants exit 1 with a
# message naming the trouble and no output file left behind.
expect_rejected() {
  local name="$1" file="$2" script="$3" pattern="$4"
  local dir="$tmp/bad-$name" out="$tmp/bad-$name.ico" rc=0
  mkdir -p "$dir"
  cp "$here/res/icon-32.txt" "$here/res/icon-16.txt" "$dir/"
  sed -i "$script" "$dir/$file"
  "$PYTHON" "$make_icon" --source "$dir" "$out" 2>"$dir/err" || rc=$?
  [[ $rc -eq 1 ]] || fail "$name: exit $rc, expected 1"
  grep -q -- "$pattern" "$dir/err" || fail "$name: message '$(cat "$dir/err")' lacks '$pattern'"
  [[ ! -e "$out" ]] || fail "$name: wrote $out anyway"
  ok "$name rejected: $(cat "$dir/err")"
}
expect_rejected short-row icon-16.txt '$s/.$//' 'icon-16.txt:[0-9]*: row has 15 pixels, expected 16'
expect_rejected unknown-char icon-32.txt '$s/^\(.\)./\1x/' "icon-32.txt:[0-9]*:2: unknown pixel character 'x'"
expect_rejected missing-row icon-32.txt '$d' 'icon-32.txt: 31 rows, expected 32'
expect_rejected extra-row icon-16.txt '$p' 'icon-16.txt: 17 rows, expected 16'

rc=0
"$PYTHON" "$make_icon" --source "$tmp/nowhere" "$tmp/nowhere.ico" 2>"$tmp/err" || rc=$?
[[ $rc -eq 1 ]] && grep -q "cannot read" "$tmp/err" || fail "missing source: exit $rc, $(cat "$tmp/err")"
ok "missing source rejected: $(cat "$tmp/err")"

rc=0
"$PYTHON" "$make_icon" "$tmp/nowhere/notchkey.ico" 2>"$tmp/err" || rc=$?
[[ $rc -eq 1 ]] && grep -q "cannot write" "$tmp/err" || fail "unwritable output: exit $rc, $(cat "$tmp/err")"
ok "unwritable output reported: $(cat "$tmp/err")"

# --- the resource script, compiled ------------------------------------------
windres="${WINDRES:-i686-w64-mingw32-windres}"
if ! command -v "$windres" >/dev/null; then
  echo "skipped - $windres not found, resource script not compiled"
  exit 0
fi

"$windres" --include-dir "$here/res" --include-dir "$tmp" -O res \
  "$here/res/notchkey.rc" "$tmp/notchkey.res" || fail "windres -O res"
"$windres" --include-dir "$here/res" --include-dir "$tmp" -O coff \
  "$here/res/notchkey.rc" "$tmp/notchkey.o" || fail "windres -O coff"
ok "res/notchkey.rc compiles to .res and to an object"

"$PYTHON" - "$tmp/notchkey.res" "$tmp/notchkey.ico" "$here/res/resource.h" <<'EOF' || fail ".res contents"
import re, struct, sys
res_path, ico_path, header = sys.argv[1:]
data = open(res_path, "rb").read()
ico = open(ico_path, "rb").read()
ids = dict(re.findall(r"#define\s+(\w+)\s+(\d+)", open(header).read()))
ids = {k: int(v) for k, v in ids.items()}
RT_ICON, RT_MENU, RT_GROUP_ICON = 3, 4, 14
MF_POPUP, MF_END = 0x10, 0x80
JAPANESE = 0x0411

def need(cond, what):
    if not cond:
        sys.exit(f"{res_path}: {what}")

def name_or_id(at):
    if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2

resources = {}
at = 0
while at < len(data):
    size, header_size = struct.unpack_from("<II", data, at)
    kind, p = name_or_id(at + 8)
    name, p = name_or_id(p)
    p = (p + 3) & ~3
    lang = struct.unpack_from("<H", data, p + 6)[0]
    body = data[at + header_size:at + header_size + size]
    if size:  # the leading empty entry only marks a 32-bit .res
        need((kind, name) not in resources, f"duplicate resource {kind}/{name}")
        resources[(kind, name)] = (lang, body)
    at = (at + header_size + size + 3) & ~3

group = resources.get((RT_GROUP_ICON, ids["IDI_APP"]))
need(group, f"no icon group {ids['IDI_APP']}")
need(group[0] == JAPANESE, f"icon group language {group[0]:#06x}")
reserved, kind, count = struct.unpack_from("<HHH", group[1], 0)
need((kind, count) == (1, 2), f"icon group holds {count} images")
for i, size in enumerate((32, 16)):
    w, h, colours, _, planes, bpp, nbytes, icon_id = struct.unpack_from("<BBBBHHIH", group[1], 6 + 14 * i)
    need((w, h, colours, bpp) == (size, size, 16, 4), f"group entry {i}: {w}x{h}, {colours} colours, {bpp} bpp")
    icon = resources.get((RT_ICON, icon_id))
    need(icon, f"group entry {i} names icon {icon_id}, which is missing")
    need(icon[0] == JAPANESE, f"icon {icon_id} language {icon[0]:#06x}")
    offset = struct.unpack_from("<I", ico, 6 + 16 * i + 12)[0]
    need(icon[1] == ico[offset:offset + nbytes] and len(icon[1]) == nbytes,
         f"icon {icon_id} is not the generated {size}x{size} image")
print(f"ok - icon group {ids['IDI_APP']}, language {JAPANESE:#06x}, carries the generated 32x32 and 16x16 images")

menu = resources.get((RT_MENU, ids["IDR_TRAYMENU"]))
need(menu, f"no menu {ids['IDR_TRAYMENU']}")
need(menu[0] == JAPANESE, f"menu language {menu[0]:#06x}")
body = menu[1]
need(struct.unpack_from("<HH", body, 0) == (0, 0), "menu is not a plain MENU template")

def text(at):
    end = at
    while body[end:end + 2] != b"\0\0":
        end += 2
    return body[at:end].decode("utf-16-le"), end + 2

flags, = struct.unpack_from("<H", body, 4)
title, p = text(6)
need(flags == MF_POPUP | MF_END and title == "dummy", f"top level is {flags:#x} {title!r}, want one pop-up 'dummy'")
flags, command = struct.unpack_from("<HH", body, p)
label, p = text(p + 4)
need(flags == MF_END and label == "Exit" and command == ids["IDM_EXIT"],
     f"pop-up holds {flags:#x} {command} {label!r}, want only 'Exit' = {ids['IDM_EXIT']}")
need(p == len(body), f"{len(body) - p} stray bytes after the menu")
print(f"ok - menu {ids['IDR_TRAYMENU']}, language {JAPANESE:#06x}: pop-up 'dummy' holding only 'Exit' = {ids['IDM_EXIT']}")
EOF
