// fleet serve in a real browser (Debian's chromium, driven by playwright-core) and at
// the HTTP level: the access token and its session, the bounds of a request, the
// pages against fleet stats and fleet export, a hostile plate, a change seen live,
// accessibility (axe-core) and the layout at two widths.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

const require = createRequire(path.join(process.env.BROWSER_TEST_MODULES, 'package.json'));
const { chromium } = require('playwright-core');
const axePath = require.resolve('axe-core/axe.min.js');

const bin = process.env.FLEET_BIN_DIR;
const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'serve-test-'));
const file = path.join(folder, 'articles');
const env = { ...process.env, LC_ALL: 'C.UTF-8' };
delete env.fichier;
delete env.FLEET_CHARSET;

const fleet = (args, input) => execFileSync(path.join(bin, 'fleet'), ['-f', file, ...args], { env, input });

// 1,000 articles, and plates no page may show raw: markup, quotes, control bytes.
const plates = [];
const days = (i) => Array.from({ length: 7 }, (_, d) => [(i * 7 + d * 13) % 500, ((i * 977 + d * 31) % 90000) / 100]);
let csv = 'immatriculation,semaine' + ['lundi', 'mardi', 'mercredi', 'jeudi', 'vendredi', 'samedi', 'dimanche']
  .map((d) => `,${d}_km,${d}_frais`).join('') + '\r\n';
for (let i = 0; i < 1000; ++i) {
  const plate = `AA${String(i).padStart(4, '0')}ZZ`;
  plates.push(plate);
  csv += `${plate},${i % 52 + 1}` + days(i).map(([km, cost]) => `,${km},${cost.toFixed(2)}`).join('') + '\r\n';
}
const hostile = { '<script>': '"<script>"', '"\'&<b>': '"""\'&<b>"', '\x1b[2J\x07': '"\x1b[2J\x07"', '</td><i': '</td><i' };
for (const [plate, field] of Object.entries(hostile)) {
  plates.push(plate);
  csv += `${field},9` + ',10,1.00'.repeat(7) + '\r\n';
}
plates.sort();  // ASCII only: byte order
const shown = (plate) => plate.replace(/[\x00-\x1f]/g, (c) => '^' + String.fromCharCode(c.charCodeAt(0) + 64));

let server;  // { child, port, token, url, log() }
let browser;

