// The signing page. Every pointer sample goes to the server, whose controller paints the pad,
// and the page paints the patches of the pad's picture it is sent (at the screen's pixel
// density); its own ink is provisional, until the server's picture includes it.
// So what the signer sees is what the component holds. A connection that drops is resumed
// with the pad's token; when the pad it comes back to is not the one it left, the page says so
// and the signer starts again. A page the server has no room for tries again by itself; any
// other close leaves the pad visibly stopped, with the reason.
'use strict';

// Every text the signer reads is in the server's table (host/common/wording/signer.json, which
// the desktop pad shares), in the page's language.
const config = window.penwellConfig || { lang: 'en', operatorControls: false, document: false, texts: {} };
/** A text of the page's language, its {placeholders} filled in from `values`. */
function t(key, values = {}) {
  const text = config.texts[key];
  if (text === undefined) {
    console.error(`the page has no text "${key}"`);
    return key;
  }
  return text.replace(/\{([A-Za-z][A-Za-z0-9]*)\}/g, (whole, name) => (name in values ? String(values[name]) : whole));
}
window.penwellText = t;
document.documentElement.lang = config.lang;
for (const element of document.querySelectorAll('[data-text]')) element.textContent = t(element.dataset.text);
for (const element of document.querySelectorAll('[data-label]')) element.setAttribute('aria-label', t(element.dataset.label));
// A deployment's logo and colours (serve --brand): the logo from the server's one fixed path
// (the same for a free pad and every signing link), the colours checked by the server.
if (config.brand) {
  for (const [name, colour] of Object.entries(config.brand.colors)) {
    document.documentElement.style.setProperty(`--brand-${name}`, colour);
  }
  if (config.brand.logo) {
    const logo = document.getElementById('brandLogo');
    logo.src = config.brand.logo;
    logo.hidden = false;
  }
}
// The counts and the settings (which change the signed outputs) are the operator's.
for (const id of ['operator', 'settings']) {
  if (config.operatorControls) document.getElementById(id).hidden = false;
  else document.getElementById(id).remove();
}

/** The server's close code for an idle session (Server.h, kIdleCloseCode). */
const IDLE_CLOSE = 4000;
/** "Try again later": the server has no room for another pad now. */
const BUSY_CLOSE = 1013;
const MAX_BUSY_TRIES = 720; // about an hour, five seconds apart

const canvas = document.getElementById('pad');
const ctx = canvas.getContext('2d', { willReadFrequently: true });
const $ = (id) => document.getElementById(id);
// Provisional ink: what the page draws at once, on a layer above the server's picture, with
// the controller's rules (a pen's width is 8 x its pressure, any other pointer's the line
// width), until a patch says the server's picture includes it. Predicted samples extend it
// but are never sent.
const ink = document.getElementById('ink');
const inkCtx = ink.getContext('2d', { desynchronized: true });
let provisional = []; // one entry a message: { seq, from, points: [[x, y, width]] }
let predicted = [];
let inkColour = '#000';
let lineWidth = 3;
// The pad in points, and the canvases' pixels per point: the screen's device pixel ratio,
// rounded to a whole number from 1 to 4 (what the server paints patches at), so the ink is
// painted for the screen's pixels instead of being stretched by the browser.
let padSize = null;
let background = '#fff';
let scale = 1;
let scaleSeq = 0; // the message that asked for `scale`

let socket = null;
let resumeToken = null; // this pad's, from the server's hello; kept in memory only
let kiosk = false;
// Every message is numbered; those the server has not acknowledged yet are kept, and sent
// again when the page comes back to its pad after a drop (the server ignores repeats).
let seq = 0;
let unacked = [];
let live = false; // the server's hello has arrived on the current connection
let reconnectTries = 0;
let busyTries = 0;
// With a document, Done waits until the page has drawn the page the signature goes on.
let documentExpected = false; // the server signs a document (its hello says)
let documentShownPage = null;
let documentFailed = false;
const MAX_UNACKED = 20000; // messages; a page further behind than that starts again
let limits = { samplesPerMessage: 256 };
let patchLayout = null; // the binary messages' layout, from the server's hello (Session.h)
let active = null; // the pointer that draws: the first one down, as on a device
// The server's one spelling of a pointer's kind, from the browser's pointerType.
const pointerKinds = { pen: 'stylus', touch: 'finger', mouse: 'mouse' };
let restarted = false; // the signer has been told to sign again
let finished = false; // a signing link's signature is done: its pad's close is no fault
let painting = Promise.resolve(); // patches are painted in the order they arrive
// Snapshots are asked one at a time (the server refuses a second while one is on its way);
// the one arriving is painted tile by tile into `snapshotTarget` until its bottom-right tile.
let snapshotChain = Promise.resolve();
let snapshotTarget = null;

