// kiln-host's preferences window in Debian's chromium: one kiln-host playing
// sample files, with the fake Discord and scrobbling service of kiln-fakes.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { chmodSync, existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, statSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

const deps = createRequire(join(process.env.KILN_BROWSER_DEPS, 'package.json'));
const puppeteer = deps('puppeteer-core');
const axeSource = readFileSync(deps.resolve('axe-core/axe.min.js'), 'utf8');
const bin = process.env.KILN_BIN;
const shots = process.env.KILN_SHOTS;
const work = mkdtempSync(join(tmpdir(), 'kiln-browser-'));
const runtime = join(work, 'run');
const profile = join(work, 'profile');

// Polls `check` until it gives something true, which it returns.
async function until(check, ms, what) {
  for (const end = Date.now() + ms; Date.now() < end; await new Promise((r) => setTimeout(r, 50))) {
    const result = check();
    if (result) return result;
  }
  throw new Error(`timed out waiting for ${what()}`);
}

// A child whose output is kept, to wait for lines in it.
function run(program, args, env) {
  const child = spawn(program, args, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'inherit'] });
  child.out = '';
  child.stdout.on('data', (d) => { child.out += d; });
  child.waitFor = (pattern, from = 0, ms = 15000) => until(() => child.out.slice(from).match(pattern), ms,
    () => `${pattern} in output of ${program}:\n${child.out.slice(from)}`);
  return child;
}

let fakes, host, browser, page, address;

before(async () => {
  mkdirSync(runtime, { mode: 0o700 });
  mkdirSync(shots, { recursive: true });
  const music = join(work, 'music');
  spawnSync(join(bin, 'kiln-host'), ['make-samples', music]);
  fakes = run(join(bin, 'kiln-fakes'), [join(work, 'ports'), runtime]);
  const scrobbler = (await fakes.waitFor(/Discord application/), readFileSync(join(work, 'ports'), 'utf8'))
    .match(/scrobbler=(\S+)/)[1];
  const files = readdirSync(music).filter((f) => f.endsWith('.wav')).map((f) => join(music, f));
  host = run(join(bin, 'kiln-host'), ['--profile', profile, '--map', `ws.audioscrobbler.com=${scrobbler}`,
    '--map', `www.last.fm=${scrobbler}`, '--set', 'updatediscord=1', 'prefs', 'play', ...files],
  { XDG_RUNTIME_DIR: runtime, DISPLAY: '', WAYLAND_DISPLAY: '' });
  address = (await host.waitFor(/preferences: (http:\S+)/))[1];
  browser = await puppeteer.launch({
    executablePath: process.env.KILN_CHROMIUM,
    headless: true,
    userDataDir: mkdtempSync(join(work, 'chromium-')),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage();
  await page.goto(address);
});

after(async () => {
  await browser?.close();
  host?.stdin.end('quit\n');
  fakes?.stdin.end();
  // A clean quit: the page closed, the plug-in unloaded, no sanitizer report.
  const codes = await Promise.all([host, fakes].map((c) => c && new Promise((r) => c.on('exit', r))));
  assert.deepEqual(codes, [0, 0]);
});

const control = (id) => `#dialog [data-id="${id}"]`;
const valueOf = (id) => page.$eval(control(id), (el) => (el.matches('input, textarea') ? el.value : el.innerText));

// Answers the modal box the page shows, and returns its text.
async function answerBox(button) {
  await page.waitForSelector('#modal[open]');
  const text = await page.$eval('#modal-text', (el) => el.textContent);
  await page.$$eval('#modal-buttons button', (buttons, b) => buttons.find((x) => x.textContent === b).click(), button);
  await page.waitForSelector('#modal:not([open])');
  return text;
}

async function openPage(name, tab) {
  await page.waitForSelector('#pages button');
  await page.$$eval('#pages button', (buttons, n) => buttons.find((b) => b.textContent === n).click(), name);
  // The page's own state has arrived when the tree marks it.
  await page.waitForFunction((n) => document.querySelector('#pages [aria-current="page"]')?.textContent === n, {}, name);
  if (tab !== undefined) {
    await page.waitForFunction((t) => document.querySelectorAll('#tabs button').length > t, {}, tab);
    await page.$$eval('#tabs button', (buttons, t) => buttons[t].click(), tab);
    await page.waitForSelector(`#tabs button:nth-child(${tab + 1})[aria-selected="true"]`);
  }
  await page.waitForSelector('#dialog:not([hidden]) .ctl');
}

async function waitText(id, pattern) {
  await page.waitForFunction((sel, src) => {
    const el = document.querySelector(sel);
    return el && new RegExp(src).test(el.matches('input, textarea') ? el.value : el.innerText);
  }, { timeout: 10000 }, control(id), pattern.source);
}

function request(path, headers = {}, method = 'GET', body = undefined) {
  const url = new URL(address);
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port: url.port, path, method,
      headers: { Host: url.host, ...headers } }, (res) => { res.resume(); resolve(res.statusCode); });
    req.on('error', reject);
    req.end(body);
  });
}

