// A signing link's part of the page (penwell serve --data, /s/TOKEN/): the line that says why
// there is nothing to sign now (an earlier signer first, signed, declined, the request ended),
// the access code asked before the document is shown, and a Decline with a reason. The
// server decides each of them; the page only shows its answer in the signer's words.
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
        location.reload(); // the link now says the signer declined
        return;
      }
      say(reply.text, reply.values);
    });
  }

  /** pad.js: Done signed; the link has done its work. */
  window.penwellLinkSigned = () => {
    hidePad();
    say('linkSigned');
  };
})();
