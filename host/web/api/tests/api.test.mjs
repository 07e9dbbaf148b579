// The signing service's HTTP API driven as a client drives it: the real `penwell serve --data`
// started on loopback, keys made with `penwell serve keys`, every route called over HTTP.
// Needs PENWELL (the built program) and PENWELL_RESOURCES (a folder with Penwell.dat); the
// PDFs are made here with qpdf.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync, readFileSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import net from 'node:net';
import crypto from 'node:crypto';
import { Validator } from '@seriousme/openapi-schema-validator';

const { PENWELL, PENWELL_RESOURCES } = process.env;
const folder = mkdtempSync(join(tmpdir(), 'penwell-api-'));
const data = join(folder, 'data');
const at = (name) => join(folder, name);
let server;
let base;
let key;
const pdfs = {};

/** penwell with `args`: its exit status and what it printed. */
function penwell(...args) {
  const run = spawnSync(PENWELL, args, { encoding: 'utf8', timeout: 30000 });
  return { status: run.status, out: run.stdout, err: run.stderr };
}

/** A two-page A4 document with an empty signature field "Approval" on page 1; `extra` goes
 *  into the catalog, `objects` after the others. qpdf writes it with its offsets. */
function makePdf(name, extra = '', objects = '') {
  const page = (id, y, annots) => `${id} 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] ` +
    `/Contents ${id + 1} 0 R ${annots} >> endobj\n${id + 1} 0 obj << /Length 19 >>\nstream\n72 ${y} 300 20 re f\nendstream\nendobj\n`;
  writeFileSync(at('raw.pdf'), '%PDF-1.7\n' +
    `1 0 obj << /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [7 0 R] >> ${extra} >> endobj\n` +
    '2 0 obj << /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >> endobj\n' +
    page(3, 700, '/Annots [7 0 R]') + page(5, 400, '') +
    '7 0 obj << /Type /Annot /Subtype /Widget /FT /Sig /T (Approval) /Rect [300 100 500 160] /P 3 0 R /F 4 >> endobj\n' +
    objects + 'trailer << /Size 10 /Root 1 0 R >>\n%%EOF\n');
  try { execFileSync('qpdf', [at('raw.pdf'), at(name)], { stdio: 'ignore' }); } catch (e) { if (e.status !== 3) throw e; }
  return readFileSync(at(name));
}

/** Starts penwell serve --data on a free port; answers once it prints its address. */
function serve() {
  const proc = spawn(PENWELL, ['serve', '--demo', '--bind', '127.0.0.1', '--port', '0',
    '--resources', PENWELL_RESOURCES, '--data', data], { stdio: ['ignore', 'pipe', 'pipe'] });
  let log = '';
  proc.stderr.on('data', (chunk) => { log += chunk; });
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`serve did not start: ${log}`)), 60000);
    proc.stdout.on('data', (chunk) => {
      text += chunk;
      const url = /http:\/\/\S+\//.exec(text);
      if (url) { clearTimeout(timer); resolve({ proc, url: url[0] }); }
    });
    proc.on('exit', (code) => reject(new Error(`penwell serve exited with ${code}: ${log}`)));
  });
}

/** An API call: answers the status, the headers, the text and (when JSON) the parsed body. */
async function call(method, path, { body, type, auth = key, headers = {} } = {}) {
  const h = { ...headers };
  if (auth) h.Authorization = `Bearer ${auth}`;
  if (type) h['Content-Type'] = type;
  const response = await fetch(new URL(path, base), { method, headers: h, body,
    signal: AbortSignal.timeout(30000) });
  const bytes = Buffer.from(await response.arrayBuffer());
  const text = bytes.toString('utf8');
  let json;
  try { json = JSON.parse(text); } catch { json = undefined; }
  return { status: response.status, headers: response.headers, text, bytes, json };
}
const postJson = (path, value, headers = {}) =>
  call('POST', path, { body: typeof value === 'string' ? value : JSON.stringify(value), type: 'application/json', headers });