// For tests and for hosts that embed the page: the pad's state as the server reports it.
const pad = {
  state: { samples: 0, strokes: 0, signature: false },
  lastDone: null,
  closeReason: null,
  paintError: null,
  /** Pixels of provisional ink on the layer above the server's picture. */
  provisionalPixels() {
    const data = inkCtx.getImageData(0, 0, ink.width, ink.height).data;
    let n = 0;
    for (let i = 3; i < data.length; i += 4) if (data[i] !== 0) n++;
    return n;
  },
  patches: 0,
  ready: null,
  /** What the canvas shows. */
  canvasPixels() {
    return ctx.getImageData(0, 0, canvas.width, canvas.height);
  },
  /** The server's picture of the pad, once every patch sent before it has been painted. */
  snapshot() {
    const next = snapshotChain.then(() => new Promise((resolve, reject) => {
      if (pad.closeReason !== null) {
        reject(new Error(`the pad stopped: ${pad.closeReason}`));
        return;
      }
      snapshotTarget = { resolve, reject, scratch: null };
      send({ type: 'snapshot' });
    }));
    snapshotChain = next.catch(() => {});
    return next;
  },
  /** Pixels where the canvas and the server's picture differ. */
  async mismatch() {
    const server = await pad.snapshot();
    const shown = pad.canvasPixels().data;
    let differing = 0;
    for (let i = 0; i < shown.length; i += 4) {
      if (shown[i] !== server.data[i] || shown[i + 1] !== server.data[i + 1] ||
          shown[i + 2] !== server.data[i + 2] || shown[i + 3] !== server.data[i + 3]) {
        differing++;
      }
    }
    return differing;
  },
};
/** document.js: the page the signature goes on has been drawn, so the signer has seen it. */
pad.documentShown = (page) => {
  documentShownPage = page;
  send({ type: 'shown', page });
  updateButtons();
};
/** document.js: the document cannot be shown, so it cannot be signed here. */
pad.documentFailed = () => {
  documentFailed = true;
  updateButtons();
};
window.penwellPad = pad;

/** Done only on a live pad, and with a document only once the signer has seen it. */
function updateButtons() {
  const stopped = pad.closeReason !== null;
  $('undo').disabled = stopped;
  $('clear').disabled = stopped;
  $('done').disabled = stopped || !live || documentFailed || (documentExpected && documentShownPage === null);
}

/** A snapshot on its way will not come: the connection it was asked on is gone. */
function failSnapshot(why) {
  if (snapshotTarget) snapshotTarget.reject(new Error(why));
  snapshotTarget = null;
}

function send(message) {
  if (pad.closeReason !== null) return;
  message.seq = ++seq;
  if (unacked.length < MAX_UNACKED) unacked.push(message);
  outbox.push(message);
  if (outbox.length === 1) setTimeout(sendOutbox, 0);
}

// Messages leave in a task of their own after the event that made them: the frame that shows
// the event's ink does not wait on the socket (its sends were the page's largest cost per
// frame after the patches).
let outbox = [];
function sendOutbox() {
  const messages = outbox;
  outbox = [];
  if (!live || socket.readyState !== WebSocket.OPEN) return; // they wait in `unacked`
  for (const m of messages) socket.send(JSON.stringify(m));
}

/** Drops what the server says it has taken. */
function acknowledged(upTo) {
  let n = 0;
  while (n < unacked.length && unacked[n].seq <= upTo) n++;
  unacked.splice(0, n);
}

/**
 * One sample: time in seconds on the event clock, position in pad points, pressure. `r` is the
 * pad's box, asked once for all the samples of an event.
 */
