#!/usr/bin/env python3
"""Runs the real vibemesh binary: grid and recommend on a generated catalog, --json output,
--help on every command, and bad arguments (non-zero exit with a message)."""
import json, os, subprocess, sys, tempfile

BIN = sys.argv[1]
failures = []


def run(*args, env=None):
    p = subprocess.run([BIN, *args], capture_output=True, text=True, env=env, timeout=120)
    return p.returncode, p.stdout, p.stderr


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what)


with tempfile.TemporaryDirectory() as d:
    cat = os.path.join(d, 'c.vmcat')
    rc, out, err = run('--catalog', cat, 'catalog', 'generate', '--tracks', '2000', '--seed', '3')
    check(rc == 0 and 'wrote' in out, 'generate: %d %s' % (rc, err))

    rc, out, err = run('--catalog', cat, 'grid')
    check(rc == 0, 'grid exit %d: %s' % (rc, err))
    rows = [l for l in out.splitlines() if l.startswith('y=')]
    check(len(rows) == 5, 'grid has 5 rows: %r' % out[:400])
    counts = [int(tok) for l in out.splitlines() if l.startswith('    |')
              for tok in l.replace('|', ' ').split()]
    check(len(counts) == 25 and sum(counts) == 2000,
          '5x5 counts cover every track once: %d cells, sum %d' % (len(counts), sum(counts)))
    widths = {len(l) for l in out.splitlines() if l.startswith('    +')}
    check(len(widths) == 1, 'rules aligned')

    rc, out, err = run('--catalog', cat, 'grid', '--size', '10', '--locale', 'de')
    counts10 = [int(tok) for l in out.splitlines() if l.startswith('    |')
                for tok in l.replace('|', ' ').split()]
    check(rc == 0 and len(counts10) == 100 and sum(counts10) == 2000, '10x10 grid: %s' % err)

    rc, out, err = run('--catalog', cat, 'grid', '--genre', '1')
    filtered = [int(tok) for l in out.splitlines() if l.startswith('    |')
                for tok in l.replace('|', ' ').split()]
    check(rc == 0 and 0 < sum(filtered) < 2000, 'genre filter narrows: %s' % err)

    rc, out, err = run('--catalog', cat, 'recommend', '1', '1', '--limit', '0', '--json')
    check(rc == 0, 'recommend --json exit %d: %s' % (rc, err))
    try:
        doc = json.loads(out)
        check(doc['count'] == counts[0], 'json count equals the grid cell: %s vs %s' % (doc['count'], counts[0]))
        check(len(doc['tracks']) == doc['count'], 'all tracks listed')
        check(all(t['title'] and t['artist'] and t['album'] for t in doc['tracks']), 'track fields')
        idents = [t['ident'] for t in doc['tracks']]
        check(idents == sorted(idents), 'catalog order')
    except (ValueError, KeyError) as e:
        check(False, 'json parses: %s' % e)

    rc, out, err = run('--catalog', cat, 'recommend', '2', '3', '--limit', '5')
    check(rc == 0 and 'title' in out and 'artist' in out and 'album' in out, 'recommend table')

    for args in (['--help'], ['grid', '--help'], ['recommend', '--help'], ['moods', '--help'],
                 ['lists', '--help'], ['catalog', '--help']):
        rc, out, err = run(*args)
        check(rc == 0 and 'usage' in out, 'help: %s' % args)

    rc, out, err = run('lists', 'genres')
    check(rc == 0 and len(out.splitlines()) > 3, 'lists genres')
    rc, out, err = run('--catalog', cat, 'moods', '--size', '10')
    check(rc == 0 and len(out.splitlines()) == 102, 'moods 10x10')

    bad = [
        ['--catalog', cat, 'recommend', '6', '1'],
        ['--catalog', cat, 'recommend', '0', '1'],
        ['--catalog', cat, 'recommend', 'x'],
        ['--catalog', cat, 'grid', '--size', '7'],
        ['--catalog', cat, 'grid', '--genre', '0'],
        ['--catalog', cat, 'grid', '--genre', '1', '--exclude-genre', '2'],
        ['--catalog', cat, 'grid', '--bogus'],
        ['--catalog', os.path.join(d, 'missing.vmcat'), 'grid'],
        ['lists', 'colours'],
        ['frobnicate'],
        [],
    ]
    for args in bad:
        rc, out, err = run(*args)
        check(rc != 0 and err.strip(), 'bad arguments %s: exit %d, message %r' % (args, rc, err))
    rc, out, err = run('--catalog', cat, 'recommend', '6', '1')
    check('0x90A80001' in err and 'Invalid Ordinals' in err, 'code and text: %r' % err)

sys.exit(1 if failures else 0)
