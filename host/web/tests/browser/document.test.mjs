// penwell serve --document in real Chromium: pdf.js shows the page with the signature's place
// at a phone's and a desktop's size, a signature drawn there and Done give NAME.pdf, which
// poppler's pdfsig, qpdf and `penwell pdf verify` judge. The PDF is made here (qpdf puts a
// hand-written file right). Needs PENWELL, PENWELL_RESOURCES and PENWELL_PRIVATE_KEY.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import http from 'node:http';
import { chromium } from 'playwright-core';

const { PENWELL, PENWELL_RESOURCES, PENWELL_PRIVATE_KEY } = process.env;
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const folder = mkdtempSync(join(tmpdir(), 'penwell-document-'));
const at = (name) => join(folder, name);
let browser;
let server;
let original; // IN as the server read it

/** Two A4 pages (595 x 842 points), each with a black bar 300 x 20 at 72,700 and at 72,400. */
function makeDocument() {
  const page = (id, y) => `${id} 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents ${id + 1} 0 R >>` +
    ` endobj\n${id + 1} 0 obj << /Length 19 >>\nstream\n72 ${y} 300 20 re f\nendstream\nendobj\n`;
  writeFileSync(at('raw.pdf'), '%PDF-1.7\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n' +
    '2 0 obj << /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >> endobj\n' + page(3, 700) + page(5, 400) +
    'trailer << /Size 7 /Root 1 0 R >>\n%%EOF\n');
  // Without offsets the raw file needs repair; qpdf writes it right (and says so: status 3).
  try { execFileSync('qpdf', [at('raw.pdf'), at('in.pdf')], { stdio: 'ignore' }); } catch (e) { if (e.status !== 3) throw e; }
}

