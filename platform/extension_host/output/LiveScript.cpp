#include "platform/extension_host/output/LiveScript.h"

namespace corvanta {

// Reloads are coalesced: a burst of changes costs one fetch after a short pause, and at most
// one is in flight. What a person opened (a card's story, a stack's rest) stays open across
// reloads, found again by the card's id or the stack's thread.
const std::string_view kLiveScript = R"js('use strict';
(() => {
  const cards = document.getElementById('cards');
  if (!cards) return;
  const outcomes = ['attached', 'without attachment', 'not shown', 'refused', 'pending'];
  const pause = 150;

  const params = new URLSearchParams(location.search);
  const bar = document.createElement('form');
  bar.id = 'filters';
  bar.setAttribute('role', 'search');
  bar.style.cssText = 'display:flex;gap:.5em;align-items:center;flex-wrap:wrap;' +
      'margin:0 auto 1em;max-width:60em;font:14px system-ui,sans-serif';
  const device = document.createElement('input');
  device.type = 'search';
  device.id = 'device';
  device.placeholder = 'device token';
  device.size = 40;
  device.value = params.get('device') || '';
  device.setAttribute('aria-label', 'Device token');
  const outcome = document.createElement('select');
  outcome.id = 'outcome';
  outcome.setAttribute('aria-label', 'Outcome');
  for (const name of ['', ...outcomes]) {
    const option = document.createElement('option');
    option.value = name;
    option.textContent = name || 'every outcome';
    outcome.append(option);
  }
  outcome.value = params.get('outcome') || '';
  const state = document.createElement('span');
  state.id = 'live-state';
  state.textContent = 'connecting';
  bar.append(device, outcome, state);
  bar.addEventListener('submit', (event) => event.preventDefault());
  cards.before(bar);

  const query = () => {
    const q = new URLSearchParams();
    if (device.value.trim()) q.set('device', device.value.trim().toLowerCase());
    if (outcome.value) q.set('outcome', outcome.value);
    return q.toString();
  };

  // A <details> is known by the nearest card or stack around it, and its place there.
  const keyOf = (details) => {
    const owner = details.parentElement.closest('[id^="r"],[id^="x"],[data-thread]') || cards;
    const inOwner = [...owner.querySelectorAll('details')].indexOf(details);
    return (owner.id || owner.dataset.thread || '') + '/' + inOwner;
  };

  let timer = null;
  let inFlight = false;
  let again = false;
  const reload = async () => {
    timer = null;
    if (inFlight) {
      again = true;
      return;
    }
    inFlight = true;
    try {
      const q = query();
      const answer = await fetch('/cards' + (q ? '?' + q : ''), {cache: 'no-store'});
      if (!answer.ok) throw new Error('/cards answered ' + answer.status);
      const html = await answer.text();
      const open = new Set([...cards.querySelectorAll('details[open]')].map(keyOf));
      cards.innerHTML = html;
      for (const details of cards.querySelectorAll('details')) {
        if (open.has(keyOf(details))) details.open = true;
      }
      document.dispatchEvent(new CustomEvent('cards-updated'));
    } catch (error) {
      state.textContent = 'cannot reload: ' + error.message;
    } finally {
      inFlight = false;
      if (again) {
        again = false;
        schedule();
      }
    }
  };
  const schedule = () => {
    if (!timer) timer = setTimeout(reload, pause);
  };

  const filtered = () => {
    const q = query();
    history.replaceState(null, '', q ? '?' + q : location.pathname);
    schedule();
  };
  device.addEventListener('input', filtered);
  outcome.addEventListener('change', filtered);

  // An EventSource reconnects by itself after a dropped stream, but gives up on an answer
  // other than 200 (a host serving as many streams as it can): then a new one, a little later.
  const listen = () => {
    const events = new EventSource('/api/events');
    events.addEventListener('open', () => {
      state.textContent = 'live';
      schedule();  // whatever changed while the stream was down
    });
    events.addEventListener('error', () => {
      state.textContent = 'reconnecting';
      if (events.readyState === EventSource.CLOSED) setTimeout(listen, 3000);
    });
    for (const kind of ['request', 'delivery', 'refusal', 'cleared']) {
      events.addEventListener(kind, schedule);
    }
  };
  listen();
})();
)js";

}  // namespace corvanta
