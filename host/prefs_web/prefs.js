// The preferences window: a view of kiln-host's pages. Everything shown comes
// from the host's event stream; everything done is sent back as an action.
'use strict';

const $ = (id) => document.getElementById(id);
let state = { pages: [], open: null, modals: [], edits: {}, issued: 0, unfinished: [] };
let shown = null; // { dialog, controls: [element per template control], outer: [...] }
let shownModal = 0;
// kiln-host's own page of followed players is shown here, not by the host.
let followerShown = false;
let queue = Promise.resolve();
// Edits are numbered per tab, so that the echo of an older keystroke can be
// told from that of the latest one.
const client = Math.random().toString(36).slice(2) + Date.now().toString(36);
let editNumber = 0;

// Actions go out one after the other, so that keystrokes arrive in order.
// Resolves to the ticket the host gave the action (-1 for an answer, which
// needs none), or 0 when it did not take it.
function send(body) {
  queue = queue.then(() => fetch('do', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  }).then(async (r) => (r.ok ? ((await r.json().catch(() => null))?.ticket ?? -1) : 0), () => 0));
  return queue;
}

// The host lists the tickets of the actions it has not finished.
const finished = (ticket) => state.issued >= ticket && !state.unfinished.includes(ticket);

function act(action, id, extra) {
  return send({ action, dialog: shown && shown.dialog, id, ...extra });
}

// Windows marks keyboard accelerators with '&'; '&&' is a literal one.
const plain = (text, prefix) => (prefix ? text.replace(/&(.)/gs, '$1') : text);

// Names for the fields the templates give no caption, as a screen reader
// announces them; by template, then control id.
const fieldNames = {
  101: { 1004: 'File path preview', 1006: 'Line preview' },
  102: { 1021: 'Now-playing output', 1004: 'File path preview', 1006: 'Line preview' },
  103: { 1013: 'File path preview', 1021: 'Artwork size', 1050: 'Width', 1051: 'Height' },
  104: { 1035: 'Event', 1024: 'POST body template', 1027: 'POST body template',
    1030: 'POST body template', 1033: 'POST body template', 1006: 'POST body preview' },
  106: { 1052: 'Application ID', 1005: 'Status template', 1006: 'Status preview' },
  108: { 1102: 'Waiting plays', 1106: 'Set-aside lines' },
};
// A browse button's "..." says what it does.
const buttonText = (text) => (text === '...' ? 'Choose folder' : text);

function linkedText(el, c) {
  const pattern = /<a\s+href\s*=\s*"([^"]*)"\s*>([\s\S]*?)<\/a>/gi;
  const parts = [];
  let last = 0;
  let index = 0;
  for (let m; (m = pattern.exec(c.text));) {
    parts.push(document.createTextNode(plain(c.text.slice(last, m.index), c.prefix)));
    const a = document.createElement('a');
    a.href = '#';
    a.title = m[1];
    a.textContent = plain(m[2], c.prefix);
    const which = index++;
    a.addEventListener('click', (ev) => { ev.preventDefault(); act('link', c.id, { index: which }); });
    parts.push(a);
    last = pattern.lastIndex;
  }
  parts.push(document.createTextNode(plain(c.text.slice(last), c.prefix)));
  el.replaceChildren(...parts);
}