// A raw connection to the server, for what no well-behaved client sends.
function connect() {
  return new Promise((resolve, reject) => {
    const socket = net.connect(new URL(address).port, '127.0.0.1', () => resolve(socket));
    socket.on('error', reject);
  });
}

test('refuses requests without the token, from other hosts or origins, and for other files', async () => {
  const base = new URL(address).pathname;
  const own = { Origin: new URL(address).origin, 'Content-Type': 'application/json' };
  const menu = JSON.stringify({ action: 'close' });
  const cases = [
    ['the page', base, {}, 'GET', undefined, 200],
    ['no token', '/', {}, 'GET', undefined, 403],
    ['wrong token', `/${'0'.repeat(32)}/`, {}, 'GET', undefined, 403],
    ['token cut short', base.slice(0, -2) + '/', {}, 'GET', undefined, 403],
    ['foreign Host', base, { Host: `attacker.example:${new URL(address).port}` }, 'GET', undefined, 403],
    ['action from the page', `${base}do`, own, 'POST', menu, 202],
    ['foreign Origin', `${base}do`, { ...own, Origin: 'http://attacker.example' }, 'POST', menu, 403],
    ['no Origin', `${base}do`, { 'Content-Type': 'application/json' }, 'POST', menu, 403],
    ['form post', `${base}do`, { ...own, 'Content-Type': 'text/plain' }, 'POST', menu, 403],
    ['file outside', `${base}..%2f..%2f..%2fetc%2fpasswd`, {}, 'GET', undefined, 404],
    ['icon without the token', '/favicon.ico', {}, 'GET', undefined, 200],
    ['deep JSON under the size cap', `${base}do`, own, 'POST', '['.repeat(30000) + ']'.repeat(30000), 400],
    ['deep JSON over the size cap', `${base}do`, own, 'POST', '['.repeat(150000) + ']'.repeat(150000), 413],
    ['flat body over the size cap', `${base}do`, own, 'POST', JSON.stringify({ action: 'type', text: 'x'.repeat(70000) }), 413],
    ['headers over the size cap', base, { 'X-Padding': 'x'.repeat(20000) }, 'GET', undefined, 431],
    ['the page, after all that', base, {}, 'GET', undefined, 200],
  ];
  for (const [what, path, headers, method, body, status] of cases) {
    assert.equal(await request(path, headers, method, body), status, what);
  }
});

