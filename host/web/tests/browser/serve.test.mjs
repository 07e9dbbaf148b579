// penwell serve in real Chromium: input dispatched through the DevTools protocol, on its own
// schedule (pipelined) with explicit timestamps, so the page sees coalesced 240 Hz samples
// with exact times. Needs PENWELL (the built program), PENWELL_RESOURCES (a folder with
// Penwell.dat) and PENWELL_PRIVATE_KEY (its private key); CHROMIUM defaults to the system one.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import net from 'node:net';
import crypto from 'node:crypto';
import { chromium } from 'playwright-core';

const { PENWELL, PENWELL_RESOURCES, PENWELL_PRIVATE_KEY } = process.env;
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const HZ = 240;
const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run'];

let browser;
const servers = [];
const folders = [];
before(async () => {
  // Playwright gives the browser a fresh profile folder of its own.
  browser = await chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_FLAGS });
});
after(async () => {
  await browser?.close();
  for (const s of servers) s.kill('SIGINT');
  for (const f of folders) rmSync(f, { recursive: true, force: true });
});

function tempFolder() {
  const f = mkdtempSync(join(tmpdir(), 'penwell-serve-'));
  folders.push(f);
  return f;
}

/** Starts penwell serve on a free loopback port; answers its URL and its log so far. */
function serve(...args) {
  const resources = args.includes('--resources') ? [] : ['--resources', PENWELL_RESOURCES];
  const proc = spawn(PENWELL, ['serve', '--demo', '--bind', '127.0.0.1', '--port', '0', ...resources, ...args],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  servers.push(proc);
  const server = { proc, log: '' };
  proc.stderr.on('data', (chunk) => { server.log += chunk; });
  return new Promise((resolve, reject) => {
    let text = '';
    proc.stdout.on('data', (chunk) => {
      text += chunk;
      const url = /http:\/\/\S+\//.exec(text);
      if (url) resolve(Object.assign(server, { url: url[0], port: Number(new URL(url[0]).port) }));
    });
    proc.on('exit', (code) => reject(new Error(`penwell serve exited with ${code}: ${server.log}`)));
  });
}

/**
 * A loopback TCP relay in front of the server whose connections the test can cut, and which
 * can hold what the server sends for `delayMs`.
 */
function relay(delayMs = 0) {
  const sockets = new Set();
  const r = { target: 0 };
  const server = net.createServer((client) => {
    const upstream = net.connect(r.target, '127.0.0.1');
    for (const s of [client, upstream]) {
      sockets.add(s);
      s.on('error', () => {});
      s.on('close', () => sockets.delete(s));
    }
    client.pipe(upstream);
    if (delayMs) upstream.on('data', (d) => setTimeout(() => client.destroyed || client.write(d), delayMs));
    else upstream.pipe(client);
  });
  r.cut = () => { for (const s of sockets) s.destroy(); };
  r.close = () => { r.cut(); server.close(); };
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(Object.assign(r, { port: server.address().port }))));
}

/** Waits, within a bound, until `check` answers something truthy. */
async function until(check, what, tries = 200) {
  for (let i = 0; i < tries; i++) {
    const v = await check();
    if (v) return v;
    await new Promise((r) => setTimeout(r, 25));
  }
  throw new Error(`gave up waiting for ${what}`);
}

async function openPad(url, options = {}) {
  const context = await browser.newContext({ hasTouch: true, viewport: { width: 900, height: 700 }, ...options });
  const page = await context.newPage();
  await page.goto(url);
  await page.evaluate(() => window.penwellPad.ready);
  await until(() => page.evaluate(() => window.penwellPad.patches > 0), 'the first picture');
  const origin = await page.evaluate(() => {
    const r = document.getElementById('pad').getBoundingClientRect();
    return { x: r.left, y: r.top };
  });
  return { page, cdp: await context.newCDPSession(page), origin };
}

const state = (pad) => pad.page.evaluate(() => window.penwellPad.state);
const mismatch = (pad) => pad.page.evaluate(() => window.penwellPad.mismatch());
/** A digest of what the canvas shows. */
const canvas = (pad) => pad.page.evaluate(async () => {
  const digest = await crypto.subtle.digest('SHA-256', window.penwellPad.canvasPixels().data);
  return Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join('');
});

