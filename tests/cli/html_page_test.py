#!/usr/bin/env python3
"""Checks 'vibemesh html' as a user meets it.

  html_page_test.py static VIBEMESH OUTDIR   the markup: cells against 'grid' and 'moods',
                                             escaping of hostile catalog text, no outside
                                             references, bad arguments

The page's rendering is shared with 'vibemesh serve', whose page tests/page drives in Chromium."""
import html.parser
import os
import subprocess
import sys
import tempfile

MODE, BIN, OUTDIR = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what)
    return cond


def run(*args, timeout=300):
    p = subprocess.run([BIN, *args], capture_output=True, text=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


# ---- a small DOM ------------------------------------------------------------------------------

VOID = {'meta', 'link', 'br', 'img', 'input', 'hr', 'source', 'wbr', 'area', 'base', 'col'}


class Node:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent, self.children = tag, dict(attrs), parent, []

    def text(self):
        return ''.join(c if isinstance(c, str) else c.text() for c in self.children)

    def classes(self):
        return (self.attrs.get('class') or '').split()

    def walk(self):
        for c in self.children:
            if isinstance(c, Node):
                yield c
                yield from c.walk()

    def find_all(self, tag=None, cls=None):
        return [n for n in self.walk()
                if (tag is None or n.tag == tag) and (cls is None or cls in n.classes())]

    def find(self, tag=None, cls=None):
        found = self.find_all(tag, cls)
        return found[0] if found else None


class TreeBuilder(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = Node('#document', {}, None)
        self.cur = self.root

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs, self.cur)
        self.cur.children.append(node)
        if tag not in VOID:
            self.cur = node

    def handle_endtag(self, tag):
        n = self.cur
        while n is not self.root and n.tag != tag:
            n = n.parent
        if n is not self.root:
            self.cur = n.parent

    def handle_data(self, data):
        self.cur.children.append(data)


def parse(markup):
    b = TreeBuilder()
    b.feed(markup)
    b.close()
    return b.root


# ---- what the other commands say about the same grid --------------------------------------------

def expected_grid(catalog, size, locale, filters):
    """{(x, y): (name, count)} from 'vibemesh moods' and 'vibemesh grid'."""
    rc, out, err = run('--catalog', catalog, 'moods', '--size', str(size), '--locale', locale)
    check(rc == 0, 'moods: %s' % err)
    names = {}
    for line in out.splitlines()[2:]:
        x, y, _mood, name = line.split(None, 3)
        names[(int(x), int(y))] = name
    rc, out, err = run('--catalog', catalog, 'grid', '--size', str(size), '--locale', locale,
                       *filters)
    check(rc == 0, 'grid: %s' % err)
    counts = [int(tok) for line in out.splitlines() if line.startswith('    |')
              for tok in line.replace('|', ' ').split()]
    check(len(counts) == size * size, 'grid printed %d counts' % len(counts))
    return {(x, y): (names.get((x, y)), counts[(y - 1) * size + x - 1])
            for y in range(1, size + 1) for x in range(1, size + 1)}


def check_cells(doc, expected, what):
    cells = doc.find_all('button', 'cell')
    check(len(cells) == len(expected), '%s: %d cells, expected %d' % (what, len(cells), len(expected)))
    seen = set()
    for c in cells:
        pos = (int(c.attrs.get('data-x', 0)), int(c.attrs.get('data-y', 0)))
        seen.add(pos)
        name, count = expected.get(pos, (None, None))
        got_name = c.find('span', 'name').text()
        got_count = c.find('span', 'count').text().replace(',', '').replace('.', '')
        check(got_name == name, '%s %s: name %r, expected %r' % (what, pos, got_name, name))
        check(got_count == str(count) and c.attrs.get('data-count') == str(count),
              '%s %s: count %r, expected %d' % (what, pos, got_count, count))
    check(seen == set(expected), '%s: every position once' % what)


def check_self_contained(markup, what):
    low = markup.lower()
    for needle in ('http:', 'https:', '//cdn', 'src=', 'href=', '@import', 'url('):
        check(needle not in low, '%s: the page holds %r' % (what, needle))
    check("content-security-policy" in low and "default-src 'none'" in markup,
          '%s: a restrictive content security policy' % what)


# ---- static checks ------------------------------------------------------------------------------

def write_page(cat, size, locale, filters, page, what):
    rc, _, err = run('--catalog', cat, 'html', '--size', str(size), '--locale', locale,
                     *filters, '--out', page)
    return check(rc == 0, '%s: exit %d: %s' % (what, rc, err))


def static_checks(d, cat):
    page = os.path.join(d, 'page.html')
    for size, locale, filters in ((5, 'en', []), (10, 'de', ['--genre', '2', '--exclude-era', '3'])):
        what = '%dx%d %s %s' % (size, size, locale, ' '.join(filters))
        if not write_page(cat, size, locale, filters, page, what):
            continue
        markup = open(page, encoding='utf-8').read()
        doc = parse(markup)
        check_cells(doc, expected_grid(cat, size, locale, filters), what)
        check_self_contained(markup, what)
        check(doc.find('html').attrs.get('lang') == locale, '%s: lang attribute' % what)
        caption = doc.find('p', 'caption').text()
        total = sum(int(c.attrs['data-count']) for c in doc.find_all('button', 'cell'))
        if filters:
            check('Genre Rock' in caption and 'nicht Epoche' in caption,
                  '%s: caption names the filters: %r' % (what, caption))
            check(caption.count('1.500') == 1 and ('%d von' % total) in caption.replace('.', ''),
                  '%s: caption counts matching of all tracks: %r' % (what, caption))
        else:
            check(total == 1500 and '1,500 tracks' in caption and 'no filters' in caption,
                  '%s: caption %r, cells sum to %d' % (what, caption, total))
        # Each cell's panel lists its first tracks and counts the rest.
        templates = {n.attrs.get('id'): n for n in doc.find_all('template')}
        for c in doc.find_all('button', 'cell'):
            tpl = templates.get('tracks-%s-%s' % (c.attrs['data-x'], c.attrs['data-y']))
            items = tpl.find_all('li') if tpl else None
            check(items is not None and len(items) == min(10, int(c.attrs['data-count'])),
                  '%s: track list of cell %s' % (what, c.attrs))

    # Text from a catalog is data, never markup.
    rc, out, _ = run('--catalog', cat, 'moods', '--size', '10')
    mood = out.splitlines()[2].split()[2]
    csv = os.path.join(d, 'hostile.csv')
    title = '</template><script>alert("x")</script>'
    artist = 'Tom & "Jerry" <i>O\'Neil</i>'
    with open(csv, 'w', encoding='utf-8') as f:
        f.write('ident,album_ident,album,title,artist,mood,genre,origin,era\n')
        f.write('t1,a1,<b>Album</b> &amp; co,"%s","%s",%s,1,1,1\n'
                % (title.replace('"', '""'), artist.replace('"', '""'), mood))
    hostile = os.path.join(d, 'hostile.vmcat')
    name = '<h1>Cat</h1> & "name"'
    rc, _, err = run('--catalog', hostile, 'catalog', 'import', csv, '--name', name)
    if check(rc == 0, 'import: %s' % err):
        rc, markup, err = run('--catalog', hostile, 'html', '--size', '10', '--out', '-')
        if check(rc == 0, 'html to stdout: %s' % err):
            doc = parse(markup)
            check(len(doc.find_all('script')) == 1 and len(doc.find_all('h1')) == 1 and
                  not doc.find_all('i') and all(b.text() != 'Album' for b in doc.find_all('b')),
                  'catalog text added elements to the page')
            check(doc.find('span', 'catalog').text() == name, 'catalog name shown as text')
            lists = [n for n in doc.find_all('template') if n.find('li')]
            if check(len(lists) == 1, 'one cell holds the track'):
                check(lists[0].find('span', 'title').text() == title, 'title shown as text')
                check(lists[0].find('span', 'by').text() == artist + ' \u00b7 <b>Album</b> &amp; co',
                      'artist and album shown as text: %r' % lists[0].find('span', 'by').text())

    # Bad arguments: a non-zero exit, a message, and no file.
    bad = os.path.join(d, 'bad.html')
    for args in (['html'], ['html', '--out'], ['html', '--out', '--size'],
                 ['html', '--size', '7', '--out', bad], ['html', '--locale', 'fr', '--out', bad],
                 ['html', '--genre'], ['html', 'extra', '--out', bad],
                 ['html', '--bogus', '--out', bad], ['html', '--json', '--out', bad]):
        rc, _, err = run('--catalog', cat, *args)
        check(rc != 0 and err.startswith('vibemesh: '), '%s: exit %d, message %r' % (args, rc, err))
    rc, _, err = run('--catalog', cat, 'html', '--out', os.path.join(d, 'no', 'such', 'dir.html'))
    check(rc == 1 and 'cannot write' in err, 'unwritable --out: exit %d: %r' % (rc, err))
    rc, _, err = run('--catalog', os.path.join(d, 'missing.vmcat'), 'html', '--out', bad)
    check(rc == 1 and err, 'missing catalog: exit %d' % rc)
    check(not os.path.exists(bad), 'no page written on failure')
    rc, out, _ = run('html', '--help')
    check(rc == 0 and '--out FILE' in out, 'html --help')


def main():
    with tempfile.TemporaryDirectory() as d:
        cat = os.path.join(d, 'sample.vmcat')
        rc, _, err = run('--catalog', cat, 'catalog', 'generate', '--tracks', '1500', '--seed', '4')
        if check(rc == 0, 'generate: %s' % err):
            static_checks(d, cat)
    if failures:
        print('%d check(s) failed' % len(failures))
        return 1
    print('all checks passed')
    return 0


sys.exit(main())