test('slow clients and open event streams leave the server answering', async () => {
  const url = new URL(address);
  const linkSays = (pattern) => page.waitForFunction((p) => new RegExp(p).test(document.querySelector('#link-state')
    .textContent), { polling: 50, timeout: 5000 }, pattern);
  await linkSays('Connected');
  // Twenty clients sending a request a byte every two seconds, and twelve
  // event streams held open: neither may take what the next request needs.
  const slow = await Promise.all(Array.from({ length: 20 }, connect));
  const head = `GET ${url.pathname} HTTP/1.1\r\nHost: ${url.host}\r\nX-Slow: `;
  const drip = slow.map((socket) => {
    let sent = 0;
    socket.write(head[sent++]);
    return setInterval(() => socket.write(head[sent++ % head.length]), 2000);
  });
  const streams = await Promise.all(Array.from({ length: 12 }, async () => {
    const socket = await connect();
    socket.write(`GET ${url.pathname}events HTTP/1.1\r\nHost: ${url.host}\r\n\r\n`);
    return socket;
  }));
  try {
    // The server retires the oldest streams, the page's among them: the
    // page says so.
    await linkSays('Lost');
    await new Promise((r) => setTimeout(r, 2500));
    const start = Date.now();
    assert.equal(await request(url.pathname), 200);
    assert.ok(Date.now() - start < 1000, `answered after ${Date.now() - start} ms`);
  } finally {
    drip.forEach(clearInterval);
    [...slow, ...streams].forEach((socket) => socket.destroy());
  }
  await linkSays('Connected');
});

// Everything a page shows lies inside the dialog, overlaps nothing, clips no
// text and is at least 14 px; axe-core finds nothing serious.
async function inspectPage(what) {
  const shown = await page.$eval('#dialog', (box) => {
    const outer = box.getBoundingClientRect();
    const visible = [...box.querySelectorAll('.ctl:not(section)')].filter((el) => el.getClientRects().length);
    const rects = visible.map((el) => el.getBoundingClientRect());
    const problems = [];
    visible.forEach((el, i) => {
      const r = rects[i];
      const id = `${el.dataset.id}${el.textContent ? ` "${el.textContent.slice(0, 30)}"` : ''}`;
      if (r.width === 0 || r.left < outer.left || r.right > outer.right + 1 || r.bottom > outer.bottom + 1) {
        problems.push(`${id} outside`);
      }
      if (!el.matches('input, textarea, select') && el.scrollWidth > el.clientWidth + 1) problems.push(`${id} clipped`);
      if (parseFloat(getComputedStyle(el).fontSize) < 14) problems.push(`${id} under 14 px`);
      for (let j = i + 1; j < visible.length; j++) {
        const q = rects[j];
        const across = Math.min(r.right, q.right) - Math.max(r.left, q.left);
        const down = Math.min(r.bottom, q.bottom) - Math.max(r.top, q.top);
        if (across > 1 && down > 1 && !el.contains(visible[j]) && !visible[j].contains(el)) {
          problems.push(`${id} overlaps ${visible[j].dataset.id}`);
        }
      }
    });
    // Tab goes through the fields in the template's order.
    const focusable = (c) => c.visible && ['button', 'check', 'radio', 'edit', 'combo', 'list'].includes(c.kind);
    const order = [...box.querySelectorAll('input, select, textarea, button')].filter((el) => el.getClientRects().length)
      .map((el) => el.closest('[data-id]').dataset.id);
    if (order.join() !== state.open.controls.filter(focusable).map((c) => String(c.id)).join()) {
      problems.push(`Tab order ${order}`);
    }
    return { text: box.innerText + [...box.querySelectorAll('option')].map((o) => o.text).join('\n'), problems };
  });
  assert.deepEqual(shown.problems, [], what);
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.evaluate(axeSource);
  const violations = await page.evaluate(async () => (await window.axe.run(document)).violations
    .filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`));
  assert.deepEqual(violations, [], `${what}: accessibility`);
  return shown.text;
}

test('every page reads well at 390 and 1280 pixels, light and dark, and screenshots are kept', async () => {
  const expected = [
    ['Play Tracking', 0, 101, 'Enable logging playback history to file'],
    ['Play Tracking', 1, 102, 'Line format:'],
    ['Play Tracking', 2, 103, 'Choose folder'],
    ['Play Tracking', 3, 104, 'Disable some SSL validation checks'],
    ['Discord', undefined, 106, 'Show as:'],
    ['Last.fm Scrobbler', undefined, 111, 'Enable Scrobbling'],
    ['Scrobble Queue', undefined, 108, 'Waiting plays'],
    ['Rules', undefined, 107, 'Test an item:'],
  ];
  try {
    for (const [name, tab, template, text] of expected) {
      await openPage(name, tab);
      await page.waitForSelector(`#dialog[data-template="${template}"]`);
      for (const width of [390, 1280]) {
        await page.setViewport({ width, height: 900 });
        for (const scheme of ['light', 'dark']) {
          await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: scheme }]);
          const what = `${name} ${tab ?? ''} at ${width} px, ${scheme}`;
          assert.ok((await inspectPage(what)).includes(text), `${what} shows "${text}"`);
          const file = join(shots, `${name.replace(/\W+/g, '-')}${tab ?? ''}-${width}-${scheme}.png`);
          await page.screenshot({ path: file, fullPage: true });
          assert.ok(statSync(file).size > 1000);
        }
      }
    }
  } finally {
    await page.setViewport({ width: 800, height: 600 });
    await page.emulateMediaFeatures([]);
  }
});