// The event clock: every stroke starts after the previous one ended and after now (Chrome
// moves times from before the page's time origin to the origin).
let clock = 0;

/**
 * A stroke of points [x, y, pressure] in pad points, sampled at 240 Hz. Each sample after the
 * first lands half a millisecond past a whole millisecond since the touch-down, so the record's
 * truncated milliseconds are exact. Answers the samples the record must hold.
 */
function timeline(points) {
  const t0 = (clock = Math.max(clock, Date.now() / 1000) + 0.05);
  const samples = points.map(([x, y, p], i) => {
    const ms = Math.floor((i * 1000) / HZ);
    return { x, y, p, ms, t: i === 0 ? t0 : t0 + (ms + 0.5) / 1000 };
  });
  clock = samples.at(-1).t + 0.01;
  return samples;
}

/**
 * Dispatches a stroke through CDP without awaiting each event. `end` is 'up', 'cancel' or
 * 'none' (the pointer stays down), at `endAt` (a millisecond after the last sample unless
 * given); `begin: false` continues a stroke already down.
 */
async function dispatch(pad, kind, samples, { end = 'up', endAt = samples.at(-1).t + 0.001, begin = true } = {}) {
  const at = (s) => ({ x: pad.origin.x + s.x, y: pad.origin.y + s.y });
  const last = samples.at(-1);
  const sends = [];
  const first = (i) => i === 0 && begin;
  if (kind === 'touch') {
    const point = (s) => ({ ...at(s), force: s.p, id: 1, radiusX: 1, radiusY: 1 });
    samples.forEach((s, i) => sends.push(pad.cdp.send('Input.dispatchTouchEvent', {
      type: first(i) ? 'touchStart' : 'touchMove', touchPoints: [point(s)], timestamp: s.t })));
    if (end !== 'none') {
      sends.push(pad.cdp.send('Input.dispatchTouchEvent', {
        type: end === 'up' ? 'touchEnd' : 'touchCancel', touchPoints: [], timestamp: endAt }));
    }
  } else {
    const pointer = { pointerType: kind, button: 'left', clickCount: 1 };
    samples.forEach((s, i) => sends.push(pad.cdp.send('Input.dispatchMouseEvent', {
      type: first(i) ? 'mousePressed' : 'mouseMoved', ...at(s), ...pointer, buttons: 1,
      force: s.p, timestamp: s.t })));
    if (end !== 'none') {
      sends.push(pad.cdp.send('Input.dispatchMouseEvent', {
        type: 'mouseReleased', ...at(last), ...pointer, buttons: 0, timestamp: endAt }));
    }
  }
  await Promise.all(sends);
}

/** A wavy line; pressures are multiples of 1/64 so that they survive single precision. */
function wave(n, x0, y0, dx, amp) {
  return Array.from({ length: n }, (_, i) =>
    [x0 + Math.round(i * dx) + 0.5, y0 + Math.round(amp * Math.sin(i / 5)) + 0.5, (16 + (i % 32)) / 64]);
}

/** The record as `penwell open --json` reads it back with the demo private key. */
function openRecord(folder, name) {
  const json = execFileSync(PENWELL, ['open', '--private-key', PENWELL_PRIVATE_KEY,
    '--data', join(folder, `${name}.data`), '--key', join(folder, `${name}.key`), '--json']);
  return JSON.parse(json).strokes;
}

/**
 * The evidence record's strokes. `openssl cms` alone opens it with the receiver's key (a
 * signed one after `openssl cms -verify` against the operator's certificate); penwell reads it.
 */