/** A refusal: the status, its code, and its message containing `words`. */
function refused(answer, status, code, words = '') {
  assert.equal(answer.status, status, answer.text);
  assert.equal(answer.json?.code, code, answer.text);
  assert.equal(typeof answer.json.message, 'string');
  assert.ok(!answer.json.message.includes('\n'), 'one line');
  assert.ok(answer.json.message.includes(words), `"${answer.json.message}" lacks "${words}"`);
  assert.ok(!answer.json.message.includes(data), 'the server\'s folder is not told');
}

before(async () => {
  pdfs.plain = makePdf('plain.pdf');
  pdfs.certified = makePdf('certified.pdf', '/Perms << /DocMDP 9 0 R >>',
    '9 0 obj << /Type /Sig /Filter /Adobe.PPKLite /Reference [<< /Type /SigRef /TransformMethod /DocMDP ' +
    '/TransformParams << /Type /TransformParams /P 1 /V /1.2 >> >>] >> endobj\n');
  // Signable, but the audit trail could not be attached at the end (P = 2); P = 3 allows it.
  for (const p of [2, 3]) {
    pdfs[`certifiedP${p}`] = makePdf(`certified-p${p}.pdf`, '/Perms << /DocMDP 9 0 R >>',
      '9 0 obj << /Type /Sig /Filter /Adobe.PPKLite /Reference [<< /Type /SigRef /TransformMethod /DocMDP ' +
      `/TransformParams << /Type /TransformParams /P ${p} /V /1.2 >> >>] >> endobj\n`);
  }
  execFileSync('qpdf', ['--encrypt', 'u', 'o', '256', '--', at('plain.pdf'), at('encrypted.pdf')]);
  pdfs.encrypted = readFileSync(at('encrypted.pdf'));
  // Cut short: the cross-reference section and %%EOF are gone.
  pdfs.damaged = pdfs.plain.subarray(0, pdfs.plain.length - 60);

  const made = penwell('serve', 'keys', 'add', 'back-office', '--data', data);
  assert.equal(made.status, 0, made.err);
  key = made.out.trim();
  assert.match(key, /^pwk_[A-Za-z0-9_-]{43}$/);
  server = await serve();
  base = server.url;
});

after(() => {
  server?.proc.kill('SIGINT');
  rmSync(folder, { recursive: true, force: true });
});

test('the folder is the owner\'s alone and keeps no key', () => {
  assert.equal(statSync(data).mode & 0o777, 0o700);
  assert.equal(statSync(join(data, 'penwell.sqlite')).mode & 0o777, 0o600);
  const everything = execFileSync('cat', [join(data, 'penwell.sqlite')]);
  assert.ok(!everything.includes(Buffer.from(key)), 'the database holds the key itself');
});

test('serve keys: usage errors exit 2, a name taken or unknown 1, one line each', () => {
  const cases = [
    [['serve', 'keys', 'add', 'back-office', '--data', data], 1, 'exists'],
    [['serve', 'keys', 'revoke', 'nobody', '--data', data], 1, 'no API key named nobody'],
    [['serve', 'keys', 'add', '', '--data', data], 2, '1 to 200 bytes'],
    [['serve', 'keys', 'add', 'x'], 2, '--data'],
    [['serve', 'keys'], 2, ''],
  ];
  for (const [args, status, words] of cases) {
    const run = penwell(...args);
    assert.equal(run.status, status, `${args.join(' ')}: ${run.err}`);
    assert.equal(run.err.trim().split('\n').length, 1, run.err);
    assert.ok(run.err.includes(words), run.err);
  }
  const list = penwell('serve', 'keys', 'list', '--data', data);
  assert.equal(list.status, 0);
  assert.match(list.out, /^back-office\tcreated \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n/);
});

