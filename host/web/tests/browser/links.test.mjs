// A signing request end to end, as an institution and its signers meet it: `penwell serve
// --data` on loopback, driven through its HTTP API with a Bearer key; both signers in real
// Chromium on their own links, in order (the second behind an access code, a wrong one
// first); the webhooks caught by a receiver here that checks each one's HMAC; the sealed PDF
// judged by pdfsig, qpdf and `penwell pdf verify`; each page sent back to the request's return
// URL (served by the receiver too). Then a link used again after signing, and a request
// declined on its page. One server, one browser. Needs PENWELL, PENWELL_RESOURCES
// and PENWELL_PRIVATE_KEY; the PDF and the operator's certificate are made here.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import http from 'node:http';
import crypto from 'node:crypto';
import { PENWELL, PENWELL_PRIVATE_KEY, dispatch, openPage, padOf, rawClient, serve, state, timeline, until,
  wave } from './lib.mjs';

const texts = JSON.parse(readFileSync(new URL('../../../common/wording/signer.json', import.meta.url))).en;
const say = (key, values = {}) => texts[key].replace(/\{(\w+)\}/g, (_, name) => values[name]);
const folder = mkdtempSync(join(tmpdir(), 'penwell-links-'));
const at = (name) => join(folder, name);
const data = at('data');
// The webhook secret as its file holds it: the server drops the line break, a receiver keys
// its HMAC with the rest.
const secret = crypto.randomBytes(32).toString('hex');
// The receiver is on loopback: a proxy of the environment must not carry the server's POSTs.
process.env.NO_PROXY = process.env.no_proxy = '127.0.0.1';

let server;
let key;
let upload; // the PDF as uploaded
const hooks = []; // every webhook delivery as it arrived: path, headers, body
const returns = []; // every page a signer was sent back to: the path with its query
const receiver = http.createServer((req, res) => {
  if (req.method === 'GET') {
    // The integrator's page a signer comes back to.
    if (req.url.startsWith('/back')) returns.push(req.url);
    res.writeHead(200, { 'Content-Type': 'text/html' }).end('<!doctype html><title>Back office</title>');
    return;
  }
  const chunks = [];
  req.on('data', (chunk) => chunks.push(chunk));
  req.on('end', () => {
    hooks.push({ path: req.url, method: req.method, type: req.headers['content-type'],
      signature: req.headers['penwell-signature'], body: Buffer.concat(chunks).toString('utf8') });
    res.writeHead(204).end();
  });
});

/** A two-page A4 document with an empty signature field "Approval" on page 1 (qpdf writes its offsets). */
function makeDocument() {
  const page = (id, y, annots) => `${id} 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] ` +
    `/Contents ${id + 1} 0 R ${annots} >> endobj\n${id + 1} 0 obj << /Length 19 >>\nstream\n72 ${y} 300 20 re f\nendstream\nendobj\n`;
  writeFileSync(at('raw.pdf'), '%PDF-1.7\n1 0 obj << /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [7 0 R] >> >> endobj\n' +
    '2 0 obj << /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >> endobj\n' + page(3, 700, '/Annots [7 0 R]') + page(5, 400, '') +
    '7 0 obj << /Type /Annot /Subtype /Widget /FT /Sig /T (Approval) /Rect [300 100 500 160] /P 3 0 R /F 4 >> endobj\n' +
    'trailer << /Size 8 /Root 1 0 R >>\n%%EOF\n');
  try { execFileSync('qpdf', [at('raw.pdf'), at('in.pdf')], { stdio: 'ignore' }); } catch (e) { if (e.status !== 3) throw e; }
  return readFileSync(at('in.pdf'));
}