function openEvidence(folder, name, operator) {
  const file = join(folder, `${name}.evidence`);
  let sealed = file;
  if (operator) {
    sealed = join(folder, 'sealed.der');
    execFileSync('openssl', ['cms', '-verify', '-inform', 'DER', '-in', file, '-CAfile', operator,
      '-out', sealed], { stdio: 'pipe' });
  }
  execFileSync('openssl', ['cms', '-decrypt', '-inform', 'DER', '-in', sealed, '-inkey', PENWELL_PRIVATE_KEY,
    '-out', '/dev/null']);
  const trust = operator ? ['--trust', operator] : [];
  const json = execFileSync(PENWELL, ['open', '--private-key', PENWELL_PRIVATE_KEY, '--evidence', file,
    ...trust, '--json']);
  return JSON.parse(json).strokes;
}

// Force as the page's documented mapping gives it, in the record's thousandths.
const FORCE = { mouse: () => 0, pen: (p) => Math.trunc(p * 4 * 1000), touch: (p) => Math.trunc(p * 2 * 1000) };

function expectStroke(recorded, kind, samples) {
  assert.equal(recorded.length, samples.length, `${kind}: sample count`);
  samples.forEach((s, i) => assert.deepEqual(recorded[i],
    { x: Math.trunc(s.x), y: Math.trunc(s.y), p: FORCE[kind](s.p), t: s.ms,
      signed_x: Math.trunc(s.x), signed_y: Math.trunc(s.y) }, `${kind} sample ${i}`));
}

async function done(pad) {
  await pad.page.evaluate(() => { window.penwellPad.lastDone = null; });
  await pad.page.click('#done');
  return until(() => pad.page.evaluate(() => window.penwellPad.lastDone), 'Done');
}

test('mouse, pen and touch strokes, a tap and a cancelled touch reach the record exactly', async () => {
  const out = tempFolder();
  const { url } = await serve('--out', out, '--smoothing', 'off');
  const pad = await openPad(url);
  const strokes = [
    ['mouse', timeline(wave(60, 20, 60, 4, 15)), 'up'],
    ['pen', timeline(wave(60, 20, 120, 4, 20)), 'up'],
    ['touch', timeline(wave(60, 20, 180, 4, 10)), 'up'],
    ['touch', timeline([[300.5, 40.5, 0.5]]), 'up'],
    ['touch', timeline(wave(20, 400, 40, 3, 5)), 'cancel'],
  ];
  for (const [kind, samples, end] of strokes) await dispatch(pad, kind, samples, { end });
  const total = 60 * 3 + 4 + 20; // a tap becomes a dot of four samples
  await until(async () => (await state(pad)).samples === total, 'every sample on the server');
  assert.equal(await mismatch(pad), 0, 'the canvas shows the server pad image');

  const reply = await done(pad);
  assert.ok(reply.ok, reply.reason);
  assert.ok(Number.isFinite(reply.sigma) && Number.isFinite(reply.sigma2));
  assert.deepEqual(readdirSync(out).sort(), ['data', 'evidence', 'key', 'png'].map((e) => `${reply.name}.${e}`));
  const record = openRecord(out, reply.name);
  assert.deepEqual(openEvidence(out, reply.name), record);
  assert.equal(record.length, strokes.length);
  strokes.forEach(([kind, samples], i) => {
    if (samples.length > 1) expectStroke(record[i], kind, samples);
  });
  const tap = record[3];
  assert.deepEqual(tap.map((s) => [s.x, s.y]), [[300, 40], [301, 40], [300, 41], [300, 40]]);
  assert.equal(tap[0].t, 0);
  // Done with --out clears the pad for the next signer.
  await until(async () => (await state(pad)).samples === 0, 'the cleared pad');
  assert.equal(await mismatch(pad), 0);
});

test('undo and clear change the server pad and the canvas alike', async () => {
  const { url } = await serve('--smoothing', 'off');
  const pad = await openPad(url);
  const blank = await canvas(pad);
  for (const y of [60, 140]) await dispatch(pad, 'mouse', timeline(wave(40, 30, y, 5, 10)));
  await until(async () => (await state(pad)).strokes === 2, 'two strokes');
  assert.equal(await mismatch(pad), 0);
  const both = await canvas(pad);

  await pad.page.click('#undo');
  await until(async () => (await state(pad)).strokes === 1, 'the undo');
  assert.equal(await mismatch(pad), 0);
  const one = await canvas(pad);
  assert.notEqual(one, both);
  assert.notEqual(one, blank);

  await pad.page.click('#clear');
  await until(async () => (await state(pad)).strokes === 0, 'the clear');
  assert.equal(await mismatch(pad), 0);
  assert.equal(await canvas(pad), blank);
});