function make(c, asLabel) {
  let el;
  if (c.kind === 'check' || c.kind === 'radio') {
    el = document.createElement('label');
    const box = document.createElement('input');
    box.type = c.kind === 'check' ? 'checkbox' : 'radio';
    // The host decides the state; the page shows what it decided.
    box.addEventListener('click', (ev) => { ev.preventDefault(); act('click', c.id); });
    el.append(box, document.createElement('span'));
  } else if (c.kind === 'button') {
    el = document.createElement('button');
    el.type = 'button';
    el.addEventListener('click', async () => {
      el.ticket = -1; // waiting for one
      renderBusy();
      el.ticket = Math.max(await act('click', c.id), 0);
      renderBusy();
    });
  } else if (c.kind === 'group') {
    el = document.createElement('section');
    const heading = document.createElement('h3');
    heading.id = `heading-${c.index}`;
    el.setAttribute('aria-labelledby', heading.id);
    el.append(heading);
  } else if (c.kind === 'edit') {
    el = document.createElement(c.multiline ? 'textarea' : 'input');
    if (c.multiline) el.rows = Math.max(2, Math.round(c.h / 18));
    el.spellcheck = false;
    el.pending = 0;
    el.addEventListener('input', async () => {
      const n = ++editNumber;
      el.pending = n;
      const taken = await act('type', c.id, { text: el.value, edit: n, client });
      if (!taken && el.pending === n) el.pending = 0;
    });
  } else if (c.kind === 'combo') {
    el = document.createElement('select');
    el.addEventListener('change', () => act('select', c.id, { index: el.selectedIndex }));
  } else if (c.kind === 'list') {
    el = document.createElement('select');
    el.multiple = c.multiple;
    el.size = Math.max(2, Math.floor(c.h / 16));
    el.addEventListener('change', () => act('selectlist', c.id,
      { indices: [...el.selectedOptions].map((o) => o.index) }));
  } else {
    el = document.createElement(asLabel ? 'label' : 'div');
  }
  el.classList.add('ctl', c.kind);
  el.dataset.id = c.id;
  return el;
}

function update(el, c, outer) {
  outer.hidden = !c.visible;
  el.hidden = !c.visible;
  const field = el.matches('label.check, label.radio') ? el.querySelector('input') : el;
  if ('disabled' in field) field.disabled = !c.enabled;
  el.classList.toggle('disabled', !c.enabled);
  if (c.kind === 'check' || c.kind === 'radio') {
    field.checked = c.checked === 1;
    field.indeterminate = c.checked === 2;
    el.querySelector('span').textContent = plain(c.text, true);
  } else if (c.kind === 'button') {
    const text = buttonText(plain(c.text, true));
    if (el.textContent !== text) el.textContent = text;
    el.classList.toggle('multiline', c.multiline);
  } else if (c.kind === 'group') {
    el.firstChild.textContent = plain(c.text, c.prefix);
  } else if (c.kind === 'edit') {
    el.readOnly = c.readonly;
    if (c.number) el.inputMode = 'numeric';
    if (c.limit < 1e6) el.maxLength = c.limit;
    // While the host has not yet seen this tab's latest keystroke, what it
    // reports is older than what the field shows.
    const echo = state.edits[c.id];
    if (el.pending && echo && (echo.client !== client || echo.n >= el.pending)) el.pending = 0;
    if (!el.pending && el.value !== c.text) el.value = c.text;
  } else if (c.kind === 'combo') {
    const items = c.items.join('\n');
    if (el.items !== items) {
      el.items = items;
      el.replaceChildren(...c.items.map((t) => new Option(t)));
    }
    el.selectedIndex = c.selection;
  } else if (c.kind === 'list') {
    const items = c.items.join('\n');
    if (el.items !== items) {
      el.items = items;
      el.replaceChildren(...c.items.map((t) => new Option(t)));
    }
    const chosen = new Set(c.selected);
    [...el.options].forEach((o, i) => { o.selected = chosen.has(i); });
  } else if (el.text !== c.text) {
    el.text = c.text;
    linkedText(el, c);
  }
}

const overlapsRows = (a, b) => a.y < b.y + b.h - 2 && b.y < a.y + a.h - 2;
const area = (c) => c.w * c.h;
const contains = (g, c) => {
  const x = c.x + c.w / 2;
  const y = c.y + c.h / 2;
  return x >= g.x && x <= g.x + g.w && y >= g.y && y <= g.y + g.h;
};