test('scrobbler authorisation through the service page ends authorised for the account', async () => {
  await openPage('Last.fm Scrobbler');
  await page.click(`${control(1062)} input`);
  await page.waitForSelector(`${control(1062)} input:checked`);
  const from = host.out.length;
  await page.click(control(1058));
  const authPage = (await host.waitFor(/open (http:\S+\/api\/auth\/\S+)/, from))[1];
  await waitText(1058, /Complete/);
  // The user's visit to the service's page allows access.
  const visit = await browser.newPage();
  assert.equal((await visit.goto(authPage)).status(), 200);
  await visit.close();
  await page.bringToFront();
  await page.click(control(1058));
  await waitText(1060, /authorised for 'kiln-listener'/);
  assert.match(readFileSync(join(profile, 'settings.ini'), 'utf8'), /lfm=kiln-listener/);
});

test('the scrobble queue lists the waiting plays; a removal asks first and an export saves CSV', async () => {
  const music = join(work, 'music');
  const [first, second] = readdirSync(music).filter((f) => f.endsWith('.wav')).map((f) => join(music, f));
  const lines = [`1700000000,${first}\r\n`, `1700000060,${second}\r\n`];
  writeFileSync(join(profile, 'cache', 'scrobble.cache'), lines.join(''));
  await openPage('Scrobble Queue');
  await page.click(control(1108));
  await page.waitForFunction((sel) => document.querySelector(sel).options.length === 2, {}, control(1102));
  await page.$eval(control(1102), (list) => {
    list.options[0].selected = true;
    list.dispatchEvent(new Event('change'));
  });
  await page.waitForFunction((sel) => document.querySelector(sel).options[0].selected, {}, control(1102));
  await page.click(control(1104));
  assert.match(await answerBox('Yes'), /Remove 1 selected play/);
  await page.waitForFunction((sel) => document.querySelector(sel).options.length === 1, {}, control(1102));
  assert.equal(readFileSync(join(profile, 'cache', 'scrobble.cache'), 'utf8'), lines[1]);
  const csv = join(work, 'queue.csv');
  await page.click(control(1105));
  await page.waitForSelector('#save-path');
  await page.$eval('#save-path', (el, path) => { el.value = path; }, csv);
  await page.$$eval('#modal-buttons button', (buttons) => buttons.find((b) => b.textContent === 'Save').click());
  await until(() => existsSync(csv), 10000, () => 'the exported file');
  const rows = readFileSync(csv, 'utf8').split('\r\n');
  assert.equal(rows[0], 'list,start_time,date,artist,title,file,reason');
  assert.match(rows[1], new RegExp(`^waiting,1700000060,2023-11-14T22:14:20Z,.*,${second.replace(/\W/g, '\\$&')},$`));
});

