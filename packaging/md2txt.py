#!/usr/bin/env python3
"""Turns the user manual (docs/manual.md) into the plain-text guides the packages carry.

docs/manual.md is the one source: each guide takes the parts meant for its
readers, named by these words:
  readme   the repository's page itself
  windows  the zip's README.txt
  linux    the tarball's README.txt
  install  the tarball's INSTALL.txt
Unmarked text is for readme, windows and linux. A part for other readers
sits between two lines of their own:
  <!-- only: readme windows -->   ...   <!-- end -->
shown on the repository's page as well (so readme must be among the names),
or, for the packages alone and hidden on the page, inside a comment:
  <!-- only: linux   ...   -->
Parts do not nest; every other comment is left out of the guides.

The text is changed only where raw Markdown reads badly: headings (down to
the third level) get underlined, tables get aligned columns (too wide ones
become a small block per row), code blocks are indented instead of fenced,
inline code and emphasis lose their markers, links show their address in
brackets.
Typographic punctuation becomes ASCII, since older Notepads read no UTF-8;
whatever non-ASCII is left gets a byte-order mark so newer ones still do.

usage: md2txt.py [--for READER] [--title TITLE] [--lf] IN.md OUT.txt
  --for    take only the parts for this reader (default: all the text)
  --title  the first heading instead of the source's own
  --lf     LF line endings and no byte-order mark (default: CRLF, for Windows)
"""
import re
import sys
import textwrap

ASCII_FOR = {
    "\u2014": "--", "\u2013": "-", "\u2018": "'", "\u2019": "'", "\u201c": '"',
    "\u201d": '"', "\u2026": "...", "\u2192": "->", "\u2190": "<-", "\u00a0": " ",
    "\u2022": "*", "\u00d7": "x",
}


def code_text(code, quote):
    code = code.strip() if code.strip() else code
    # Quotes only where the span's own ends would blur into the sentence.
    if quote and (re.search(r"\s", code) or code[-1] in ".,:;!?"):
        return f"'{code}'" if '"' in code else f'"{code}"'
    return code


def code_spans(text):
    """[(is_code, text), ...]: a run of backticks opens a span that only a run
    of the same length closes; one never closed is plain text."""
    out, plain, i = [], "", 0
    while i < len(text):
        run = re.match(r"`+", text[i:])
        if not run:
            plain += text[i]
            i += 1
            continue
        tick = run.group(0)
        close = re.compile(r"(?<!`)" + tick + r"(?!`)")
        end = close.search(text, i + len(tick))
        if not end:
            plain += tick
            i += len(tick)
            continue
        out += [(False, plain), (True, text[i + len(tick):end.start()])]
        plain = ""
        i = end.end()
    return out + [(False, plain)]


def inline(text, quote=True):
    # Code spans first, so markers inside them survive the emphasis rules.
    out = []
    for is_code, part in code_spans(text):
        if is_code:
            out.append(code_text(part, quote))
            continue
        part = re.sub(r"!\[([^\]]*)\]\([^)]*\)", r"[picture: \1]", part)
        part = re.sub(r"\[([^\]]*)\]\(([^)\s]+)[^)]*\)",
                      lambda m: m.group(1) if m.group(1) == m.group(2) else f"{m.group(1)} ({m.group(2)})",
                      part)
        part = re.sub(r"<(https?://[^>]+)>", r"\1", part)
        part = re.sub(r"(\*\*|__)(?=\S)(.+?)(?<=\S)\1", r"\2", part, flags=re.S)
        part = re.sub(r"(?<![\w*])\*(?=[^\s*])(.+?)(?<=\S)\*(?![\w*])", r"\1", part, flags=re.S)
        part = re.sub(r"(?<!\w)_(?=\S)(.+?)(?<=\S)_(?!\w)", r"\1", part, flags=re.S)
        part = re.sub(r"\\([\\`*_{}\[\]()#+\-.!|<>])", r"\1", part)
        out.append(part)
    return "".join(out)


WIDE = 90
BLOCK_WIDTH = 78


def table_cells(line):
    # As GitHub reads a row: every unescaped | ends a cell, inside code too.
    line = line.strip()
    if line.startswith("|"):
        line = line[1:]
    if line.endswith("|") and not line.endswith("\\|"):
        line = line[:-1]
    cells = re.split(r"(?<!\\)\|", line)
    return [inline(c.strip().replace("\\|", "|"), quote=False) for c in cells]


def is_rule_row(line):
    return re.fullmatch(r"\s*\|?\s*:?-+:?\s*(\|\s*:?-+:?\s*)*\|?\s*", line) is not None


def render_table(rows):
    width = max(len(r) for r in rows)
    rows = [r + [""] * (width - len(r)) for r in rows]
    sizes = [max(len(r[c]) for r in rows) for c in range(width)]
    # Empty columns only spaced tables out in Markdown.
    keep = [c for c in range(width) if sizes[c] > 0]

    def line(cells):
        return "  ".join(cells[c].ljust(sizes[c]) for c in keep).rstrip()

    if sum(sizes[c] + 2 for c in keep) <= WIDE:
        out = [line(rows[0]), "  ".join("-" * sizes[c] for c in keep)]
        return out + [line(r) for r in rows[1:]]
    # Too wide for a window: each row becomes a small block instead.
    out = []
    for r in rows[1:]:
        out.append(r[keep[0]])
        for c in keep[1:]:
            if r[c]:
                out += textwrap.wrap(f"{rows[0][c]}: {r[c]}", BLOCK_WIDTH, initial_indent="    ",
                                     subsequent_indent="        ", break_long_words=False,
                                     break_on_hyphens=False)
        out.append("")
    return out[:-1]


