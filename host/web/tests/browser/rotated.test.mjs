// penwell serve --document on a page a reader turns (/Rotate 90): the place is marked as the
// reader sees it, the preview shows the ink upright in it, and the signed PDF, as pdftoppm draws
// it, shows the ink the same way round (before, the signed ink lay on its side). Needs PENWELL,
// PENWELL_RESOURCES and PENWELL_PRIVATE_KEY.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const { PENWELL, PENWELL_RESOURCES } = process.env;
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const folder = mkdtempSync(join(tmpdir(), 'penwell-rotated-'));
const at = (name) => join(folder, name);
let browser;
let server;

before(async () => {
  // An A4 page stored portrait and turned clockwise for reading, as landscape forms are.
  writeFileSync(at('raw.pdf'), '%PDF-1.7\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n' +
    '2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n' +
    '3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Rotate 90 /Contents 4 0 R >> endobj\n' +
    '4 0 obj << /Length 19 >>\nstream\n72 700 300 20 re f\nendstream\nendobj\ntrailer << /Size 5 /Root 1 0 R >>\n%%EOF\n');
  try { execFileSync('qpdf', [at('raw.pdf'), at('in.pdf')], { stdio: 'ignore' }); } catch (e) { if (e.status !== 3) throw e; }
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=Operator',
    '-days', '2', '-keyout', at('key.pem'), '-out', at('cert.pem')], { stdio: 'ignore' });
  browser = await chromium.launch({ executablePath: CHROMIUM,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'] });
  // 80 x 200 points in the page's own coordinates: 200 wide and 80 high as the page is read.
  const proc = spawn(PENWELL, ['serve', '--demo', '--bind', '127.0.0.1', '--port', '0', '--resources', PENWELL_RESOURCES,
    '--out', at('out'), '--sign-key', at('key.pem'), '--sign-cert', at('cert.pem'), '--document', at('in.pdf'),
    '--page', '1', '--rect', '300,100,80,200'], { stdio: ['ignore', 'pipe', 'inherit'] });
  server = proc;
  server.url = await new Promise((resolve, reject) => {
    let text = '';
    proc.stdout.on('data', (d) => { text += d; const m = /http:\/\/\S+\//.exec(text); if (m) resolve(m[0]); });
    proc.on('exit', (code) => reject(new Error(`penwell serve exited with ${code}`)));
  });
});
after(async () => {
  await browser?.close();
  server?.kill('SIGINT');
  rmSync(folder, { recursive: true, force: true });
});

async function until(check, what) {
  for (let i = 0; i < 400; i++) {
    const v = await check();
    if (v) return v;
    await new Promise((r) => setTimeout(r, 25));
  }
  throw new Error(`gave up waiting for ${what}`);
}

/** The box of the dark pixels of an RGBA or grey image, within x0..x1, y0..y1. */
function inkBox(pixels, width, channels, [x0, y0, x1, y1]) {
  let left = Infinity, top = Infinity, right = -1, bottom = -1;
  for (let y = y0; y < y1; y++) {
    for (let x = x0; x < x1; x++) {
      const i = (y * width + x) * channels;
      const dark = channels === 4 ? pixels[i + 3] === 255 && pixels[i] < 64 : pixels[i] < 128;
      if (dark) { left = Math.min(left, x); right = Math.max(right, x); top = Math.min(top, y); bottom = Math.max(bottom, y); }
    }
  }
  return { width: right - left + 1, height: bottom - top + 1 };
}

test('the ink reads upright in the place on a rotated page, previewed and signed alike', async () => {
  const page = await (await browser.newContext({ viewport: { width: 1280, height: 800 } })).newPage();
  await page.goto(server.url);
  await page.evaluate(() => window.penwellDocument.ready);
  assert.equal(await page.evaluate(() => window.penwellDocument.error), null);
  const place = await page.evaluate(() => window.penwellDocument.place);
  assert.ok(place.width > 2 * place.height, `the place is marked as read: ${JSON.stringify(place)}`);
  await page.evaluate(() => window.penwellPad.ready);
  // A long flat stroke: much wider than high, whichever way round it is shown.
  const r = await page.evaluate(() => document.getElementById('pad').getBoundingClientRect().toJSON());
  await page.mouse.move(r.x + 40, r.y + 120);
  await page.mouse.down();
  for (let i = 1; i <= 60; i++) await page.mouse.move(r.x + 40 + 8 * i, r.y + 120 + 10 * Math.sin(i / 3));
  await page.mouse.up();
  await until(() => page.evaluate(() => window.penwellPad.state.samples > 50), 'the samples');
  const preview = await until(() => page.evaluate(() => {
    const c = document.getElementById('preview');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    return d.some((v, i) => i % 4 === 0 && d[i + 3] === 255 && v < 64) && { data: Array.from(d), width: c.width, height: c.height };
  }), 'the ink in the place');
  const shown = inkBox(preview.data, preview.width, 4, [0, 0, preview.width, preview.height]);
  assert.ok(shown.width > 3 * shown.height, `the preview's ink is upright: ${JSON.stringify(shown)}`);
  await page.click('#done');
  const done = await until(() => page.evaluate(() => window.penwellPad.lastDone), 'Done');
  assert.equal(done.ok, true, done.reason);
  // The signed page as a reader draws it, turned: 842 x 595 at 72 dpi. The place, 300,100 to
  // 380,300 in the page's coordinates, is shown from x = 100 to 300 and y = 300 to 380.
  execFileSync('pdftoppm', ['-r', '72', '-gray', '-singlefile', '-cropbox', at(`out/${done.document}`), at('signed')]);
  const pgm = readFileSync(at('signed.pgm'));
  const [, w, h] = /^P5\s+(\d+)\s+(\d+)\s+255\s/.exec(pgm.subarray(0, 32).toString('latin1')).map(Number);
  assert.deepEqual([w, h], [842, 595]);
  const header = pgm.length - w * h;
  const signed = inkBox(pgm.subarray(header), w, 1, [100, 300, 300, 380]);
  assert.ok(signed.width > 3 * signed.height, `the signed ink is upright: ${JSON.stringify(signed)}`);
  // Fitted alike: the same proportions of the place within a few percent.
  assert.ok(Math.abs(signed.width / 200 - shown.width / preview.width) < 0.05,
    `${JSON.stringify(signed)} against ${JSON.stringify(shown)} of ${preview.width}`);
  await page.context().close();
});
