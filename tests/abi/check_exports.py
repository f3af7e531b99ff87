#!/usr/bin/env python3
"""Checks the dynamic symbol tables of the two shared objects against the public headers.

- libveltra_vibemesh exports exactly the functions and variables its public headers declare
  (veltra_vibemesh.h and plx/*.h), nothing else;
- its undefined symbols are the host imports of veltra_manager.h or versioned symbols of the
  C library, the thread library and the compiler runtime;
- it needs no C++ runtime and names the manager in DT_NEEDED; both SONAMEs equal the file names.
"""
import argparse, os, re, subprocess, sys

DECL = re.compile(r'^\s*(?:extern\s+)?(?:const\s+)?[A-Za-z_][\w\s\*]*?[\s\*]\(?\*?\s*([A-Za-z_]\w*)\s*(\(|\[|;)', re.M)


def declared(paths):
    """Names of the functions and variables declared at file scope in `paths`."""
    names = set()
    for path in paths:
        text = open(path).read()
        text = re.sub(r'/\*.*?\*/', ' ', text, flags=re.S)
        text = re.sub(r'^\s*#.*$', ' ', text, flags=re.M)
        text = text.replace('extern "C" {', ' ')
        # keep only file-scope text: struct bodies become a statement break
        depth, top = 0, []
        for ch in text:
            if ch == '{':
                depth += 1
            elif ch == '}':
                depth = max(depth - 1, 0)
                if depth == 0:
                    top.append(' ')
            elif depth == 0:
                top.append(ch)
        for stmt in ''.join(top).split(';'):
            stmt = ' '.join(stmt.split())
            if not stmt or stmt.startswith('typedef') or stmt.startswith('struct'):
                continue
            m = re.search(r'([A-Za-z_]\w*)\s*\(', stmt)
            if m and '(*' not in stmt[:m.end() + 1]:
                names.add(m.group(1))
                continue
            m = re.search(r'([A-Za-z_]\w*)\s*(\[[^\]]*\])?\s*$', stmt)
            if m and stmt.startswith('extern'):
                names.add(m.group(1))
    return names


def nm(lib, *flags):
    out = subprocess.run(['nm', '-D', *flags, lib], check=True, capture_output=True, text=True).stdout
    syms = []
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2:
            syms.append((parts[-2], parts[-1]))
    return syms


def dynamic(lib):
    return subprocess.run(['readelf', '-d', lib], check=True, capture_output=True, text=True).stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--library', required=True)
    ap.add_argument('--manager', required=True)
    ap.add_argument('--include', required=True)
    a = ap.parse_args()
    inc = a.include
    module_headers = [os.path.join(inc, 'veltra_vibemesh.h')] + [
        os.path.join(inc, 'plx', f) for f in sorted(os.listdir(os.path.join(inc, 'plx')))]
    expected = declared(module_headers)
    host = declared([os.path.join(inc, 'veltra_manager.h')])
    failures = []

    sanitizer = re.compile(r'^(__asan|__odr_asan|__ubsan|__tsan|__sanitizer|__gcov|__llvm|__lsan|_ITM_|__gmon_start__)')
    # A sanitized build links the sanitizer runtime, which interposes the C library: its
    # imports are then unversioned and only the plain build can judge them.
    needed_now = re.findall(r'\(NEEDED\).*\[(.*?)\]', dynamic(a.library))
    sanitized = any(re.match(r'lib(a|t|ub|l)san', n) for n in needed_now)
    exported = {n.split('@')[0] for t, n in nm(a.library, '--defined-only') if t not in ('U', 'w', 'v')}
    exported = {n for n in exported if not sanitizer.match(n) and n not in ('_init', '_fini')}
    extra = sorted(exported - expected)
    missing = sorted(expected - exported)
    if extra:
        failures.append('exported but not declared: ' + ', '.join(extra))
    if missing:
        failures.append('declared but not exported: ' + ', '.join(missing))

    for t, n in ([] if sanitized else nm(a.library, '--undefined-only')):
        base = n.split('@')[0]
        if base in host or '@GLIBC' in n or '@GCC' in n or sanitizer.match(base) or base in ('__cxa_finalize',):
            continue
        failures.append('unexpected import: ' + n)

    d = dynamic(a.library)
    needed = re.findall(r'\(NEEDED\).*\[(.*?)\]', d)
    if 'libveltra_manager.3.05.4.so' not in needed:
        failures.append('DT_NEEDED lacks the manager: %s' % needed)
    for lib in needed:
        if lib.startswith('libstdc++') or lib.startswith('libm.'):
            failures.append('needs %s' % lib)
    for path in (a.library, a.manager):
        soname = re.findall(r'\(SONAME\).*\[(.*?)\]', dynamic(path))
        if soname != [os.path.basename(path)]:
            failures.append('%s: SONAME %s' % (os.path.basename(path), soname))

    for f in failures:
        print('FAIL:', f)
    print('%d symbols exported, %d expected, %d failures' % (len(exported), len(expected), len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
