#!/usr/bin/env bash
# Checks the release archives that scripts/package.sh makes: what each holds,
# byte for byte where it can, that packing twice gives the same bytes, that
# notchkey.exe is a 32-bit GUI program needing only system DLLs and carrying
# its version, and that the Linux programs run from the unpacked tarball with
# its own settings file. The guides: each speaks of its own system only,
# every path they name is in their package, every port in their examples is
# the one their recipes use, INSTALL.txt's libraries are those ldd shows, the
# Linux guide's "Try it" recipe runs as written, ten times in a row, and every
# other recipe of the Linux guides runs as written where the machine allows.
# Running notchkey.exe is left to the Wine desk (tests/e2e); the installer is
# run there too (tests/check_installer.py). The .deb passes lintian, holds
# what it should, and on CI (CI=true, root) is installed and removed with apt.
#
# usage: tests/check_packages.sh [--no-build]   (--no-build: pack build/ and build-win/ as they are)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
py=/usr/bin/python3

build_arg=()
[ "${1:-}" = --no-build ] && build_arg=(--no-build)

ok() { echo "ok - $*"; }
fail() { echo "FAIL - $*" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/check-packages.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# --- the Markdown to text conversion -----------------------------------------
long=$(printf 'word %.0s' {1..20})
cat >"$work/sample.md" <<EOF
# Title *here*

Some \`code\` and \`two words\`, a [link](http://x.example/) and *emphasis
over two lines*, **bold**, snake_case_name and 2 * 3 * 4.

![alt text](pic.png)

| a | b |
|---|:-:|
| \`x\|y\` | 1 |
| \`[\` \`\` \` \`\` \`\\\` | 2 |

| name | about |
|---|---|
| first | $long|
| second | |

   \`\`\`sh
   echo *not* \`touched\`
   \`\`\`
<!-- dropped -->
<!-- dropped
over lines -->
### Small — heading
EOF
"$py" packaging/md2txt.py "$work/sample.md" "$work/sample.txt" || fail "md2txt.py on a sample"
expected=$(cat <<EOF
Title here
==========

Some code and "two words", a link (http://x.example/) and emphasis
over two lines, bold, snake_case_name and 2 * 3 * 4.

[picture: alt text]

a      b
-----  -
x|y    1
[ \` \\  2

first
    about: word word word word word word word word word word word word word
        word word word word word word word

second

       echo *not* \`touched\`

Small -- heading
~~~~~~~~~~~~~~~~
EOF
)
got=$(tr -d '\r' <"$work/sample.txt")
[ "$got" = "$expected" ] || fail "md2txt.py turned the sample into:
$got
instead of:
$expected"
[ "$(tr -cd '\r' <"$work/sample.txt" | wc -c)" -eq "$(wc -l <"$work/sample.txt")" ] ||
  fail "md2txt.py did not end every line in CRLF"
[ "$(head -c 3 "$work/sample.txt")" != $'\xef\xbb\xbf' ] || fail "md2txt.py marked an ASCII text as UTF-8"
printf 'caf\xc3\xa9\n' >"$work/accent.md"
"$py" packaging/md2txt.py "$work/accent.md" "$work/accent.txt"
[ "$(od -An -tx1 "$work/accent.txt" | tr -d ' \n')" = efbbbf636166c3a90d0a ] ||
  fail "md2txt.py wrote $(od -An -tx1 "$work/accent.txt") for a non-ASCII text, not a BOM, the text and CRLF"
code=0
"$py" packaging/md2txt.py "$work/missing.md" "$work/missing.txt" 2>"$work/missing.err" || code=$?
[ "$code" -ne 0 ] && grep -q "cannot read" "$work/missing.err" && [ ! -e "$work/missing.txt" ] ||
  fail "md2txt.py on a missing file: exit $code, $(cat "$work/missing.err")"
ok "md2txt.py: headings, emphasis across lines, quoted code with blanks, code spans holding backticks, links, pictures, narrow and wide tables, fences, comments, ASCII punctuation, CRLF, BOM only when needed"

# Each reader's part of one source: unmarked text, parts shown on the page,
# parts hidden there; the blank lines around parts left out still part the rest.
cat >"$work/parts.md" <<'EOF'
# Source

For all.
<!-- only: readme windows -->
## Windows
<!-- end -->

<!-- only: readme install -->
Steps, with `café`.
<!-- end -->
<!-- only: linux install
Hidden here.
-->
End.
EOF
want_readme=$'T readme\n========\n\nFor all.\n\nWindows\n-------\n\nSteps, with café.\n\nEnd.'
want_windows=$'T windows\n=========\n\nFor all.\n\nWindows\n-------\n\nEnd.'
want_linux=$'T linux\n=======\n\nFor all.\n\nHidden here.\n\nEnd.'
want_install=$'T install\n=========\n\nSteps, with café.\n\nHidden here.'
for reader in readme windows linux install; do
  "$py" packaging/md2txt.py --for "$reader" --title "T $reader" --lf "$work/parts.md" "$work/parts.txt" ||
    fail "md2txt.py --for $reader on the parts sample"
  want=want_$reader
  [ "$(cat "$work/parts.txt")" = "${!want}" ] || fail "md2txt.py --for $reader gave:
$(cat "$work/parts.txt")
instead of:
${!want}"
done
[ "$(head -c 3 "$work/parts.txt")" != $'\xef\xbb\xbf' ] && ! grep -q $'\r' "$work/parts.txt" ||
  fail "md2txt.py --lf wrote a BOM or CR"
for bad in $'<!-- only: linux -->\nx\n<!-- end -->' $'<!-- only: readme mac -->\nx\n<!-- end -->' \
  $'<!-- only: readme\nx\n-->' $'<!-- only: readme -->\nx' $'x\n<!-- end -->' \
  $'<!-- only: readme -->\n<!-- only: readme linux -->\nx\n<!-- end -->\n<!-- end -->'; do
  printf '%s\n' "$bad" >"$work/bad.md"
  code=0
  "$py" packaging/md2txt.py --for windows "$work/bad.md" "$work/bad.txt" 2>"$work/bad.err" || code=$?
  [ "$code" -ne 0 ] && grep -q "line [0-9]" "$work/bad.err" ||
    fail "md2txt.py took the faulty marks $(printf %q "$bad") (exit $code, $(cat "$work/bad.err"))"
done
ok "md2txt.py --for: each reader's parts of one source, hidden ones too; faulty marks refused, naming their line"

# --- packing ----------------------------------------------------------------
bash scripts/package.sh "${build_arg[@]}" >"$work/package.out" 2>&1 ||
  fail "scripts/package.sh failed:
$(cat "$work/package.out")"
version=$(tr -d ' \t\r\n' <VERSION)
name=notchkey-$version
zip=dist/$name-win32.zip
tgz=dist/$name-linux-x86_64.tar.gz
setup=dist/$name-setup.exe
deb=dist/notchkey_${version}_$(dpkg --print-architecture).deb
for f in "$setup" "$zip" "$deb" "$tgz"; do
  [ -s "$f" ] || fail "$f was not made"
  grep -qE "^$f  [0-9]+ bytes$" "$work/package.out" || fail "scripts/package.sh did not report $f with its size"
done
ok "scripts/package.sh made $setup, $zip, $deb and $tgz and reported their sizes"

bash scripts/package.sh --no-build --dist "$work/again" >/dev/null 2>&1 || fail "packing again failed"
for f in "$setup" "$zip" "$deb" "$tgz"; do
  cmp -s "$f" "$work/again/$(basename "$f")" || fail "packing the same binaries again changed $(basename "$f")"
done
ok "packing the same binaries twice gives identical installer, archives and package"

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}

# --- contents ---------------------------------------------------------------
mkdir "$work/zip" "$work/tgz" "$work/ref"
# The reference: what the packages must hold, from the tree and the build.
strip -o "$work/ref/notchkey" build/notchkey
strip -o "$work/ref/mascon-sim" build/tools/mascon-sim
"$py" - "$root" "$zip" "$tgz" "$name" "$epoch" "$work" <<'EOF' || fail "archive contents"
import io, os, re, sys, tarfile, zipfile

root, zip_path, tgz_path, name, epoch, work = sys.argv[1:]
epoch = int(epoch) if epoch else None
failures = []

def need(cond, what):
    if not cond:
        failures.append(what)
    return cond

def src(rel):
    with open(os.path.join(root, rel), "rb") as f:
        return f.read()

# One zip, one tar, each under a single top folder, nothing more nor less.
z = zipfile.ZipFile(zip_path)
want = {f"{name}/", f"{name}/notchkey.exe", f"{name}/notchkey.ini", f"{name}/README.txt"}
if os.path.exists(os.path.join(root, "LICENSE")):
    want.add(f"{name}/LICENSE.txt")
got = [i.filename for i in z.infolist()]
need(sorted(got) == got, f"zip members not in sorted order: {got}")
need(set(got) == want and len(got) == len(want), f"zip holds {sorted(got)}, expected {sorted(want)}")
zfiles = {i.filename[len(name) + 1:]: z.read(i) for i in z.infolist() if not i.is_dir()}
if epoch is not None:
    import calendar
    # Zip keeps even seconds, in the zone package.sh fixes to UTC.
    stale = [i.filename for i in z.infolist() if abs(calendar.timegm(i.date_time + (0, 0, 0)) - epoch) > 1]
    need(not stale, f"zip members not dated from the last commit ({epoch}): {stale}")

t = tarfile.open(tgz_path)
members = t.getmembers()
want = {name, f"{name}/bin", f"{name}/bin/notchkey", f"{name}/bin/mascon-sim",
        f"{name}/notchkey.ini", f"{name}/99-notchkey-uinput.rules", f"{name}/README.txt",
        f"{name}/99-notchkey-mascon.rules", f"{name}/notchkey@.service", f"{name}/INSTALL.txt"}
got = [m.name.rstrip("/") for m in members]
need(set(got) == want and len(got) == len(want), f"tarball holds {sorted(got)}, expected {sorted(want)}")
need(got == sorted(got), f"tarball members not in sorted order: {got}")
for m in members:
    need(m.uid == 0 and m.gid == 0, f"{m.name} owned by {m.uid}:{m.gid}")
    need(m.isdir() or m.isfile(), f"{m.name} is neither file nor folder")
    if epoch is not None:
        need(m.mtime == epoch, f"{m.name} dated {m.mtime}, not the last commit's {epoch}")
    exe = m.name.startswith(f"{name}/bin/")
    mode = 0o755 if exe or m.isdir() else 0o644
    need(m.mode == mode, f"{m.name} has mode {m.mode:o}, expected {mode:o}")
tfiles = {m.name[len(name) + 1:]: t.extractfile(m).read() for m in members if m.isfile()}

# Files copied as they are.
for f in ("99-notchkey-uinput.rules", "99-notchkey-mascon.rules", "notchkey@.service"):
    need(tfiles[f] == src("packaging/" + f), f"tarball {f} is not packaging/'s")
need(zfiles["notchkey.exe"] == src("build-win/notchkey.exe"), "zip notchkey.exe is not build-win/'s")
for prog in ("notchkey", "mascon-sim"):
    with open(os.path.join(work, "ref", prog), "rb") as f:
        need(tfiles[f"bin/{prog}"] == f.read(), f"bin/{prog} is not the stripped build/ program")

rule = [l for l in tfiles["99-notchkey-uinput.rules"].decode().splitlines() if l and not l.startswith("#")]
need(rule == ['KERNEL=="uinput", GROUP="input", MODE="0660", OPTIONS+="static_node=uinput"'],
     f"udev rule lines: {rule}")

# Windows text files: CRLF on every line, no bare LF or CR.
for f in ("notchkey.ini", "README.txt"):
    data = zfiles[f]
    need(data.endswith(b"\r\n"), f"zip {f} does not end in CRLF")
    need(data.count(b"\n") == data.count(b"\r\n") == data.count(b"\r"), f"zip {f} mixes line endings")
    if data.startswith(b"\xef\xbb\xbf"):
        need(not data[3:].isascii() and data.decode("utf-8-sig"), f"zip {f} has a needless BOM")
    else:
        need(data.isascii(), f"zip {f} is not ASCII and has no BOM")
for f in ("notchkey.ini", "README.txt", "INSTALL.txt"):
    need(b"\r" not in tfiles[f], f"tarball {f} has CR characters")

# The settings file: the source's content in both, each without the other
# system's parts, injector set for each.
source = src("packaging/notchkey.ini").decode()
win_ini = zfiles["notchkey.ini"].decode().replace("\r\n", "\n")
lin_ini = tfiles["notchkey.ini"].decode()

def for_system(text, system):
    out, other = [], None
    for line in text.split("\n"):
        mark = re.fullmatch(r";; only: (\w+)", line)
        if mark or line == ";; end":
            other = mark and mark.group(1) != system
            continue
        if not other:
            out.append(line)
    return "\n".join(out)

need(win_ini == for_system(source, "windows"),
     "zip notchkey.ini is not packaging/notchkey.ini's common and Windows parts")
need(lin_ini == for_system(source, "linux").replace("\ninjector=sendinput\n", "\ninjector=driver\n"),
     "tarball notchkey.ini is not packaging/notchkey.ini's common and Linux parts, injector aside")

def settings(text, label):
    """What the program would read: sections, keys, values."""
    found, section = {}, None
    for n, line in enumerate(text.split("\n"), 1):
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        m = re.fullmatch(r"\[(\w+)\]", line)
        if m:
            section = m.group(1)
            continue
        m = re.fullmatch(r"(\w+)=(.*)", line)
        if not need(m and section, f"{label}:{n}: not a comment, section or key=value: {line!r}"):
            continue
        key = (section, m.group(1))
        need(key not in found, f"{label}:{n}: {key} given twice")
        # Windows reads no comment after a value: it would be the value.
        need(";" not in m.group(2), f"{label}:{n}: ';' inside a value: {line!r}")
        found[key] = m.group(2)
    return found

for label, text, injector in (("zip notchkey.ini", win_ini, "sendinput"),
                              ("tarball notchkey.ini", lin_ini, "driver")):
    s = settings(text, label)
    need(set(s) == {("config", "port"), ("config", "injector"), ("debug", "logfile")},
         f"{label} sets {sorted(s)}")
    need(re.fullmatch(r"COM[1-9][0-9]*", s.get(("config", "port"), "")), f"{label}: port {s.get(('config', 'port'))!r}")
    need(s.get(("config", "injector")) == injector, f"{label}: injector {s.get(('config', 'injector'))!r}, expected {injector}")
    need(s.get(("debug", "logfile")) == "", f"{label}: logfile {s.get(('debug', 'logfile'))!r} would write a log")
    for word in ("sendinput", "driver", "COM1", "COM256", ";[keys]", "invalid key") + \
            (("privilege",) if injector == "sendinput" else ()):
        need(word in text, f"{label}: the comments never mention {word}")

# The guides: each package's own, made from docs/manual.md for its readers.
version = name[len("notchkey-"):]
texts = {
    "zip": {f: zfiles[f].decode("utf-8-sig").replace("\r\n", "\n") for f in ("README.txt", "notchkey.ini")},
    "tarball": {f: tfiles[f].decode() for f in ("README.txt", "INSTALL.txt", "notchkey.ini")},
}
titles = {("zip", "README.txt"): f"notchkey {version} for Windows",
          ("tarball", "README.txt"): f"notchkey {version} for Linux (x86_64)",
          ("tarball", "INSTALL.txt"): f"notchkey {version} for Linux (x86_64)"}
for (pkg, f), title in titles.items():
    text = texts[pkg][f]
    need(text.startswith(title + "\n"), f"{pkg} {f} does not start with its title {title!r}")
    for left in ("```", "<!--", "-->", "[picture:"):
        need(left not in text, f"{pkg} {f} still has {left!r}")
need("mascon-sim" not in "".join(texts["zip"].values()), "the zip's guide speaks of mascon-sim, which it lacks")
# Each package speaks of its own system only.
for pkg, words in (("zip", ("Linux", "/dev/", "255", "dialout", "uinput", "journal")),
                   ("tarball", ("Device Manager", "Startup folder", "notification area", "Notepad"))):
    for f, text in texts[pkg].items():
        for word in words:
            need(word not in text, f"{pkg} {f} speaks of {word!r}, which is the other system's")

# Every port in a guide's examples (settings lines, messages, code, device
# links) is the one its recipes use, so an example copied works as it is.
PORTS = re.compile(r"port=COM(\d+)|--com (\d+)|/com(\d+)\b|on COM(\d+)\b|COM(\d+) is invalid|\(COM(\d+)\)")
ports = {}
for pkg, files in texts.items():
    for f, text in files.items():
        ports[pkg, f] = {int(n) for m in PORTS.findall(text) for n in m if n}
        need(ports[pkg, f] == {2}, f"{pkg} {f}: its examples use COM ports {sorted(ports[pkg, f])}, not COM2 alone")

# Every path a guide names must be in its package. Absolute ones, those under
# ~ or a variable, are the user's machine; these are no package's either:
NOT_PATHS = {"kp/", "Up/Down", "Home/End"}    # a key name, key pairs
MADE_BY_USER = {"notchkey.log",               # an example log file
                "RailSim.exe", "RailSim2.exe", "MetroSim.exe"}  # the simulators of the examples
PATH = re.compile(r"(?<![\w./~$%\\<>-])([\w.@-][\w.@<>-]*/[\w.@<>/*-]*"
                  r"|[\w.@-][\w.@<>-]*\.(?:ini|txt|md|exe|rules|service|sh|py|png|zip|gz|log|conf)(?![\w/]))")
contents = {"zip": {f"{name}/" + f for f in zfiles}, "tarball": {f"{name}/" + f for f in tfiles}}
named = {}
for pkg, files in texts.items():
    have = {p[len(name) + 1:] for p in contents[pkg]}
    have |= {d + "/" for p in have for d in [p.rsplit("/", 1)[0]] if "/" in p}
    named[pkg] = set()
    for f, text in files.items():
        for token in PATH.findall(text):
            token = token.rstrip(".,:;")
            if (token in NOT_PATHS or token in MADE_BY_USER or token.startswith("DIR/")
                    or "<version>" in token):  # a package itself, or its folder
                continue
            named[pkg].add(token)
            need(token in have, f"{pkg} {f} names {token}, which the {pkg} lacks")

# The Linux guide's list of files is the tarball's.
readme = texts["tarball"]["README.txt"]
table = re.search(r"^file +what it is\n-+ +-+\n((?:\S.*\n)+)", readme, re.M)
if need(table, "tarball README.txt has no table of the files"):
    listed = {row.split()[0] for row in table.group(1).splitlines()}
    need(listed == set(tfiles), f"tarball README.txt lists {sorted(listed)}, the tarball holds {sorted(tfiles)}")

# The device folder the guide names is the unit's.
install = texts["tarball"]["INSTALL.txt"]
unit = re.search(r"^Environment=NOTCHKEY_DEVICES=%t/(\S+)$", tfiles["notchkey@.service"].decode(), re.M)
if need(unit, "notchkey@.service sets no NOTCHKEY_DEVICES under %t"):
    folder = "$XDG_RUNTIME_DIR/" + unit.group(1).replace("%i", "<device>")
    need(folder in install, f"INSTALL.txt never names the unit's device folder {folder}")
for phrase in ("sudo modprobe uinput", "/etc/modules-load.d/", "udevadm control --reload-rules",
               "udevadm trigger --name-match=uinput", "usermod -aG input,dialout",
               "~/.config/notchkey/notchkey.ini", "~/.config/systemd/user/notchkey@.service",
               "/dev/serial/by-id/", "NOTCHKEY_DEVICES=", "latency_timer"):
    need(phrase in install, f"INSTALL.txt lacks {phrase!r}")

if failures:
    sys.exit("\n".join(failures))
print(f"ok - zip: exactly {len(zfiles)} files under {name}/, exe as built, CRLF text, dated from the last commit")
print(f"ok - tarball: exactly {len(tfiles)} files under {name}/, stripped programs as built, 0:0, fixed modes and dates")
print("ok - notchkey.ini: one source, CRLF sendinput for Windows, LF driver for Linux, each with its system's "
      "comments only, only known keys, no inline comments")
print("ok - guides and settings: each package speaks of its own system only; every port in their examples is COM2, "
      f"as the recipes use ({sum(len(p) for p in ports.values())} files)")
print("ok - guides: zip README.txt, tarball README.txt and INSTALL.txt, each with its title, no Markdown marks left, "
      "no picture; the zip's never speaks of mascon-sim")
for pkg in ("zip", "tarball"):
    print(f"ok - {pkg}: every path its guides name is in it: {', '.join(sorted(named[pkg]))}")
print("ok - tarball README.txt lists exactly the tarball's files; INSTALL.txt names the unit's device folder "
      f"{folder} and every install step")
EOF

unzip -q "$zip" -d "$work/zip"
tar -xzf "$tgz" -C "$work/tgz"
exe=$work/zip/$name/notchkey.exe
pkg=$work/tgz/$name

# --- notchkey.exe -----------------------------------------------------------
"$py" - "$exe" "$version" <<'EOF' || fail "notchkey.exe"
import struct, sys

path, version = sys.argv[1:]
data = open(path, "rb").read()

def need(cond, what):
    if not cond:
        sys.exit(f"{path}: {what}")

need(data[:2] == b"MZ", "no MZ header")
pe = struct.unpack_from("<I", data, 0x3C)[0]
need(data[pe:pe + 4] == b"PE\0\0", "no PE signature")
machine, nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
need(machine == 0x14C, f"machine {machine:#x}, not i386")
opt = pe + 24
magic = struct.unpack_from("<H", data, opt)[0]
need(magic == 0x10B, f"optional header magic {magic:#x}, not PE32")
subsystem = struct.unpack_from("<H", data, opt + 68)[0]
need(subsystem == 2, f"subsystem {subsystem}, not the Windows GUI")
sections = [struct.unpack_from("<8sIIII", data, opt + opt_size + 40 * i) for i in range(nsections)]

def at(rva):
    for _, vsize, va, rawsize, raw in sections:
        if va <= rva < va + max(vsize, rawsize):
            return raw + rva - va
    sys.exit(f"{path}: RVA {rva:#x} is in no section")

def directory(index):
    return struct.unpack_from("<II", data, opt + 96 + 8 * index)

def cstring(off):
    return data[off:data.index(b"\0", off)].decode("ascii")

# Imports: a program users unzip and run must need nothing Windows lacks.
system = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "msvcrt.dll"}
dlls = []
imports = at(directory(1)[0])
while True:
    entry = struct.unpack_from("<IIIII", data, imports)
    if not any(entry):
        break
    dlls.append(cstring(at(entry[3])))
    imports += 20
need(dlls, "imports no DLL at all")
need({d.lower() for d in dlls} <= system, f"imports {sorted(set(dlls) - system)}, not only system DLLs")
print(f"ok - notchkey.exe: PE32, i386, Windows GUI; imports only {', '.join(sorted(dlls))}")

# Resources: type -> name -> language -> bytes.
rsrc = at(directory(2)[0])

def walk(off, depth):
    _, _, _, _, named, ids = struct.unpack_from("<IIHHHH", data, off)
    out = {}
    for i in range(named + ids):
        key, target = struct.unpack_from("<II", data, off + 16 + 8 * i)
        if key & 0x80000000:
            length = struct.unpack_from("<H", data, rsrc + (key & 0x7FFFFFFF))[0]
            start = rsrc + (key & 0x7FFFFFFF) + 2
            key = data[start:start + 2 * length].decode("utf-16-le")
        if target & 0x80000000:
            out[key] = walk(rsrc + (target & 0x7FFFFFFF), depth + 1)
        else:
            rva, size = struct.unpack_from("<II", data, rsrc + target)
            out[key] = data[at(rva):at(rva) + size]
    return out

resources = walk(rsrc, 0)
RT_MENU, RT_GROUP_ICON, RT_VERSION = 4, 14, 16
need(101 in resources.get(RT_GROUP_ICON, {}), "the tray icon group 101 is gone")
need(102 in resources.get(RT_MENU, {}), "the tray menu 102 is gone")
need(list(resources.get(RT_GROUP_ICON, {}).get(101, {})) == [0x411], "the icon group is no longer Japanese")
versions = resources.get(RT_VERSION, {})
need(list(versions) == [1], f"version resources {list(versions)}, expected one with id 1 "
     "(is res/version.rc in the build?)")
(block,) = versions[1].values()

def node(off, end):
    """One VS_VERSIONINFO-style node: (key, value, children)."""
    length, value_len, kind = struct.unpack_from("<HHH", block, off)
    p = off + 6
    q = p
    while block[q:q + 2] != b"\0\0":
        q += 2
    key = block[p:q].decode("utf-16-le")
    p = (q + 2 + 3) & ~3
    value_bytes = value_len * 2 if kind == 1 else value_len
    value = block[p:p + value_bytes]
    if kind == 1:
        value = value.decode("utf-16-le").rstrip("\0")
    p = (p + value_bytes + 3) & ~3
    children = []
    stop = off + length
    while p < stop:
        child = node(p, stop)
        children.append(child)
        p = (p + child[3] + 3) & ~3
    return key, value, children, length

key, fixed, children, _ = node(0, len(block))
need(key == "VS_VERSION_INFO", f"version block named {key!r}")
sig, _, file_ms, file_ls, prod_ms, prod_ls = struct.unpack_from("<IIIIII", fixed, 0)
need(sig == 0xFEEF04BD, f"fixed version info signature {sig:#x}")
major, minor, patch = (int(x) for x in version.split("."))
want = ((major << 16) | minor, patch << 16)
need((file_ms, file_ls) == want, f"FILEVERSION {file_ms:#x} {file_ls:#x}, expected {version}.0")
need((prod_ms, prod_ls) == want, f"PRODUCTVERSION {prod_ms:#x} {prod_ls:#x}, expected {version}.0")
file_type = struct.unpack_from("<I", fixed, 36)[0]
need(file_type == 1, f"FILETYPE {file_type}, not an application")

tables = {c[0]: c for c in children}
need("StringFileInfo" in tables and "VarFileInfo" in tables, f"version blocks {list(tables)}")
string_tables = tables["StringFileInfo"][2]
need(len(string_tables) == 1, f"{len(string_tables)} string tables")
lang_key, _, strings, _ = string_tables[0]
strings = {k: v for k, v, _, _ in strings}
expected = {
    "CompanyName": "notchkey", "FileDescription": "Lever to keys!", "ProductName": "notchkey",
    "FileVersion": version, "ProductVersion": version, "OriginalFilename": "notchkey.exe",
    "InternalName": "notchkey", "LegalCopyright": "notchkey developers",
}
need(strings == expected, f"version strings {strings}")
translation = tables["VarFileInfo"][2][0]
lang, codepage = struct.unpack_from("<HH", translation[1], 0)
need(lang_key.lower() == f"{lang:04x}{codepage:04x}",
     f"string table {lang_key} does not match the translation {lang:04x}{codepage:04x}")
print(f"ok - notchkey.exe: version {version}.0 (file and product), {len(strings)} strings as expected, "
      "icon and menu still there")
EOF
echo "skipped - running notchkey.exe: the Wine desk of tests/e2e does that"

# --- running the Linux programs from the tarball ------------------------------
for f in bin/notchkey bin/mascon-sim; do
  [ -x "$pkg/$f" ] || fail "$f in the tarball is not executable"
done

alive() { kill -0 "$1" 2>/dev/null; }

# Waits up to $3 tenths of a second for file $1 to hold exactly the lines $2.
wait_capture() {
  local file=$1 want=$2 tries=$3 i
  for ((i = 0; i < tries; ++i)); do
    [ "$(cat "$file")" = "$want" ] && return 0
    sleep 0.1
  done
  return 1
}

# Runs the packaged notchkey from the unpacked folder (as the Linux guide tells)
# with settings file $2 against the packaged mascon-sim; $1 names the case, $3
# and $4 are the press and release of the key MCA55 holds (02, 82: key 1).
ride() {
  local label=$1 ini=$2 dev=$work/dev-$1 run=$work/run-$1 sim_pid nk_pid code i
  local press=${3:-02} release=${4:-82}
  mkdir -p "$dev" "$run"
  cp -r "$pkg/." "$run/"
  cp "$ini" "$run/notchkey.ini"
  : >"$dev/keytap.vxd"
  printf 'wait-reset\nMCA55\n' >"$dev/script"
  "$run/bin/mascon-sim" --dir "$dev" --com 2 --hold <"$dev/script" >"$dev/sim.out" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  for ((i = 0; i < 100; ++i)); do
    [ -L "$dev/com2" ] && break
    alive "$sim_pid" || fail "$label: mascon-sim ended at start: $(cat "$dev/sim.out")"
    sleep 0.05
  done
  [ -L "$dev/com2" ] || fail "$label: mascon-sim made no com2 in 5 s"

  (cd "$run" && NOTCHKEY_DEVICES=$dev exec bin/notchkey) </dev/null >"$dev/nk.out" 2>&1 &
  nk_pid=$!
  pids+=("$nk_pid")
  # The RESET answer's lever position 6 is pressed and position 0 let go, then
  # MCA55 presses 1 and lets position 6 go.
  wait_capture "$dev/keytap.vxd" $'52 87\n'"$press d2" 100 ||
    fail "$label: the capture holds '$(cat "$dev/keytap.vxd")', expected '52 87' then '$press d2'; notchkey said: $(cat "$dev/nk.out")"
  kill -TERM "$nk_pid"
  for ((i = 0; i < 100; ++i)); do
    alive "$nk_pid" || break
    sleep 0.05
  done
  alive "$nk_pid" && fail "$label: notchkey still runs 5 s after SIGTERM"
  code=0
  wait "$nk_pid" || code=$?
  [ "$code" -eq 0 ] || fail "$label: notchkey exited with $code after SIGTERM: $(cat "$dev/nk.out")"
  [ "$(cat "$dev/keytap.vxd")" = $'52 87\n'"$press d2"$'\n'"$release" ] ||
    fail "$label: after SIGTERM the capture holds '$(cat "$dev/keytap.vxd")', expected MCA55's key let go ($release)"
  # One line, that the mascon answered; no box. (With no desktop here, also
  # the note that there is no tray for its icon.)
  said=$(grep -v '^notchkey: no tray to show the icon in (' "$dev/nk.out" || true)
  [ "$(wc -l <<<"$said")" -eq 1 ] &&
    grep -q "^notchkey: mascon answered on COM2 (/dev/pts/[0-9]*): lever at position 6 (MCA50); " <<<"$said" ||
    fail "$label: notchkey printed: $(cat "$dev/nk.out")"
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}

ride tarball "$pkg/notchkey.ini"
ok "tarball: bin/notchkey with its notchkey.ini (driver) and bin/mascon-sim: 52 87, 02 d2, then 82 and exit 0 on SIGTERM"
# The zip's CRLF settings, read the way Windows reads them, choose SendInput.
ride zip-settings "$work/zip/$name/notchkey.ini"
ok "zip's notchkey.ini (CRLF, sendinput) read by bin/notchkey: the same keys, exit 0"
# The example key map, taken in as its comment tells, works with the driver.
sed -E 's/^;(\[keys\]|MC[A-Z][0-9]{2}=)/\1/' "$pkg/notchkey.ini" >"$work/keys.ini"
grep -qx 'MCA55=q' "$work/keys.ini" || fail "the example [keys] section has no MCA55=q"
ride tarball-keys "$work/keys.ini" 10 90
ok "tarball: its notchkey.ini with the example [keys] lines taken in: MCA55 holds Q (10 d2, 90)"

# The driver setting shipped for Linux must say so when the keyboard is missing.
mkdir "$work/nodev" "$work/run-nodev"
cp -r "$pkg/." "$work/run-nodev/"
code=0
(cd "$work/run-nodev" && NOTCHKEY_DEVICES=$work/nodev timeout 10 bin/notchkey) \
  </dev/null >"$work/nodev.out" 2>&1 || code=$?
[ "$code" -ne 0 ] && [ "$code" -ne 124 ] || fail "without keytap.vxd notchkey exited with $code"
grep -qF "Lever to keys!: can't open keytap.vxd." "$work/nodev.out" ||
  fail "without keytap.vxd notchkey said: $(cat "$work/nodev.out")"
ok "tarball: without a keyboard device notchkey stops at once with \"can't open keytap.vxd.\" (exit $code)"

# --- INSTALL.txt's libraries against ldd -------------------------------------
"$py" - "$pkg" <<'EOF' || fail "INSTALL.txt's libraries"
import os, re, shutil, subprocess, sys

pkg = sys.argv[1]
failures = []

def need(cond, what):
    if not cond:
        failures.append(what)
    return cond

def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout

# The table under "library  Debian package  needed by", cut where the header's
# columns start.
text = open(os.path.join(pkg, "INSTALL.txt")).read()
m = re.search(r"^(library +)(Debian package +)needed by\n-[- ]*\n((?:\S.*\n)+)", text, re.M)
if not m:
    sys.exit("INSTALL.txt has no table of libraries (library, Debian package, needed by)")
cut1, cut2 = len(m.group(1)), len(m.group(1)) + len(m.group(2))
listed = {}
for row in m.group(3).splitlines():
    listed[row[:cut1].strip()] = (row[cut1:cut2].strip(), {w.strip() for w in row[cut2:].split(",")})

programs = {"notchkey": os.path.join(pkg, "bin/notchkey"), "mascon-sim": os.path.join(pkg, "bin/mascon-sim")}
resolved, needs = {}, {}
for prog, path in programs.items():
    for line in run("ldd", path).splitlines():
        lib = re.match(r"\s*(\S+) => (\S+) \(", line) or re.match(r"\s*(/\S+) \(", line)
        if not lib or lib.group(1).startswith("linux-vdso"):
            continue
        soname = os.path.basename(lib.group(1))
        resolved[soname] = lib.group(2) if lib.lastindex == 2 else lib.group(1)

def needed(path):
    return set(re.findall(r"^\s*NEEDED\s+(\S+)$", run("objdump", "-p", path), re.M))

for prog, path in programs.items():
    needs[prog] = needed(path)
need(set(listed) == set(resolved),
     f"INSTALL.txt names {sorted(set(listed) - set(resolved))} that ldd does not show, "
     f"and lacks {sorted(set(resolved) - set(listed))} that it does")

for soname, (package, users) in listed.items():
    for user in users:
        if user in programs:
            need(soname in needs[user], f"INSTALL.txt: {user} does not need {soname} itself")
        elif need(user in resolved, f"INSTALL.txt: {soname} needed by {user}, which ldd does not show"):
            need(soname in needed(resolved[user]), f"INSTALL.txt: {user} does not need {soname}")
for prog in programs:
    for soname in needs[prog]:
        need(prog in listed.get(soname, ("", set()))[1], f"INSTALL.txt does not say that {prog} needs {soname}")

# The Debian package that holds each library here.
dpkg = shutil.which("dpkg")
owners = 0
for soname, (package, _) in listed.items():
    if not dpkg or soname not in resolved:
        continue
    paths = [resolved[soname], os.path.realpath(resolved[soname])]
    paths += [p[4:] if p.startswith("/usr/") else "/usr" + p for p in paths]
    for p in paths:
        found = subprocess.run([dpkg, "-S", p], capture_output=True, text=True)
        if found.returncode == 0:
            owner = found.stdout.split(":")[0]
            need(package.split(",")[0] == owner, f"INSTALL.txt: {soname} is in {owner}, not {package}")
            owners += 1
            break
    else:
        need(False, f"dpkg knows no package of {resolved[soname]}")

# The newest symbol versions the programs need are the ones named.
def newest(prefix):
    found = []
    for path in programs.values():
        found += re.findall(r"\(" + prefix + r"_([0-9.]+)\)", run("objdump", "-T", path))
    return max(found, key=lambda v: [int(x) for x in v.split(".")], default=None)

glibc, glibcxx = newest("GLIBC"), newest("GLIBCXX")
need(re.search(r"\b" + re.escape(glibc) + r" or newer", listed.get("libc.so.6", ("",))[0]),
     f"INSTALL.txt does not say libc6 {glibc} or newer, the newest the programs need")
if glibcxx:
    need(f"GLIBCXX_{glibcxx}" in listed.get("libstdc++.so.6", ("",))[0],
         f"INSTALL.txt does not name GLIBCXX_{glibcxx}, the newest mascon-sim needs")

if failures:
    sys.exit("\n".join(failures))
print(f"ok - INSTALL.txt names the {len(listed)} libraries ldd shows for bin/notchkey and bin/mascon-sim, "
      f"and what needs each (objdump): {', '.join(sorted(listed))}")
print(f"ok - INSTALL.txt's Debian packages hold those libraries here (dpkg -S, {owners} of {len(listed)}); "
      f"libc6 {glibc} or newer and GLIBCXX_{glibcxx}, the newest the programs need")
EOF

# --- the Linux guide's "Try it" recipe, as the guide has it -------------------
# Taken from the text a user reads: the first block of code under the heading,
# and the block after "It prints:". Run in the unpacked folder, ten times in a
# row; each run must print what the guide says, leave nothing running, and
# change nothing in the folder.
"$py" - "$pkg/README.txt" "$work/recipe" "$work/recipe.out" <<'EOF' || fail "the Linux guide's recipe"
import re, sys

text = open(sys.argv[1]).read()
start = re.search(r"^Try it without hardware\n-+\n", text, re.M)
if not start:
    sys.exit("README.txt has no section 'Try it without hardware'")
section = text[start.end():]

def block(after):
    """The first indented block after position `after`, dedented."""
    m = re.compile(r"((?:^    .*\n)+)", re.M).search(section, after)
    if not m:
        sys.exit("README.txt: no block of code where the recipe should be")
    return m, "".join(line[4:] + "\n" for line in m.group(1).splitlines())

recipe_at, recipe = block(0)
prints = section.find("It prints:", recipe_at.end())
if prints < 0:
    sys.exit("README.txt: the recipe says not what it prints")
_, output = block(prints)
open(sys.argv[2], "w").write(recipe)
open(sys.argv[3], "w").write(output)
EOF
[ -s "$work/recipe" ] && [ -s "$work/recipe.out" ] || fail "no recipe in the Linux guide"
snapshot() { (cd "$pkg" && find . -printf '%p %s %T@ %m\n' | LC_ALL=C sort); }
before=$(snapshot)
mkdir "$work/try"
for run in $(seq 10); do
  # A session of its own, so whatever the recipe starts can be found and ended.
  # Standard error as well: the terminal shows both, as the guide does.
  (cd "$pkg" && TMPDIR=$work/try exec setsid bash -e "$work/recipe") >"$work/try.out" 2>&1 &
  recipe_pid=$!
  pids+=("$recipe_pid")
  for ((i = 0; i < 300; ++i)); do
    alive "$recipe_pid" || break
    sleep 0.1
  done
  if alive "$recipe_pid"; then
    kill -KILL -- "-$recipe_pid" 2>/dev/null || true
    fail "run $run of the recipe still ran after 30 s; it printed: $(cat "$work/try.out")"
  fi
  code=0
  wait "$recipe_pid" || code=$?
  pids=("${pids[@]/#$recipe_pid}")
  left=$(pgrep -s "$recipe_pid" | paste -sd' ' - || true)
  [ -z "$left" ] || kill -KILL -- "-$recipe_pid" 2>/dev/null || true
  [ "$code" -eq 0 ] || fail "run $run of the recipe ended with $code${left:+, leaving $left running}; it printed:
$(cat "$work/try.out")"
  [ -z "$left" ] || fail "run $run of the recipe left processes $left running"
  "$py" - "$work/recipe.out" "$work/try.out" "$work/try" <<'EOF' || fail "run $run of the recipe printed what the guide does not say"
import re, sys

want = open(sys.argv[1]).read().splitlines()
# The note of no tray depends on the desktop, as the guide says.
got = [line for line in open(sys.argv[2]).read().splitlines()
       if not line.startswith("notchkey: no tray to show the icon in (")]
# The guide's example pseudo-terminal and folder are the ones of its writer's
# run; the run's own are one pseudo-terminal, named alike in both lines.
folder = re.compile(r"(/tmp|" + re.escape(sys.argv[3]) + r")/tmp\.\w+/")
pts = {m for line in got for m in re.findall(r"/dev/pts/[0-9]+", line)}
def same(w, g):
    return re.sub(r"/dev/pts/[0-9]+", "PTS", folder.sub("TMP/", w)) == \
        re.sub(r"/dev/pts/[0-9]+", "PTS", folder.sub("TMP/", g))
if len(got) != len(want) or len(pts) != 1 or not all(same(w, g) for w, g in zip(want, got)):
    sys.exit("printed:\n" + "\n".join(got) + "\nthe guide says:\n" + "\n".join(want))
EOF
  [ -z "$(ls -A "$work/try")" ] || fail "run $run of the recipe left $(ls -A "$work/try") behind"
done
[ "$(snapshot)" = "$before" ] || fail "the recipe changed the package's folder:
$(diff <(echo "$before") <(snapshot))"
ok "tarball: the Linux guide's \"Try it\" recipe ($(wc -l <"$work/recipe") lines, taken from README.txt) ran 10 times in a row as written: each printed the link, then $(grep -v '^mascon-sim: ' "$work/recipe.out" | paste -sd'|' - | sed 's/|/, /g'), as the guide says; nothing left running or behind, nothing changed in the folder"

# --- the install guide's recipes ---------------------------------------------
# Every block of shell the Linux guides give, in the guide's order, run as
# written where this machine allows: in a copy of the unpacked folder, with a
# home of its own, and with what needs root, a user session or hardware
# (sudo, systemctl, udevadm, modprobe, usermod, journalctl, the adapter's name)
# played by stand-ins that note what they were asked, sudo's files going to a
# system folder of the check's own. What cannot run even so is reported as
# skipped, with the reason.
"$py" - "$root" "$pkg" "$work/recipes" <<'EOF' || fail "the Linux guides' recipes"
import os, re, shutil, subprocess, sys, textwrap

root, pkg, work = sys.argv[1:]
sys.path.insert(0, os.path.join(root, "packaging"))
import md2txt

failures = []

def need(cond, what):
    if not cond:
        failures.append(what)
    return cond

source = open(os.path.join(root, "docs", "manual.md")).read()
blocks = []
for reader, guide in (("install", "INSTALL.txt"), ("linux", "README.txt")):
    text = open(os.path.join(pkg, guide)).read()
    for m in re.finditer(r"^( *)```sh\n(.*?)^\1```", md2txt.select(source, reader), re.M | re.S):
        block = textwrap.dedent(m.group(2))
        # What the user reads is this block, indented as code.
        shown = textwrap.indent(block, "    ").rstrip("\n")
        need(re.sub(r"(?m)^ +", "", shown) in re.sub(r"(?m)^ +", "", text), f"{guide} does not show {block!r}")
        blocks.append((guide, block))

home, system, stubs = (os.path.join(work, d) for d in ("home", "system", "stubs"))
folder = os.path.join(work, "folder")
log = os.path.join(work, "asked")
for d in (home, system, stubs):
    os.makedirs(d)
shutil.copytree(pkg, folder)
STUB = """#!/bin/bash
echo "${0##*/} $*" >>"$ASKED"
"""
SUDO = STUB + """# Files the command names under / go to the check's system folder.
args=()
for a in "${@:2}"; do [[ $a == /* ]] && a=$SYSTEM$a && mkdir -p "${a%/*}"; args+=("$a"); done
case $1 in
  tee|cp|rm) exec "$1" "${args[@]}" ;;
  *) exec "$@" ;;
esac
"""
LS = """#!/bin/bash
[ "$*" = /dev/serial/by-id/ ] && { [ -n "$ADAPTERS" ] && printf '%s\\n' $ADAPTERS; exit 0; }
exec /bin/ls "$@"
"""
for name, body in [("sudo", SUDO), ("ls", LS)] + [(n, STUB) for n in
                   ("systemctl", "journalctl", "udevadm", "modprobe", "usermod", "gpasswd", "apt")]:
    with open(os.path.join(stubs, name), "w") as f:
        f.write(body)
    os.chmod(os.path.join(stubs, name), 0o755)

def run(block, adapters=""):
    open(log, "w").close()
    env = dict(os.environ, HOME=home, USER="someone", PATH=stubs + ":" + os.environ["PATH"],
               ASKED=log, SYSTEM=system, ADAPTERS=adapters)
    done = subprocess.run(["bash", "-c", block], cwd=folder, env=env, capture_output=True, text=True,
                          timeout=60)
    return done.returncode, done.stdout + done.stderr, open(log).read()

def have(path):
    return os.path.exists(path) or os.path.islink(path)

def same(a, b):
    return have(a) and open(a, "rb").read() == open(b, "rb").read()

ADAPTER = "usb-Maker_Serial_A10K1ABC-if00-port0"
rule = os.path.join(system, "etc/udev/rules.d/99-notchkey-mascon.rules")
ran, skipped = [], []
# By hand comes after steps 1 to 3, as the guide says; removing, last.
blocks.sort(key=lambda b: "rm -f" in b[1])
for guide, block in blocks:
    first = block.splitlines()[0]
    code = subprocess.run(["bash", "-n"], input=block, capture_output=True, text=True)
    need(code.returncode == 0, f"{guide}: {first!r}...: not valid shell: {code.stderr}")
    if block.startswith("dev=$(mktemp -d)"):
        continue  # "Try it", run above
    if ".deb" in first:
        skipped.append("apt install of the .deb: installed with apt on CI alone (below)")
        continue
    if "/usr/" in block or "apt remove" in block:
        # The Debian package's: its files played by the tarball's.
        mapped = block.replace("/usr/share/doc/notchkey/", folder + "/").replace("/usr/lib/udev/rules.d/", folder + "/")
        code, out, asked = run(mapped, ADAPTER)
        want = open(os.path.join(folder, "99-notchkey-mascon.rules")).read().replace("YOUR-ADAPTER", ADAPTER)
        if "apt remove" in block:
            done = "sudo apt remove notchkey" in asked and not have(rule)
        elif "YOUR-ADAPTER" in block:
            done = have(rule) and open(rule).read() == want
        else:
            done = same(os.path.join(home, ".config/notchkey/notchkey.ini"), os.path.join(folder, "notchkey.ini"))
        need(code == 0 and done, f"{guide}: the Debian package's {first!r}...: exit {code}, {out!r}, asked {asked!r}")
        if have(rule):
            os.unlink(rule)  # the tarball's step 4 starts without one
        ran.append("the Debian package's " + ("removal" if "apt remove" in block else first))
        continue
    if first.startswith("sudo apt install "):
        # Installing is the package manager's business; that it knows every
        # package named is this machine's to tell.
        names = first.split()[3:]
        known = shutil.which("apt-cache") and subprocess.run(
            ["apt-cache", "show", "--no-all-versions", *names], capture_output=True).returncode == 0
        if known:
            ran.append("apt install (apt-cache knows each package)")
        else:
            skipped.append("apt install: apt-cache knows not all of its packages here (no package lists?)")
        table = re.findall(r"^\| `[^`]+` \| `([^`]+)`[^|]*\| ([^|]+) \|$", md2txt.select(source, "install"), re.M)
        direct = {p for p, users in table if {u.strip() for u in users.split(",")} & {"notchkey", "mascon-sim"}}
        need(direct and direct <= set(names), f"the apt install line lacks {sorted(direct - set(names))}")
        continue
    if first.startswith("id -nG"):
        skipped.append("the groups' check: it needs a new login into the groups of step 2")
        continue
    if first.startswith("systemctl --user status"):
        skipped.append("the service's status and journal: they need a user session with the adapter plugged in")
        continue
    if first.startswith("mkdir -p ~/.notchkey-devices"):
        # By hand: no adapter and no uinput here, so notchkey says which, and why.
        code, out, _ = run(block)
        need(code == 255 and "Lever to keys!: can't open keytap.vxd.\nnotchkey: " + home +
             "/.notchkey-devices/keytap.vxd -> /dev/uinput: No such file or directory" in out,
             f"by hand, without uinput: exit {code}, {out!r}")
        ran.append("by hand (no uinput here: \"can't open keytap.vxd.\" and its cause)")
        continue
    if first.startswith("ls /dev/serial/by-id/"):
        code, out, _ = run(block, ADAPTER)
        need(code == 0 and out == ADAPTER + "\n", f"ls /dev/serial/by-id/ gave {out!r}")
        ran.append("ls /dev/serial/by-id/ (one adapter played)")
        continue
    if "adapter=$(ls /dev/serial/by-id/)" in block:
        # Two adapters, or none: nothing installed, and the user is told.
        for adapters in ("", ADAPTER + " usb-Other_Serial-if00-port0"):
            code, out, asked = run(block, adapters)
            need(not have(rule) and "plug in the mascon's adapter" in out,
                 f"step 4 with adapters {adapters!r}: exit {code}, {out!r}, rule installed: {have(rule)}")
        code, out, asked = run(block, ADAPTER)
        want = open(os.path.join(folder, "99-notchkey-mascon.rules")).read().replace("YOUR-ADAPTER", ADAPTER)
        need(code == 0 and have(rule) and open(rule).read() == want,
             f"step 4 with one adapter: exit {code}, {out!r}; the rule {'differs' if have(rule) else 'is missing'}")
        need(same(os.path.join(home, ".config/systemd/user/notchkey@.service"),
                  os.path.join(folder, "notchkey@.service")), "step 4 did not install the service")
        need("systemctl --user daemon-reload" in asked and "udevadm control --reload-rules" in asked,
             f"step 4 asked {asked!r}")
        ran.append("step 4 (the rule for the one adapter; none for two or none)")
        continue
    code, out, asked = run(block)
    need(code == 0, f"{guide}: {first!r}... ended with {code}: {out}")
    ran.append("the removal" if "rm -f" in block else first)
    if first.startswith("sudo modprobe uinput"):
        need(same(os.path.join(system, "etc/udev/rules.d/99-notchkey-uinput.rules"),
                  os.path.join(folder, "99-notchkey-uinput.rules")), "step 1 did not install the uinput rule")
        conf = os.path.join(system, "etc/modules-load.d/uinput.conf")
        need(have(conf) and open(conf).read() == "uinput\n", "step 1 did not ask for uinput at every start")
    elif first.startswith("sudo usermod"):
        need(asked == "sudo usermod -aG input,dialout someone\nusermod -aG input,dialout someone\n",
             f"step 2 asked {asked!r}")
    elif first.startswith("install -D -m 755 bin/notchkey"):
        need(same(os.path.join(home, ".local/bin/notchkey"), os.path.join(folder, "bin/notchkey")) and
             same(os.path.join(home, ".config/notchkey/notchkey.ini"), os.path.join(folder, "notchkey.ini")),
             "step 3 did not install the program and its settings")
    elif "rm -f" in block:
        left = [p for p in (os.path.join(home, ".local/bin/notchkey"),
                            os.path.join(home, ".config/systemd/user/notchkey@.service"), rule,
                            os.path.join(system, "etc/udev/rules.d/99-notchkey-uinput.rules"),
                            os.path.join(system, "etc/modules-load.d/uinput.conf")) if have(p)]
        need(not left, f"the removal left {left}")
    elif first.startswith("systemctl --user stop"):
        need(asked == "systemctl --user stop notchkey@*\n", f"stopping asked {asked!r}")

if failures:
    sys.exit("\n".join(failures))
print(f"ok - the Linux guides' {len(blocks)} blocks of shell are valid; run as written with stand-ins for root, "
      f"the user session and the adapter: {'; '.join(ran)}")
for why in skipped:
    print(f"skipped - {why}")
EOF

# --- the Windows installer ----------------------------------------------------
# On the Wine desk (tests/check_installer.py). The shipped installer is 32-bit;
# a kernel that runs no 32-bit code gets the same installer made for x86-64,
# with notchkey.exe built for it, under wine64, as the Wine desk of tests/e2e.
i686-w64-mingw32-objdump -p "$setup" >"$work/setup.pe"
grep -q 'file format pei-i386$' "$work/setup.pe" && grep -q '^Subsystem.*(Windows GUI)$' "$work/setup.pe" ||
  fail "$setup is not a 32-bit Windows GUI program: $(grep -e 'file format' -e '^Subsystem' "$work/setup.pe")"
ok "installer: $setup is a 32-bit Windows GUI program"
installer=()
if "$py" tests/e2e/i386.py >/dev/null; then
  scripts/deps.sh wine=wine /usr/lib/wine/wine=wine32:i386 Xvfb=xvfb >/dev/null 2>&1 &&
    installer=("$root/$setup" wine)
elif scripts/deps.sh wine=wine /usr/lib/wine/wine64=wine64 x86_64-w64-mingw32-g++-win32=g++-mingw-w64-x86-64-win32 \
  Xvfb=xvfb >/dev/null 2>&1; then
  [ -f build-win64/CMakeCache.txt ] || cmake -S . -B build-win64 -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  cmake --build build-win64 --target notchkey >/dev/null
  mkdir "$work/win64"
  unzip -q -j "$zip" -d "$work/win64"
  cp build-win64/notchkey.exe "$work/win64/"
  packaging/make_installer.sh "$version" "$work/win64" build-win64/notchkey.ico "$work/setup64.exe" amd64-unicode ||
    fail "no installer for x86-64"
  echo "skipped - the shipped 32-bit installer on the Wine desk: this kernel runs no 32-bit programs;" \
    "the same installer made for x86-64 runs instead, under wine64"
  installer=("$work/setup64.exe" /usr/lib/wine/wine64)
fi
if [ ${#installer[@]} -eq 2 ]; then
  "$py" tests/check_installer.py "${installer[0]}" "$version" "${installer[1]}" || fail "the installer on the Wine desk"
elif [ "${CI:-}" = true ]; then
  fail "the installer's Wine desk is needed on CI: Wine or Xvfb would not install"
else
  echo "skipped - the installer on the Wine desk: no Wine or Xvfb (scripts/deps.sh installs them as root)"
fi

# --- the Debian package -------------------------------------------------------
scripts/deps.sh lintian=lintian >/dev/null 2>&1 || fail "lintian is missing (scripts/deps.sh installs it as root)"
# Every warning lintian still has is explained in the package's overrides.
lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1 || fail "lintian on $deb:
$(cat "$work/lintian.out")"
ok "deb: lintian reports no error and no warning ($(grep -vc -e '^#' -e '^$' packaging/deb/notchkey.lintian-overrides) overrides, each explained)"
dpkg-deb -c "$deb" | tee "$work/deb.list" | sed 's/^/    /'
mkdir "$work/deb"
dpkg-deb -x "$deb" "$work/deb"
# Each of its files, and the tarball's it must equal (- for one of its own).
files=0
while read -r path theirs; do
  files=$((files + 1))
  [ -f "$work/deb/$path" ] || fail "the .deb lacks /$path"
  [ "$theirs" = - ] || cmp -s "$work/deb/$path" "$pkg/$theirs" || fail "the .deb's /$path is not the tarball's $theirs"
done <<'EOF'
usr/bin/notchkey bin/notchkey
usr/bin/mascon-sim bin/mascon-sim
usr/lib/udev/rules.d/99-notchkey-uinput.rules 99-notchkey-uinput.rules
usr/lib/udev/rules.d/99-notchkey-mascon.rules 99-notchkey-mascon.rules
usr/lib/systemd/user/notchkey@.service -
usr/lib/modules-load.d/notchkey.conf -
usr/share/doc/notchkey/notchkey.ini notchkey.ini
usr/share/doc/notchkey/README.txt README.txt
usr/share/doc/notchkey/INSTALL.txt INSTALL.txt
usr/share/doc/notchkey/copyright -
usr/share/doc/notchkey/changelog.gz -
usr/share/lintian/overrides/notchkey -
EOF
[ "$(find "$work/deb" -type f | wc -l)" -eq "$files" ] || fail "the .deb holds more than its $files files"
grep -qx 'ExecStart=/usr/bin/notchkey' "$work/deb/usr/lib/systemd/user/notchkey@.service" ||
  fail "the .deb's user unit does not start /usr/bin/notchkey"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libevdev2* && $depends == *libsystemd0* && $depends == *libncurses6* ]] ||
  fail "the .deb's Depends, $depends, lacks the libraries ldd shows"
ok "deb: exactly its $files files (listed above), the tarball's programs, rules and guides, the unit starting /usr/bin/notchkey; Depends: $depends"

# Installing for real is for a throw-away machine.
if [ "${CI:-}" = true ]; then
  [ "$(id -u)" -eq 0 ] || fail "on CI the .deb is installed with apt: run as root"
  apt-get install -y -q "$root/$deb" >"$work/apt.out" 2>&1 || fail "apt-get install $deb:
$(cat "$work/apt.out")"
  [ "$(command -v notchkey)" = /usr/bin/notchkey ] || fail "after apt-get install, notchkey on PATH is '$(command -v notchkey)'"
  mkdir "$work/apt-run" "$work/apt-dev"
  code=0
  (cd "$work/apt-run" && NOTCHKEY_DEVICES=$work/apt-dev timeout 10 notchkey) </dev/null >"$work/apt-run.out" 2>&1 || code=$?
  grep -qF "Lever to keys!: can't open keytap.vxd." "$work/apt-run.out" && [ "$code" -eq 255 ] ||
    fail "the installed notchkey, without a keyboard device: exit $code, $(cat "$work/apt-run.out")"
  apt-get remove -y -q notchkey >"$work/apt.out" 2>&1 || fail "apt-get remove notchkey: $(cat "$work/apt.out")"
  hash -r
  left=$(ls /usr/bin/notchkey /usr/bin/mascon-sim /usr/lib/udev/rules.d/99-notchkey-* 2>/dev/null || true)
  [ -z "$left" ] && ! command -v notchkey >/dev/null || fail "apt-get remove left ${left:-notchkey on PATH}"
  ok "deb: installed with apt, notchkey on PATH ran (\"can't open keytap.vxd.\", exit 255), removed with apt, nothing left"
else
  apt-get install -s -q "$root/$deb" >"$work/apt.out" 2>&1 || fail "apt would not install $deb:
$(cat "$work/apt.out")"
  ok "deb: apt would install it here, with what it depends on (apt-get install -s)"
  echo "skipped - installing the .deb with apt: only on CI (CI=true, as root), a throw-away machine"
fi

echo "check_packages: all checks passed"