def convert(text):
    # Before anything is measured: "--" is wider than a dash.
    for fancy, plain in ASCII_FOR.items():
        text = text.replace(fancy, plain)
    lines = text.replace("\r\n", "\n").split("\n")
    out = []
    para = []

    def flush():
        # A paragraph at a time, so emphasis and code may span lines.
        if para:
            out.extend(l.rstrip() for l in inline("\n".join(para)).split("\n"))
            para.clear()

    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            flush()
            # A part left out leaves its blank lines behind: one is enough.
            if out and out[-1]:
                out.append("")
            i += 1
            continue
        if not (re.match(r"\s*(```|~~~)", line) or re.match(r"#{1,6}\s", line)
                or (line.lstrip().startswith("|") and i + 1 < len(lines) and is_rule_row(lines[i + 1]))
                or line.lstrip().startswith("<!--")):
            para.append(line)
            i += 1
            continue
        flush()
        fence = re.match(r"\s*(```+|~~~+)", line)
        if fence:
            # Set apart by blank lines, as no font sets it apart here.
            if out and out[-1]:
                out.append("")
            i += 1
            while i < len(lines) and not lines[i].strip().startswith(fence.group(1)):
                out.append(("    " + lines[i]).rstrip())
                i += 1
            i += 1
            if i < len(lines) and lines[i].strip():
                out.append("")
            continue
        heading = re.match(r"(#{1,6})\s+(.*?)\s*#*\s*$", line)
        if heading:
            title = inline(heading.group(2), quote=False)
            level = len(heading.group(1))
            if level <= 3:
                out += [title, "=-~"[level - 1] * len(title)]
            else:
                out.append(title)
            i += 1
            continue
        if line.lstrip().startswith("|") and i + 1 < len(lines) and is_rule_row(lines[i + 1]):
            rows = [table_cells(line)]
            i += 2
            while i < len(lines) and lines[i].lstrip().startswith("|"):
                rows.append(table_cells(lines[i]))
                i += 1
            out += render_table(rows)
            continue
        # An HTML comment, over as many lines as it takes: left out.
        while i < len(lines) and "-->" not in lines[i]:
            i += 1
        i += 1
    flush()
    while out and not out[0]:
        out.pop(0)
    while out and not out[-1]:
        out.pop()
    return "\n".join(out) + "\n"


READERS = ("readme", "windows", "linux", "install")
UNMARKED = {"readme", "windows", "linux"}


class SourceError(Exception):
    pass


def select(text, reader):
    """The lines of the Markdown source that are meant for this reader."""
    out = []
    part = None  # (names, hidden, line number) of the part we are in
    for n, line in enumerate(text.replace("\r\n", "\n").split("\n"), 1):
        mark = re.fullmatch(r"\s*<!--\s*only:([^>]*?)\s*(-->)?\s*", line)
        if mark:
            if part:
                raise SourceError(f"line {n}: a part inside the part of line {part[2]}")
            names, hidden = set(mark.group(1).split()), not mark.group(2)
            unknown = names - set(READERS)
            if unknown or not names:
                raise SourceError(f"line {n}: readers {sorted(unknown) or 'none'}; "
                                  f"known: {', '.join(READERS)}")
            if hidden and "readme" in names:
                raise SourceError(f"line {n}: a part hidden on the page cannot be for readme")
            if not hidden and "readme" not in names:
                raise SourceError(f"line {n}: a part shown on the page must name readme "
                                  "(or be hidden in a comment)")
            part = (names, hidden, n)
            out.append("")  # on the page, a comment ends the paragraph before it
            continue
        if re.fullmatch(r"\s*<!--\s*end\s*-->\s*", line):
            if not part or part[1]:
                raise SourceError(f"line {n}: an end without a shown part to end")
            part = None
            out.append("")
            continue
        if part and part[1] and line.strip() == "-->":
            part = None
            out.append("")
            continue
        # Blank lines are everyone's: a part left out must not glue its
        # neighbours together.
        if not line.strip() or reader in (part[0] if part else UNMARKED):
            out.append(line)
    if part:
        raise SourceError(f"line {part[2]}: the part is never ended")
    return "\n".join(out)


def retitle(text, title):
    """The source's first-level heading (outside code) gives way to the title."""
    out, fence = [f"# {title}", ""], None
    for line in text.split("\n"):
        mark = re.match(r"\s*(```+|~~~+)", line)
        if mark and not fence:
            fence = mark.group(1)
        elif fence and line.strip().startswith(fence):
            fence = None
        elif not fence and re.match(r"#\s", line):
            continue
        out.append(line)
    return "\n".join(out)


def main(argv):
    args, reader, title, lf = argv[1:], None, None, False
    while args and args[0].startswith("--"):
        opt = args.pop(0)
        if opt == "--lf":
            lf = True
        elif opt in ("--for", "--title") and args:
            value = args.pop(0)
            if opt == "--for":
                reader = value
            else:
                title = value
        else:
            args = []
    if len(args) != 2 or (reader is not None and reader not in READERS):
        sys.exit("usage: md2txt.py [--for readme|windows|linux|install] [--title TITLE] [--lf] "
                 "IN.md OUT.txt")
    try:
        with open(args[0], encoding="utf-8") as f:
            source = f.read()
    except (OSError, UnicodeDecodeError) as e:
        sys.exit(f"md2txt: cannot read {args[0]}: {e}")
    try:
        if reader:
            source = select(source, reader)
    except SourceError as e:
        sys.exit(f"md2txt: {args[0]}: {e}")
    if title:
        source = retitle(source, title)
    text = convert(source)
    if lf:
        data = text.encode("utf-8")
    else:
        data = text.replace("\n", "\r\n").encode("utf-8")
        if not text.isascii():
            data = b"\xef\xbb\xbf" + data
    with open(args[1], "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv)
