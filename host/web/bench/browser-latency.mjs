// How late ink shows in real Chromium: from a pen sample's event time to the first frame whose
// canvas shows ink at the sample, for penwell's signing page and for a page that draws the same
// strokes locally on one plain 2D canvas (the baseline), each straight over loopback and through
// a loopback proxy that holds every chunk 20 ms each way (40 ms of round trip).
//
// Samples go in through the DevTools protocol (Input.dispatchMouseEvent, pen, 240 Hz, paced in
// real time), each stamped with the moment it is sent: the browser's input pipeline takes that
// as the event's time (coalescing, rAF-aligned delivery and all), so a page's event.timeStamp
// is when the sample entered the browser, on the page's own clock. A probe in the page notes
// every coalesced pointermove sample and, at the start of every animation frame, reads back the
// pixel under each sample still waiting on every canvas; the first frame that finds ink there
// gives the sample's latency (performance.now() in that frame's callback minus the event time).
// Neither page draws in animation-frame callbacks, so what the probe sees is what that frame
// shows.
//
// Not a test: it asserts nothing on time and prints a table. Environment: PENWELL (the built
// program; default build/default/tools/penwell), PENWELL_RESOURCES (default demo-certificate),
// CHROMIUM (default /usr/bin/chromium), ROUNDS (default 4), STROKES per page (default 12).
// playwright-core comes from the browser tests' folder (scripts/install-deps installs it).
import { createRequire } from 'node:module';
import { spawn } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';

const root = fileURLToPath(new URL('../../../', import.meta.url));
const require = createRequire(new URL('../tests/browser/package.json', import.meta.url));
const { chromium } = require('playwright-core');

const PENWELL = process.env.PENWELL || `${root}build/default/tools/penwell`;
const RESOURCES = process.env.PENWELL_RESOURCES || `${root}demo-certificate`;
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const ROUNDS = Number(process.env.ROUNDS || 4);
const STROKES = Number(process.env.STROKES || 12);
const HZ = 240;
const ONE_WAY_MS = 20;
const STEP = 6; // points between samples: more than the ink is wide, so a sample's pixel has no ink before its own
const GIVE_UP_MS = 2000; // a sample not inked by then counts as missed

// The baseline: a plain 2D canvas the size of penwell's pad, drawing each coalesced sample as
// the pen's ink (8 x pressure wide, round caps) in its pointermove handler.
const BASELINE = `<!doctype html><meta charset="utf-8"><title>baseline</title>
<style>body{margin:0;padding:40px}canvas{border:1px solid #999;touch-action:none}</style>
<canvas id="pad" width="600" height="250"></canvas>
<script>
const c = document.getElementById('pad'), g = c.getContext('2d');
g.fillStyle = '#fff'; g.fillRect(0, 0, c.width, c.height);
g.lineCap = 'round'; g.strokeStyle = '#000';
let last = null;
const at = (e) => { const r = c.getBoundingClientRect(); return [e.clientX - r.left, e.clientY - r.top]; };
c.addEventListener('pointerdown', (e) => { c.setPointerCapture(e.pointerId); last = at(e); });
c.addEventListener('pointermove', (e) => {
  if (!last) return;
  for (const s of e.getCoalescedEvents()) {
    const p = at(s);
    g.lineWidth = 8 * s.pressure;
    g.beginPath(); g.moveTo(last[0], last[1]); g.lineTo(p[0], p[1]); g.stroke();
    last = p;
  }
});
c.addEventListener('pointerup', () => { last = null; });
window.baselineReady = true;
</script>`;