function sampleOf(e, r = canvas.getBoundingClientRect()) {
  const x = (e.clientX - r.left) * (padSize.width / r.width);
  const y = (e.clientY - r.top) * (padSize.height / r.height);
  return [e.timeStamp / 1000, x, y, e.pressure];
}

function sendSamples(type, pointer, samples) {
  for (let i = 0; i < samples.length; i += limits.samplesPerMessage) {
    const message = { type, pointer, samples: samples.slice(i, i + limits.samplesPerMessage) };
    send(message);
    if (type === 'down' || type === 'move') addProvisional(message, type === 'down');
  }
}

function addProvisional(message, begins) {
  const last = provisional.at(-1);
  const from = begins || !last ? null : last.points.at(-1);
  const width = (s) => (message.pointer === 'stylus' ? 8 * s[3] : lineWidth);
  provisional.push({ seq: message.seq, from, points: message.samples.map((s) => [s[1], s[2], width(s)]) });
  drawProvisional();
}

function drawProvisional() {
  inkCtx.setTransform(scale, 0, 0, scale, 0, 0);
  inkCtx.clearRect(0, 0, ink.width, ink.height);
  inkCtx.strokeStyle = inkColour;
  inkCtx.fillStyle = inkColour;
  inkCtx.lineCap = 'round';
  const segment = (a, b) => {
    inkCtx.lineWidth = b[2];
    inkCtx.beginPath();
    inkCtx.moveTo(a[0], a[1]);
    inkCtx.lineTo(b[0], b[1]);
    inkCtx.stroke();
  };
  let lastPoint = null;
  for (const entry of provisional) {
    let prev = entry.from;
    for (const p of entry.points) {
      if (prev) segment(prev, p);
      prev = p;
    }
    lastPoint = prev;
  }
  if (active !== null && lastPoint) {
    let prev = lastPoint;
    for (const p of predicted) { segment(prev, p); prev = p; }
  }
}

function pixelScale() {
  return Math.min(4, Math.max(1, Math.round(window.devicePixelRatio || 1)));
}

/**
 * Canvases of padSize points at `scale`, blank; the server, painting at `serverScale` so far,
 * is told the scale.
 */
function sizeCanvases(serverScale) {
  canvas.width = ink.width = padSize.width * scale;
  pad.pixelsPerPoint = scale;
  canvas.height = ink.height = padSize.height * scale;
  // No height: on a screen narrower than the pad its width shrinks and the height follows,
  // keeping the pad's aspect (a fixed height would stretch the ink across it).
  canvas.style.width = `${padSize.width}px`;
  ctx.fillStyle = background;
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  drawProvisional();
  send({ type: 'config', scale });
  // Patches already on their way are at the old scale: only those from this message on count
  // (the server answers a new scale with the whole picture). At the same scale all count.
  scaleSeq = serverScale === scale ? 0 : seq;
}

/** Zoom, or a window moved to another screen: new canvases, and the whole picture again. */
function takeScale() {
  if (padSize === null || pixelScale() === scale) return;
  const before = scale;
  const scratch = new OffscreenCanvas(canvas.width, canvas.height);
  scratch.getContext('2d').drawImage(canvas, 0, 0);
  scale = pixelScale();
  sizeCanvases(before);
  // The old picture, stretched, until the server's arrives: the signature never blinks out.
  ctx.drawImage(scratch, 0, 0, scratch.width, scratch.height, 0, 0,
    (scratch.width * scale) / before, (scratch.height * scale) / before);
}
// The browser tells a page of a new density through a media query that stops matching (held
// here: a list nobody holds may be collected with its listener), and a zoom resizes the
// window; a pen-down checks again, for browsers that say neither.
let scaleQuery = null;
function watchScale() {
  scaleQuery = matchMedia(`(resolution: ${window.devicePixelRatio}dppx)`);
  scaleQuery.addEventListener('change', () => {
    watchScale();
    takeScale();
  }, { once: true });
}
watchScale();
window.addEventListener('resize', takeScale);