before(async () => {
  upload = makeDocument();
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=Signing desk',
    '-days', '2', '-keyout', at('key.pem'), '-out', at('cert.pem')], { stdio: 'ignore' });
  writeFileSync(at('webhook-secret'), `${secret}\n`, { mode: 0o600 });
  // The deployment's own look (serve --brand): a 40 x 20 logo and its colours.
  execFileSync('mkdir', ['-p', at('brand')]);
  writeFileSync(at('brand/logo.svg'), '<svg xmlns="http://www.w3.org/2000/svg" width="40" height="20"><rect width="40" height="20" fill="#0a5"/></svg>');
  writeFileSync(at('brand/brand.json'), '{"colors": {"accent": "#0a5", "background": "#fff", "text": "#222"}}');
  key = execFileSync(PENWELL, ['serve', 'keys', 'add', 'back-office', '--data', data], { encoding: 'utf8', timeout: 30000 }).trim();
  await new Promise((resolve) => receiver.listen(0, '127.0.0.1', resolve));
  server = await serve('--data', data, '--sign-key', at('key.pem'), '--sign-cert', at('cert.pem'),
    '--brand', at('brand'), '--webhook-secret-file', at('webhook-secret'), '--webhook-url', `http://127.0.0.1:${receiver.address().port}/hooks`);
});
after(() => {
  receiver.close();
  rmSync(folder, { recursive: true, force: true });
});

/** An HTTP call to the server (the API with the key unless `auth` is null): status, headers, bytes, JSON. */
async function call(method, path, { body, type, auth = key } = {}) {
  const headers = {};
  if (auth) headers.Authorization = `Bearer ${auth}`;
  if (type) headers['Content-Type'] = type;
  const response = await fetch(new URL(path, server.url), { method, headers, body, redirect: 'manual',
    signal: AbortSignal.timeout(30000) });
  const bytes = Buffer.from(await response.arrayBuffer());
  let json;
  try { json = JSON.parse(bytes.toString('utf8')); } catch { json = undefined; }
  return { status: response.status, headers: response.headers, bytes, json };
}
const api = (method, path, value) => call(method, `/api/v1${path}`,
  value === undefined ? {} : { body: JSON.stringify(value), type: 'application/json' });
const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
const count = (text, what) => text.split(what).length - 1;

/** A request on the uploaded document; answers it with its signers' links. */
async function createRequest(signers, extra = {}) {
  const uploaded = await call('POST', '/api/v1/documents', { body: upload, type: 'application/pdf' });
  assert.equal(uploaded.status, 201, uploaded.bytes.toString());
  assert.equal(uploaded.json.sha256, sha256(upload));
  const created = await api('POST', '/requests', { document: uploaded.json.id, signers, expiresIn: 3600, ...extra });
  assert.equal(created.status, 201, created.bytes.toString());
  return created.json;
}

/** What a link's page says, and whether it shows the pad and the document. */
const linkView = (page) => page.evaluate(() => ({
  line: document.getElementById('linkLine').textContent,
  pad: document.getElementById('frame').style.display !== 'none',
  document: !document.getElementById('document').hidden,
  code: !document.getElementById('codeForm').hidden,
  connected: window.penwellPad.ready !== null,
}));

/** The request's return URL on the receiver, as the page goes there after `outcome`. */
const returnUrl = () => `http://127.0.0.1:${receiver.address().port}/back?office=7`;
const backTo = (id, outcome) => `${returnUrl()}&request=${id}&outcome=${outcome}`;

/**
 * Draws a signature on a link's pad, once its document is drawn at the page of the place,
 * and presses Done; the page then goes to `returnsTo`.
 */
async function sign(pad, who, onPage, returnsTo) {
  const { page } = pad;
  await page.evaluate(() => window.penwellDocument.ready);
  assert.equal(await page.evaluate(() => window.penwellDocument.error), null);
  assert.equal(await page.textContent('#signingWho'), who);
  assert.equal(await page.textContent('#pageOf'), say('page', { page: onPage, pages: 2 }));
  await dispatch(pad, 'pen', timeline(wave(60, 40, 100, 5, 20)));
  await until(async () => (await state(pad)).samples === 60, 'the signature');
  const back = page.waitForURL(returnsTo, { timeout: 30000 });
  await page.click('#done');
  await back;
  assert.equal(returns.at(-1), new URL(returnsTo).pathname + new URL(returnsTo).search);
}