test('a typed line template shows its live preview; Reset asks, and only a yes resets it', async () => {
  host.stdin.write('play\n');
  await openPage('Play Tracking', 1);
  await page.click(control(1005), { clickCount: 3 });
  await page.keyboard.type('>> %title% <<');
  await waitText(1006, /^>> \S.* <<$/);
  await page.click(control(1007));
  assert.match(await answerBox('No'), /reset this field/);
  assert.equal(await valueOf(1005), '>> %title% <<');
  await page.click(control(1007));
  await answerBox('Yes');
  await waitText(1005, /^(?!>> %title% <<$).+%/);
  await page.waitForSelector(`${control(1007)}:disabled`);
});

test('the Rules page says when tracking is paused, and refuses a pattern that cannot compile', async () => {
  host.stdin.write('tracking off\n');
  await host.waitFor(/tracking: off/);
  await openPage('Rules');
  await page.waitForSelector(`${control(1070)}:not([hidden])`);
  await page.click(control(1072));
  await page.keyboard.type('title matches (live');
  await waitText(1073, /^Line 1: invalid regular expression/);
  await page.keyboard.type(')');
  await waitText(1073, /^$/);
  await page.click(control(1071));
  await page.waitForSelector(`${control(1070)}[hidden]`);
  // From kiln-host's prompt while the page is open: the notice follows at once.
  for (const [said, notice] of [['off', ':not([hidden])'], ['on', '[hidden]']]) {
    host.stdin.write(`tracking ${said}\n`);
    await page.waitForSelector(`${control(1070)}${notice}`);
  }
});

test('picking "Winamp" on the presence page restarts the presence with that identity', async () => {
  await openPage('Discord');
  const handshakes = () => [...fakes.out.matchAll(/\[discord\] opcode 0: .*"client_id":"(\d+)"/g)].map((m) => m[1]);
  await fakes.waitFor(/\[discord\] opcode 0/);
  const before = handshakes();
  await page.select(control(1051), 'Winamp');
  await until(() => handshakes().length > before.length, 10000, () => 'a new handshake');
  assert.notEqual(handshakes().at(-1), before.at(-1));
});

test('the folder dialog is a picker in the page, and the chosen folder reaches the tab', async () => {
  await openPage('Play Tracking', 2);
  await page.click(control(1010));
  await page.waitForSelector('#modal[open][data-kind="folder"] #modal-body li');
  const start = await page.$eval('#modal-text', (el) => el.textContent);
  await page.$$eval('#modal-body button', (buttons) => buttons.find((b) => b.textContent === '..').click());
  await page.waitForFunction((s) => document.querySelector('#modal-text').textContent !== s, {}, start);
  const chosen = await page.$eval('#modal-text', (el) => el.textContent);
  await page.$$eval('#modal-buttons button', (buttons) => buttons[0].click());
  await waitText(1009, new RegExp(`^${chosen.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}$`));
});

test('eight tabs share one event stream and each takes clicks; closing tabs leaves the page open', async () => {
  await openPage('Play Tracking', 0);
  const tabs = [page];
  for (let i = 1; i < 8; i++) {
    const tab = await browser.newPage();
    await tab.goto(address);
    tabs.push(tab);
  }
  const box = `${control(1009)} input`;
  try {
    for (const tab of tabs) {
      await tab.waitForSelector(box);
      const was = await tab.$eval(box, (el) => el.checked);
      await tab.bringToFront(); // a tab in the background is not drawn, and puppeteer clicks what is drawn
      await tab.click(box);
      await tab.waitForFunction((sel, w) => document.querySelector(sel).checked !== w, { timeout: 5000 }, box, was);
      assert.match(await tab.$eval('#link-state', (el) => el.textContent), /Connected/);
    }
  } finally {
    for (const tab of tabs.slice(1)) await tab.close();
  }
  // The remaining tab still shows the page, and still works.
  await new Promise((r) => setTimeout(r, 500));
  await page.bringToFront();
  await page.waitForSelector(box);
  const was = await page.$eval(box, (el) => el.checked);
  await page.click(box);
  await page.waitForFunction((sel, w) => document.querySelector(sel).checked !== w, { timeout: 5000 }, box, was);
});

