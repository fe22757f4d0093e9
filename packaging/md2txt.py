#!/usr/bin/env python3
"""Turns the Markdown guide into plain text for Notepad: README.md -> README.txt.

Only what reads badly as raw text is changed: headings get underlined, tables
get aligned columns, code blocks are indented instead of fenced, inline code
and emphasis lose their markers, links show their address in brackets.
Typographic punctuation becomes ASCII, since older Notepads read no UTF-8;
whatever non-ASCII is left gets a byte-order mark so newer ones still do.

usage: md2txt.py IN.md OUT.txt   (OUT gets CRLF line endings)
"""
import re
import sys

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


def inline(text, quote=True):
    # Code spans first, so markers inside them survive the emphasis rules.
    parts = re.split(r"(`+)(.+?)\1", text, flags=re.S)
    out = []
    for i, part in enumerate(parts):
        kind = i % 3
        if kind == 1:
            continue
        if kind == 2:
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


def table_cells(line):
    line = line.strip()
    if line.startswith("|"):
        line = line[1:]
    if line.endswith("|") and not line.endswith("\\|"):
        line = line[:-1]
    cells, cell, in_code = [], "", False
    for i, ch in enumerate(line):
        if ch == "`":
            in_code = not in_code
        if ch == "|" and not in_code and (i == 0 or line[i - 1] != "\\"):
            cells.append(cell)
            cell = ""
        else:
            cell += ch
    cells.append(cell)
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
        out += [f"    {rows[0][c]}: {r[c]}" for c in keep[1:] if r[c]]
        out.append("")
    return out[:-1]


def convert(text):
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
            out.append("")
            i += 1
            continue
        if not (re.match(r"\s*(```|~~~)", line) or re.match(r"#{1,6}\s", line)
                or (line.lstrip().startswith("|") and i + 1 < len(lines) and is_rule_row(lines[i + 1]))
                or re.fullmatch(r"\s*<!--.*-->\s*", line)):
            para.append(line)
            i += 1
            continue
        flush()
        fence = re.match(r"\s*(```+|~~~+)", line)
        if fence:
            i += 1
            while i < len(lines) and not lines[i].strip().startswith(fence.group(1)):
                out.append(("    " + lines[i]).rstrip())
                i += 1
            i += 1
            continue
        heading = re.match(r"(#{1,6})\s+(.*?)\s*#*\s*$", line)
        if heading:
            title = inline(heading.group(2), quote=False)
            level = len(heading.group(1))
            if level <= 2:
                out += [title, ("=" if level == 1 else "-") * len(title)]
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
        i += 1  # an HTML comment: left out
    flush()
    while out and not out[-1]:
        out.pop()
    text = "\n".join(out) + "\n"
    for fancy, plain in ASCII_FOR.items():
        text = text.replace(fancy, plain)
    return text


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: md2txt.py IN.md OUT.txt")
    try:
        with open(argv[1], encoding="utf-8") as f:
            text = convert(f.read())
    except (OSError, UnicodeDecodeError) as e:
        sys.exit(f"md2txt: cannot read {argv[1]}: {e}")
    data = text.replace("\n", "\r\n").encode("utf-8")
    if not text.isascii():
        data = b"\xef\xbb\xbf" + data
    with open(argv[2], "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv)
