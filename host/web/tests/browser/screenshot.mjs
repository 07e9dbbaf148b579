// Makes docs/serve.png, the README's picture of the signing page: a pen signature written
// through the DevTools protocol, then Done. Run with PENWELL set as for the tests.
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';

const proc = spawn(process.env.PENWELL, ['serve', '--demo', '--port', '0', '--resources',
  process.env.PENWELL_RESOURCES, '--smoothing', 'off'], { stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((resolve) => proc.stdout.on('data', (d) => {
  const m = /http:\/\/\S+\//.exec(String(d));
  if (m) resolve(m[0]);
}));
const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run'] });
const page = await browser.newPage({ viewport: { width: 680, height: 560 } });
await page.goto(url);
await page.evaluate(() => window.penwellPad.ready);
const cdp = await page.context().newCDPSession(page);
const r = await page.evaluate(() => document.getElementById('pad').getBoundingClientRect().toJSON());
let t = Date.now() / 1000 + 0.1;
const strokes = [
  // "Pw" with a flourish underneath, as parametric curves.
  Array.from({ length: 90 }, (_, i) => [80, 200 - i * 1.6]).concat(
    Array.from({ length: 120 }, (_, i) => [80 + 60 * Math.sin(i / 38), 56 + 36 - 36 * Math.cos(i / 38)])),
  Array.from({ length: 240 }, (_, i) => [170 + i * 1.3, 150 + 45 * Math.abs(Math.sin(i / 30)) - 20]),
  Array.from({ length: 200 }, (_, i) => [60 + i * 2.5, 215 - 12 * Math.sin(i / 25)]),
];
for (const points of strokes) {
  const sends = points.map(([x, y], i) => cdp.send('Input.dispatchMouseEvent', {
    type: i ? 'mouseMoved' : 'mousePressed', x: r.x + x, y: r.y + y, button: 'left', buttons: 1,
    clickCount: 1, pointerType: 'pen', force: 0.35 + 0.3 * Math.sin(i / 20) ** 2,
    timestamp: (t += 1 / 240) }));
  sends.push(cdp.send('Input.dispatchMouseEvent', { type: 'mouseReleased', x: r.x + points.at(-1)[0],
    y: r.y + points.at(-1)[1], button: 'left', clickCount: 1, pointerType: 'pen', timestamp: (t += 0.1) }));
  await Promise.all(sends);
}
await page.click('#done');
await page.waitForFunction(() => window.penwellPad.lastDone);
await page.waitForTimeout(200);
await page.screenshot({ path: new URL('../../docs/serve.png', import.meta.url).pathname });
await browser.close();
proc.kill('SIGINT');