test('typing at full speed leaves the field and the stored text equal to what was typed', async () => {
  await openPage('Play Tracking', 2);
  const typed = '%artist% - %album% (%year%) %title% -- typed without pause';
  for (const text of [typed, typed.slice(0, 20)]) {
    await page.click(control(1011), { clickCount: 3 });
    await page.keyboard.type(text, { delay: 0 });
    await page.waitForFunction((t) => state.open.controls.find((c) => c.id === 1011).text === t, { timeout: 5000 }, text);
    assert.equal(await valueOf(1011), text);
  }
});

test('the browser is handed a private file, and the token is on no command line', async () => {
  const opener = join(work, 'opener');
  mkdirSync(opener);
  const opened = join(work, 'opened');
  writeFileSync(join(opener, 'xdg-open'), `#!/bin/sh\necho "$1" > "${opened}.tmp" && mv "${opened}.tmp" "${opened}"\nsleep 5\n`);
  chmodSync(join(opener, 'xdg-open'), 0o755);
  const other = run(join(bin, 'kiln-host'), ['--profile', join(work, 'profile-opener'), 'prefs'],
    { XDG_RUNTIME_DIR: runtime, DISPLAY: ':0', WAYLAND_DISPLAY: '', PATH: `${opener}:${process.env.PATH}` });
  try {
    const otherAddress = (await other.waitFor(/preferences: (http:\S+)/))[1];
    const token = new URL(otherAddress).pathname.split('/')[1];
    const file = await until(() => { try { return readFileSync(opened, 'utf8').trim(); } catch { return ''; } },
      10000, () => 'the opener to run');
    const lines = readdirSync('/proc').filter((d) => /^\d+$/.test(d)).map((d) => {
      try { return readFileSync(`/proc/${d}/cmdline`, 'utf8').replaceAll('\0', ' '); } catch { return ''; }
    });
    assert.ok(lines.some((l) => l.includes(file)), 'the opener is among the processes read');
    assert.deepEqual(lines.filter((l) => l.includes(token)), []);
    assert.ok(file.startsWith(`${runtime}/`), file);
    assert.equal(statSync(file).mode & 0o777, 0o600);
    const tab = await browser.newPage();
    await tab.goto(`file://${file}`);
    await tab.waitForFunction((a) => location.href.startsWith(a), {}, otherAddress);
    await tab.close();
  } finally {
    other.stdin.end('quit\n');
    await new Promise((r) => other.on('exit', r));
  }
});

test('--prefs-port takes only a free port number, and says why not', () => {
  const taken = new URL(address).port;
  const cases = [['70000', 2], ['abc', 2], ['-5', 2], ['0', 2], ['8080x', 2], [taken, 0]];
  for (const [port, status] of cases) {
    const result = spawnSync(join(bin, 'kiln-host'), ['--profile', join(work, 'profile-ports'), '--prefs-port', port,
      'prefs'], { input: 'quit\n', encoding: 'utf8', env: { ...process.env, DISPLAY: '', WAYLAND_DISPLAY: '' } });
    assert.equal(result.status, status, `${port}: ${result.stderr}`);
    assert.match(result.stderr, status ? /--prefs-port takes a port number/ : new RegExp(`cannot listen on 127\\.0\\.0\\.1:${taken}`), port);
    assert.doesNotMatch(result.stdout, /preferences: http/, port);
  }
});