// The probe: samples as the page receives them, and the frame loop that looks for their ink.
const PROBE = () => {
  const pending = [];
  const results = [];
  const delivery = []; // event time to the page's handler: the input pipeline's share
  const inked = (x, y) => {
    // The topmost canvas first (the later one in the document), where new ink lands first.
    for (const canvas of [...document.querySelectorAll('canvas')].reverse()) {
      const r = canvas.getBoundingClientRect();
      const px = Math.floor(((x - r.left) * canvas.width) / r.width);
      const py = Math.floor(((y - r.top) * canvas.height) / r.height);
      if (px < 0 || py < 0 || px >= canvas.width || py >= canvas.height) continue;
      const d = canvas.getContext('2d').getImageData(px, py, 1, 1).data;
      if (d[3] >= 128 && d[0] + d[1] + d[2] < 384) return true;
    }
    return false;
  };
  window.addEventListener('pointermove', (e) => {
    if (e.buttons === 0) return;
    const now = performance.now();
    for (const s of e.getCoalescedEvents()) delivery.push(now - s.timeStamp);
    for (const s of e.getCoalescedEvents()) pending.push({ t: s.timeStamp, x: s.clientX, y: s.clientY });
  }, { capture: true });
  const frame = () => {
    const now = performance.now();
    for (let i = 0; i < pending.length;) {
      const s = pending[i];
      if (inked(s.x, s.y)) results.push(now - s.t);
      else if (now - s.t > 2000) results.push(null);
      else { i++; continue; }
      pending.splice(i, 1);
    }
    requestAnimationFrame(frame);
  };
  requestAnimationFrame(frame);
  window.latencyProbe = { results, pending, delivery };
};

/** A loopback TCP proxy to `target` holding every chunk `oneWayMs` in each direction. */
function delayingProxy(target, oneWayMs, port = 0) {
  const sockets = new Set();
  const server = net.createServer((client) => {
    const upstream = net.connect(target, '127.0.0.1');
    for (const s of [client, upstream]) {
      s.setNoDelay(true);
      sockets.add(s);
      s.on('error', () => {});
      s.on('close', () => { sockets.delete(s); client.destroy(); upstream.destroy(); });
    }
    // Timers of one duration fire in the order they were set: the bytes keep their order.
    const relay = (from, to) => from.on('data', (d) => {
      if (oneWayMs === 0) to.write(d);
      else setTimeout(() => to.destroyed || to.write(d), oneWayMs);
    });
    relay(client, upstream);
    relay(upstream, client);
  });
  return new Promise((resolve) => server.listen(port, '127.0.0.1', () => resolve({
    port: server.address().port,
    close() { for (const s of sockets) s.destroy(); server.close(); },
  })));
}

function startServe(publicPorts) {
  const origins = publicPorts.flatMap((p) => ['--public-origin', `http://127.0.0.1:${p}`]);
  const proc = spawn(PENWELL, ['serve', '--demo', '--bind', '127.0.0.1', '--port', '0', '--resources', RESOURCES, ...origins],
    { stdio: ['ignore', 'pipe', 'ignore'] });
  return new Promise((resolve, reject) => {
    let text = '';
    proc.stdout.on('data', (chunk) => {
      text += chunk;
      const url = /http:\/\/\S+:(\d+)\//.exec(text);
      if (url) resolve({ proc, port: Number(url[1]) });
    });
    proc.on('exit', (code) => reject(new Error(`penwell serve exited with ${code}`)));
  });
}

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const wallSeconds = () => (performance.timeOrigin + performance.now()) / 1000;

/** Writes the strokes in real time, 240 samples a second, each stamped as it is sent. */
async function sign(page, cdp) {
  const r = await page.evaluate(() => document.getElementById('pad').getBoundingClientRect().toJSON());
  const mouse = (type, x, y, buttons) => cdp.send('Input.dispatchMouseEvent', {
    type, x: r.x + x, y: r.y + y, button: 'left', buttons, clickCount: 1, pointerType: 'pen', force: 0.5,
    timestamp: wallSeconds() });
  // Every sample inked or given up on (within a bound).
  const drained = async () => {
    for (let i = 0; i < 200 && (await page.evaluate(() => window.latencyProbe.pending.length)) > 0; i++) await sleep(25);
  };
  const sends = [];
  // A first stroke along the bottom is not measured: a fresh page's first stroke waits on
  // one-off work (compiling, the first raster of each canvas) that made up most of a run's
  // p95 at random, for either page.
  for (let k = -1; k < STROKES; k++) {
    const y = k < 0 ? 245.5 : 15.5 + Math.floor(k * (220 / Math.max(1, STROKES - 1)));
    const start = performance.now();
    let i = 0;
    sends.push(mouse('mousePressed', 10.5, y, 1));
    for (let x = 10.5 + STEP; x < 590; x += STEP) {
      i++;
      const due = start + (i * 1000) / HZ;
      while (performance.now() < due) await sleep(Math.max(0, Math.min(1, due - performance.now())));
      sends.push(mouse('mouseMoved', x, y, 1));
    }
    await sleep(1000 / HZ);
    sends.push(mouse('mouseReleased', 590, y, 0));
    await Promise.all(sends.splice(0));
    await sleep(150);
    if (k < 0) {
      await drained();
      await page.evaluate(() => { window.latencyProbe.results.length = 0; window.latencyProbe.delivery.length = 0; });
    }
  }
  await drained();
  return page.evaluate(() => [window.latencyProbe.results, window.latencyProbe.delivery]);
}