/** The server's picture includes every message up to `upTo`: its provisional ink goes. */
function settled(upTo) {
  const before = provisional.length;
  provisional = provisional.filter((entry) => entry.seq > upTo);
  if (provisional.length !== before) drawProvisional();
}

canvas.addEventListener('pointerdown', (e) => {
  e.preventDefault();
  if (active !== null || pad.closeReason !== null || padSize === null) return;
  takeScale();
  $('result').hidden = true;
  if (restarted) setStatus(null); // the signer has read it and signs again
  restarted = false;
  active = { id: e.pointerId, type: pointerKinds[e.pointerType] ?? 'unknown' };
  canvas.setPointerCapture(e.pointerId);
  sendSamples('down', active.type, [sampleOf(e)]);
});

canvas.addEventListener('pointermove', (e) => {
  if (active === null || e.pointerId !== active.id) return;
  // Every hardware sample since the last frame, each with its own time.
  const coalesced = e.getCoalescedEvents ? e.getCoalescedEvents() : [];
  const prediction = e.getPredictedEvents ? e.getPredictedEvents() : [];
  const box = canvas.getBoundingClientRect();
  predicted = prediction.map((p) => sampleOf(p, box)).map((s) => [s[1], s[2], active.type === 'stylus' ? 8 * s[3] : lineWidth]);
  sendSamples('move', active.type, (coalesced.length ? coalesced : [e]).map((c) => sampleOf(c, box)));
});

for (const [event, type] of [['pointerup', 'up'], ['pointercancel', 'cancel']]) {
  canvas.addEventListener(event, (e) => {
    if (active === null || e.pointerId !== active.id) return;
    sendSamples(type, active.type, [sampleOf(e)]);
    active = null;
    predicted = [];
    drawProvisional();
  });
}

$('undo').addEventListener('click', () => send({ type: 'undo' }));
$('clear').addEventListener('click', () => send({ type: 'clear' }));
$('done').addEventListener('click', () => {
  $('result').hidden = true;
  $('downloads').hidden = true;
  send({ type: 'done' });
});
$('again').addEventListener('click', () => startAgain());
if (config.operatorControls) {
  $('smoothing').addEventListener('change', (e) => send({ type: 'config', smoothing: e.target.checked }));
  $('width').addEventListener('input', (e) => {
    $('widthValue').textContent = e.target.value;
    lineWidth = Number(e.target.value);
    send({ type: 'config', lineWidth: Number(e.target.value) });
  });
  $('timing').textContent = t('timing', { timing: t('timingNone') });
}
/** A line of the operator's section, when the page has one. */
function operatorLine(id, text) {
  if (config.operatorControls) $(id).textContent = text;
}

function statistic(value) {
  return value === null ? 'n/a' : value.toFixed(4);
}