test('a request without a valid key is refused: missing, wrong, revoked', async () => {
  const other = penwell('serve', 'keys', 'add', 'leaver', '--data', data).out.trim();
  assert.equal((await call('GET', '/api/v1/requests', { auth: other })).status, 200);
  assert.equal(penwell('serve', 'keys', 'revoke', 'leaver', '--data', data).status, 0);
  assert.match(penwell('serve', 'keys', 'list', '--data', data).out, /leaver\tcreated \S+\trevoked \S+/);
  for (const auth of [null, 'pwk_wrong', other, `${key}x`]) {
    const answer = await call('GET', '/api/v1/requests', { auth });
    refused(answer, 401, 'unauthorized');
    assert.match(answer.headers.get('www-authenticate'), /^Bearer/);
  }
  refused(await call('GET', '/metrics', { auth: null }), 401, 'unauthorized');
});

test('health and readiness answer without a key', async () => {
  for (const path of ['/healthz', '/readyz']) {
    const answer = await call('GET', path, { auth: null });
    assert.equal(answer.status, 200, path);
  }
});

test('a document is checked as pdf sign checks it', async () => {
  const upload = (bytes, type = 'application/pdf') => call('POST', '/api/v1/documents', { body: bytes, type });
  refused(await upload(pdfs.encrypted), 422, 'document_refused', 'document.pdf: encrypted');
  refused(await upload(pdfs.damaged), 422, 'document_refused', 'document.pdf: damaged');
  refused(await upload(pdfs.certified), 422, 'document_refused', 'document.pdf: certified: no changes allowed');
  refused(await upload(pdfs.certifiedP2), 422, 'document_refused',
    'document.pdf: certified with P = 2 (');
  assert.ok((await upload(pdfs.certifiedP2)).json.message.endsWith('it allows no file to be attached'));
  assert.equal((await upload(pdfs.certifiedP3)).status, 201);
  refused(await upload(Buffer.from('Dear Sir, this is no PDF.')), 422, 'document_refused', 'document.pdf:');
  refused(await upload(pdfs.plain, 'text/plain'), 415, 'unsupported_media_type');

  const answer = await upload(pdfs.plain);
  assert.equal(answer.status, 201, answer.text);
  assert.match(answer.json.id, /^doc_/);
  assert.equal(answer.json.sha256, crypto.createHash('sha256').update(pdfs.plain).digest('hex'));
  assert.equal(answer.json.size, pdfs.plain.length);
  assert.equal(answer.json.pages, 2);
  assert.deepEqual(answer.json.fields, [{ name: 'Approval', page: 1, rect: [300, 100, 200, 60], signed: false }]);
});

test('a body over the cap is refused by its Content-Length, before it is read', async () => {
  const { port } = new URL(base);
  const reply = await new Promise((resolve, reject) => {
    const socket = net.connect(Number(port), '127.0.0.1');
    let text = '';
    socket.setTimeout(20000, () => { socket.destroy(); reject(new Error('no answer')); });
    socket.on('data', (chunk) => { text += chunk; });
    socket.on('end', () => resolve(text));
    socket.on('error', reject);
    // Only the header is sent: an answer proves the server did not wait for 300 MiB.
    socket.write(`POST /api/v1/documents HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n` +
      `Authorization: Bearer ${key}\r\nContent-Type: application/pdf\r\nContent-Length: ${300 * 1024 * 1024}\r\n\r\n`);
  });
  assert.match(reply, /^HTTP\/1\.1 413 /);
  assert.match(reply, /"code":"too_large"/);
  // A JSON body over its cap likewise.
  refused(await postJson('/api/v1/requests', ' '.repeat(65 * 1024)), 413, 'too_large');
});

async function uploaded() {
  return (await call('POST', '/api/v1/documents', { body: pdfs.plain, type: 'application/pdf' })).json.id;
}

const signers = [
  { name: 'Ann Example', place: { field: 'Approval' }, reason: 'Agreed', location: 'Berlin', email: 'ann@example.com' },
  { name: 'Bob Example', place: { page: 2, rect: [72, 300, 200, 60] }, accessCode: '4711' },
];

