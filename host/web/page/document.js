// The document being signed (penwell serve --document): the page the signature goes on,
// drawn by pdf.js from the bytes the server read at start-up, with the signature's place
// marked on it; the signer may page through the rest, and zoom in to read it on a phone.
// Without a document (the page's settings say) the page is the pad alone. Done waits until
// the signature's page has been drawn: the pad is told, and tells the server.
// The pad stays beside the page, at its own size: a place is a few centimetres of a page
// shrunk to a phone's width, too small to sign in, and the server fits the ink into it.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const t = window.penwellText;
  // For tests: whether the page is drawn, and the place in CSS pixels of the page's canvas.
  const shown = { ready: null, error: null, place: null, zoom: 1 };
  window.penwellDocument = shown;

  function loadScript(src) {
    return new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = src;
      script.onload = resolve;
      script.onerror = () => reject(new Error(`${src} did not load`));
      document.head.append(script);
    });
  }

  /** The layout of document.css with the pad beside the page. */
  const beside = matchMedia('(min-width: 1000px)');
  /** How far the signer may enlarge the page: 10-point text is 6 CSS pixels on a phone. */
  const ZOOMS = [1, 1.5, 2, 3];
  /** A page canvas of more pixels than this is drawn at a lower density instead. */
  const MAX_PIXELS = 16e6;
  let zoom = 0; // an index into ZOOMS
  let pdf = null;
  let page = null; // the page shown: the signature's, unless the signer pages through the rest
  let where = null;
  let drawing = Promise.resolve();
  let reported = false;

  /** Draws the page at the sheet's width times the zoom, for the screen's pixels, and marks the place. */
  async function draw() {
    const sheet = $('sheet');
    const canvas = $('page');
    const fit = page.getViewport({ scale: 1 });
    // Beside the pad the whole page is shown; above it (a phone) the page has the screen's
    // width, to be legible, and its sheet scrolls.
    let scale = ($('document').clientWidth - 2) / fit.width; // within the sheet's border
    if (beside.matches) scale = Math.min(scale, (parseFloat(getComputedStyle(sheet).maxHeight) - 2) / fit.height);
    scale *= ZOOMS[zoom];
    const css = page.getViewport({ scale });
    const density = Math.min(window.devicePixelRatio || 1, Math.sqrt(MAX_PIXELS / (css.width * css.height)));
    const pixels = page.getViewport({ scale: scale * density });
    canvas.width = Math.round(pixels.width);
    canvas.height = Math.round(pixels.height);
    canvas.style.width = `${css.width}px`;
    canvas.style.height = `${css.height}px`;
    await page.render({ canvasContext: canvas.getContext('2d'), viewport: pixels }).promise;
    shown.zoom = ZOOMS[zoom];
    $('zoomOut').disabled = zoom === 0;
    $('zoomIn').disabled = zoom === ZOOMS.length - 1;
    const place = $('place');
    place.hidden = page.pageNumber !== where.page;
    if (place.hidden) return;
    if (!reported) {
      reported = true;
      window.penwellPad.documentShown(where.page);
    }
    // PDF user space (points up from the lower-left corner) to the canvas, rotation included.
    const [x, y, w, h] = where.rect;
    const [x1, y1, x2, y2] = css.convertToViewportRectangle([x, y, x + w, y + h]);
    shown.place = { left: Math.min(x1, x2), top: Math.min(y1, y2), width: Math.abs(x2 - x1), height: Math.abs(y2 - y1) };
    for (const key of ['left', 'top', 'width', 'height']) place.style[key] = `${shown.place[key]}px`;
    previewed = -1; // the place changed size: the preview is drawn again
    // When the sheet scrolls, the place is brought into its view.
    if (shown.place.top + shown.place.height > sheet.scrollTop + sheet.clientHeight || shown.place.top < sheet.scrollTop) {
      sheet.scrollTop = Math.max(0, shown.place.top - sheet.clientHeight / 3);
    }
    if (shown.place.left + shown.place.width > sheet.scrollLeft + sheet.clientWidth || shown.place.left < sheet.scrollLeft) {
      sheet.scrollLeft = Math.max(0, shown.place.left - sheet.clientWidth / 6);
    }
  }

  /**
   * The ink in its place as the signed PDF will show it: the pad's picture cut to the ink's
   * box widened by 20 points (as the export cuts it), fitted with its aspect kept and centred.
   * The pad's background is its top-left pixel; the preview multiplies, so it drops out.
   */
  let previewed = -1;
  let previewedAt = 0;
  function preview() {
    const pad = window.penwellPad;
    const source = $('pad');
    const target = $('preview');
    // Reading the pad's pixels costs milliseconds on a phone: a few times a second at most,
    // so the pad's own ink is never held up by it.
    if (!pad || !shown.place || pad.patches === previewed || source.width === 0 ||
        performance.now() - previewedAt < 250) return;
    previewed = pad.patches;
    previewedAt = performance.now();
    const { width, height } = source;
    const pixels = source.getContext('2d', { willReadFrequently: true }).getImageData(0, 0, width, height).data;
    let left = width, top = height, right = -1, bottom = -1;
    for (let y = 0, i = 0; y < height; y++) {
      for (let x = 0; x < width; x++, i += 4) {
        if (pixels[i] !== pixels[0] || pixels[i + 1] !== pixels[1] || pixels[i + 2] !== pixels[2]) {
          left = Math.min(left, x); right = Math.max(right, x);
          top = Math.min(top, y); bottom = Math.max(bottom, y);
        }
      }
    }
    const dpr = window.devicePixelRatio || 1;
    target.width = Math.round(shown.place.width * dpr);
    target.height = Math.round(shown.place.height * dpr);
    const ctx = target.getContext('2d');
    ctx.clearRect(0, 0, target.width, target.height);
    if (right < 0) return;
    const margin = 20 * pad.pixelsPerPoint;
    const box = { x: left - margin, y: top - margin, w: right - left + 1 + 2 * margin, h: bottom - top + 1 + 2 * margin };
    const scale = Math.min(target.width / box.w, target.height / box.h);
    ctx.drawImage(source, box.x, box.y, box.w, box.h, (target.width - box.w * scale) / 2,
      (target.height - box.h * scale) / 2, box.w * scale, box.h * scale);
  }

  function redraw() {
    drawing = drawing.then(draw).catch(failed);
    return drawing;
  }

  /** Shows page `number` (from 1), so the signer can read the whole document. */
  async function show(number) {
    page = await pdf.getPage(number);
    $('pageOf').textContent = t('page', { page: number, pages: pdf.numPages });
    $('pageOf').hidden = false;
    $('pageHint').textContent = number === where.page ? t('placeHere') : t('placeOnPage', { page: where.page });
    $('previousPage').disabled = number === 1;
    $('nextPage').disabled = number === pdf.numPages;
    await redraw();
  }

  function failed(error) {
    shown.error = String(error && error.message ? error.message : error);
    console.error(`the document cannot be shown: ${shown.error}`);
    $('documentNote').textContent = '';
    $('documentError').textContent = t('documentFailed');
    window.penwellPad.documentFailed();
  }

  /** Who signs, for what and where, as the signature dictionary will say it. */
  function describeSigning({ name, reason, location }) {
    $('signingWho').textContent = name && reason ? t('signs', { name, reason })
      : name ? t('signsName', { name }) : reason ? t('signsReason', { reason }) : '';
    $('signingWhere').textContent = location ? t('signsAt', { location }) : '';
  }

  async function start() {
    if (!window.penwellConfig?.document) return;
    document.body.classList.add('with-document');
    $('document').hidden = false;
    $('documentNote').textContent = t('documentLoading');
    try {
      const answer = await fetch('document.json');
      if (!answer.ok) throw new Error(`document.json: ${answer.status}`);
      where = await answer.json();
      describeSigning(where);
      await loadScript('pdfjs/pdf.js');
      const pdfjs = window.pdfjsLib;
      pdfjs.GlobalWorkerOptions.workerSrc = new URL('pdfjs/pdf.worker.js', location.href).href;
      // The page's policy allows no eval; the whole file is fetched once, as it was read.
      pdf = await pdfjs.getDocument({
        url: new URL('document.pdf', location.href).href, isEvalSupported: false, disableRange: true, disableStream: true,
      }).promise;
      $('paging').hidden = false;
      $('previousPage').hidden = $('nextPage').hidden = pdf.numPages === 1;
      await show(where.page);
    } catch (error) {
      failed(error);
      return;
    }
    if (shown.error !== null) return;
    $('documentNote').textContent = '';
    const watch = () => { preview(); requestAnimationFrame(watch); };
    watch();
    $('previousPage').addEventListener('click', () => show(page.pageNumber - 1).catch(failed));
    $('nextPage').addEventListener('click', () => show(page.pageNumber + 1).catch(failed));
    for (const [id, step] of [['zoomIn', 1], ['zoomOut', -1]]) {
      $(id).addEventListener('click', () => {
        zoom = Math.max(0, Math.min(ZOOMS.length - 1, zoom + step));
        redraw();
      });
    }
    let pending = null;
    window.addEventListener('resize', () => {
      clearTimeout(pending);
      pending = setTimeout(redraw, 150);
    });
  }

  shown.ready = start();
})();