function start() {
  const child = spawn(path.join(bin, 'fleet'), ['serve', '-f', file, '--listen', '127.0.0.1:0'],
    { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let err = '';
  return new Promise((resolve, reject) => {
    child.stderr.on('data', (data) => {
      err += data;
      const m = /ouvrez (http:\/\/127\.0\.0\.1:(\d+)\/\?token=([0-9a-f]{32}))\n/.exec(err);
      if (m) resolve({ child, url: m[1], port: Number(m[2]), token: m[3], log: () => err });
    });
    child.on('exit', (code) => reject(new Error(`fleet serve ended (${code}): ${err}`)));
  });
}

const base = () => `http://127.0.0.1:${server.port}`;
const bearer = () => ({ Authorization: `Bearer ${server.token}` });

// Sends bytes as they are, and gathers the answer until the server closes or ms pass.
function raw(bytes, ms = 3000, pace) {
  return new Promise((resolve) => {
    const socket = net.connect(server.port, '127.0.0.1');
    const began = Date.now();
    let data = '';
    let timer;
    const done = (closed) => {
      clearTimeout(timer);
      clearInterval(pace?.interval);
      socket.destroy();
      resolve({ data, closed, ms: Date.now() - began });
    };
    socket.on('data', (d) => { data += d.toString('latin1'); });
    socket.on('close', () => done(true));
    socket.on('error', () => {});
    timer = setTimeout(() => done(false), ms);
    socket.on('connect', () => {
      socket.write(Buffer.from(bytes, 'latin1'));
      if (pace) pace.interval = setInterval(() => socket.write('a'), pace.every);
    });
  });
}
const request = (target, more = '') =>
  `GET ${target} HTTP/1.1\r\nHost: 127.0.0.1:${server.port}\r\nAuthorization: Bearer ${server.token}\r\n${more}` +
  'Connection: close\r\n\r\n';

// A browser context that opened the printed address, and so holds the session.
async function signedIn(options = {}) {
  const context = await browser.newContext(options);
  const page = await context.newPage();
  await page.goto(server.url);
  return { context, page };
}

before(async () => {
  fleet(['import'], csv);
  server = await start();
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  server?.child.kill('SIGTERM');
  fs.rmSync(folder, { recursive: true, force: true });
});

describe('access', () => {
  test('no token is 401, a wrong one 403, each a short French page with the headers of every answer', async () => {
    for (const [headers, target, status] of [
      [{}, '/', 401], [{}, '/articles', 401], [{}, '/export.csv', 401], [{}, '/?token=0123', 403],
      [{ Authorization: 'Bearer 0123' }, '/', 403], [{ Cookie: 'fleet_session=0123' }, '/', 401],
    ]) {
      const res = await fetch(base() + target, { headers, redirect: 'manual' });
      assert.equal(res.status, status, target);
      assert.match(await res.text(), /<html lang="fr">[\s\S]*(Accès refusé|Jeton refusé)/);
      const csp = res.headers.get('content-security-policy');
      for (const part of ["default-src 'none'", "frame-ancestors 'none'", "style-src 'self'"]) assert.ok(csp.includes(part));
      assert.ok(!/script-src|unsafe/.test(csp));
      assert.equal(res.headers.get('x-content-type-options'), 'nosniff');
      assert.equal(res.headers.get('referrer-policy'), 'no-referrer');
    }
  });

  test('the printed address sets the session cookie and sends the browser on without the token', async () => {
    for (const [target, location] of [['/', '/'], ['/articles?q=AA&token=', '/articles?q=AA']]) {
      const res = await fetch(base() + target + (target.includes('?') ? '' : '?token=') + server.token,
        { redirect: 'manual' });
      assert.equal(res.status, 303);
      assert.equal(res.headers.get('location'), location);
      const [cookie] = res.headers.getSetCookie();
      assert.match(cookie, /^fleet_session=[0-9a-f]{32}; HttpOnly; SameSite=Strict; Path=\/$/);
      const page = await fetch(base() + location, { headers: { Cookie: cookie.split(';')[0] } });
      assert.equal(page.status, 200);
    }
  });

  test('each request is one line of the common log format, and the token is nowhere but the start line', async () => {
    await fetch(`${base()}/articles?q=secret&token=${server.token}`, { redirect: 'manual' });
    await new Promise((resolve) => setTimeout(resolve, 300));  // the log is written every tenth of a second
    const lines = server.log().trimEnd().split('\n');
    assert.equal(lines.filter((line) => line.includes(server.token)).length, 1);
    const requests = lines.filter((line) => !line.startsWith('fleet : '));
    assert.ok(requests.length > 5);
    for (const line of requests) {
      assert.match(line, /^127\.0\.0\.1 - - \[\d\d\/\w{3}\/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] "(GET \/\S* HTTP\/1\.1|-)" \d{3} (\d+|-)$/);
      assert.ok(!line.includes('secret'));
    }
  });
});

describe('bounds', () => {
  let slow;
  before(() => {
    // One header byte every half second: dropped once the head's time is up.
    slow = raw(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${server.port}\r\nX-Slow: `, 20000, { every: 500 });
  });

  test('an oversized header is refused and its connection closed', async () => {
    const answer = await raw(request('/', `X-Big: ${'a'.repeat(20000)}\r\n`));
    assert.ok(answer.closed);
    assert.match(answer.data, /^HTTP\/1\.1 (400|431)/);
  });

  test('path tricks and odd bytes are 404 or 400 and never reach a file', async () => {
    for (const target of ['/../../../etc/passwd', '/%2e%2e/%2e%2e/etc/passwd', '/style.css/..%2f..%2fetc%2fpasswd',
      '/articles/..%2F..%2F..%2Fetc%2Fpasswd', '//etc/passwd', '/export.csv/../../etc/passwd', '/articles/%00',
      '/\xff\xfe', '/%ff%fe', '/articles/AA0042ZZ/../../../../etc/passwd', '/style.css%00.html', '/./style.css',
      '/export.xlsx', '/STYLE.CSS', '/articles/ABCDEFGHIJ']) {
      const answer = await raw(request(target));
      assert.match(answer.data, /^HTTP\/1\.1 (404|400)/, target);
      assert.ok(!answer.data.includes('root:'), target);
    }
  });

  test('a body, another method or another host name is refused', async () => {
    for (const [bytes, status] of [
      [request('/', 'Content-Length: 5\r\n').replace('\r\n\r\n', '\r\n\r\nhello'), 413],
      [request('/').replace('GET', 'POST'), 411],
      [request('/').replace('GET', 'DELETE'), 405],
      [request('/').replace(`Host: 127.0.0.1:${server.port}`, `Host: attaquant.example:${server.port}`), 400],
    ]) {
      assert.match((await raw(bytes)).data, new RegExp(`^HTTP/1\\.1 ${status}`));
    }
  });

  test('connections beyond those that may wait are answered 503 at once', async () => {
    // 32 served and 64 waiting at most: of 150, some 50 are refused.
    const sockets = await Promise.all(Array.from({ length: 150 }, () => new Promise((resolve) => {
      const socket = net.connect(server.port, '127.0.0.1', () => resolve(socket));
      socket.data = '';
      socket.on('data', (d) => { socket.data += d; });
      socket.on('error', () => {});
    })));
    const refused = () => sockets.filter((s) => s.data.startsWith('HTTP/1.1 503')).length;
    for (let waited = 0; refused() < 30 && waited < 5000; waited += 100) {
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
    const count = refused();
    sockets.forEach((s) => s.destroy());
    assert.ok(count >= 30, `${count} refused`);
  });

  test('a client that sends its headers slowly is dropped within the time of a head', async () => {
    const answer = await slow;
    assert.ok(answer.closed, 'still open after 20 s');
    assert.ok(answer.ms < 14000, `${answer.ms} ms`);
    assert.doesNotMatch(answer.data, /^HTTP\/1\.1 200/);
  });
});

describe('pages', () => {
  let context;
  let page;
  const dialogs = [];
  before(async () => {
    ({ context, page } = await signedIn());
    page.on('dialog', (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
  });
  after(() => context.close());

  test('the dashboard shows the figures of fleet stats', async () => {
    assert.equal(new URL(page.url()).search, '');
    const stats = Object.fromEntries(fleet(['stats']).toString().split('\n').filter((l) => l.includes(' : '))
      .map((l) => l.split(/ +: /)));
    const cell = (id) => page.locator(`#${id}`).textContent();
    assert.equal(await cell('articles'), stats['Articles']);
    assert.equal(await cell('kilometres'), stats['Kilomètres']);
    assert.equal(await cell('frais'), stats['Frais']);
    assert.equal(await cell('prix-de-revient'), stats['Prix de revient'].replace(' par kilomètre', ''));
    assert.equal(await cell('semaine'), stats['Semaine la plus roulée']);
    assert.equal(await page.locator('svg.chart').count(), 3);
  });

  test('paging through every article gives each once, in plate order', async () => {
    await page.click('nav >> text=Articles');
    const seen = [];
    for (;;) {
      seen.push(...await page.locator('td.plate a').allTextContents());
      const next = page.locator('a[rel=next]');
      if (await next.count() === 0) break;
      await Promise.all([page.waitForNavigation(), next.click()]);  // read the next page, not the one leaving
    }
    assert.deepEqual(seen, plates.map(shown));
    await page.click('a[rel=prev]');
    assert.match(await page.locator('#compte').textContent(), /^Articles 951 à 1000 sur 1004$/);
  });

  test('a search by plate prefix, in either case, pages through its matches', async () => {
    await page.goto(`${base()}/articles`);
    await page.fill('#q', 'aa01');
    await page.click('button[type=submit]');
    assert.equal(await page.locator('#compte').textContent(), 'Articles 1 à 50 sur 100');
    await page.click('a[rel=next]');
    const found = await page.locator('td.plate a').allTextContents();
    assert.deepEqual(found, plates.filter((p) => p.startsWith('AA01')).slice(50));
    await page.click('th >> text=Kilomètres');
    const mileage = (await page.locator('tbody tr td:nth-child(3)').allTextContents()).map(Number);
    assert.deepEqual(mileage, [...mileage].sort((a, b) => b - a));
  });

  test("a car's page has its days and totals, as the export has them", async () => {
    await page.goto(`${base()}/articles?q=AA0042`);
    await page.click('text=AA0042ZZ');
    assert.equal(await page.locator('h1').textContent(), 'Voiture « AA0042ZZ »');
    const km = (await page.locator('table.days tbody td:nth-child(2)').allTextContents()).map(Number);
    assert.deepEqual(km, days(42).map(([k]) => k));
    assert.equal(Number(await page.locator('.total-km').textContent()), km.reduce((a, b) => a + b));
    assert.equal(await page.locator('svg.chart').count(), 1);
  });

  test('the downloads are the bytes of fleet export', async () => {
    for (const [link, args] of [['Télécharger en CSV', ['export']], ['en JSON', ['export', '--format', 'json']]]) {
      await page.goto(base());
      const [download] = await Promise.all([page.waitForEvent('download'), page.click(`text=${link}`)]);
      assert.ok(fs.readFileSync(await download.path()).equals(fleet(args)), link);
    }
  });

  test('hostile plates are shown escaped, and no script runs', async () => {
    await page.goto(`${base()}/articles?q=%3C`);
    const links = await page.locator('td.plate a').allTextContents();
    assert.deepEqual(links, ['</td><i', '<script>']);
    await page.click('text=<script>');
    assert.equal(await page.locator('h1').textContent(), 'Voiture « <script> »');
    assert.ok((await page.content()).includes('&lt;script&gt;'));
    await page.goto(`${base()}/articles?q=%22`);
    assert.deepEqual(await page.locator('td.plate a').allTextContents(), ['"\'&<b>']);
    await page.goto(`${base()}/articles?q=%1B`);
    assert.deepEqual(await page.locator('td.plate a').allTextContents(), ['^[[2J^G']);
    assert.equal(await page.evaluate(() => document.scripts.length), 0);
    assert.deepEqual(dialogs, []);
  });

  test('an article autolog writes appears at the next load', async () => {
    const answers = 'o\n2\n7\nNEW0001A\n' + '100\n10\n'.repeat(7) + 'n\n';
    execFileSync(path.join(bin, 'autolog'), [], { env: { ...env, fichier: file }, input: answers });
    await page.goto(`${base()}/articles?q=NEW`);
    assert.deepEqual(await page.locator('td.plate a').allTextContents(), ['NEW0001A']);
    await page.goto(base());
    assert.equal(await page.locator('#articles').textContent(), '1005');
  });

  test('the dashboard is computed again only when a file changed', async () => {
    // An article whose week is not digits: each computation of the figures says so
    // once on standard error.
    const record = Buffer.concat([Buffer.from('AA0999ZZxx'), Buffer.alloc(8), Buffer.from('0'.repeat(70))]);
    execFileSync('sqlite3', [file, `UPDATE records SET record = X'${record.toString('hex')}' ` +
      `WHERE substr(record, 1, 8) = X'${Buffer.from('AA0999ZZ').toString('hex')}'`]);
    const said = () => server.log().split('\n').filter((line) => line.includes('AA0999ZZ » illisible')).length;
    for (const [loads, times] of [[3, 1], [2, 1]]) {
      for (let i = 0; i < loads; ++i) await page.goto(base());
      assert.equal(said(), times);
    }
    assert.equal(await page.locator('#articles').textContent(), '1004');
    assert.equal(await page.locator('.warning').count(), 1);
    fleet(['import'], csv.split('\r\n')[0] + '\r\nNEW0002A,8' + ',1,1.00'.repeat(7) + '\r\n');
    await page.goto(base());
    assert.equal(said(), 2);
  });
});

describe('accessibility and layout', () => {
  const pages = ['/', '/articles', '/articles?q=AA01&tri=cout', '/articles/AA0042ZZ', '/articles/%3Cscript%3E', '/nulle-part'];

  test('axe-core finds no serious or critical violation on any page', async () => {
    // axe is a script of the test's: this context lets it in, the others keep the policy.
    const { context, page } = await signedIn({ bypassCSP: true });
    for (const target of pages) {
      await page.goto(base() + target);
      await page.addScriptTag({ path: axePath });
      const { violations } = await page.evaluate(() => window.axe.run());
      const grave = violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
      assert.deepEqual(grave.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`), [], target);
    }
    await context.close();
  });

  test('at 1280 and 390 pixels wide the pages are not blank, and at 390 nothing scrolls sideways', async () => {
    for (const width of [1280, 390]) {
      const { context, page } = await signedIn({ viewport: { width, height: 800 } });
      await page.goto('about:blank');
      const blank = await page.screenshot();
      for (const target of pages.slice(0, 4)) {
        await page.goto(base() + target);
        const shot = await page.screenshot({ fullPage: true });
        if (process.env.SCREENSHOTS) fs.writeFileSync(path.join(process.env.SCREENSHOTS, `${width}-${pages.indexOf(target)}.png`), shot);
        assert.ok(shot.length > 3 * blank.length, `${target} at ${width}: ${shot.length} bytes`);
        const wide = await page.evaluate(() => [...document.querySelectorAll('*')]
          .filter((e) => e.scrollWidth > e.clientWidth + 1 && getComputedStyle(e).overflowX !== 'visible')
          .map((e) => e.tagName).concat(document.documentElement.scrollWidth > window.innerWidth ? ['page'] : []));
        if (width === 390) assert.deepEqual(wide, [], target);
      }
      await context.close();
    }
  });
});