test('the smoothing redraw reaches the canvas after the delay', async () => {
  const { url } = await serve('--smoothing', 'on');
  const pad = await openPad(url);
  // A few samples on a wide arc: the smoothed curve differs visibly from the straight segments.
  const arc = Array.from({ length: 8 }, (_, i) =>
    [150.5 + Math.round(100 * Math.cos(i / 2.5)), 120.5 + Math.round(100 * Math.sin(i / 2.5)), 0.5]);
  await dispatch(pad, 'touch', timeline(arc));
  await until(async () => (await state(pad)).strokes === 1, 'the stroke');
  assert.equal(await mismatch(pad), 0);
  const raw = await canvas(pad);
  await until(async () => (await canvas(pad)) !== raw, 'the smoothing redraw', 400);
  assert.equal(await mismatch(pad), 0);
});

test('two pages sign at once without mixing their strokes, evidence signed by the operator', async () => {
  const out = tempFolder();
  const keys = tempFolder();
  execFileSync(PENWELL, ['cert', 'new', '--operator', '--out', keys, '--bits', '2048']);
  const operator = join(keys, 'operator-certificate.pem');
  const { url } = await serve('--out', out, '--smoothing', 'off',
    '--sign-key', join(keys, 'operator-key.pem'), '--sign-cert', operator);
  const pads = [await openPad(url), await openPad(url)];
  const plans = [
    [timeline(wave(50, 20, 50, 4, 10)), timeline(wave(30, 20, 200, 5, 5))],
    [timeline(wave(40, 300, 100, 3, 30))],
  ];
  await Promise.all(pads.map(async (pad, i) => {
    for (const samples of plans[i]) await dispatch(pad, 'pen', samples);
  }));
  for (const [i, pad] of pads.entries()) {
    const expected = plans[i].reduce((n, s) => n + s.length, 0);
    await until(async () => (await state(pad)).samples === expected, `page ${i}'s samples`);
    assert.equal(await mismatch(pad), 0);
  }
  const names = [];
  for (const [i, pad] of pads.entries()) {
    const reply = await done(pad);
    assert.ok(reply.ok, reply.reason);
    names.push(reply.name);
    const record = openRecord(out, reply.name);
    assert.equal(record.length, plans[i].length);
    plans[i].forEach((samples, k) => expectStroke(record[k], 'pen', samples));
    assert.deepEqual(openEvidence(out, reply.name, operator), record);
  }
  assert.notEqual(names[0], names[1]);
});

/** A raw WebSocket client: answers the handshake's status line, and the close it ends with. */
function rawClient(port, { origin = `http://127.0.0.1:${port}`, host = `127.0.0.1:${port}`, frames = [] }) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    const key = crypto.randomBytes(16).toString('base64');
    let data = Buffer.alloc(0);
    let status = null;
    socket.setTimeout(5000, () => { socket.destroy(); reject(new Error('raw client timed out')); });
    socket.on('connect', () => socket.write(['GET /ws HTTP/1.1', `Host: ${host}`, 'Upgrade: websocket',
      'Connection: Upgrade', `Sec-WebSocket-Key: ${key}`, 'Sec-WebSocket-Version: 13',
      ...(origin ? [`Origin: ${origin}`] : []), '', ''].join('\r\n')));
    socket.on('data', (chunk) => {
      data = Buffer.concat([data, chunk]);
      if (status === null) {
        const end = data.indexOf('\r\n\r\n');
        if (end < 0) return;
        status = Number(data.toString('latin1', 9, 12));
        data = data.subarray(end + 4);
        if (status !== 101) { socket.destroy(); resolve({ status }); return; }
        for (const frame of frames) socket.write(frame);
      }
      // Skip the server's messages until its close frame.
      while (data.length >= 2) {
        let len = data[1] & 0x7f, at = 2;
        if (len === 126) { len = data.readUInt16BE(2); at = 4; }
        else if (len === 127) { len = Number(data.readBigUInt64BE(2)); at = 10; }
        if (data.length < at + len) return;
        const opcode = data[0] & 0x0f, payload = data.subarray(at, at + len);
        data = data.subarray(at + len);
        if (opcode === 8) {
          socket.destroy();
          resolve({ status, code: payload.readUInt16BE(0), reason: payload.toString('utf8', 2) });
          return;
        }
      }
    });
    socket.on('close', () => resolve({ status, closed: true }));
    socket.on('error', () => resolve({ status, closed: true }));
  });
}