test('a request: links per signer, an Idempotency-Key replays the first answer', async () => {
  const document = await uploaded();
  const body = JSON.stringify({ document, signers, expiresIn: 7 * 86400, webhook: 'https://hooks.example/penwell',
    metadata: { contract: 'C-2031', customer: 42 }, returnUrl: 'https://portal.example/done?case=7' });
  const first = await postJson('/api/v1/requests', body, { 'Idempotency-Key': 'order-77' });
  assert.equal(first.status, 201, first.text);
  const request = first.json;
  assert.equal(request.state, 'pending');
  assert.deepEqual(request.metadata, { contract: 'C-2031', customer: 42 });
  assert.equal(request.returnUrl, 'https://portal.example/done?case=7');
  assert.deepEqual(request.signers.map((s) => [s.position, s.name, s.state, s.accessCode]),
    [[1, 'Ann Example', 'waiting', false], [2, 'Bob Example', 'waiting', true]]);
  assert.deepEqual(request.signers[1].place, { page: 2, rect: [72, 300, 200, 60] });
  for (const signer of request.signers) assert.match(signer.link, new RegExp(`^${base}s/[A-Za-z0-9_-]{22}$`));
  assert.notEqual(request.signers[0].link, request.signers[1].link);
  assert.ok(!first.text.includes('4711'), 'the access code is not answered');

  const again = await postJson('/api/v1/requests', body, { 'Idempotency-Key': 'order-77' });
  assert.equal(again.status, 201);
  assert.equal(again.text, first.text, 'a retry gets the identical answer');
  assert.equal(again.headers.get('idempotent-replayed'), 'true');
  const list = await call('GET', '/api/v1/requests?limit=100');
  assert.equal(list.json.requests.filter((r) => r.id === request.id).length, 1, 'and no second request');
  refused(await postJson('/api/v1/requests', body.replace('C-2031', 'C-2032'), { 'Idempotency-Key': 'order-77' }),
    409, 'idempotency_conflict');

  const read = await call('GET', `/api/v1/requests/${request.id}`);
  assert.equal(read.status, 200);
  assert.equal(read.json.signers[0].link, undefined, 'links exist only in the creation\'s answer');
  assert.deepEqual({ ...read.json, signers: undefined }, { ...request, signers: undefined });

  const pdf = await call('GET', `/api/v1/requests/${request.id}/document`);
  assert.equal(pdf.status, 200);
  assert.equal(pdf.headers.get('content-type'), 'application/pdf');
  assert.equal(pdf.headers.get('x-penwell-revision'), '0');
  assert.ok(pdf.bytes.equals(pdfs.plain), 'revision 0 is the upload, byte for byte');

  const audit = await call('GET', `/api/v1/requests/${request.id}/audit`);
  assert.equal(audit.status, 200);
  assert.deepEqual(audit.json.events.map((e) => [e.sequence, e.type]), [[1, 'request.created']]);
  assert.equal(audit.json.events[0].previousHash, '0'.repeat(64));
  assert.equal(audit.json.chainIntact, true);
});