// Lays a template out as a page that reflows: group boxes become sections,
// a caption just before a field becomes its label, and controls that share a
// line in the template share a row that wraps when the window is narrow. The
// order stays the template's, and with it the Tab order.
function layout(open) {
  const cs = open.controls.map((c, index) => ({ ...c, index }));
  const groups = cs.filter((c) => c.kind === 'group');
  const parent = cs.map((c) => {
    const around = groups.filter((g) => g !== c && area(g) > area(c) && contains(g, c));
    around.sort((a, b) => area(a) - area(b));
    return around.length ? around[0].index : -1;
  });
  const names = fieldNames[open.template] || {};
  const controls = [];
  const outer = [];
  const items = []; // { parent, rect, el } in template order
  for (let i = 0; i < cs.length; i++) {
    const c = cs[i];
    const next = cs[i + 1];
    const caption = c.kind === 'static' && c.id === -1 && c.text && !/<a\s/i.test(c.text) &&
      c.text.length > 1 && next && (next.kind === 'edit' || next.kind === 'combo' || next.kind === 'list') &&
      parent[i + 1] === parent[i];
    if (caption) {
      const label = make(c, true);
      const field = make(next);
      field.id = `field-${next.index}`;
      label.htmlFor = field.id;
      if (names[next.id]) field.setAttribute('aria-label', names[next.id]);
      const box = document.createElement('div');
      box.className = overlapsRows(c, next) ? 'field inline' : 'field';
      box.append(label, field);
      controls.push(label, field);
      outer.push(label, box);
      const rect = { x: Math.min(c.x, next.x), y: Math.min(c.y, next.y), w: Math.max(c.w, next.w) };
      rect.h = Math.max(c.y + c.h, next.y + next.h) - rect.y;
      items.push({ parent: parent[i + 1], rect, el: box });
      i++;
      continue;
    }
    const el = make(c);
    if (names[c.id] && (c.kind === 'edit' || c.kind === 'combo' || c.kind === 'list')) el.setAttribute('aria-label', names[c.id]);
    controls.push(el);
    outer.push(el);
    items.push({ parent: parent[i], rect: c, el, group: c.kind === 'group' ? c.index : undefined });
  }
  // Rows within each container, in template order.
  const containers = new Map([[-1, null]]);
  for (const item of items) if (item.group !== undefined) containers.set(item.group, item.el);
  const lastRow = new Map();
  const rowOf = (item) => {
    const row = lastRow.get(item.parent);
    const top = item.rect.y;
    const bottom = item.rect.y + item.rect.h;
    if (row && top < row.bottom - 2 && row.top < bottom - 2) {
      row.top = Math.min(row.top, top);
      row.bottom = Math.max(row.bottom, bottom);
      return row.el;
    }
    const el = document.createElement('div');
    el.className = 'row';
    lastRow.set(item.parent, { el, top, bottom });
    (containers.get(item.parent) || rootBox).append(el);
    return el;
  };
  const rootBox = document.createElement('div');
  rootBox.className = 'rows';
  for (const item of items) {
    const kind = item.el.classList;
    if (!kind.contains('button')) item.el.style.flex = `${item.rect.w} 1 ${Math.round(item.rect.w)}px`;
    rowOf(item).append(item.el);
  }
  return { controls, outer, root: rootBox };
}

function pageButton(name, current, onClick) {
  const li = document.createElement('li');
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = name;
  if (current) b.setAttribute('aria-current', 'page');
  b.addEventListener('click', onClick);
  li.append(b);
  return li;
}

function renderPages() {
  if (!state.follower) followerShown = false;
  const open = followerShown ? null : state.open;
  const items = state.pages.map((p) => pageButton(p.name, open && open.page === p.id, () => {
    followerShown = false;
    send({ action: 'open', page: p.id, tab: -1 });
  }));
  if (state.follower) {
    items.push(pageButton('Followed players', followerShown, () => {
      followerShown = true;
      history.replaceState(null, '', '#followed-players');
      showState(JSON.stringify(state));
    }));
  }
  $('pages').replaceChildren(...items);
  const page = open && state.pages.find((p) => p.id === open.page);
  $('page-title').textContent = followerShown ? 'Followed players' : page ? page.name : 'Preferences';
  $('tabs').hidden = !page || page.tabs.length === 0;
  $('dialog').setAttribute('role', $('tabs').hidden ? 'region' : 'tabpanel');
  $('tabs').replaceChildren(...(page ? page.tabs : []).map((name, i) => {
    const b = document.createElement('button');
    b.type = 'button';
    b.setAttribute('role', 'tab');
    b.setAttribute('aria-selected', String(i === open.tab));
    b.setAttribute('aria-controls', 'dialog');
    b.textContent = name;
    b.addEventListener('click', () => send({ action: 'open', page: open.page, tab: i }));
    return b;
  }));
}