function onText(message) {
  switch (message.type) {
    case 'hello': {
      resumeToken = message.resume;
      kiosk = message.kiosk;
      documentExpected = message.document;
      live = true;
      const wasReconnecting = reconnectTries > 0;
      reconnectTries = 0;
      busyTries = 0;
      failSnapshot('the connection was lost');
      if (message.resumed) {
        // The same pad: what it has not taken yet goes now, in order.
        acknowledged(message.seq);
        for (const m of unacked) socket.send(JSON.stringify(m));
        setStatus(null);
        updateButtons();
        break;
      }
      // A fresh pad. After a drop that means the pad the page left is gone (a new server, or
      // its grace ran out). If it held nothing the server had acknowledged, what the page sent
      // since is all there was, and goes to the fresh pad alike; else part of the signature
      // was drawn on a pad that no longer exists, and the signer must start again.
      const keep = !wasReconnecting || pad.state.samples === 0;
      if (keep && !wasReconnecting && message.seq > 0) {
        // A signing link's pad holds what an earlier page sent: this page's messages are
        // numbered after the last it took, or they would be ignored as taken.
        let next = message.seq;
        for (const m of unacked) {
          const old = m.seq;
          m.seq = ++next;
          for (const entry of provisional) if (entry.seq === old) entry.seq = m.seq;
        }
        seq = next;
      }
      if (keep) {
        for (const m of unacked) socket.send(JSON.stringify(m));
        setStatus(null);
      } else {
        unacked = [];
        outbox = [];
        provisional = [];
        active = null; // the rest of a stroke in progress belongs to no pad
        $('result').hidden = true;
        $('downloads').hidden = true;
        restarted = true;
        setStatus(t('padRestarted'));
      }
      pad.state = { samples: 0, strokes: 0, signature: false };
      padSize = { width: message.width, height: message.height };
      background = message.background;
      inkColour = message.ink;
      lineWidth = message.lineWidth;
      scale = pixelScale();
      sizeCanvases(1); // a fresh pad paints at 1 until it hears otherwise
      limits = message.limits;
      patchLayout = message.patch;
      if (documentShownPage !== null && !unacked.some((m) => m.type === 'shown')) {
        send({ type: 'shown', page: documentShownPage });
      }
      if (config.operatorControls) {
        $('smoothing').checked = message.smoothing;
        $('width').value = message.lineWidth;
        $('widthValue').textContent = message.lineWidth;
      }
      updateButtons();
      break;
    }
    case 'state':
      acknowledged(message.seq);
      // After the patches before it are painted: the picture then holds these messages.
      painting = painting.then(() => settled(message.seq));
      pad.state = message;
      operatorLine('onPad', t('onPad', { strokes: message.strokes, samples: message.samples }));
      break;
    case 'done': {
      pad.lastDone = message;
      const result = $('result');
      result.hidden = false;
      if (!message.ok) {
        // The server's log has the reason; the signer is told what to do.
        result.textContent = t(['tooShort', 'notShown'].includes(message.code) ? message.code : 'notSaved');
        result.className = 'failed';
        break;
      }
      result.className = 'signed';
      if (message.signed) {
        // A signing link's work is done: the signature is the request's, the pad closes.
        finished = true;
        pad.closeReason = 'signed';
        result.textContent = t('linkSigned');
        updateButtons();
        socket.close(1000);
        if (window.penwellLinkSigned) window.penwellLinkSigned();
        break;
      }
      result.textContent = t(message.name ? 'signedSaved' : 'signedDownload');
      const values = t('timingValues', { sigma: statistic(message.sigma), sigma2: statistic(message.sigma2), samples: message.samples });
      operatorLine('timing', t('timing', { timing: message.name ? `${values} · ${t('savedAs', { name: message.name })}` : values }));
      if (message.files) {
        const links = $('downloads');
        links.replaceChildren();
        for (const file of message.files) {
          const bytes = Uint8Array.from(atob(file.base64), (c) => c.charCodeAt(0));
          const a = document.createElement('a');
          a.href = URL.createObjectURL(new Blob([bytes]));
          a.download = file.name;
          a.textContent = file.name;
          links.append(a);
        }
        links.hidden = false;
      }
      break;
    }
  }
}

/** A header field of a binary message, little-endian, as the hello message lays it out. */
function field(view, name) {
  const [offset, bytes] = patchLayout.fields[name];
  let value = 0;
  for (let i = bytes - 1; i >= 0; i--) value = value * 256 + view.getUint8(offset + i);
  return value;
}

/** A patch that cannot be shown leaves the canvas unlike the server's pad: say so. */
function paintFailed(error) {
  pad.paintError = String(error && error.message ? error.message : error);
  console.error(`the pad cannot show its picture: ${pad.paintError}`);
  setStatus(t('pictureFailed'));
}

/**
 * A patch's picture. WebCodecs' decoder where the page has it (a secure context: https or
 * this machine): a Blob costs the page's main thread a round trip to the browser for every
 * patch, which delayed the next frame's input and ink. The result has close() either way.
 */
async function decodePng(bytes) {
  const options = { premultiplyAlpha: 'none', colorSpaceConversion: 'none' };
  if (typeof ImageDecoder === 'function') {
    const decoder = new ImageDecoder({ data: bytes, type: 'image/png', ...options });
    try {
      return (await decoder.decode()).image;
    } finally {
      decoder.close();
    }
  }
  return createImageBitmap(new Blob([bytes], { type: 'image/png' }), options);
}

