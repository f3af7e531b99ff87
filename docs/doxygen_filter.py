#!/usr/bin/env python3
"""Doxygen input filter for the public headers: reads their plain C comments as documentation
without changing the headers themselves. Line numbers stay as they are.

  - the banner comment that opens a file describes the file (@file);
  - a comment on its own line(s) documents the declaration below it;
  - a comment after a declaration, field or macro on the same line documents that line, and a
    one-line comment above such lines stays a plain heading;
  - section rules ("/* ---- vector ---- */") stay plain comments."""
import re
import sys

LEADING = re.compile(r'^(\s*)/\*(?![*!])(?!\s*-{3,})')
TRAILING = re.compile(r'^(\S.*?[;,)]|\s+\S.*?[;,]|#define\s.*?)(\s*)/\*(?![*!<])')


def convert(lines):
    out = []
    banner_done = False  # the file's opening comment has been seen
    in_banner = False
    in_comment = False
    for i, line in enumerate(lines):
        if in_comment:
            if in_banner and '*/' in line:
                # @file may stand anywhere in the block; at its end it keeps one output line
                # per input line and takes no file name.
                line = line.replace('*/', '@file */', 1)
            out.append(line)
            in_comment = '*/' not in line
            in_banner = in_banner and in_comment
            continue
        m = LEADING.match(line)
        nxt = lines[i + 1] if i + 1 < len(lines) else ''
        if m and banner_done and '*/' in line and TRAILING.match(nxt):
            # A one-line heading over lines that carry their own comments ("Codes (package
            # 0xB0)." above the codes) documents none of them.
            m = None
            in_comment = False
        if m:
            in_banner = not banner_done
            banner_done = True
            line = m.group(1) + '/**' + line[m.end():]
            in_comment = '*/' not in line
            if in_banner and not in_comment:
                line = line.replace('*/', '@file */', 1)
                in_banner = False
        elif line.lstrip().startswith('/*'):
            banner_done = True
            in_comment = '*/' not in line
        else:
            t = TRAILING.match(line)
            if t:
                line = t.group(1) + t.group(2) + '/**<' + line[t.end():]
            if line.strip() and not line.startswith(('#ifndef', '#define')):
                banner_done = True
        out.append(line)
    return out


if __name__ == '__main__':
    with open(sys.argv[1], encoding='utf-8') as f:
        sys.stdout.write(''.join(convert(f.readlines())))
