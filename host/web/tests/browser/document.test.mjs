// penwell serve --document in real Chromium: pdf.js shows the page with the signature's place
// at a phone's and a desktop's size, a signature drawn there and Done give NAME.pdf, which
// poppler's pdfsig, qpdf and `penwell pdf verify` judge. The PDF is made here (qpdf puts a
// hand-written file right). Needs PENWELL, PENWELL_RESOURCES and PENWELL_PRIVATE_KEY.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import http from 'node:http';
import { PENWELL, PENWELL_PRIVATE_KEY, dispatch, done, openEvidence, openPad, serve, state, timeline, until, wave } from './lib.mjs';

const texts = JSON.parse(readFileSync(new URL('../../../common/wording/signer.json', import.meta.url)));
const folder = mkdtempSync(join(tmpdir(), 'penwell-document-'));
const at = (name) => join(folder, name);
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

/** penwell serve signing a copy of IN, read at start-up, with the operator's key. */
function serveDocument(...args) {
  const copy = at(`in-${Math.random().toString(16).slice(2)}.pdf`);
  writeFileSync(copy, original);
  return serve('--sign-key', at('key.pem'), '--sign-cert', at('cert.pem'), '--document', copy,
    '--page', '1', '--rect', '300,100,200,60', '--reason', 'Agreed', '--name', 'Ann Example',
    '--location', 'Berlin', ...args);
}

before(async () => {
  makeDocument();
  original = readFileSync(at('in.pdf'));
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=Operator',
    '-days', '2', '-keyout', at('key.pem'), '-out', at('cert.pem')], { stdio: 'ignore' });
  server = await serve('--out', at('out'), '--sign-key', at('key.pem'), '--sign-cert', at('cert.pem'),
    '--document', at('in.pdf'), '--page', '1', '--rect', '300,100,200,60', '--reason', 'Agreed',
    '--name', 'Ann Example', '--location', 'Berlin');
});
after(() => rmSync(folder, { recursive: true, force: true }));

