// What the signer is told is true, in real Chromium: a pad lost to a server restart is said to
// be lost and nothing partial is saved, a busy server makes the page wait and come in by
// itself while dropped sockets hold no place, and every text is in the page's language, with
// the operator's controls only when asked for. The helpers (lib.mjs) say what the tests need.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import {
  canvas, dispatch, done, mismatch, openPad, openRecord, expectStroke, rawClient, serve, state, status,
  tempFolder, timeline, until, wave,
} from './lib.mjs';

const texts = JSON.parse(readFileSync(new URL('../../../common/wording/signer.json', import.meta.url)));
const en = texts.en;
const de = texts.de;
const shown = (pad, id) => pad.page.evaluate((i) => document.getElementById(i)?.textContent ?? null, id);
const doneDisabled = (pad) => pad.page.evaluate(() => document.getElementById('done').disabled);

// A crash (SIGKILL: the page sees its socket drop) and a restart (SIGTERM: the server says it
// is going). Either way the page comes back to a server that never knew its pad.
for (const signal of ['SIGKILL', 'SIGTERM']) {
  test(`a server restarted mid-signature (${signal}): the page says so, starts clean, saves nothing partial`, async () => {
    const out = tempFolder();
    const first = await serve('--out', out, '--smoothing', 'off');
    const pad = await openPad(first.url);
    const blank = await canvas(pad);
    await dispatch(pad, 'pen', timeline(wave(60, 20, 60, 4, 10)));
    // Every message acknowledged: nothing is left for the page to send again.
    await until(async () => (await state(pad)).samples === 60, 'the first stroke on the server');
    first.proc.kill(signal);
    await first.stopped;
    const second = await serve('--out', out, '--smoothing', 'off', '--port', String(first.port));
    await until(async () => (await status(pad)) === en.padRestarted, 'the page saying the pad started again');
    await until(async () => (await canvas(pad)) === blank, 'the cleared canvas');
    assert.equal(await mismatch(pad), 0);
    assert.equal(await pad.page.evaluate(() => window.penwellPad.provisionalPixels()), 0);
    // What is left of the signature is not one: Done saves nothing.
    const early = await done(pad);
    assert.deepEqual(early, { type: 'done', ok: false, code: 'tooShort' });
    assert.equal(await shown(pad, 'result'), en.tooShort);
    // Signed again, the record holds what was drawn on this pad only.
    const again = timeline(wave(40, 20, 150, 5, 10));
    await dispatch(pad, 'pen', again);
    await until(async () => (await state(pad)).samples === 40, 'the stroke on the new pad');
    assert.equal(await status(pad), '', 'the notice goes once the signer signs again');
    const reply = await done(pad);
    assert.ok(reply.ok);
    const record = openRecord(out, reply.name);
    assert.equal(record.length, 1);
    expectStroke(record[0], 'pen', again);
    assert.deepEqual(readdirSync(out).sort(), ['data', 'evidence', 'key', 'png'].map((e) => `${reply.name}.${e}`));
    // The browser's own notes of the tries while the server was down are no fault of the page.
    assert.deepEqual(pad.errors.filter((e) => !/^WebSocket connection to .* failed/.test(e)), []);
    await pad.page.context().close();
    second.proc.kill('SIGINT');
  });
}

test('a pad that held nothing when the server went: what the signer drew meanwhile reaches the new one', async () => {
  const first = await serve('--smoothing', 'off');
  const pad = await openPad(first.url);
  first.proc.kill('SIGKILL');
  await first.stopped;
  await until(async () => (await status(pad)) === en.reconnecting, 'the page reconnecting');
  const meanwhile = timeline(wave(30, 30, 100, 5, 10));
  await dispatch(pad, 'pen', meanwhile);
  const second = await serve('--smoothing', 'off', '--port', String(first.port));
  await until(async () => (await state(pad)).samples === 30, 'the stroke drawn while the server was away');
  assert.equal(await status(pad), '');
  await until(() => pad.page.evaluate(() => window.penwellPad.provisionalPixels() === 0), 'the provisional ink gone');
  assert.equal(await mismatch(pad), 0);
  await pad.page.context().close();
  second.proc.kill('SIGINT');
});