before(async () => {
  makeDocument();
  original = readFileSync(at('in.pdf'));
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=Operator',
    '-days', '2', '-keyout', at('key.pem'), '-out', at('cert.pem')], { stdio: 'ignore' });
  browser = await chromium.launch({ executablePath: CHROMIUM,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'] });
  const proc = spawn(PENWELL, ['serve', '--demo', '--bind', '127.0.0.1', '--port', '0', '--resources', PENWELL_RESOURCES,
    '--out', at('out'), '--sign-key', at('key.pem'), '--sign-cert', at('cert.pem'), '--document', at('in.pdf'),
    '--page', '1', '--rect', '300,100,200,60', '--reason', 'Agreed'], { stdio: ['ignore', 'pipe', 'inherit'] });
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

/** Opens the page at a viewport; answers it once pdf.js has drawn the document's page. */
async function open(viewport, extra = {}) {
  const page = await (await browser.newContext({ viewport, ...extra })).newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  // Every error but the browser's own look for a favicon, which the server has none of.
  page.on('console', (m) => {
    if (m.type() === 'error' && !m.location().url.endsWith('/favicon.ico')) errors.push(`${m.location().url}: ${m.text()}`);
  });
  await page.goto(server.url);
  await page.evaluate(() => window.penwellDocument.ready);
  assert.equal(await page.evaluate(() => window.penwellDocument.error), null);
  assert.deepEqual(errors, []);
  return page;
}

/** What the page's canvas shows: the bar dark, the page around it and the place white. */
const pagePixels = (page) => page.evaluate(() => {
  const canvas = document.getElementById('page');
  const s = canvas.width / 595; // canvas pixels per point
  const grey = (x, y) => { // at PDF user-space x, y
    const d = canvas.getContext('2d').getImageData(Math.round(x * s), Math.round((842 - y) * s), 1, 1).data;
    return d[3] === 0 ? 255 : Math.round((d[0] + d[1] + d[2]) / 3);
  };
  return { bar: grey(222, 710), aboveBar: grey(222, 730), middle: grey(222, 410), place: grey(400, 130) };
});

test('the page is drawn with the place marked, at a phone\'s and a desktop\'s size', async () => {
  for (const [viewport, extra] of [[{ width: 390, height: 844 }, { deviceScaleFactor: 3, hasTouch: true, isMobile: true }],
    [{ width: 1280, height: 800 }, {}]]) {
    const page = await open(viewport, extra);
    assert.deepEqual(await pagePixels(page), { bar: 0, aboveBar: 255, middle: 255, place: 255 });
    const boxes = await page.evaluate(() => {
      const box = (id) => document.getElementById(id).getBoundingClientRect().toJSON();
      return { page: box('page'), place: box('place'), pad: box('pad'), done: box('done') };
    });
    // The place is 200 x 60 points at 300,100 up from the page's lower-left corner.
    const s = boxes.page.width / 595;
    assert.ok(Math.abs(boxes.place.left - boxes.page.left - 300 * s) < 1.5, JSON.stringify(boxes));
    assert.ok(Math.abs(boxes.place.top - boxes.page.top - (842 - 160) * s) < 1.5, JSON.stringify(boxes));
    assert.ok(Math.abs(boxes.place.width - 200 * s) < 1.5 && Math.abs(boxes.place.height - 60 * s) < 1.5);
    // The pad and Done fit the screen's width; on the desktop they stand beside the page.
    assert.ok(boxes.pad.right <= viewport.width && boxes.done.right <= viewport.width, JSON.stringify(boxes));
    if (viewport.width >= 1000) assert.ok(boxes.pad.left >= boxes.page.right, JSON.stringify(boxes));
    else assert.ok(boxes.pad.top >= boxes.page.top && boxes.pad.bottom <= viewport.height * 1.2, JSON.stringify(boxes));
    await page.context().close();
  }
});

test('the signer pages through the document; the place is marked on its page only', async () => {
  const page = await open({ width: 1280, height: 800 });
  assert.equal(await page.textContent('#pageCount'), '2');
  await page.click('#nextPage');
  await until(async () => (await pagePixels(page)).middle === 0, 'page 2');
  assert.deepEqual(await pagePixels(page), { bar: 255, aboveBar: 255, middle: 0, place: 255 });
  assert.equal(await page.isHidden('#place'), true);
  assert.equal(await page.isDisabled('#nextPage'), true);
  await page.click('#previousPage');
  await until(async () => (await pagePixels(page)).bar === 0, 'page 1 again');
  assert.equal(await page.isVisible('#place'), true);
  await page.context().close();
});

test('Done seals the document as shown: pdfsig, qpdf and pdf verify accept NAME.pdf', async () => {
  const page = await open({ width: 1280, height: 800 });
  await page.evaluate(() => window.penwellPad.ready);
  const r = await page.evaluate(() => document.getElementById('pad').getBoundingClientRect().toJSON());
  await page.mouse.move(r.x + 40, r.y + 150);
  await page.mouse.down();
  for (let i = 1; i <= 60; i++) await page.mouse.move(r.x + 40 + 8 * i, r.y + 150 - 60 * Math.sin(i / 6));
  await page.mouse.up();
  await until(() => page.evaluate(() => window.penwellPad.state.samples > 50), 'the samples');
  // The place previews the ink (R of the blue ink is 0) on the pad's white.
  await until(() => page.evaluate(() => {
    const c = document.getElementById('preview');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    return d.some((v, i) => i % 4 === 0 && d[i + 3] === 255 && v < 64);
  }), 'the ink in the place');
  // What was shown is signed, whatever becomes of the file meanwhile.
  writeFileSync(at('in.pdf'), '%PDF-1.7 changed after the server read it');
  await page.click('#done');
  const done = await until(() => page.evaluate(() => window.penwellPad.lastDone), 'Done');
  assert.equal(done.ok, true, done.reason);
  assert.equal(await page.textContent('#result'), 'Signed and saved');
  assert.deepEqual(readdirSync(at('out')).sort(),
    ['data', 'evidence', 'key', 'pdf', 'png'].map((e) => `${done.name}.${e}`));
  const signed = at(`out/${done.document}`);
  assert.ok(readFileSync(signed).subarray(0, original.length).equals(original), 'IN is a prefix of NAME.pdf');
  const sig = execFileSync('pdfsig', [signed], { encoding: 'utf8' });
  assert.match(sig, /Signature Validation: Signature is Valid/);
  assert.match(sig, /Total document signed/);
  assert.match(sig, /Signature Type: ETSI\.CAdES\.detached/);
  execFileSync('qpdf', ['--check', signed], { stdio: 'ignore' });
  const verify = execFileSync(PENWELL, ['pdf', 'verify', signed, '--private-key', PENWELL_PRIVATE_KEY,
    '--trust', at('cert.pem')], { encoding: 'utf8' });
  assert.match(verify, /evidence: bound to the signed revision; 1 strokes, 6\d samples/);
  assert.match(verify, /all 1 signature\(s\) check out/);
  await page.context().close();
});

/** A GET as sent, path untouched: answers the status and the body's length. */
function get(path, headers = {}) {
  const { hostname, port } = new URL(server.url);
  return new Promise((resolve, reject) => {
    http.get({ hostname, port, path, headers }, (res) => {
      let length = 0;
      res.on('data', (d) => { length += d.length; });
      res.on('end', () => resolve([res.statusCode, length]));
    }).on('error', reject);
  });
}

test('only the document and pdf.js are served, and only to the page\'s own host and origin', async () => {
  assert.deepEqual(await get('/document.pdf'), [200, original.length]);
  for (const path of ['/pdfjs/../../../../etc/passwd', '/pdfjs/%2e%2e/%2e%2e/%2e%2e/etc/passwd', '/pdfjs/pdf.js.map',
    '/pdfjs/../web/viewer.html', '/pdfjs//pdf.js', '//etc/passwd', '/document.pdf/..', '/document.pdf%00.js',
    `/${at('in.pdf')}`, '/pdfjs/pdf.worker.js/../../../etc/passwd']) {
    assert.equal((await get(path))[0], 404, path);
  }
  const host = new URL(server.url).host;
  assert.equal((await get('/document.pdf', { Host: `evil.example:${new URL(server.url).port}` }))[0], 403);
  assert.equal((await get('/document.pdf', { Host: host, Origin: 'http://evil.example' }))[0], 403);
});