/** Opens the page at a viewport; answers it once pdf.js has drawn the document's page. */
async function open(viewport, extra = {}, url = server.url) {
  const pad = await openPad(url, { viewport, hasTouch: false, ...extra });
  await pad.page.evaluate(() => window.penwellDocument.ready);
  assert.equal(await pad.page.evaluate(() => window.penwellDocument.error), null);
  assert.deepEqual(pad.errors, []);
  return pad;
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

/** The boxes of the page's canvas, the place, the pad and Done, in CSS pixels. */
const boxesOf = (page) => page.evaluate(() => {
  const box = (id) => document.getElementById(id).getBoundingClientRect().toJSON();
  return { page: box('page'), place: box('place'), pad: box('pad'), done: box('done') };
});

/** The place is 200 x 60 points at 300,100 up from the page's lower-left corner. */
function assertPlace(boxes) {
  const s = boxes.page.width / 595;
  assert.ok(Math.abs(boxes.place.left - boxes.page.left - 300 * s) < 1.5, JSON.stringify(boxes));
  assert.ok(Math.abs(boxes.place.top - boxes.page.top - (842 - 160) * s) < 1.5, JSON.stringify(boxes));
  assert.ok(Math.abs(boxes.place.width - 200 * s) < 1.5 && Math.abs(boxes.place.height - 60 * s) < 1.5);
}

test('the page is drawn with the place marked, at a phone\'s and a desktop\'s size', async () => {
  for (const [viewport, extra] of [[{ width: 390, height: 844 }, { deviceScaleFactor: 3, hasTouch: true, isMobile: true }],
    [{ width: 1280, height: 800 }, {}]]) {
    const { page } = await open(viewport, extra);
    assert.deepEqual(await pagePixels(page), { bar: 0, aboveBar: 255, middle: 255, place: 255 });
    const boxes = await boxesOf(page);
    assertPlace(boxes);
    // The pad and Done fit the screen's width; on the desktop they stand beside the page.
    assert.ok(boxes.pad.right <= viewport.width && boxes.done.right <= viewport.width, JSON.stringify(boxes));
    if (viewport.width >= 1000) assert.ok(boxes.pad.left >= boxes.page.right, JSON.stringify(boxes));
    else assert.ok(boxes.pad.top >= boxes.page.top && boxes.pad.bottom <= viewport.height * 1.2, JSON.stringify(boxes));
    // Who signs for what and where, above the pad, as the signature will say it.
    assert.deepEqual(await page.evaluate(() => ['signingWho', 'signingWhere'].map((id) => document.getElementById(id).textContent)),
      ['Ann Example signs: Agreed', 'Place: Berlin']);
    const signing = await page.evaluate(() => document.getElementById('signing').getBoundingClientRect().bottom);
    assert.ok(signing <= boxes.pad.top, 'above the pad');
    await page.context().close();
  }
});

test('on a phone the signer zooms the document to read it; the place stays marked', async () => {
  const { page } = await open({ width: 390, height: 844 }, { deviceScaleFactor: 3, hasTouch: true, isMobile: true });
  // Pinching the page is not forbidden either.
  assert.doesNotMatch(await page.getAttribute('meta[name=viewport]', 'content'), /user-scalable|maximum-scale/);
  const fitted = await boxesOf(page);
  assert.equal(await page.isDisabled('#zoomOut'), true);
  await page.click('#zoomIn');
  await page.click('#zoomIn');
  await until(() => page.evaluate(() => window.penwellDocument.zoom === 2), 'the zoom');
  const zoomed = await boxesOf(page);
  // 10-point text was 6 CSS pixels wide: now twice that, and still sharp.
  assert.ok(Math.abs(zoomed.page.width - 2 * fitted.page.width) < 1, JSON.stringify([fitted.page, zoomed.page]));
  assert.equal(await page.evaluate(() => document.getElementById('page').width), Math.round(zoomed.page.width * 3));
  assertPlace(zoomed);
  assert.ok(await page.evaluate(() => document.getElementById('sheet').scrollWidth > document.getElementById('sheet').clientWidth));
  assert.deepEqual(await pagePixels(page), { bar: 0, aboveBar: 255, middle: 255, place: 255 });
  await page.context().close();
});

test('the signer pages through the document; the place is marked on its page only', async () => {
  const { page } = await open({ width: 1280, height: 800 });
  assert.equal(await page.textContent('#pageOf'), 'Page 1 of 2');
  await page.click('#nextPage');
  await until(async () => (await pagePixels(page)).middle === 0, 'page 2');
  assert.equal(await page.textContent('#pageOf'), 'Page 2 of 2');
  assert.equal(await page.textContent('#pageHint'), texts.en.placeOnPage.replace('{page}', '1'));
  assert.deepEqual(await pagePixels(page), { bar: 255, aboveBar: 255, middle: 0, place: 255 });
  assert.equal(await page.isHidden('#place'), true);
  assert.equal(await page.isDisabled('#nextPage'), true);
  await page.click('#previousPage');
  await until(async () => (await pagePixels(page)).bar === 0, 'page 1 again');
  assert.equal(await page.isVisible('#place'), true);
  await page.context().close();
});

test('Done seals the document as shown: pdfsig, qpdf and pdf verify accept NAME.pdf', async () => {
  const { page } = await open({ width: 1280, height: 800 });
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
  assert.equal(done.ok, true, done.code);
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
  // The record says the signer was shown the page.
  assert.deepEqual(openEvidence(at('out'), done.name, at('cert.pem')).evidence.fields,
    { 'document shown': 'page 1, drawn on the signing page before Done' });
  await page.context().close();
});

/**
 * A pdf.js folder whose scripts load but are not pdf.js, as when a deployment's copy is
 * broken: the page cannot draw the document.
 */
function brokenPdfjs() {
  const pdfjs = mkdtempSync(join(folder, 'pdfjs-'));
  mkdirSync(join(pdfjs, 'build'));
  for (const script of ['pdf.js', 'pdf.worker.js']) writeFileSync(join(pdfjs, 'build', script), '// not pdf.js\n');
  return pdfjs;
}

test('a document not shown cannot be signed, on every way to a fresh pad, and the server refuses it', async () => {
  const out = mkdtempSync(join(folder, 'kiosk-'));
  // Without --out the page offers Start again after an idle close; with it, a kiosk starts
  // again by itself.
  for (const kiosk of [false, true]) {
    const s = await serveDocument('--pdfjs', brokenPdfjs(), '--idle', '2', ...(kiosk ? ['--out', out] : []));
    const pad = await openPad(s.url, { viewport: { width: 1280, height: 800 } });
    const { page } = pad;
    await page.evaluate(() => window.penwellDocument.ready);
    assert.equal(await page.textContent('#documentError'), texts.en.documentFailed);
    assert.equal(await page.isHidden('#pageOf'), true, 'no "Page of :"');
    const doneDisabled = () => page.evaluate(() => document.getElementById('done').disabled);
    assert.equal(await doneDisabled(), true, 'at the start');
    await until(() => page.evaluate(() => window.penwellPad.closeReason), 'the idle close');
    const patches = await page.evaluate(() => window.penwellPad.patches);
    if (!kiosk) await page.click('#again');
    // A fresh pad's first picture comes right after its hello.
    await until(() => page.evaluate((n) => window.penwellPad.closeReason === null && window.penwellPad.patches > n, patches),
      'a fresh pad');
    assert.equal(await doneDisabled(), true, kiosk ? 'after the kiosk started again' : 'after Start again');
    // A page that presses Done all the same is refused by the server.
    await dispatch(pad, 'pen', timeline(wave(40, 40, 100, 5, 10)));
    await until(async () => (await state(pad)).samples === 40, 'a signature');
    await page.evaluate(() => { document.getElementById('done').disabled = false; });
    assert.deepEqual(await done(pad), { type: 'done', ok: false, code: 'notShown' });
    assert.equal(await page.textContent('#result'), texts.en.notShown);
    assert.match(s.log, /Done saved nothing: the page never reported the document shown/);
    await page.context().close();
  }
  assert.deepEqual(readdirSync(out), [], 'nothing written');
});

test('in German; a kiosk that starts again tells its new pad that the document was shown', async () => {
  const s = await serveDocument('--lang', 'de', '--idle', '2', '--out', mkdtempSync(join(folder, 'de-')));
  const pad = await open({ width: 1280, height: 800 }, {}, s.url);
  const { page } = pad;
  assert.deepEqual(await page.evaluate(() => ['pageOf', 'pageHint', 'signingWho', 'signingWhere', 'zoomIn']
    .map((id) => document.getElementById(id).textContent)),
  ['Seite 1 von 2', texts.de.placeHere, 'Ann Example unterschreibt: Agreed', 'Ort: Berlin', texts.de.zoomIn]);
  await until(() => page.evaluate(() => window.penwellPad.closeReason), 'the idle close');
  await until(() => page.evaluate(() => window.penwellPad.closeReason === null && !document.getElementById('done').disabled),
    'the kiosk back, Done possible');
  await dispatch(pad, 'pen', timeline(wave(40, 40, 100, 5, 10)));
  await until(async () => (await state(pad)).samples === 40, 'a signature');
  const reply = await done(pad);
  assert.equal(reply.ok, true, reply.code);
  assert.equal(await page.textContent('#result'), texts.de.signedSaved);
  assert.deepEqual(pad.errors, []);
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
