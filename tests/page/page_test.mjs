// The live mood pad as a person uses it, in headless Chromium:
//   node page_test.mjs SERVE_FIXTURE SHOTDIR
// Opens the page, opens a cell and sees its tracks, pages through them, toggles a filter and
// sees the counts change, switches the language, checks the policy let nothing be blocked,
// and plays a catalog with audio until the audio element's time advances. Screenshots (wide
// and 400 px) go to SHOTDIR. Without Chromium or puppeteer-core: exit 77 (skipped), or 1
// when CI=true.
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { createInterface } from 'node:readline';
import { tmpdir } from 'node:os';
import path from 'node:path';

const [fixture, shots] = process.argv.slice(2);
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
const missing = (what) => {
  console.log(`${process.env.CI === 'true' ? 'FAIL' : 'SKIP'}: ${what}`);
  process.exit(process.env.CI === 'true' ? 1 : 77);
};
if (!existsSync(chromium)) missing(`no browser at ${chromium}`);
let puppeteer;
try {
  puppeteer = (await import('puppeteer-core')).default;
} catch {
  missing('puppeteer-core is not installed (npm ci in tests/page)');
}

let failures = 0;
const check = (ok, what) => { if (!ok) { failures++; console.log('FAIL:', what); } };
const dir = mkdtempSync(path.join(tmpdir(), 'vibemesh-page-'));
mkdirSync(shots, { recursive: true });
const server = spawn(fixture, [dir], { stdio: ['pipe', 'pipe', 'inherit'] });
const urls = JSON.parse(await new Promise((resolve, reject) => {
  createInterface({ input: server.stdout }).once('line', resolve);
  server.once('exit', (code) => reject(new Error('fixture exited ' + code)));
}));
const browser = await puppeteer.launch({
  executablePath: chromium, headless: true,
  args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
});
try {
  const page = await browser.newPage();
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error' || m.type() === 'warning') problems.push(m.text()); });
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.setViewport({ width: 1280, height: 900 });
  const ready = () => page.waitForSelector('html[data-ready=true]');
  const counts = () => page.$$eval('.cell', (cs) => cs.map((c) => Number(c.dataset.count)));

  // The generated catalog: no audio files, so no play controls.
  await page.goto(urls.sample);
  await ready();
  check((await page.$$('.cell')).length === 25, '25 cells');
  check(!(await page.$('#audio')), 'no player without audio files');
  const before = await counts();
  const fullest = before.indexOf(Math.max(...before));
  await page.click(`.cell:nth-of-type(${fullest + 1})`);
  await page.waitForSelector('#detail .tracks li');
  const firstPage = await page.$$eval('#detail .tracks li', (ls) => ls.length);
  check(firstPage === Math.min(50, before[fullest]), `a cell's first page: ${firstPage} tracks`);
  check(!(await page.$('#play-cell')), 'no play button without audio files');
  if (before[fullest] > 50) {
    await page.click('.pager button:last-child');
    await page.waitForFunction(() => document.querySelector('#detail ol.tracks')?.start === 51);
    check(page.url().includes('offset=50'), 'the page of tracks is in the address');
  }
  await page.keyboard.press('Escape');
  await page.waitForSelector('#detail .hint');

  await page.click('#filters summary');
  await page.click('.chip[data-list=genre][data-id="2"]');
  await page.waitForFunction((b) => {
    const now = [...document.querySelectorAll('.cell')].map((c) => Number(c.dataset.count));
    return now.some((v, i) => v !== b[i]);
  }, {}, before);
  const filtered = await counts();
  check(filtered.every((v, i) => v <= before[i]) && filtered.some((v, i) => v < before[i]),
        'including a genre lowers the counts');
  check(new URL(page.url()).searchParams.get('genre') === '2', 'the filter is in the address');
  await page.setViewport({ width: 1280, height: 900 });
  await page.screenshot({ path: path.join(shots, 'live_wide.png') });

  // A link reopens the view; the language switch keeps the filter.
  await Promise.all([page.waitForNavigation(), page.click('.seg a[data-value=de]')]);
  await ready();
  check((await page.$eval('html', (h) => h.lang)) === 'de', 'German page');
  check((await page.$eval('h1', (h) => h.textContent)) === 'Stimmungsraster', 'German heading');
  check(JSON.stringify(await counts()) === JSON.stringify(filtered), 'the filter survives the switch');
  check((await page.$eval('.chip[data-list=genre][data-id="2"]', (c) => c.dataset.state)) === 'include',
        'the chip shows the filter');
  await page.setViewport({ width: 400, height: 900 });
  await page.click('.cell');
  await page.waitForSelector('#detail .tracks li');
  await page.screenshot({ path: path.join(shots, 'live_narrow.png'), fullPage: true });
  check(await page.evaluate(() => document.documentElement.scrollWidth <= 400), 'no sideways scrolling at 400 px');

  // A catalog with audio: Enter on a cell plays it; time advances.
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(urls.audio + '?size=10');
  await ready();
  const cell = await page.$$eval('.cell', (cs) => cs.findIndex((c) => c.dataset.count !== '0'));
  await page.focus(`.cell:nth-of-type(${cell + 1})`);
  await page.keyboard.press('Enter');
  await page.waitForSelector('#detail .tracks li');
  await page.waitForFunction(() => document.getElementById('audio').currentTime > 0.3, { timeout: 20000 })
    .catch(() => check(false, 'the audio element plays'));
  check(/Tone 1\b/.test(await page.$eval('#now', (n) => n.textContent)), 'now playing the first track');
  await page.click('#next');
  await page.waitForFunction(() => /Tone 2\b/.test(document.getElementById('now').textContent));
  await page.click('#detail .tracks li:nth-child(5) .track');
  await page.waitForFunction(() => document.querySelector('#detail .tracks li:nth-child(5)').classList.contains('playing'));
  await page.screenshot({ path: path.join(shots, 'live_playing.png') });
  check(problems.length === 0, 'console: ' + problems.join(' | '));
} catch (e) {
  check(false, String(e.stack || e));
} finally {
  await browser.close();
  server.stdin.end();
  await new Promise((resolve) => server.once('exit', resolve));
  rmSync(dir, { recursive: true, force: true });
}
console.log(failures ? `${failures} check(s) failed` : 'all checks passed');
process.exit(failures ? 1 : 0);