// The latest change sent: until the host has stored it, a state that comes
// in is older than the fields.
let followerTicket = 0;
let followerSent = 0;

// What is being typed stays; what is not shows the stored lists.
function renderFollower() {
  $('follower').hidden = !followerShown;
  if (!followerShown) return;
  const f = state.follower;
  const stored = !followerTicket || finished(followerTicket);
  for (const [field, key, given, text] of [['follow-players', 'players', 'given-players', f.givenPlayers],
    ['follow-ignored', 'ignored', 'given-ignored', f.givenIgnored]]) {
    if (stored && document.activeElement !== $(field)) $(field).value = f[key];
    $(given).hidden = !text;
    $(given).textContent = `Also, from kiln-host's command line: ${text}`;
  }
}
$('follower').addEventListener('change', async () => {
  const ticket = send({ action: 'follower', players: $('follow-players').value, ignored: $('follow-ignored').value });
  const sent = ++followerSent;
  followerTicket = Infinity;
  const given = await ticket;
  if (sent === followerSent) followerTicket = given;
});
// Enter takes the line as it is, as leaving the field does.
$('follower').addEventListener('keydown', (ev) => {
  if (ev.key === 'Enter') {
    ev.preventDefault();
    ev.target.blur();
  }
});

function renderDialog() {
  const open = followerShown ? null : state.open;
  const box = $('dialog');
  box.hidden = !open;
  $('empty').hidden = !!open || followerShown;
  if (!open) {
    shown = null;
    box.replaceChildren();
    return;
  }
  history.replaceState(null, '', `#page=${open.page}&tab=${open.tab}`);
  if (!shown || shown.dialog !== open.dialog) {
    const laid = layout(open);
    shown = { dialog: open.dialog, controls: laid.controls, outer: laid.outer };
    box.dataset.template = open.template;
    box.replaceChildren(laid.root);
  }
  open.controls.forEach((c, i) => update(shown.controls[i], c, shown.outer[i]));
}

// Something the user asked for is on its way or under way (an authorisation
// waits for a web service): the page says so, and so does the button.
function renderBusy() {
  const busy = state.unfinished.length > 0 && state.modals.length === 0;
  $('busy').hidden = !busy;
  $('dialog').setAttribute('aria-busy', String(busy));
  for (const b of document.querySelectorAll('#dialog button.ctl')) {
    if (b.ticket > 0 && finished(b.ticket)) b.ticket = 0;
    b.classList.toggle('waiting', !!b.ticket);
  }
}

function button(text, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = text;
  b.addEventListener('click', onClick);
  return b;
}

const answer = (m, value) => send({ action: 'answer', modal: m.id, answer: value });

// Message box buttons by type: OK, OK/Cancel, Abort/Retry/Ignore,
// Yes/No/Cancel, Yes/No, Retry/Cancel.
const boxButtons = [[['OK', 1]], [['OK', 1], ['Cancel', 2]], [['Abort', 3], ['Retry', 4], ['Ignore', 5]],
  [['Yes', 6], ['No', 7], ['Cancel', 2]], [['Yes', 6], ['No', 7]], [['Retry', 4], ['Cancel', 2]]];

async function showFolders(m, path) {
  const reply = await fetch(`folders?path=${encodeURIComponent(path)}`);
  if (!reply.ok || shownModal !== m.id) return;
  const listing = await reply.json();
  $('modal-text').textContent = listing.path;
  const up = listing.parent !== listing.path ? ['..'] : [];
  const list = document.createElement('ul');
  list.setAttribute('aria-label', 'Folders');
  list.append(...up.concat(listing.folders).map((name) => {
    const li = document.createElement('li');
    const target = name === '..' ? listing.parent : `${listing.path.replace(/\/$/, '')}/${name}`;
    const b = button(name, () => showFolders(m, target));
    if (name === '..') b.setAttribute('aria-label', 'Parent folder');
    li.append(b);
    return li;
  }));
  $('modal-body').replaceChildren(list);
  $('modal-buttons').replaceChildren(button('Choose this folder', () => answer(m, listing.path)),
    button('Cancel', () => answer(m, null)));
}

