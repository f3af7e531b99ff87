#!/usr/bin/env python3
"""Runs the real vibemesh binary as a user would: grid, recommend, lists and catalog commands on
generated and imported catalogs, the JSON output, locale and column handling, and what the
command says and returns for bad arguments and failing files (usage 2, runtime 1)."""
import json, os, sqlite3, subprocess, sys, tempfile, unicodedata

BIN = sys.argv[1]
failures = []
ENV = {k: v for k, v in os.environ.items() if k not in ('LC_ALL', 'LC_MESSAGES', 'LANG', 'VIBEMESH_CATALOG')}


def run(*args, env=None, stdout=subprocess.PIPE):
    p = subprocess.run([BIN, *args], stdout=stdout, stderr=subprocess.PIPE, env={**ENV, **(env or {})},
                       timeout=120)
    out = p.stdout.decode('utf-8', 'replace') if p.stdout is not None else ''
    return p.returncode, out, p.stderr.decode('utf-8', 'replace'), p.stdout


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what)
    return cond


def grid_counts(out):
    return [int(tok) for l in out.splitlines() if l.startswith('    |') for tok in l.replace('|', ' ').split()]


def columns(s):
    return sum(0 if unicodedata.combining(c) or unicodedata.category(c) == 'Cf'
               else 2 if unicodedata.east_asian_width(c) in 'WF' else 1 for c in s)