test('malformed requests are refused naming the value at fault', async () => {
  const document = await uploaded();
  const good = { document, signers, expiresIn: 3600 };
  const cases = [
    ['{"document":', 'invalid JSON'],
    ['[]', 'expected an object'],
    [{ ...good, signers: undefined }, 'signers: missing'],
    [{ ...good, signers: [] }, 'signers: expected a list of 1 to 20'],
    [{ ...good, signers: Array(21).fill(signers[0]) }, 'signers: expected a list of 1 to 20'],
    [{ ...good, signers: [{ name: 'Ann' }] }, 'signers[0].place: missing'],
    [{ ...good, signers: [{ name: 'Ann', place: {} }] }, 'signers[0].place: needs "field", or "page" with "rect"'],
    [{ ...good, signers: [{ name: 'Ann', place: { page: 1 } }] }, 'signers[0].place: needs'],
    [{ ...good, signers: [{ name: 'Ann', place: { field: 'A', page: 1, rect: [0, 0, 9, 9] } }] }, 'not both'],
    [{ ...good, signers: [{ name: 'Ann', place: { page: 1, rect: [0, 0, 9] } }] }, 'signers[0].place.rect: expected [x, y, width, height]'],
    [{ ...good, signers: [{ name: 'Ann', place: { page: 1, rect: [0, 0, 0, 9] } }] }, 'signers[0].place.rect[2]'],
    [{ ...good, signers: [{ name: 'Ann', place: { page: 3, rect: [0, 0, 9, 9] } }] }, 'signers[0].place.page: the document has 2 pages'],
    [{ ...good, signers: [{ place: { field: 'A' } }] }, 'signers[0].name: missing'],
    [{ ...good, signers: [{ name: '  ', place: { field: 'Approval' } }] }, 'Signer 1 has no name'],
    [{ ...good, signers: [{ name: 'Ann', place: { field: 'Nope' } }] }, 'signers[0].place.field: the document has no signature field Nope'],
    [{ ...good, signers: [{ name: 'Ann', place: { field: 'Approval' } }, { name: 'Bo', place: { field: 'Approval' } }] },
      'signers[1].place.field: another signer signs in Approval already'],
    [{ ...good, signers: [{ name: 'Ann', place: { field: 'A' }, phone: '1' }] }, 'signers[0].phone: unknown field'],
    [{ ...good, signers: [{ name: 'x'.repeat(1025), place: { field: 'A' } }] }, 'signers[0].name: longer than 1024'],
    [{ ...good, expiresIn: undefined }, 'give one of "expiresAt"'],
    [{ ...good, expiresAt: Date.now() + 5000 }, 'give one of "expiresAt"'],
    [{ ...good, expiresIn: 0 }, 'expiresIn'],
    [{ ...good, expiresIn: '1h' }, 'expiresIn'],
    [{ ...good, webhook: 'ftp://hooks.example/' }, 'webhook: expected an http:// or https:// URL'],
    [{ ...good, returnUrl: 'http://portal.example/done' }, 'returnUrl: expected an https:// URL (http:// only to localhost)'],
    [{ ...good, returnUrl: 'https://' }, 'returnUrl: expected an https:// URL'],
    [{ ...good, metadata: [1] }, 'metadata: expected an object'],
    [{ ...good, metadata: { note: 'x'.repeat(5000) } }, 'metadata: longer than 4096'],
    [{ ...good, document: 7 }, 'document: expected a string'],
    [{ ...good, template: 'x' }, 'template: unknown field'],
  ];
  for (const [body, words] of cases) {
    const answer = await postJson('/api/v1/requests', body);
    refused(answer, 400, 'invalid_request', words);
  }
  refused(await postJson('/api/v1/requests', { ...good, document: 'doc_nothere' }), 404, 'not_found', 'no document doc_nothere');
  refused(await call('POST', '/api/v1/requests', { body: JSON.stringify(good), type: 'text/plain' }), 415, 'unsupported_media_type');
});

test('listing pages through every request in id order, and filters by state', async () => {
  const document = await uploaded();
  const made = [];
  for (let i = 0; i < 5; i++) {
    made.push((await postJson('/api/v1/requests', { document, signers: [signers[0]], expiresIn: 600 })).json.id);
  }
  const seen = [];
  let after = '';
  for (let pages = 0; ; pages++) {
    assert.ok(pages < 50, 'the pages end');
    const page = await call('GET', `/api/v1/requests?limit=2&after=${encodeURIComponent(after)}`);
    assert.equal(page.status, 200, page.text);
    assert.ok(page.json.requests.length <= 2);
    seen.push(...page.json.requests.map((r) => r.id));
    if (page.json.next === null) break;
    after = page.json.next;
  }
  assert.deepEqual(seen, [...seen].sort(), 'in id order');
  assert.equal(new Set(seen).size, seen.length, 'none twice');
  for (const id of made) assert.ok(seen.includes(id), id);

  assert.equal((await call('POST', `/api/v1/requests/${made[0]}/cancel`)).json.state, 'cancelled');
  const cancelled = await call('GET', '/api/v1/requests?state=cancelled&limit=100');
  assert.ok(cancelled.json.requests.some((r) => r.id === made[0]));
  assert.ok(cancelled.json.requests.every((r) => r.state === 'cancelled'));
  for (const [query, words] of [['limit=0', 'limit'], ['limit=101', 'limit'], ['limit=2x', 'limit'],
    ['state=sleeping', 'state'], ['after=%zz', 'percent']]) {
    refused(await call('GET', `/api/v1/requests?${query}`), 400, 'invalid_query', words);
  }
});

