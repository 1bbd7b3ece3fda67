#!/usr/bin/python3
"""Makes the sample settings files and the manual pages from dist/settings.md.

    make_settings.py TABLE linux|windows OUTDIR VERSION [MAN_TEMPLATE...]

Writes OUTDIR/server/morvane.ini and OUTDIR/client/morvane.ini (CRLF line
ends for Windows), and for each template NAME.in the page OUTDIR/NAME with
@SETTINGS@ and @VERSION@ filled in.
"""
import os
import re
import sys
import textwrap

PROGRAMS = {"SERVER": "server", "CLIENT": "client"}
LINUX_ONLY = "Linux only: "


def read_table(path):
    rows = []
    with open(path, encoding="utf-8") as table:
        for line in table:
            cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
            if line.startswith("|") and cells[0] in PROGRAMS:
                rows.append(dict(zip(("section", "key", "default", "meaning"), cells)))
    return rows


def plain_meaning(meaning, platform):
    """The meaning without the README's markup and cross-references."""
    meaning = re.sub(r" \(see (?:[^()]|\([^)]*\))*\)", "", meaning)
    if platform == "windows":
        meaning = re.sub(r" \(on Linux [^)]*\)", "", meaning)
    return meaning[len(LINUX_ONLY):] if meaning.startswith(LINUX_ONLY) else meaning


def sample(rows, section, platform):
    program = "morvane-" + PROGRAMS[section]
    lines = [f"; Settings of {program}: it reads morvane.ini in its current directory.",
             "; Every key is shown with its default; a missing key means the same.",
             f"[{section}]"]
    for row in rows:
        if row["section"] != section or (platform == "windows" and row["meaning"].startswith(LINUX_ONLY)):
            continue
        meaning = plain_meaning(row["meaning"], platform).replace("`", "")
        lines.append("")
        lines += textwrap.wrap(meaning, 76, initial_indent="; ", subsequent_indent="; ")
        lines.append(f"{row['key']}={'' if row['default'] == 'empty' else row['default']}")
    return "\n".join(lines) + "\n"


def man_settings(rows, section):
    out = []
    for row in rows:
        if row["section"] != section:
            continue
        meaning = re.sub(r"`([^`]*)`", r"\\fB\1\\fR", plain_meaning(row["meaning"], "linux"))
        meaning = meaning.replace("-", "\\-")
        out += [".TP", f".B {row['key']}", f"Default {row['default']}: {meaning}."]
    return "\n".join(out)


def main(table, platform, outdir, version, *templates):
    rows = read_table(table)
    newline = "\r\n" if platform == "windows" else "\n"
    for section, folder in PROGRAMS.items():
        os.makedirs(os.path.join(outdir, folder), exist_ok=True)
        with open(os.path.join(outdir, folder, "morvane.ini"), "w", newline=newline) as out:
            out.write(sample(rows, section, platform))
    for template in templates:
        section = "SERVER" if "server" in os.path.basename(template) else "CLIENT"
        with open(template, encoding="utf-8") as source:
            page = source.read().replace("@VERSION@", version).replace("@SETTINGS@", man_settings(rows, section))
        with open(os.path.join(outdir, os.path.basename(template)[:-3]), "w", encoding="utf-8") as out:
            out.write(page)


if __name__ == "__main__":
    main(*sys.argv[1:])