const signers = [
  { name: 'Ann Example', place: { field: 'Approval' }, reason: 'Agreed', location: 'Berlin' },
  { name: 'Bob Example', place: { page: 2, rect: [72, 300, 200, 60] }, reason: 'Approved', accessCode: '4711' },
];
let request; // the two-signer request
let links;
let revision1; // the document as Ann signed it

test('two signers sign in order on their links, the second after a wrong access code', async () => {
  request = await createRequest(signers, { metadata: { contract: 'C-2031' }, returnUrl: returnUrl() });
  links = request.signers.map((s) => s.link);

  // Bob opens his link first: it waits for Ann, and serves none of the document meanwhile.
  const bob = await openPage(links[1], { viewport: { width: 1280, height: 800 }, hasTouch: false });
  const waiting = say('linkWaiting', { name: 'Ann Example' });
  assert.deepEqual(await linkView(bob.page), { line: waiting, pad: false, document: false, code: false, connected: false });
  assert.equal((await call('GET', `${links[1]}/document.pdf`, { auth: null })).status, 403);
  assert.deepEqual((await call('GET', `${links[1]}/status.json`, { auth: null })).json,
    { step: 'waiting', text: 'linkWaiting', values: { name: 'Ann Example' }, returnUrl: returnUrl(), request: request.id });
  assert.equal((await call('GET', '/s/AAAAAAAAAAAAAAAAAAAAAA/status.json', { auth: null })).status, 404);

  const ann = await padOf(await openPage(links[0], { viewport: { width: 1280, height: 800 }, hasTouch: false }));
  // The link's page shows the deployment's logo, loaded from the server, and its colours.
  assert.deepEqual(await ann.page.evaluate(() => {
    const logo = document.getElementById('brandLogo');
    return { src: new URL(logo.src).pathname, shown: !logo.hidden, width: logo.naturalWidth,
      background: getComputedStyle(document.body).backgroundColor, accent: getComputedStyle(document.querySelector('h1')).color };
  }), { src: '/brand/logo', shown: true, width: 40, background: 'rgb(255, 255, 255)', accent: 'rgb(0, 170, 85)' });
  await sign(ann, 'Ann Example signs: Agreed', 1, backTo(request.id, 'signed'));
  assert.deepEqual(ann.errors, []);
  await ann.page.context().close();
  const after1 = await api('GET', `/requests/${request.id}/document`);
  assert.equal(after1.headers.get('x-penwell-revision'), '1');
  revision1 = after1.bytes;
  assert.ok(revision1.subarray(0, upload.length).equals(upload), 'an incremental update of the upload');

  // Bob's page, left open, moves on by itself: he is asked his code before anything of the
  // document, and a wrong one is said so.
  // (While the page reloads there is no page to ask.)
  await until(() => linkView(bob.page).then((view) => view.code, () => false), 'Bob\'s page moving on', 800);
  assert.deepEqual(await linkView(bob.page),
    { line: texts.accessCodeAsk, pad: false, document: false, code: true, connected: false });
  assert.equal((await call('GET', `${links[1]}/document.pdf`, { auth: null })).status, 403);
  await bob.page.fill('#code', '0000');
  await bob.page.click('#codeSend');
  await until(async () => (await linkView(bob.page)).line === texts.accessCodeWrong, 'the wrong code said');
  assert.deepEqual(await linkView(bob.page),
    { line: texts.accessCodeWrong, pad: false, document: false, code: true, connected: false });
  await bob.page.fill('#code', '4711');
  const reloaded = bob.page.waitForEvent('load', { timeout: 30000 });
  await bob.page.click('#codeSend');
  await reloaded;
  // Shown at the page of his place, the second.
  await sign(await padOf(bob), 'Bob Example signs: Approved', 2, backTo(request.id, 'signed'));
  // The refused code's answer is the only thing the browser complains of.
  assert.deepEqual(bob.errors.filter((e) => !/status of 403/.test(e)), []);
  await bob.page.context().close();
});

