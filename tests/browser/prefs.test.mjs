// kiln-host's preferences window in Debian's chromium: one kiln-host playing
// sample files, with the fake Discord and scrobbling service of kiln-fakes.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readdirSync, readFileSync, statSync } from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

const puppeteer = createRequire(join(process.env.KILN_BROWSER_DEPS, 'package.json'))('puppeteer-core');
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
  ];
  for (const [what, path, headers, method, body, status] of cases) {
    assert.equal(await request(path, headers, method, body), status, what);
  }
});

test('every page opens with its controls inside the dialog, and a screenshot is kept', async () => {
  const expected = [
    ['Play Tracking', 0, 101, 'Enable logging playback history to file'],
    ['Play Tracking', 1, 102, 'Line format:'],
    ['Play Tracking', 2, 103, 'File name:'],
    ['Play Tracking', 3, 104, 'Disable some SSL validation checks'],
    ['Discord', undefined, 106, 'Show as:'],
    ['Last.fm Scrobbler', undefined, 111, 'Enable Scrobbling'],
  ];
  for (const [name, tab, template, text] of expected) {
    await openPage(name, tab);
    await page.waitForSelector(`#dialog[data-template="${template}"]`);
    const shown = await page.$eval('#dialog', (box) => {
      const outer = box.getBoundingClientRect();
      const visible = [...box.querySelectorAll('.ctl')].filter((el) => !el.hidden);
      const outside = visible.filter((el) => {
        const r = el.getBoundingClientRect();
        return r.width === 0 || r.left < outer.left || r.right > outer.right + 1 || r.bottom > outer.bottom + 1;
      });
      return { text: box.innerText + [...box.querySelectorAll('option')].map((o) => o.text).join('\n'),
        outside: outside.map((el) => el.dataset.id) };
    });
    assert.ok(shown.text.includes(text), `${name} ${tab ?? ''} shows "${text}"`);
    assert.deepEqual(shown.outside, [], `${name} ${tab ?? ''}: controls outside the dialog`);
    const file = join(shots, `${name.replace(/\W+/g, '-')}${tab ?? ''}.png`);
    await page.screenshot({ path: file, fullPage: true });
    assert.ok(statSync(file).size > 1000);
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