/** A masked client frame; `declared` overrides the length it claims. */
function frame(payload, opcode = 1, declared = payload.length) {
  const head = declared < 126 ? Buffer.from([0x80 | opcode, 0x80 | declared])
    : Buffer.concat([Buffer.from([0x80 | opcode, 0x80 | 127]), (() => { const b = Buffer.alloc(8); b.writeBigUInt64BE(BigInt(declared)); return b; })()]);
  const mask = crypto.randomBytes(4);
  const body = Buffer.from(payload).map((b, i) => b ^ mask[i % 4]);
  return Buffer.concat([head, mask, body]);
}

test('hostile clients are refused while a real page keeps working', async () => {
  const server = await serve('--smoothing', 'off');
  const { url, port } = server;
  const pad = await openPad(url);
  const cases = [
    ['another site', { origin: 'http://evil.example' }, { status: 403 }],
    ['no origin', { origin: null }, { status: 403 }],
    ['another host name', { host: `rebound.example:${port}`, origin: `http://rebound.example:${port}` }, { status: 403 }],
    ['garbage', { frames: [frame('not json at all')] }, { status: 101, code: 1008, reason: 'invalid JSON' }],
    ['a binary message', { frames: [frame('{}', 2)] }, { status: 101, code: 1008, reason: 'binary messages are not accepted' }],
    ['a huge frame', { frames: [frame('x', 1, 50 * 1024 * 1024)] }, { status: 101, code: 1009 }],
    ['a move before a down', { frames: [frame('{"type":"move","pointer":"pen","samples":[[1,2,3,0.5]]}')] },
      { status: 101, code: 1008, reason: 'move without a down' }],
    ['a non-finite time', { frames: [frame('{"type":"down","pointer":"pen","samples":[[1e999,2,3,0.5]]}')] },
      { status: 101, code: 1008 }],
  ];
  for (const [what, options, expected] of cases) {
    const got = await rawClient(port, options);
    for (const [k, v] of Object.entries(expected)) {
      if (k === 'reason') assert.ok(got.reason?.includes(v), `${what}: reason "${got.reason}"`);
      else assert.equal(got[k], v, `${what}: ${k}`);
    }
  }
  const samples = timeline(wave(30, 40, 100, 5, 20));
  await dispatch(pad, 'pen', samples);
  await until(async () => (await state(pad)).samples === samples.length, 'the page still signs');
  assert.equal(await mismatch(pad), 0);
  assert.equal(await pad.page.evaluate(() => window.penwellPad.closeReason), null);
  for (const line of [/refused a request for host "rebound.example/, /refused a WebSocket from origin "http:\/\/evil.example"/,
    /closed: invalid JSON/, /closed: a message of more than/]) assert.match(server.log, line);
});