with tempfile.TemporaryDirectory() as d:
    cat = os.path.join(d, 'c.vmcat')
    rc, out, err, _ = run('--catalog', cat, 'catalog', 'generate', '--tracks', '2000', '--seed', '3')
    check(rc == 0 and out.startswith('wrote ') and '2000 tracks' in out, 'generate: %d %s' % (rc, err))

    rc, out, err, _ = run('--catalog', cat, 'catalog', 'info')
    check(rc == 0 and 'placed by:   import 2000, mood tag 0, value tags 0, analysis 0' in out, 'info: %r' % out)

    # Grids: every track in one cell; --opt=value and --opt value alike; filters narrow.
    rc, out, err, _ = run('--catalog', cat, 'grid')
    counts = grid_counts(out)
    check(rc == 0 and len(counts) == 25 and sum(counts) == 2000, '5x5 grid: %s' % err)
    check(len({len(l) for l in out.splitlines() if l.startswith('    +')}) == 1, 'rules aligned')
    rc, out10, err, _ = run('--catalog=' + cat, 'grid', '--size=10', '--locale', 'de')
    check(rc == 0 and sum(grid_counts(out10)) == 2000 and len(grid_counts(out10)) == 100, '--size=10: %s' % err)
    check(run('--catalog', cat, 'grid', '--size', '10', '--locale=de')[1] == out10, '--size 10 equals --size=10')
    rc, out, err, _ = run('grid', '--genre', '2', '--catalog', cat, '--genre', '3')  # --catalog after the command
    check(rc == 0 and 0 < sum(grid_counts(out)) < 2000 and 'genre Rock, genre Hip-Hop' in out, 'filters: %s' % out[:200])

    # JSON: structured filters, each track's facts with names, the count of the grid's cell.
    rc, out, err, _ = run('--catalog', cat, 'recommend', '1', '1', '--limit', '0', '--json')
    doc = json.loads(out) if check(rc == 0, 'recommend --json: %s' % err) else {}
    check(doc.get('count') == counts[0] == len(doc.get('tracks', [])), 'json count is the cell count')
    tracks = doc.get('tracks', [])
    check(all(t[k] for t in tracks for k in ('ident', 'album_ident', 'title', 'artist', 'album')), 'track text')
    check(all(t[k] and t[k]['id'] > 0 and t[k]['name'] for t in tracks for k in ('mood', 'genre', 'origin', 'era')),
          'track list facts: %s' % tracks[:1])
    rc, out, err, _ = run('--catalog', cat, 'recommend', '2', '2', '--json', '--exclude-era', '1', '--locale', 'de')
    doc = json.loads(out) if check(rc == 0, 'json with filter: %s' % err) else {}
    check(doc.get('filters') == [{'list_type': 'eras', 'id': 1, 'name': 'Vor 1940', 'include': False}],
          'structured filters: %s' % doc.get('filters'))

    # Locale: --locale, else LC_ALL, LC_MESSAGES, LANG in that order; en otherwise.
    def first_mood(*args, env=None):
        return run('--catalog', cat, 'moods', *args, env=env)[1].splitlines()[2].split(None, 3)[3]
    en, de = first_mood('--locale', 'en'), first_mood('--locale', 'de')
    check(en != de, 'moods differ by locale')
    check(first_mood(env={'LANG': 'de_DE.UTF-8'}) == de, 'LANG=de gives German')
    check(first_mood(env={'LANG': 'de_DE.UTF-8', 'LC_ALL': 'C'}) == en, 'LC_ALL wins over LANG')
    check(first_mood('--locale', 'en', env={'LC_ALL': 'de_AT'}) == en, '--locale wins over LC_ALL')
    check(first_mood(env={}) == en, 'en without locale variables')

    # Display width: wide, emoji and combining text keep columns; controls cannot break a row.
    rc, out, _, _ = run('--catalog', cat, 'moods', '--size', '10')
    mood = out.splitlines()[2].split()[2]
    csv = os.path.join(d, 'w.csv')
    titles = ['東京の夜', 'Cafe\u0301 🎵', 'two\nlines\x1b[31m\tred', 'plain']
    with open(csv, 'w', encoding='utf-8') as f:
        f.write('ident,album_ident,album,title,artist,mood,genre,origin,era\n')
        f.writelines('t%d,a1,Album,"%s",Artist,%s,1,1,1\n' % (i, t, mood) for i, t in enumerate(titles))
    wcat = os.path.join(d, 'w.vmcat')
    rc, out, err, _ = run('--catalog', wcat, 'catalog', 'import', csv)
    check(rc == 0 and out.strip() == 'wrote %s: 4 tracks' % wcat, 'import reports the count: %r %s' % (out, err))
    rc, out, err, _ = run('--catalog', wcat, 'recommend', '1', '1', '--size', '10')
    lines = out.splitlines()
    check(rc == 0 and len(lines) == 8 and '4 tracks' in lines[0], 'one line per track: %r' % out)
    check(len({columns(l[:l.index('Artist')]) for l in lines[4:]}) == 1, 'artist column aligned: %r' % lines[4:])
    check('two\\nlines\\x1B[31m\\tred' in out and '\x1b' not in out, 'controls escaped')

    # "1 track"; invalid UTF-8 in a catalog still gives valid JSON.
    one = os.path.join(d, 'one.vmcat')
    rc, out, err, _ = run('--catalog', one, 'catalog', 'generate', '--tracks', '1')
    check(rc == 0 and '1 track ' in out, 'generate says 1 track: %r' % out)
    odd = os.path.join(d.encode(), b'\xff.vmcat')  # a file name that is not UTF-8
    run('--catalog', odd, 'catalog', 'generate', '--tracks', '50')
    rc, _, err, raw = run('--catalog', odd, 'recommend', '1', '1', '--json')
    if check(rc == 0, 'json from a non-UTF-8 path: %s' % err):
        check(json.loads(raw.decode('utf-8'))['catalog']['file'].endswith('\ufffd.vmcat'), 'invalid UTF-8 replaced')

    # --version, help on every command (stdout, exit 0).
    rc, out, _, _ = run('--version')
    check(rc == 0 and out.strip() == 'vibemesh 3.05.4', '--version: %r' % out)
    for args in ([], ['grid'], ['recommend'], ['html'], ['moods'], ['lists'], ['catalog'], ['catalog', 'generate'],
                 ['catalog', 'import'], ['catalog', 'info'], ['catalog', 'scan'], ['serve']):
        rc, out, _, _ = run(*args, '--help')
        check(rc == 0 and 'Usage: vibemesh' in out, 'help: %s' % args)

    # Usage errors: exit 2 and a message naming what is wrong.
    usage = [
        (['--catalog'], '--catalog needs a catalog file'),
        (['grid', '--catalog'], '--catalog needs a catalog file'),
        (['--catalog', 'grid'], '--catalog needs a catalog file'),
        (['html', '--out', '--size', '5'], "--out: needs a value, not the option '--size'"),
        (['grid', '--genre', '99'], "--genre: '99' is not a genre id; valid ids: 1-16"),
        (['grid', '--exclude-era', 'abc'], "--exclude-era: 'abc' is not an era id; valid ids: 1-10"),
        (['grid', '--genre', '1', '--exclude-genre', '2'], '--genre and --exclude-genre cannot be combined'),
        (['recommend', '6', '1'], 'X and Y run from 1 to 5'),
        (['recommend', '1', '0', '--size', '10'], 'X and Y run from 1 to 10'),
        (['catalog', 'generate', '--tracks', '10000001'], '--tracks: takes a whole number from 1 to 10000000'),
        (['grid', '--size', '7'], '--size: takes 5 or 10'),
        (['grid', '--bogus'], 'unknown option --bogus'),
        (['grid', 'extra'], "unexpected argument 'extra'"),
        (['frobnicate'], "unknown command 'frobnicate'"),
        (['lists', 'colours'], 'takes genres or origins or eras'),
        (['catalog'], 'catalog needs a command'),
        ([], 'a command is needed'),
    ]
    for args, message in usage:
        rc, _, err, _ = run(*args) if '--catalog' in args else run('--catalog', cat, *args)
        check(rc == 2 and message in err, 'usage error %s: exit %d, %r' % (args, rc, err))

    # Runtime errors: exit 1 and a message naming the cause.
    folder = os.path.join(d, 'folder')
    os.mkdir(folder)
    readonly = '/sys' if os.geteuid() == 0 else os.path.join(d, 'ro')
    if readonly != '/sys':
        os.mkdir(readonly, 0o555)
    newer = os.path.join(d, 'newer.vmcat')
    run('--catalog', newer, 'catalog', 'generate', '--tracks', '10')
    db = sqlite3.connect(newer)
    db.execute("UPDATE meta SET value = 'vibemesh-catalog/999' WHERE key = 'format'")
    db.commit()
    db.close()
    runtime = [
        (['--catalog', os.path.join(d, 'n.vmcat'), 'catalog', 'import', os.path.join(d, 'no.csv')], 'no such file'),
        (['--catalog', os.path.join(d, 'n.vmcat'), 'catalog', 'import', folder], 'a folder, not a CSV file'),
        (['--catalog', os.path.join(readonly, 'c.vmcat'), 'catalog', 'generate'], 'cannot create files in the folder'),
        (['--catalog', os.path.join(d, 'missing.vmcat'), 'grid'], 'no catalog file'),
        (['--catalog', folder, 'grid'], 'is a folder, not a catalog file'),
        (['--catalog', newer, 'grid'], 'catalog format this version of vibemesh cannot read'),
        (['--catalog', cat, 'catalog', 'generate'], 'exists already (--force replaces it)'),
    ]
    for args, message in runtime:
        rc, _, err, _ = run(*args)
        check(rc == 1 and message in err, 'runtime error %s: exit %d, %r' % (args[2:], rc, err))

    # Output that cannot be written is an error (grid_to_full_device_exits_0).
    with open('/dev/full', 'w') as full:
        rc, _, err, _ = run('--catalog', cat, 'grid', stdout=full)
    check(rc == 1 and 'writing the output' in err, 'grid > /dev/full: exit %d, %r' % (rc, err))

    # Without HOME the XDG rules place the sample, and the command says where.
    xdg = os.path.join(d, 'xdg')
    rc, out, err, _ = run('catalog', 'info', env={'HOME': '', 'XDG_DATA_HOME': xdg})
    sample = os.path.join(xdg, 'vibemesh', 'sample.vmcat')
    check(rc == 0 and 'created the sample catalog at ' + sample in err and os.path.exists(sample),
          'sample at XDG_DATA_HOME: %r' % err)
    # Concurrent first uses all succeed on one sample (three_first_uses_fail_creating_the_sample).
    fresh = {**ENV, 'HOME': os.path.join(d, 'fresh')}
    procs = [subprocess.Popen([BIN, 'grid'], env=fresh, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
             for _ in range(3)]
    errs = [p.communicate(timeout=120)[1].decode() for p in procs]
    check([p.returncode for p in procs] == [0, 0, 0] and sum('created the sample' in e for e in errs) == 1,
          'concurrent first uses: %s %r' % ([p.returncode for p in procs], errs))
    rc, _, err, _ = run('grid', env={'HOME': '', 'XDG_DATA_HOME': ''})
    check(rc == 1 and 'XDG_DATA_HOME' in err and 'HOME' in err, 'no HOME, no XDG_DATA_HOME: %r' % err)

sys.exit(1 if failures else 0)
