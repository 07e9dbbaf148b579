// penwell serve in real Chromium: what the signer draws reaches the record exactly, the canvas
// shows the server's picture, hostile clients are refused, and a dropped connection finds its
// pad again. The helpers (lib.mjs) say what the tests need.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readdirSync } from 'node:fs';
import { join } from 'node:path';
import {
  PENWELL, PENWELL_RESOURCES, canvas, dispatch, done, expectStroke, frame, mismatch, openEvidence, openPad,
  openRecord, rawClient, relay, serve, state, tempFolder, timeline, until, wave,
} from './lib.mjs';

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
  const evidence = openEvidence(out, reply.name);
  assert.deepEqual(evidence.strokes, record);
  // How each stroke was drawn; a mouse was once recorded as a finger.
  assert.deepEqual(evidence.evidence.pointer_kinds, ['mouse', 'stylus', 'finger', 'finger', 'finger']);
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
  // A few samples on a wide arc: the smoothed curve differs visibly from the straight segments.
  const arc = Array.from({ length: 8 }, (_, i) =>
    [150.5 + Math.round(100 * Math.cos(i / 2.5)), 120.5 + Math.round(100 * Math.sin(i / 2.5)), 0.5]);
  // The straight segments come from a pad that never smooths: under load the redraw, one second
  // after the stroke, can land before this test has looked at the canvas, so the unsmoothed
  // picture cannot be taken from the smoothing pad itself.
  const draw = async (smoothing) => {
    const { url } = await serve('--smoothing', smoothing);
    const pad = await openPad(url);
    await dispatch(pad, 'touch', timeline(arc));
    await until(async () => (await state(pad)).strokes === 1, 'the stroke');
    return pad;
  };
  const plain = await draw('off');
  await until(async () => (await mismatch(plain)) === 0, 'the unsmoothed picture');
  const straight = await canvas(plain);
  const pad = await draw('on');
  await until(async () => (await canvas(pad)) !== straight && (await mismatch(pad)) === 0,
    'the smoothing redraw');
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
    assert.deepEqual(openEvidence(out, reply.name, operator).strokes, record);
  }
  assert.notEqual(names[0], names[1]);
});

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
  assert.deepEqual(shown, { reason: 'idle for 1 seconds', text: 'The pad closed because nothing happened for a while.',
    done: true, again: true });
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