test('the completed request: its sealed PDF passes pdfsig, qpdf and pdf verify, its trail chains', async () => {
  const read = await api('GET', `/requests/${request.id}`);
  assert.equal(read.status, 200);
  assert.equal(read.json.state, 'completed');
  assert.deepEqual(read.json.signers.map((s) => [s.position, s.name, s.state]),
    [[1, 'Ann Example', 'signed'], [2, 'Bob Example', 'signed']]);
  // The seal follows the last signature on the server's own time: wait for it, within a bound.
  const sealed = await until(async () => {
    const answer = await api('GET', `/requests/${request.id}/document`);
    return answer.headers.get('x-penwell-revision') === '3' && answer;
  }, 'the sealed revision');
  const final = sealed.bytes;
  assert.ok(final.subarray(0, revision1.length).equals(revision1), 'Ann\'s revision is a prefix of the sealed one');
  writeFileSync(at('sealed.pdf'), final);

  const sig = execFileSync('pdfsig', [at('sealed.pdf')], { encoding: 'utf8' });
  assert.equal(count(sig, 'Signature Validation: Signature is Valid'), 3, sig);
  assert.equal(count(sig, 'Total document signed'), 1, sig);
  assert.match(sig, /Signature #3:[\s\S]*Total document signed/);
  // Ann's ink went into the document's own field.
  assert.match(sig, /Signature #1:\n {2}- Signature Field Name: Approval\n/);
  execFileSync('qpdf', ['--check', at('sealed.pdf')], { stdio: 'ignore' });
  const verify = spawnSync(PENWELL, ['pdf', 'verify', at('sealed.pdf'), '--private-key', PENWELL_PRIVATE_KEY,
    '--trust', at('cert.pem')], { encoding: 'utf8', timeout: 60000 });
  assert.equal(verify.status, 0, verify.stdout + verify.stderr);
  // Each signer's record holds the one stroke of 60 samples drawn on their page.
  assert.equal(count(verify.stdout, 'evidence: bound to the signed revision; 1 strokes, 60 samples'), 2, verify.stdout);
  assert.match(verify.stdout, /checks out: yes: its chain is intact/);
  assert.match(verify.stdout, /all 3 signature\(s\) check out/);
  assert.match(verify.stdout, new RegExp(`audit trail: penwell-audit\\.json, request "?${request.id}"?`));

  // The trail as the API tells it: what each signer saw is the revision before their signature.
  const audit = (await api('GET', `/requests/${request.id}/audit`)).json;
  assert.equal(audit.chainIntact, true);
  const of = (type, signer) => audit.events.filter((e) => e.type === type && e.signer === signer);
  assert.deepEqual(of('document.shown', 1).map((e) => e.detail), [sha256(upload)]);
  assert.deepEqual(of('signer.signed', 1).map((e) => e.detail), [sha256(revision1)]);
  assert.deepEqual(of('document.shown', 2).map((e) => e.detail), [sha256(revision1)]);
  assert.equal(of('access_code.refused', 2).length, 1);
  assert.equal(of('access_code.passed', 2).length, 1);
  assert.deepEqual(of('request.sealed', 0).map((e) => e.detail), [sha256(final)]);
  assert.equal(audit.events.at(-1).type, 'request.sealed');
  // Who acted is the browser, from loopback.
  for (const e of [...of('signer.signed', 1), ...of('signer.signed', 2)]) {
    assert.equal(e.address, '127.0.0.1');
    assert.match(e.userAgent, /Chrome\//);
  }
});

test('a link used again after signing says so and draws nothing', async () => {
  const again = await openPage(links[0]);
  assert.deepEqual(await linkView(again.page),
    { line: texts.linkSigned, pad: false, document: false, code: false, connected: false });
  await again.page.context().close();
  const { port } = server;
  const token = new URL(links[0]).pathname.split('/')[2];
  assert.equal((await rawClient(port, { path: `/s/${token}/ws` })).status, 403);
  assert.equal((await call('GET', `${links[0]}/document.pdf`, { auth: null })).status, 403);
  assert.equal((await api('GET', `/requests/${request.id}/document`)).headers.get('x-penwell-revision'), '3');
});

let declined;
test('a signer who declines on the page with a reason ends the request declined', async () => {
  declined = await createRequest([{ name: 'Cleo Example', place: { page: 1, rect: [72, 72, 200, 60] } }],
    { webhook: `http://127.0.0.1:${receiver.address().port}/hooks/own`, returnUrl: returnUrl() });
  const cleo = await padOf(await openPage(declined.signers[0].link));
  const { page } = cleo;
  await page.click('#declining summary');
  await page.fill('#declineReason', '  The amount is wrong.  ');
  const back = page.waitForURL(backTo(declined.id, 'declined'), { timeout: 30000 });
  await page.click('#declineSend');
  await back;
  await page.goto(declined.signers[0].link); // the link, opened again, says so
  assert.deepEqual(await linkView(page),
    { line: texts.linkYouDeclined, pad: false, document: false, code: false, connected: false });
  assert.deepEqual(cleo.errors, []);
  await page.context().close();
  const read = (await api('GET', `/requests/${declined.id}`)).json;
  assert.equal(read.state, 'declined');
  assert.equal(read.signers[0].state, 'declined');
  const audit = (await api('GET', `/requests/${declined.id}/audit`)).json;
  assert.deepEqual(audit.events.filter((e) => e.type === 'signer.declined').map((e) => e.detail), ['The amount is wrong.']);
  assert.equal(audit.chainIntact, true);
});

test('every webhook arrives once, signed with the secret, in order per request', async () => {
  const expected = {
    [request.id]: ['signer.opened 1', 'signer.signed 1', 'signer.opened 2', 'signer.signed 2',
      'request.completed', 'request.sealed'],
    [declined.id]: ['signer.opened 1', 'signer.declined 1'],
  };
  const total = Object.values(expected).flat().length;
  // One event per request goes out every 2 s: the longest list takes about 12 s.
  await until(() => hooks.length >= total, `${total} webhooks (${hooks.length} so far)`, 1600);
  const seen = {};
  const ids = new Set();
  for (const hook of hooks) {
    assert.equal(hook.method, 'POST');
    assert.equal(hook.type, 'application/json');
    const m = /^t=(\d+),v1=([0-9a-f]{64})$/.exec(hook.signature ?? '');
    assert.ok(m, `Penwell-Signature: ${hook.signature}`);
    const mac = crypto.createHmac('sha256', secret).update(`${m[1]}.${hook.body}`).digest();
    assert.ok(crypto.timingSafeEqual(mac, Buffer.from(m[2], 'hex')), `the HMAC of ${hook.body}`);
    const event = JSON.parse(hook.body);
    assert.match(event.id, /^evt_/);
    assert.ok(!ids.has(event.id), `${event.id} twice`);
    ids.add(event.id);
    const { data } = event;
    // A request naming its own webhook is sent there, the others to the server's.
    assert.equal(hook.path, data.request === declined.id ? '/hooks/own' : '/hooks', hook.body);
    (seen[data.request] ??= []).push(data.signer ? `${event.type} ${data.signer.position}` : event.type);
    if (data.request === request.id) assert.deepEqual(data.metadata, { contract: 'C-2031' });
    if (event.type === 'signer.declined') assert.equal(data.state, 'declined');
    if (event.type === 'request.sealed') assert.equal(data.state, 'completed');
  }
  assert.deepEqual(seen, expected);
});