function percentile(sorted, q) {
  const i = Math.min(sorted.length - 1, Math.max(0, Math.ceil(q * sorted.length) - 1));
  return sorted[i];
}

const browser = await chromium.launch({ executablePath: CHROMIUM,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run'] });
const baselineServer = http.createServer((req, res) => {
  res.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
  res.end(BASELINE);
});
await new Promise((r) => baselineServer.listen(0, '127.0.0.1', r));

// Penwell's server is started knowing the origin the delayed pages will use: the proxy's.
const delayedPort = await freePort();
const serve = await startServe([delayedPort]);
const proxy = await delayingProxy(serve.port, ONE_WAY_MS, delayedPort);
const baselineProxy = await delayingProxy(baselineServer.address().port, ONE_WAY_MS);

const cases = [
  ['baseline', 'loopback', `http://127.0.0.1:${baselineServer.address().port}/`],
  ['penwell', 'loopback', `http://127.0.0.1:${serve.port}/`],
  ['baseline', '+40 ms', `http://127.0.0.1:${baselineProxy.port}/`],
  ['penwell', '+40 ms', `http://127.0.0.1:${delayedPort}/`],
];
const results = new Map(cases.map(([page, net]) => [`${page} ${net}`, []]));
const delivery = new Map(cases.map(([page, net]) => [`${page} ${net}`, []]));
for (let round = 0; round < ROUNDS; round++) {
  for (const [kind, network, url] of cases) {
    const context = await browser.newContext({ viewport: { width: 800, height: 600 } });
    const page = await context.newPage();
    await page.addInitScript(PROBE);
    await page.goto(url);
    if (kind === 'penwell') {
      await page.evaluate(() => window.penwellPad.ready);
      await page.waitForFunction(() => window.penwellPad.patches > 0);
    } else {
      await page.waitForFunction(() => window.baselineReady);
    }
    const cdp = await context.newCDPSession(page);
    const [latencies, delivered] = await sign(page, cdp);
    results.get(`${kind} ${network}`).push(...latencies);
    delivery.get(`${kind} ${network}`).push(...delivered);
    await context.close();
  }
}

const load = os.loadavg().map((l) => l.toFixed(2)).join(' ');
console.log(`Chromium ${browser.version()}, ${os.cpus().length} CPUs (${os.cpus()[0].model}), load average ${load}`);
console.log(`${ROUNDS} rounds x ${STROKES} strokes, pen samples at ${HZ} Hz, ${STEP} points apart`);
console.log('| Page | Network | Samples | Missed | p50 | p95 | Delivery p50 | min |');
console.log('|---|---|---:|---:|---:|---:|---:|---:|');
const summary = {};
for (const [name, values] of results) {
  const inked = values.filter((v) => v !== null).sort((a, b) => a - b);
  const [kind, network] = [name.split(' ')[0], name.slice(name.indexOf(' ') + 1)];
  const delivered = delivery.get(name).sort((a, b) => a - b);
  summary[name] = { p50: percentile(inked, 0.5), p95: percentile(inked, 0.95) };
  console.log(`| ${kind} | ${network} | ${values.length} | ${values.length - inked.length} | ` +
    `${summary[name].p50.toFixed(1)} ms | ${summary[name].p95.toFixed(1)} ms | ` +
    `${percentile(delivered, 0.5).toFixed(1)} ms | ${delivered[0].toFixed(1)} ms |`);
}
for (const network of ['loopback', '+40 ms']) {
  const p = summary[`penwell ${network}`], b = summary[`baseline ${network}`];
  console.log(`penwell / baseline, ${network}: p50 ${(p.p50 / b.p50).toFixed(2)}, p95 ${(p.p95 / b.p95).toFixed(2)}`);
}

await browser.close();
proxy.close();
baselineProxy.close();
baselineServer.close();
serve.proc.kill('SIGINT');