test('dropped sockets hold no place; a busy server makes the page wait and come in by itself', async () => {
  const server = await serve('--max-sessions', '5', '--public-origin', 'https://sign.example.com', '--trusted-proxy', '127.0.0.1');
  // A script opens sockets and drops them (the Origin forged): each pad held nothing, so none
  // is kept for its page. They once held every place for a minute.
  for (let i = 0; i < 16; i++) {
    assert.deepEqual(await rawClient(server.port, { drop: true }), { status: 101, dropped: true }, `socket ${i}`);
  }
  // From one address behind the proxy (the one trusted to say so), a script gets four pads
  // and no more.
  const held = [];
  for (let i = 0; i < 6; i++) held.push(await rawClient(server.port, { forwardedFor: '198.51.100.7', hold: true }));
  assert.deepEqual(held.map((h) => h.socket ? 'pad' : `${h.code} ${h.reason}`), ['pad', 'pad', 'pad', 'pad',
    '1013 busy: 4 signers from one address already', '1013 busy: 4 signers from one address already']);
  const signer = await openPad(server.url);
  const samples = timeline(wave(30, 40, 100, 5, 20));
  await dispatch(signer, 'pen', samples);
  await until(async () => (await state(signer)).samples === 30, 'the signer signs');
  // The server is full: the next page says so, and comes in when a place frees.
  const context = await signer.page.context().browser().newContext();
  const waiting = await context.newPage();
  await waiting.goto(server.url);
  await until(async () => (await waiting.textContent('#connection')) === en.busy, 'the busy notice');
  assert.equal(await waiting.evaluate(() => [window.penwellPad.closeReason, document.getElementById('done').disabled].join()), ',true');
  held[0].socket.resetAndDestroy();
  await until(() => waiting.evaluate(() => window.penwellPad.patches > 0), 'the page in by itself');
  assert.equal(await waiting.textContent('#connection'), '');
  assert.equal(await waiting.evaluate(() => document.getElementById('done').disabled), false);
  assert.match(server.log, /refused a signer from 198\.51\.100\.7: 4 signers from one address already/);
  assert.match(server.log, /refused a signer: 5 signers at once already/);
  for (const h of held) h.socket?.destroy();
  await context.close();
  await signer.page.context().close();
});

test('the page in German: every text, the pad\'s name and role, and a failed save told plainly', async () => {
  const out = tempFolder();
  const server = await serve('--lang', 'de', '--out', out, '--smoothing', 'off');
  const pad = await openPad(server.url);
  const page = pad.page;
  assert.equal(await page.evaluate(() => document.documentElement.lang), 'de');
  assert.equal(await page.title(), de.title);
  assert.deepEqual(await page.evaluate(() => ['h1', '#undo', '#clear', '#done'].map((s) => document.querySelector(s).textContent)),
    [de.signHere, de.undo, de.clear, de.done]);
  // The pad is announced for what it is.
  assert.equal(await page.getByRole('img', { name: de.padLabel, exact: true }).count(), 1);
  // The operator's counts and settings are not the signer's.
  assert.equal(await page.locator('#operator, #settings').count(), 0);
  assert.doesNotMatch(await page.textContent('body'), /For the operator|Try the settings|Für das Personal/);

  await dispatch(pad, 'mouse', timeline(wave(5, 40, 100, 5, 5)));
  await until(async () => (await state(pad)).samples === 5, 'a short stroke');
  assert.equal((await done(pad)).code, 'tooShort');
  assert.equal(await shown(pad, 'result'), de.tooShort);

  // The folder is gone after the start-up check: the signer is told to ask the staff, the
  // operator's log says why, and the signature stays on the pad.
  rmSync(out, { recursive: true });
  writeFileSync(out, 'not a folder');
  await dispatch(pad, 'mouse', timeline(wave(40, 40, 150, 5, 10)));
  await until(async () => (await state(pad)).samples === 45, 'a signature');
  assert.deepEqual(await done(pad), { type: 'done', ok: false, code: 'notSaved' });
  assert.equal(await shown(pad, 'result'), de.notSaved);
  assert.match(server.log, new RegExp(`Done saved nothing: ${out}/signature-\\S+\\.data: cannot create`));
  assert.equal((await state(pad)).samples, 45);
  assert.deepEqual(pad.errors, []);
  await page.context().close();
});

test('the operator\'s controls only with --operator-controls', async () => {
  const server = await serve('--operator-controls', '--smoothing', 'off');
  const pad = await openPad(server.url);
  assert.deepEqual(await pad.page.evaluate(() => ['#operator summary', '#settings summary'].map((s) => document.querySelector(s).textContent)),
    [en.operator, en.settings]);
  await dispatch(pad, 'pen', timeline(wave(20, 40, 100, 5, 5)));
  await until(async () => (await shown(pad, 'onPad')) === '1 strokes, 20 samples on the pad', 'the counts');
  await pad.page.click('#settings summary');
  await pad.page.fill('#width', '6');
  await until(() => pad.page.evaluate(() => window.penwellPad.state.seq >= 3), 'the setting taken');
  assert.equal(await pad.page.evaluate(() => window.penwellPad.closeReason), null);
  assert.equal(await doneDisabled(pad), false);
  // The timing line fills every placeholder, sigma2's too (a digit in its name).
  assert.equal((await done(pad)).ok, true);
  const timing = await shown(pad, 'timing');
  assert.match(timing, /^Timing regularity of the last signature: sigma \S+ · sigma2 \S+ over 20 samples$/);
  assert.deepEqual(pad.errors, []);
  await pad.page.context().close();
});
