// What the Chromium tests of penwell serve share: the browser and the servers they start (each
// stopped after the file's tests), input dispatched through the DevTools protocol on its own
// schedule (pipelined) with explicit timestamps, so the page sees coalesced 240 Hz samples with
// exact times, raw WebSocket clients for what no page would send, and the records read back by
// `penwell open`. Needs PENWELL (the built program), PENWELL_RESOURCES (a folder with
// Penwell.dat) and PENWELL_PRIVATE_KEY (its private key); CHROMIUM defaults to the system one.
import { before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import net from 'node:net';
import crypto from 'node:crypto';
import { chromium } from 'playwright-core';

export const { PENWELL, PENWELL_RESOURCES, PENWELL_PRIVATE_KEY } = process.env;
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

export function tempFolder() {
  const f = mkdtempSync(join(tmpdir(), 'penwell-serve-'));
  folders.push(f);
  return f;
}

/**
 * Starts penwell serve on loopback, on a free port unless `--port` is given; answers its URL,
 * its port, its process and its log so far (`stopped` settles when it exits).
 */
export function serve(...args) {
  const resources = args.includes('--resources') ? [] : ['--resources', PENWELL_RESOURCES];
  const port = args.includes('--port') ? [] : ['--port', '0'];
  // The tests seal for the demo certificate, whose private key they open the records with.
  const proc = spawn(PENWELL, ['serve', '--demo', '--bind', '127.0.0.1', ...port, ...resources, ...args],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  servers.push(proc);
  const server = { proc, log: '' };
  server.stopped = new Promise((resolve) => proc.on('exit', resolve));
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
export function relay(delayMs = 0) {
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

/**
 * Waits, within a bound, until `check` answers something truthy. The bound is generous: CI runs
 * these pages beside other suites, and under AddressSanitizer, where a server's answer can take
 * seconds; a check that holds costs no more for it.
 */
export async function until(check, what, tries = 600) {
  for (let i = 0; i < tries; i++) {
    const v = await check();
    if (v) return v;
    await new Promise((r) => setTimeout(r, 25));
  }
  throw new Error(`gave up waiting for ${what}`);
}

/**
 * A page at `url` in a fresh context, pad or not (a signing link may show none yet); its
 * errors are kept in `errors`.
 */
export async function openPage(url, options = {}) {
  const context = await browser.newContext({ hasTouch: true, viewport: { width: 900, height: 700 }, ...options });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('console', (m) => {
    if (m.type() === 'error' && !m.location().url.endsWith('/favicon.ico')) errors.push(m.text());
  });
  await page.goto(url);
  return { page, errors };
}

/** A page of the pad, once its first picture is painted; its errors are kept in `errors`. */
export async function openPad(url, options = {}) {
  return padOf(await openPage(url, options));
}

/** The pad of a page opened already (or reloaded), once its first picture is painted. */
export async function padOf({ page, errors }) {
  await until(() => page.evaluate(() => window.penwellPad?.ready != null), 'the pad\'s connection');
  await page.evaluate(() => window.penwellPad.ready);
  await until(() => page.evaluate(() => window.penwellPad.patches > 0), 'the first picture');
  const origin = await page.evaluate(() => {
    const r = document.getElementById('pad').getBoundingClientRect();
    return { x: r.left, y: r.top };
  });
  return { page, cdp: await page.context().newCDPSession(page), origin, errors };
}

export const state = (pad) => pad.page.evaluate(() => window.penwellPad.state);
export const mismatch = (pad) => pad.page.evaluate(() => window.penwellPad.mismatch());
/** A digest of what the canvas shows. */
export const canvas = (pad) => pad.page.evaluate(async () => {
  const digest = await crypto.subtle.digest('SHA-256', window.penwellPad.canvasPixels().data);
  return Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join('');
});
/** The line above the pad about the connection. */
export const status = (pad) => pad.page.textContent('#connection');

// The event clock: every stroke starts after the previous one ended and after now (Chrome
// moves times from before the page's time origin to the origin).
let clock = 0;

/**
 * A stroke of points [x, y, pressure] in pad points, sampled at 240 Hz. Each sample after the
 * first lands half a millisecond past a whole millisecond since the touch-down, so the record's
 * truncated milliseconds are exact. Answers the samples the record must hold.
 */
export function timeline(points) {
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
export async function dispatch(pad, kind, samples, { end = 'up', endAt = samples.at(-1).t + 0.001, begin = true } = {}) {
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
export function wave(n, x0, y0, dx, amp) {
  return Array.from({ length: n }, (_, i) =>
    [x0 + Math.round(i * dx) + 0.5, y0 + Math.round(amp * Math.sin(i / 5)) + 0.5, (16 + (i % 32)) / 64]);
}

/** The record as `penwell open --json` reads it back with the demo private key. */
export function openRecord(folder, name) {
  const json = execFileSync(PENWELL, ['open', '--private-key', PENWELL_PRIVATE_KEY,
    '--data', join(folder, `${name}.data`), '--key', join(folder, `${name}.key`), '--json']);
  return JSON.parse(json).strokes;
}

/**
 * The evidence record as `penwell open --json` reads it: its strokes, and `evidence`, what it
 * says besides. `openssl cms` alone opens it with the receiver's key (a signed one after
 * `openssl cms -verify` against the operator's certificate).
 */
export function openEvidence(folder, name, operator) {
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
  return JSON.parse(json);
}

// Force as the page's documented mapping gives it, in the record's thousandths.
const FORCE = { mouse: () => 0, pen: (p) => Math.trunc(p * 4 * 1000), touch: (p) => Math.trunc(p * 2 * 1000) };

export function expectStroke(recorded, kind, samples) {
  assert.equal(recorded.length, samples.length, `${kind}: sample count`);
  samples.forEach((s, i) => assert.deepEqual(recorded[i],
    { x: Math.trunc(s.x), y: Math.trunc(s.y), p: FORCE[kind](s.p), t: s.ms,
      signed_x: Math.trunc(s.x), signed_y: Math.trunc(s.y) }, `${kind} sample ${i}`));
}

/** Presses Done; answers the server's reply. */
export async function done(pad) {
  await pad.page.evaluate(() => { window.penwellPad.lastDone = null; });
  await pad.page.click('#done');
  return until(() => pad.page.evaluate(() => window.penwellPad.lastDone), 'Done');
}

/**
 * A raw WebSocket client: answers the handshake's status line, and the close it ends with
 * (`closed` when the socket ended without one). `from` is the local address it connects
 * from, `forwardedFor` an X-Forwarded-For header as a proxy sends; `drop` ends it without a
 * close once the server's first message (its hello) has arrived, and `hold` answers then with
 * the socket still open (`socket`). `path` is the pad's (a signing link's is under it).
 */
export function rawClient(port, { origin = `http://127.0.0.1:${port}`, host = `127.0.0.1:${port}`, frames = [],
  forwardedFor = null, drop = false, hold = false, path = '/ws' } = {}) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ port, host: '127.0.0.1' });
    const key = crypto.randomBytes(16).toString('base64');
    let data = Buffer.alloc(0);
    let status = null;
    socket.setTimeout(5000, () => { socket.destroy(); reject(new Error('raw client timed out')); });
    socket.on('connect', () => socket.write([`GET ${path} HTTP/1.1`, `Host: ${host}`, 'Upgrade: websocket',
      'Connection: Upgrade', `Sec-WebSocket-Key: ${key}`, 'Sec-WebSocket-Version: 13',
      ...(origin ? [`Origin: ${origin}`] : []), ...(forwardedFor ? [`X-Forwarded-For: ${forwardedFor}`] : []),
      '', ''].join('\r\n')));
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
        if (drop) {
          socket.resetAndDestroy();
          resolve({ status, dropped: true });
          return;
        }
        if (hold) {
          socket.setTimeout(0);
          resolve({ status, socket });
          return;
        }
      }
    });
    socket.on('close', () => resolve({ status, closed: true }));
    socket.on('error', () => resolve({ status, closed: true }));
  });
}

/** A masked client frame; `declared` overrides the length it claims. */
export function frame(payload, opcode = 1, declared = payload.length) {
  const head = declared < 126 ? Buffer.from([0x80 | opcode, 0x80 | declared])
    : Buffer.concat([Buffer.from([0x80 | opcode, 0x80 | 127]), (() => { const b = Buffer.alloc(8); b.writeBigUInt64BE(BigInt(declared)); return b; })()]);
  const mask = crypto.randomBytes(4);
  const body = Buffer.from(payload).map((b, i) => b ^ mask[i % 4]);
  return Buffer.concat([head, mask, body]);
}