test('a clock that runs back keeps the session and every earlier stroke', async () => {
  const out = tempFolder();
  const server = await serve('--out', out, '--smoothing', 'off');
  const pad = await openPad(server.url);
  // Half a millisecond back inside a stroke, and its up 5 us before its last move: taken at
  // the time before them.
  const jitter = timeline(wave(40, 20, 60, 4, 10));
  jitter[20].t = jitter[19].t - 0.0005;
  jitter[20].ms = jitter[19].ms;
  await dispatch(pad, 'pen', jitter, { endAt: jitter.at(-1).t - 0.000005 });
  // Half a second back from the 16th sample on: the stroke ends with its first 15.
  const whole = timeline(wave(30, 20, 130, 5, 10));
  const stepBack = timeline(wave(30, 20, 200, 5, 10));
  for (const s of stepBack.slice(15)) s.t -= 0.5;
  await dispatch(pad, 'pen', whole);
  await dispatch(pad, 'pen', stepBack, { endAt: stepBack.at(-1).t });
  await until(async () => (await state(pad)).samples === 40 + 30 + 15, 'the samples kept');
  const reply = await done(pad);
  assert.ok(reply.ok, reply.reason);
  const record = openRecord(out, reply.name);
  assert.equal(record.length, 3);
  expectStroke(record[0], 'pen', jitter);
  expectStroke(record[1], 'pen', whole);
  expectStroke(record[2], 'pen', stepBack.slice(0, 15));
  assert.equal(await pad.page.evaluate(() => window.penwellPad.closeReason), null);
  assert.match(server.log, /earlier than the one before it/);
  assert.match(server.log, /time went back/);
});

test('a dropped connection comes back to the same pad; a reload gets a fresh one', async () => {
  const out = tempFolder();
  const r = await relay();
  const server = await serve('--out', out, '--smoothing', 'off', '--public-origin', `http://127.0.0.1:${r.port}`);
  r.target = server.port;
  const pad = await openPad(`http://127.0.0.1:${r.port}/`);
  const first = timeline(wave(40, 20, 60, 4, 10));
  await dispatch(pad, 'pen', first);
  await until(async () => (await state(pad)).samples === 40, 'the first stroke');
  // The network drops in the middle of the second stroke, before the page notices.
  const second = timeline(wave(40, 20, 150, 4, 10));
  await dispatch(pad, 'pen', second.slice(0, 20), { end: 'none' });
  r.cut();
  await dispatch(pad, 'pen', second.slice(20), { begin: false });
  await until(async () => (await state(pad)).samples === 80, 'every sample after the drop');
  assert.equal(await mismatch(pad), 0);
  const reply = await done(pad);
  assert.ok(reply.ok, reply.reason);
  const record = openRecord(out, reply.name);
  assert.equal(record.length, 2);
  expectStroke(record[0], 'pen', first);
  expectStroke(record[1], 'pen', second);
  assert.match(server.log, /the connection dropped/);
  assert.match(server.log, /the page came back/);

  await dispatch(pad, 'pen', timeline(wave(20, 20, 60, 4, 10)));
  await until(async () => (await state(pad)).samples === 20, 'a stroke before the reload');
  await pad.page.reload();
  await pad.page.evaluate(() => window.penwellPad.ready);
  await until(() => pad.page.evaluate(() => window.penwellPad.patches > 0), 'the fresh pad');
  assert.equal((await state(pad)).samples, 0);
  r.close();
});

test('a closed pad says why and starts again; a kiosk starts again by itself', async () => {
  const server = await serve('--idle', '1', '--smoothing', 'off');
  const pad = await openPad(server.url);
  await until(() => pad.page.evaluate(() => window.penwellPad.closeReason), 'the idle close');
  const shown = await pad.page.evaluate(() => ({
    reason: window.penwellPad.closeReason,
    text: document.getElementById('closed').textContent,
    done: document.getElementById('done').disabled,
    again: !document.getElementById('stopped').hidden,
  }));
  assert.deepEqual(shown, { reason: 'idle for 1 seconds', text: 'The pad stopped: idle for 1 seconds.', done: true, again: true });
  await assert.rejects(pad.page.evaluate(() => window.penwellPad.snapshot()), /stopped/);
  await pad.page.click('#again');
  await until(() => pad.page.evaluate(() => window.penwellPad.closeReason === null && window.penwellPad.patches > 1), 'a fresh pad');
  assert.match(server.log, /closed: idle for 1 seconds \(0 samples held\)/);

  const kiosk = await serve('--idle', '1', '--out', tempFolder());
  const desk = await openPad(kiosk.url);
  await until(() => desk.page.evaluate(() => window.penwellPad.closeReason), 'the kiosk idle close');
  await until(() => desk.page.evaluate(() => window.penwellPad.closeReason === null), 'the kiosk back by itself');
});