function renderModal() {
  const dialog = $('modal');
  const m = state.modals[state.modals.length - 1];
  if (!m) {
    shownModal = 0;
    if (dialog.open) dialog.close();
    return;
  }
  if (shownModal === m.id) return;
  shownModal = m.id;
  dialog.dataset.kind = m.kind;
  $('modal-title').textContent = m.kind === 'menu' ? 'Plug-in menu' : (m.title || 'Preferences');
  $('modal-text').textContent = m.kind === 'menu' ? '' : m.text;
  $('modal-body').replaceChildren();
  let buttons = [];
  if (m.kind === 'box') {
    buttons = (boxButtons[m.flags & 0xf] || boxButtons[0]).map(([t, v]) => button(t, () => answer(m, String(v))));
  } else if (m.kind === 'about') {
    buttons = [button('OK', () => answer(m, null))];
  } else if (m.kind === 'menu') {
    const list = document.createElement('ul');
    list.append(...m.items.map((item) => {
      const li = document.createElement('li');
      if (item.separator) {
        li.append(document.createElement('hr'));
      } else {
        const b = button(plain(item.text, true), () => answer(m, String(item.id)));
        b.disabled = !item.enabled;
        li.append(b);
      }
      return li;
    }));
    $('modal-body').append(list);
    buttons = [button('Cancel', () => answer(m, null))];
  } else if (m.kind === 'folder') {
    showFolders(m, m.text || '/');
  } else if (m.kind === 'save') {
    // The whole path of the file to write, in a folder that exists.
    const label = document.createElement('label');
    label.textContent = 'Save as (full path): ';
    const path = document.createElement('input');
    path.id = 'save-path';
    path.value = m.text || '';
    path.size = 60;
    label.append(path);
    $('modal-body').append(label);
    $('modal-text').textContent = '';
    buttons = [button('Save', () => answer(m, path.value)), button('Cancel', () => answer(m, null))];
  }
  $('modal-buttons').replaceChildren(...buttons);
  if (!dialog.open) dialog.showModal();
}

// Escape cancels, as it does a Windows box.
$('modal').addEventListener('cancel', (ev) => {
  ev.preventDefault();
  const m = state.modals[state.modals.length - 1];
  if (m) answer(m, null);
});
$('menu').addEventListener('click', () => send({ action: 'menu' }));

let first = true;
function showState(data) {
  state = JSON.parse(data);
  if (first) {
    first = false;
    // Reloaded or reopened: back at the page the address names.
    const wanted = new URLSearchParams(location.hash.slice(1));
    if (location.hash === '#followed-players') followerShown = true;
    if (!state.open && wanted.has('page')) {
      send({ action: 'open', page: Number(wanted.get('page')), tab: Number(wanted.get('tab') || -1) });
    }
  }
  renderPages();
  renderDialog();
  renderFollower();
  renderModal();
  renderBusy();
}

function showLink(link) {
  const line = $('link-state');
  const open = link === 'open';
  line.textContent = open ? 'Connected to kiln-host'
    : link === 'lost' ? 'Lost the connection to kiln-host: changes made now are not shown' : 'Connecting…';
  line.classList.toggle('offline', !open);
  document.body.classList.toggle('offline', link === 'lost');
}

// One event stream serves all of this browser's tabs (see stream.js); where
// shared workers are missing, each tab has its own.
function listen() {
  if (typeof SharedWorker === 'function') {
    try {
      const worker = new SharedWorker('stream.js');
      worker.port.onmessage = (ev) => {
        if (ev.data.link) showLink(ev.data.link);
        if (ev.data.state) showState(ev.data.state);
      };
      worker.onerror = () => showLink('lost');
      worker.port.start();
      addEventListener('pagehide', () => worker.port.postMessage('bye'));
      return;
    } catch {
      // fall through to a stream of its own
    }
  }
  const events = new EventSource('events');
  events.onopen = () => showLink('open');
  events.onerror = () => showLink('lost');
  events.onmessage = (ev) => showState(ev.data);
}
listen();
