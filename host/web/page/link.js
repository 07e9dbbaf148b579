// A signing link's part of the page (penwell serve --data, /s/TOKEN/): the line that says why
// there is nothing to sign now (an earlier signer first, until they have signed; signed,
// declined, the request ended), the access code asked before the document is shown, and a
// Decline with a reason. The server decides each of them; the page only shows its answer in
// the signer's words.
'use strict';

(() => {
  const config = window.penwellConfig || {};
  const link = config.link;
  if (!link) return; // a free pad or `serve --document`
  const t = window.penwellText;
  const $ = (id) => document.getElementById(id);
  const say = (key, values = {}) => {
    $('linkLine').textContent = key ? t(key, values) : '';
  };
  const padParts = ['frame', 'buttons', 'connection'];
  const hidePad = () => {
    for (const id of padParts) $(id).style.display = 'none';
    document.querySelector('h1').style.display = 'none';
    $('declining').hidden = true;
  };

  /**
   * The integrator's page, when the request names one: the signer goes back there once the
   * link has done its work, and that page learns which request and how it ended.
   */
  const goBack = (outcome) => {
    if (!link.returnUrl) return false;
    const back = new URL(link.returnUrl);
    back.searchParams.set('request', link.request);
    back.searchParams.set('outcome', outcome);
    location.assign(back.href);
    return true;
  };

  $('link').hidden = false;
  say(link.text, link.values);
  if (link.step !== 'sign') hidePad();

  /** POSTs `body` to the link's `path`: the server's answer as JSON, or a failure's line. */
  async function ask(path, body) {
    try {
      const answer = await fetch(path, { method: 'POST', body, headers: { 'Content-Type': 'text/plain; charset=utf-8' } });
      const reply = await answer.json();
      return answer.ok ? { ok: true } : reply;
    } catch (error) {
      return { text: 'linkFailed' };
    }
  }

  // A signer who opens the link before the earlier ones have signed is not left on that line:
  // the page asks what the link shows now, every few seconds for a while, then every half
  // minute, and when the tab is shown again; it moves on when it may (or names the next
  // signer it waits for). An hour at most; a reload asks again.
  if (link.step === 'waiting') {
    const opened = Date.now();
    let asking = false;
    let timer = null;
    const poll = async () => {
      clearTimeout(timer);
      if (asking) return;
      asking = true;
      try {
        const answer = await fetch('status.json', { cache: 'no-store' });
        if (answer.ok) {
          const now = await answer.json();
          if (now.step !== 'waiting') {
            location.reload();
            return;
          }
          say(now.text, now.values);
        }
      } catch (error) {
        // The server is away for now (a restart): ask again later.
      }
      asking = false;
      const waited = Date.now() - opened;
      if (waited < 3600e3) timer = setTimeout(poll, waited < 300e3 ? 3000 : 30000);
    };
    timer = setTimeout(poll, 3000);
    document.addEventListener('visibilitychange', () => {
      if (document.visibilityState === 'visible' && Date.now() - opened < 3600e3) poll();
    });
  }

  if (link.step === 'code') {
    const form = $('codeForm');
    form.hidden = false;
    form.addEventListener('submit', async (e) => {
      e.preventDefault();
      $('codeSend').disabled = true;
      const reply = await ask('code', $('code').value);
      $('codeSend').disabled = false;
      if (reply.ok) {
        location.reload(); // the document and the pad, now that the code was right
        return;
      }
      say(reply.text, reply.values);
      $('code').value = '';
      if (reply.text !== 'accessCodeWrong') form.hidden = true;
    });
  }

  if (link.step === 'sign') {
    $('declining').hidden = false;
    $('declineSend').addEventListener('click', async () => {
      const reason = $('declineReason').value.trim();
      if (reason === '') {
        say('declineNeedsReason');
        return;
      }
      $('declineSend').disabled = true;
      const reply = await ask('decline', reason);
      $('declineSend').disabled = false;
      if (reply.ok) {
        if (!goBack('declined')) location.reload(); // the link now says the signer declined
        return;
      }
      say(reply.text, reply.values);
    });
  }

  /** pad.js: Done signed; the link has done its work. */
  window.penwellLinkSigned = () => {
    hidePad();
    say('linkSigned');
    goBack('signed');
  };
})();
