// The pages: local times everywhere; on the calls page also the calls that
// are new since the last visit, live calls without a reload, and desktop
// notifications when asked for.
//
// Every tab of the page shares ONE connection to /api/live: the tabs elect a
// leader with a Web Lock; the leader holds the EventSource and hands what it
// hears to the other tabs over a BroadcastChannel. A browser opens at most six
// connections to a host, so ten tabs with one stream each would starve. When
// the leader's tab closes its lock is freed and the next tab takes over.
'use strict';
(function () {
  const body = document.body;
  const tbody = document.querySelector('#calls tbody');
  const status = document.getElementById('live');
  const notifyButton = document.getElementById('notify');
  const live = body.dataset.live === '1';
  let after = Number(body.dataset.after || 0);
  let leader = false;

  // Received times are sent in UTC; shown in the browser's own time.
  const pad = (n) => String(n).padStart(2, '0');
  function localTimes(root) {
    root.querySelectorAll('time[datetime]').forEach((t) => {
      const d = new Date(t.dateTime);
      if (!isNaN(d)) {
        t.textContent = d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) +
          ' ' + pad(d.getHours()) + ':' + pad(d.getMinutes());
      }
    });
  }
  localTimes(document);
  // The other pages have no live list.
  if (!tbody || body.dataset.live === undefined) return;

  // "New since your last visit": the highest id seen is kept in this
  // browser; rows above it are marked.
  const seenKey = 'dialscope.seen';
  const seen = Number(localStorage.getItem(seenKey) || 0);
  function remember(id) {
    if (id > Number(localStorage.getItem(seenKey) || 0)) localStorage.setItem(seenKey, String(id));
  }
  if (seen > 0) {
    tbody.querySelectorAll('tr[data-id]').forEach((tr) => {
      if (Number(tr.dataset.id) > seen) tr.classList.add('new');
    });
  }
  remember(after);

  function setStatus(state) {
    if (!status) return;
    status.textContent = state === 'on' ? 'live' : state === 'off' ? 'reconnecting\u2026' : '';
    status.className = 'live ' + state;
  }

  // Takes in the rows that came after `after` and match this page's filter.
  let fetching = null;
  let again = false;
  async function catchUp() {
    if (!live) return;
    if (fetching) { again = true; return; }
    const params = new URLSearchParams(location.search);
    params.delete('before');
    params.set('after', String(after));
    fetching = fetch('/rows?' + params.toString(), { credentials: 'same-origin', cache: 'no-store' });
    try {
      const res = await fetching;
      if (!res.ok) return;
      const last = Number(res.headers.get('X-Last-Id') || 0);
      const html = await res.text();
      const t = document.createElement('template');
      t.innerHTML = html;  // rows made and escaped by the server
      const rows = Array.from(t.content.querySelectorAll('tr[data-id]'))
        .filter((tr) => !tbody.querySelector('tr[data-id="' + Number(tr.dataset.id) + '"]'));
      rows.forEach((tr) => tr.classList.add('new'));
      localTimes(t.content);
      for (let i = rows.length - 1; i >= 0; --i) tbody.prepend(rows[i]);
      if (rows.length) document.getElementById('empty').hidden = true;
      // The first call collected from a watcher: the Box column shows.
      if (rows.some((tr) => tr.querySelector('td.box') && tr.querySelector('td.box').textContent)) {
        document.getElementById('calls').classList.add('boxes');
      }
      if (last > after) after = last;
      remember(after);
    } catch (e) {
      // The server is away; the next event or reconnect tries again.
    } finally {
      fetching = null;
      if (again) { again = false; catchUp(); }
    }
  }

  function showNotification(calls) {
    if (!leader || !('Notification' in window) || Notification.permission !== 'granted') return;
    calls.filter((c) => !c.damaged).forEach((c) => {
      const who = c.tone_only ? 'Tone only' : c.text;
      new Notification('Call: ' + who, { body: (c.label || '') + ' ' + (c.date || '') + ' ' + (c.time || ''),
        tag: 'dialscope-call-' + c.id });
    });
  }

  function hear(message) {
    if (message.kind === 'state') setStatus(message.state);
    if (message.kind === 'calls') {
      catchUp();
      showNotification(message.calls || []);
    }
  }

  const channel = 'BroadcastChannel' in window ? new BroadcastChannel('dialscope-live') : null;
  let lastState = '';
  function tell(message) {
    if (message.kind === 'state') lastState = message.state;
    if (channel) channel.postMessage(message);
    hear(message);
  }

  function openStream() {
    leader = true;
    const source = new EventSource('/api/live');
    source.addEventListener('open', () => { tell({ kind: 'state', state: 'on' }); catchUp(); });
    source.addEventListener('error', () => tell({ kind: 'state', state: 'off' }));
    source.addEventListener('calls', (e) => {
      let data;
      try { data = JSON.parse(e.data); } catch (err) { return; }
      tell({ kind: 'calls', calls: data.calls, last: data.last });
    });
  }

  if (channel && navigator.locks) {
    channel.onmessage = (e) => {
      if (e.data && e.data.kind === 'hello' && leader) channel.postMessage({ kind: 'state', state: lastState });
      else hear(e.data);
    };
    channel.postMessage({ kind: 'hello' });
    // Held until this tab closes: the promise never settles.
    navigator.locks.request('dialscope-live', () => new Promise(() => openStream()));
  } else {
    openStream();
  }
  // A tab coming back after sleep catches up at once.
  document.addEventListener('visibilitychange', () => { if (!document.hidden) catchUp(); });

  if (notifyButton && 'Notification' in window && Notification.permission === 'default') {
    notifyButton.hidden = false;
    // Permission is asked on a click only, never by itself.
    notifyButton.addEventListener('click', () => {
      Notification.requestPermission().then((p) => { if (p !== 'default') notifyButton.hidden = true; });
    });
  }
})();