test('serve refuses to start when it could not save a signature', async () => {
  const empty = tempFolder();
  const cases = [
    [['--resources', empty], /no Penwell.dat there/],
    [['--resources', PENWELL_RESOURCES, '--out', '/proc/penwell'], /cannot make the folder/],
  ];
  for (const [args, reason] of cases) {
    await assert.rejects(serve(...args), reason);
  }
});

test('the page shows ink at once, and only the server\'s picture once it has caught up', async () => {
  const r = await relay(400);
  const server = await serve('--smoothing', 'off', '--public-origin', `http://127.0.0.1:${r.port}`);
  r.target = server.port;
  const pad = await openPad(`http://127.0.0.1:${r.port}/`);
  const patches = await pad.page.evaluate(() => window.penwellPad.patches);
  const samples = timeline(wave(30, 40, 100, 5, 20));
  await dispatch(pad, 'pen', samples);
  // Before the server's first patch for the stroke has come back, the stroke is on the page.
  const early = await pad.page.evaluate(() => [window.penwellPad.patches, window.penwellPad.provisionalPixels()]);
  assert.equal(early[0], patches, 'no patch yet');
  assert.ok(early[1] > 100, `provisional ink drawn: ${early[1]} pixels`);
  await until(async () => (await state(pad)).samples === samples.length, 'the server\'s samples');
  await until(() => pad.page.evaluate(() => window.penwellPad.provisionalPixels() === 0), 'the provisional ink gone');
  assert.equal(await mismatch(pad), 0);
  r.close();
});

test('the canvas has the screen\'s pixels at DPR 1, 2 and 3, and ink as sharp, after a change too', async () => {
  const { url } = await serve('--smoothing', 'off');
  const softness = {};
  // The DPR the page opens at, the one it is moved to while open, and the window's width then:
  // a zoom resizes the window; a move to another screen may not, and Chromium's emulation then
  // tells the page nothing, so it finds out at the next pen-down.
  for (const [opened, dpr, width] of [[1, 1], [2, 2], [3, 3], [1, 3, 901], [3, 2, 900]]) {
    const row = `DPR ${opened} to ${dpr}`;
    const pad = await openPad(url, { deviceScaleFactor: opened });
    const before = timeline(wave(30, 40, 200, 5, 10));
    await dispatch(pad, 'pen', before);
    await until(async () => (await state(pad)).samples === before.length, `${row}: the first stroke`);
    if (width) await pad.cdp.send('Emulation.setDeviceMetricsOverride', { width, height: 700, deviceScaleFactor: dpr, mobile: false });
    // A level mouse line 3 points wide whose edges fall inside pixels at DPR 1.
    const samples = timeline(Array.from({ length: 40 }, (_, i) => [50.5 + 10 * i, 100.25, 0]));
    await dispatch(pad, 'mouse', samples);
    await until(async () => (await state(pad)).samples === before.length + samples.length, `${row}: the samples`);
    const backing = await pad.page.evaluate(() => [document.getElementById('pad').width, document.getElementById('pad').height]);
    assert.deepEqual(backing, [600 * dpr, 250 * dpr], `${row}: backing store`);
    await until(() => pad.page.evaluate(() => window.penwellPad.provisionalPixels() === 0), 'the provisional ink gone');
    assert.equal(await mismatch(pad), 0, `${row}: the canvas shows the server's picture`);
    // The edge: partly inked pixels down one column across the line, in points.
    softness[row] = await pad.page.evaluate((s) => {
      const { data, width } = window.penwellPad.canvasPixels();
      let partial = 0;
      for (let y = 90 * s; y < 110 * s; y++) {
        const red = data[(y * width + 200 * s) * 4];
        if (red > 0 && red < 255) partial++;
      }
      return partial / s;
    }, dpr);
    await pad.page.context().close();
  }
  const sharp = softness['DPR 1 to 1'];
  assert.ok(sharp > 0 && Object.entries(softness).every(([row, v]) => row === 'DPR 1 to 1' || v < sharp), JSON.stringify(softness));
});