test('cancel, then cancel again; unknown ids and routes', async () => {
  const document = await uploaded();
  const { id } = (await postJson('/api/v1/requests', { document, signers, expiresIn: 600 })).json;
  const cancelled = await call('POST', `/api/v1/requests/${id}/cancel`);
  assert.equal(cancelled.status, 200);
  assert.equal(cancelled.json.state, 'cancelled');
  assert.equal(typeof cancelled.json.endedAt, 'number');
  refused(await call('POST', `/api/v1/requests/${id}/cancel`), 409, 'conflict');
  const audit = (await call('GET', `/api/v1/requests/${id}/audit`)).json;
  assert.deepEqual(audit.events.map((e) => e.type), ['request.created', 'request.cancelled']);
  assert.equal(audit.events[1].previousHash, audit.events[0].hash);
  for (const path of ['/api/v1/requests/req_nothere', '/api/v1/requests/req_nothere/document',
    '/api/v1/requests/req_nothere/audit']) {
    refused(await call('GET', path), 404, 'not_found');
  }
  refused(await call('POST', '/api/v1/requests/req_nothere/cancel'), 404, 'not_found');
  refused(await call('GET', '/api/v1/signers'), 404, 'not_found');
  refused(await call('DELETE', `/api/v1/requests/${id}`), 405, 'method_not_allowed');
});

test('metrics count the API\'s answers and the webhook backlog', async () => {
  const answer = await call('GET', '/metrics');
  assert.equal(answer.status, 200);
  assert.match(answer.headers.get('content-type'), /^text\/plain; version=0\.0\.4/);
  assert.match(answer.text, /^penwell_webhook_backlog \d+$/m);
  for (const state of ['pending', 'completed', 'declined', 'expired', 'cancelled']) {
    assert.match(answer.text, new RegExp(`^penwell_requests\\{state="${state}"\\} \\d+$`, 'm'), state);
  }
  // Earlier tests cancelled requests over HTTP: the served count is the database's.
  assert.match(answer.text, /^penwell_requests\{state="cancelled"\} [1-9]\d*$/m);
  assert.match(answer.text, /^penwell_api_request_seconds_count\{method="POST",route="\/requests",status="201"\} [1-9]\d*$/m);
  assert.match(answer.text, /^penwell_api_request_seconds_sum\{method="GET",route="\/requests",status="200"\} \d+\.\d+$/m);
});

test('the OpenAPI document is served as kept, validates, and lists what the server answers', async () => {
  const kept = readFileSync(new URL('../openapi.json', import.meta.url), 'utf8');
  const served = await call('GET', '/api/v1/openapi.json', { auth: null });
  assert.equal(served.status, 200);
  assert.equal(served.text, kept);
  const validator = new Validator();
  const result = await validator.validate(JSON.parse(kept));
  assert.ok(result.valid, JSON.stringify(result.errors));
  assert.equal(validator.version, '3.1');
  // Every path and method documented is answered (not "no route", not "method not allowed").
  for (const [path, methods] of Object.entries(JSON.parse(kept).paths)) {
    for (const method of Object.keys(methods)) {
      const answer = await call(method.toUpperCase(), `/api/v1${path.replace('{id}', 'req_probe')}`,
        { body: method === 'post' ? '{}' : undefined, type: method === 'post' ? 'application/json' : undefined });
      assert.ok(![405].includes(answer.status) && answer.json?.message?.startsWith('no API route') !== true,
        `${method} ${path}: ${answer.status} ${answer.text}`);
    }
  }
});