function onBinary(buffer) {
  const view = new DataView(buffer);
  const kind = view.getUint8(0);
  const [x, y, w, h, patchSeq] = ['x', 'y', 'width', 'height', 'seq'].map((name) => field(view, name));
  const decoded = decodePng(new Uint8Array(buffer, patchLayout.header));
  const target = kind === patchLayout.kinds.snapshot ? snapshotTarget : null;
  painting = painting.then(async () => {
    const bitmap = await decoded;
    if (kind === patchLayout.kinds.paint) {
      if (patchSeq >= scaleSeq) ctx.drawImage(bitmap, x, y);
      pad.patches++;
      settled(patchSeq);
    } else if (target) {
      target.scratch ??= new OffscreenCanvas(canvas.width, canvas.height).getContext('2d');
      const { width, height } = target.scratch.canvas;
      target.scratch.drawImage(bitmap, x, y);
      if (x + w >= width && y + h >= height) {
        if (snapshotTarget === target) snapshotTarget = null;
        target.resolve(target.scratch.getImageData(0, 0, width, height));
      }
    }
    bitmap.close();
  }).catch((error) => {
    if (target) target.reject(error);
    paintFailed(error);
  });
}

/** A line above the pad about the connection, or none. */
function setStatus(text) {
  const status = $('connection');
  status.textContent = text || '';
}

/** The pad after a close: visibly off, and why in the signer's words, until they start again. */
function showClosed(code, reason) {
  pad.closeReason = reason || (code === 1006 ? 'the connection was lost' : `connection closed (${code})`);
  document.body.classList.add('closed');
  updateButtons();
  const text = { [IDLE_CLOSE]: 'stoppedIdle', 1001: 'stoppedServer', 1006: 'stoppedLost' }[code] || 'stoppedFault';
  $('closed').textContent = t(text);
  operatorLine('operatorReason', t('operatorReason', { reason: pad.closeReason }));
  setStatus(null);
  $('stopped').hidden = false;
  failSnapshot(`the pad stopped: ${pad.closeReason}`);
}

/** A fresh pad on a new connection. */
function startAgain() {
  resumeToken = null;
  unacked = [];
  outbox = [];
  provisional = [];
  active = null;
  pad.closeReason = null;
  document.body.classList.remove('closed');
  $('stopped').hidden = true;
  $('result').hidden = true;
  $('downloads').hidden = true;
  setStatus(null);
  connect();
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const resume = resumeToken === null ? '' : `?resume=${resumeToken}`;
  live = false;
  updateButtons();
  // Relative to the page: a signing link's pad is under the link's own path.
  const url = new URL(`ws${resume}`, location.href);
  url.protocol = scheme;
  socket = new WebSocket(url.href);
  socket.binaryType = 'arraybuffer';
  pad.ready = new Promise((resolve) => socket.addEventListener('open', resolve, { once: true }));
  const current = socket;
  socket.addEventListener('message', (e) => {
    if (typeof e.data === 'string') onText(JSON.parse(e.data));
    else onBinary(e.data);
  });
  socket.addEventListener('close', (e) => {
    if (current !== socket || finished) return;
    live = false;
    updateButtons();
    failSnapshot('the connection was lost');
    // The server has no room now: the signer is told, and the page asks again in a while.
    if (e.code === BUSY_CLOSE && busyTries < MAX_BUSY_TRIES) {
      busyTries++;
      setStatus(t('busy'));
      setTimeout(connect, Math.min(1000 * busyTries, 5000));
      return;
    }
    // 1006: the connection dropped without a close from the server (a network blip, a proxy
    // restart); 1001: the server stopped (a restart). The pad may wait on the server: come
    // back to it, or find out that it is gone.
    if ((e.code === 1006 || e.code === 1001) && resumeToken !== null && reconnectTries < 40) {
      reconnectTries++;
      setStatus(t('reconnecting'));
      setTimeout(connect, Math.min(250 * reconnectTries, 2000));
      return;
    }
    showClosed(e.code, e.reason);
    // A kiosk is not left dead for the next signer: after an idle close it starts again.
    if (kiosk && e.code === IDLE_CLOSE) setTimeout(startAgain, 1000);
  });
}

// A signing link's page has a pad only while its signer may sign (link.js says why not).
if (!config.link || config.link.step === 'sign') connect();
