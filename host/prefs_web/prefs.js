// The preferences window: a view of kiln-host's pages. Everything shown comes
// from the host's event stream; everything done is sent back as an action.
'use strict';

const $ = (id) => document.getElementById(id);
let state = { pages: [], open: null, modals: [] };
let shown = null; // { dialog, controls: Map(index -> element) }
let shownModal = 0;
let queue = Promise.resolve();

// Actions go out one after the other, so that keystrokes arrive in order.
function send(body) {
  queue = queue.then(() => fetch('do', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  }).catch(() => {}));
  return queue;
}

function act(action, id, extra) {
  return send({ action, dialog: shown && shown.dialog, id, ...extra });
}

// Windows marks keyboard accelerators with '&'; '&&' is a literal one.
const plain = (text, prefix) => (prefix ? text.replace(/&(.)/gs, '$1') : text);

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

function make(c) {
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
    el.addEventListener('click', () => act('click', c.id));
  } else if (c.kind === 'group') {
    el = document.createElement('fieldset');
    el.append(document.createElement('legend'));
  } else if (c.kind === 'edit') {
    el = document.createElement(c.multiline ? 'textarea' : 'input');
    el.sent = [];
    el.addEventListener('input', () => {
      el.sent = [...el.sent.slice(-30), el.value];
      act('type', c.id, { text: el.value });
    });
    el.addEventListener('blur', () => { el.sent = []; });
  } else if (c.kind === 'combo') {
    el = document.createElement('select');
    el.addEventListener('change', () => act('select', c.id, { index: el.selectedIndex }));
  } else {
    el = document.createElement('div');
  }
  el.classList.add('ctl', c.kind);
  el.dataset.id = c.id;
  Object.assign(el.style, { left: `${c.x}px`, top: `${c.y}px`, width: `${c.w}px`, height: `${c.h}px` });
  return el;
}

function update(el, c) {
  el.hidden = !c.visible;
  const field = el.matches('label') ? el.querySelector('input') : el;
  if ('disabled' in field) field.disabled = !c.enabled;
  el.classList.toggle('disabled', !c.enabled);
  if (c.kind === 'check' || c.kind === 'radio') {
    field.checked = c.checked === 1;
    field.indeterminate = c.checked === 2;
    el.querySelector('span').textContent = plain(c.text, true);
  } else if (c.kind === 'button') {
    el.textContent = plain(c.text, true);
    el.classList.toggle('multiline', c.multiline);
  } else if (c.kind === 'group') {
    el.firstChild.textContent = plain(c.text, c.prefix);
  } else if (c.kind === 'edit') {
    el.readOnly = c.readonly;
    if (c.limit < 1e6) el.maxLength = c.limit;
    // While the user types, the echo of an earlier keystroke is not news.
    const typing = document.activeElement === el && el.sent.includes(c.text);
    if (el.value !== c.text && !typing) el.value = c.text;
  } else if (c.kind === 'combo') {
    const items = c.items.join('\n');
    if (el.items !== items) {
      el.items = items;
      el.replaceChildren(...c.items.map((t) => new Option(t)));
    }
    el.selectedIndex = c.selection;
  } else if (el.text !== c.text) {
    el.text = c.text;
    linkedText(el, c);
  }
}

function renderPages() {
  const open = state.open;
  $('pages').replaceChildren(...state.pages.map((p) => {
    const li = document.createElement('li');
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = p.name;
    if (open && open.page === p.id) b.setAttribute('aria-current', 'page');
    b.addEventListener('click', () => send({ action: 'open', page: p.id, tab: -1 }));
    li.append(b);
    return li;
  }));
  const page = open && state.pages.find((p) => p.id === open.page);
  $('tabs').replaceChildren(...(page ? page.tabs : []).map((name, i) => {
    const b = document.createElement('button');
    b.type = 'button';
    b.setAttribute('role', 'tab');
    b.setAttribute('aria-selected', String(i === open.tab));
    b.textContent = name;
    b.addEventListener('click', () => send({ action: 'open', page: open.page, tab: i }));
    return b;
  }));
}

function renderDialog() {
  const open = state.open;
  const box = $('dialog');
  box.hidden = !open;
  $('empty').hidden = !!open;
  if (!open) {
    shown = null;
    box.replaceChildren();
    return;
  }
  history.replaceState(null, '', `#page=${open.page}&tab=${open.tab}`);
  if (!shown || shown.dialog !== open.dialog) {
    shown = { dialog: open.dialog, controls: open.controls.map(make) };
    Object.assign(box.style, { width: `${open.w}px`, height: `${open.h}px` });
    box.dataset.template = open.template;
    box.replaceChildren(...shown.controls);
  }
  open.controls.forEach((c, i) => update(shown.controls[i], c));
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
  list.append(...up.concat(listing.folders).map((name) => {
    const li = document.createElement('li');
    const target = name === '..' ? listing.parent : `${listing.path.replace(/\/$/, '')}/${name}`;
    li.append(button(name, () => showFolders(m, target)));
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
  $('modal-title').textContent = m.kind === 'menu' ? 'Plug-in menu' : m.title;
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
const events = new EventSource('events');
events.onopen = () => {
  $('link-state').textContent = 'Connected to kiln-host';
  $('link-state').classList.remove('offline');
};
events.onerror = () => {
  $('link-state').textContent = 'kiln-host is not answering';
  $('link-state').classList.add('offline');
};
events.onmessage = (ev) => {
  state = JSON.parse(ev.data);
  if (first) {
    first = false;
    // Reloaded or reopened: back at the page the address names.
    const wanted = new URLSearchParams(location.hash.slice(1));
    if (!state.open && wanted.has('page')) {
      send({ action: 'open', page: Number(wanted.get('page')), tab: Number(wanted.get('tab') || -1) });
    }
  }
  renderPages();
  renderDialog();
  renderModal();
};

// Leaving the page closes it, so that its routine stores what it keeps.
addEventListener('pagehide', () => {
  fetch('do', {
    method: 'POST',
    keepalive: true,
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ action: 'close' }),
  });
});