test('an action waiting for a silent service shows that it waits, until it is done', async () => {
  const held = [];
  const silent = net.createServer((socket) => held.push(socket));
  await new Promise((r) => silent.listen(0, '127.0.0.1', r));
  const other = run(join(bin, 'kiln-host'), ['--profile', join(work, 'profile-silent'), '--map',
    `ws.audioscrobbler.com=http://127.0.0.1:${silent.address().port}`, 'prefs'],
  { XDG_RUNTIME_DIR: runtime, DISPLAY: '', WAYLAND_DISPLAY: '' });
  const tab = await browser.newPage();
  try {
    await tab.goto((await other.waitFor(/preferences: (http:\S+)/))[1]);
    await tab.waitForSelector('#pages button');
    await tab.$$eval('#pages button', (buttons) => buttons.find((b) => b.textContent === 'Last.fm Scrobbler').click());
    await tab.waitForSelector(`${control(1062)} input`);
    await tab.click(`${control(1062)} input`);
    await tab.waitForSelector(`${control(1062)} input:checked`);
    await tab.click(control(1058));
    await until(() => held.length, 10000, () => 'the service to be asked');
    await tab.waitForSelector('#busy:not([hidden])');
    assert.ok(await tab.$eval(control(1058), (b) => b.classList.contains('waiting')));
    held.forEach((socket) => socket.destroy());
    await tab.waitForSelector('#busy[hidden]');
    assert.ok(!(await tab.$eval(control(1058), (b) => b.classList.contains('waiting'))));
  } finally {
    await tab.close();
    other.stdin.end('quit\n');
    await new Promise((r) => other.on('exit', r));
    silent.close();
  }
});

test('a following kiln-host has a page of followed players; a change is stored and followed at once', async () => {
  const bus = run('dbus-daemon', ['--session', '--nofork', '--print-address']);
  const busAddress = (await bus.waitFor(/^(unix:\S+)/m))[1];
  const other = run(join(bin, 'kiln-host'), ['--profile', join(work, 'profile-follow'), 'follow', '--ignore',
    'kilnsmall.muted', 'prefs'], { XDG_RUNTIME_DIR: runtime, DISPLAY: '', WAYLAND_DISPLAY: '',
    DBUS_SESSION_BUS_ADDRESS: busAddress });
  const tab = await browser.newPage();
  try {
    await tab.goto((await other.waitFor(/preferences: (http:\S+)/))[1]);
    await tab.waitForSelector('#pages button');
    await tab.$$eval('#pages button', (buttons) => buttons.find((b) => b.textContent === 'Followed players').click());
    await tab.waitForSelector('#follower:not([hidden])');
    assert.equal(await tab.$eval('#given-ignored', (p) => p.textContent),
      "Also, from kiln-host's command line: kilnsmall.muted");
    assert.ok(await tab.$eval('#given-players', (p) => p.hidden));
    await tab.evaluate(axeSource);
    assert.deepEqual(await tab.evaluate(async () => (await window.axe.run(document)).violations
      .filter((v) => v.impact === 'serious' || v.impact === 'critical').map((v) => v.id)), []);
    const from = other.out.length;
    await tab.type('#follow-players', 'vlc, mpv');
    await tab.type('#follow-ignored', 'firefox\n');
    await other.waitFor(/now following media players named vlc, mpv but kilnsmall\.muted, firefox/, from);
    assert.match(readFileSync(join(work, 'profile-follow', 'settings.ini'), 'utf8'),
      /players=vlc, mpv[\s\S]*ignore_players=firefox/);
    // Another page and back: the stored lists, as the host gives them.
    await tab.$$eval('#pages button', (buttons) => buttons[0].click());
    await tab.waitForSelector('#follower[hidden]');
    await tab.$$eval('#pages button', (buttons) => buttons.find((b) => b.textContent === 'Followed players').click());
    assert.equal(await tab.$eval('#follow-players', (i) => i.value), 'vlc, mpv');
  } finally {
    await tab.close();
    other.stdin.end('quit\n');
    await new Promise((r) => other.on('exit', r));
    bus.kill();
  }
});
