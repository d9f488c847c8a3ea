// fleet serve for an office network, in chromium: users who log in, the brake on
// guessed passwords, a logout after which a form sent with the old cookie stores
// nothing, a reader whose every form changes nothing, TLS, the refusal to listen
// beyond the loopback without users and TLS, and two servers on one PostgreSQL table
// sharing one secret, so one session and one set of articles.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { axeViolations, bin, csrfIn, env, heading, launch, postForm, run, startServer, tempFolder } from './kit.mjs';

const folder = tempFolder('access-test');
const file = path.join(folder, 'articles');
const archives = path.join(folder, 'archives');
const users = path.join(folder, 'utilisateurs');
const secretFile = path.join(folder, 'secret');
const secret = crypto.randomBytes(32);
const passwords = { anne: 'anne-saisit-tout', louis: 'louis-lit-seulement' };
const rowOf = (plate, week) => `${plate},${week}` + ',10,1.00'.repeat(7) + '\r\n';
const exported = (articles = file) => run('fleet', ['-f', articles, 'export']);

const servers = [];
let browser;
const origin = (server) => new URL(server.url).origin;
const serve = async (args) => {
  const server = await startServer(args);
  servers.push(server);
  return server;
};

// A form's csrf is the HMAC of its session cookie under the servers' secret: the test,
// which holds the secret, can make the one a reader's pages never show.
const csrfOf = (cookie) =>
  crypto.createHmac('sha256', secret).update('csrf\n').update(cookie.replace(/^fleet_session=/, '')).digest('hex');

// A login without a browser; the session cookie as "fleet_session=...".
async function sessionOf(server, name) {
  const form = await fetch(server.url);
  const loginCookie = form.headers.getSetCookie()[0].split(';')[0];
  const jeton = /name="jeton" value="([0-9a-f]{32})"/.exec(await form.text())[1];
  const res = await postForm(server.url, loginCookie, { jeton, suite: '/', nom: name, mot_de_passe: passwords[name] });
  assert.equal(res.status, 303, `login of ${name}`);
  return res.headers.getSetCookie().find((c) => c.startsWith('fleet_session=')).split(';')[0];
}

// The login form sent from page; the answer the page ends on.
async function logIn(page, name, password = passwords[name]) {
  await page.fill('#nom', name);
  await page.fill('#mot_de_passe', password);
  const [answer] = await Promise.all([page.waitForNavigation(), page.click('button[type=submit]')]);
  return answer;
}

before(async () => {
  for (const [name, role] of [['anne', 'saisie'], ['louis', 'lecture']]) {
    run('fleet', ['users', 'add', '--users', users, name, '--role', role], passwords[name] + '\n');
  }
  fs.writeFileSync(secretFile, secret.toString('hex') + '\n', { mode: 0o600 });
  fs.mkdirSync(archives);
  run('fleet', ['-f', file, 'import'], heading + rowOf('AC-1', 3) + rowOf('AC-2', 3));
  browser = await launch();
});

after(async () => {
  await browser?.close();
  for (const server of servers) server.child.kill('SIGTERM');
  fs.rmSync(folder, { recursive: true, force: true });
});

describe('users', () => {
  let server;
  before(async () => {
    server = await serve(['-f', file, '--users', users, '--secret', secretFile, '--archives', archives,
      '--listen', '127.0.0.1:0']);
  });

  test('axe-core finds no serious or critical violation on the login page, with or without its message', async () => {
    const context = await browser.newContext({ bypassCSP: true });
    const page = await context.newPage();
    await page.goto(server.url);
    assert.deepEqual(await axeViolations(page), []);
    // A form whose token is gone is sent back with its message, and counts as no failed login.
    await context.clearCookies();
    assert.equal((await logIn(page, 'anne')).status(), 403);
    assert.match(await page.textContent('#probleme'), /expiré/);
    assert.deepEqual(await axeViolations(page), [], 'with its message');
    await context.close();
  });

  test('a reader\'s every form is 403 and changes nothing, even with his session\'s own csrf', async () => {
    const writer = await sessionOf(server, 'anne');
    const form = await (await fetch(origin(server) + '/saisie', { headers: { Cookie: writer } })).text();
    assert.equal(csrfIn(form), csrfOf(writer), 'the csrf as the server makes it');
    // A change of the writer's, that the reader then tries to undo.
    const entered = await postForm(origin(server) + '/saisie', writer,
      { csrf: csrfOf(writer), immatriculation: 'AN-1', semaine: '4' });
    assert.equal(entered.status, 303);

    const reader = await sessionOf(server, 'louis');
    const home = await (await fetch(origin(server) + '/', { headers: { Cookie: reader } })).text();
    assert.doesNotMatch(home, /href="\/(saisie|import|modifications)"/);
    const before = exported();
    const upload = new FormData();
    upload.set('csrf', csrfOf(reader));
    upload.set('fichier', '0');
    upload.set('articles', new Blob([heading + rowOf('LU-1', 5)], { type: 'text/csv' }), 'lot.csv');
    for (const [method, target, fields] of [
      ['POST', '/saisie', { immatriculation: 'LU-2', semaine: '5' }],
      ['POST', '/articles/AC-1/corriger', { fichier: '0', semaine: '9' }],
      ['POST', '/articles/AC-1/supprimer', { fichier: '0' }],
      ['POST', '/modifications/1/annuler', {}],
      ['POST', '/import', upload],
      ['POST', '/archive', { fichier: '0', nom: 'vieux' }],
      ['GET', '/saisie'], ['GET', '/import'], ['GET', '/modifications'], ['GET', '/archive'],
      ['GET', '/articles/AC-1/corriger?fichier=0'], ['GET', '/articles/AC-1/supprimer?fichier=0'],
    ]) {
      const url = origin(server) + target;
      const res = method === 'GET' ? await fetch(url, { redirect: 'manual', headers: { Cookie: reader } })
        : await postForm(url, reader, fields instanceof FormData ? fields : { csrf: csrfOf(reader), ...fields });
      assert.equal(res.status, 403, `${method} ${target}`);
      assert.match(await res.text(), /Modification refusée/, `${method} ${target}`);
    }
    assert.equal(exported(), before);
    assert.match(before, /AN-1,4,/);
    assert.deepEqual(fs.readdirSync(archives), []);
  });

  test('a login in chromium: refused, braked, let in, and ended', async () => {
    const context = await browser.newContext();
    const page = await context.newPage();
    assert.equal(new URL(server.url).pathname, '/connexion');
    // A page asked for without a session leads to the login, and back to it after.
    await page.goto(origin(server) + '/articles?q=AC');
    assert.equal(new URL(page.url()).pathname, '/connexion');
    assert.equal(new URL(page.url()).searchParams.get('suite'), '/articles?q=AC');
    assert.equal(await page.textContent('h1'), 'Connexion');

    // Five failures within the window start the brake, which grows with each further one.
    const statuses = [];
    let answer;
    while (statuses.at(-1) !== 429 && statuses.length < 12) {
      answer = await logIn(page, 'anne', 'pas-le-bon-mot');
      statuses.push(answer.status());
      if (answer.status() === 403) assert.equal(await page.textContent('#probleme'), 'Nom ou mot de passe incorrect.');
    }
    assert.deepEqual(statuses.slice(0, 5), [403, 403, 403, 403, 403]);
    assert.equal(statuses.at(-1), 429, statuses.join(' '));
    const wait = Number(answer.headers()['retry-after']);
    assert.ok(wait >= 1, `Retry-After: ${wait}`);
    assert.match(await page.textContent('main'), new RegExp(`Trop de connexions manquées : réessayez dans ${wait} s`));

    // Once the time said is over, the right password gets in.
    await new Promise((resolve) => setTimeout(resolve, wait * 1000));
    await page.goto(origin(server) + '/connexion?suite=' + encodeURIComponent('/articles?q=AC'));
    assert.equal((await logIn(page, 'anne')).status(), 200);
    assert.equal(new URL(page.url()).pathname + new URL(page.url()).search, '/articles?q=AC');
    assert.deepEqual(await page.locator('td.plate a').allTextContents(), ['AC-1', 'AC-2']);

    // A form opened in another tab, the session ended, then its old cookie put back.
    const tab = await context.newPage();
    await tab.goto(origin(server) + '/saisie');
    const session = (await context.cookies()).find((c) => c.name === 'fleet_session');
    // The logout: the navigation's link, then its button.
    await page.click('nav a[href="/deconnexion"]');
    await Promise.all([page.waitForNavigation(), page.click('main button[type=submit]')]);
    assert.equal(new URL(page.url()).pathname, '/connexion');
    assert.equal((await context.cookies()).find((c) => c.name === 'fleet_session'), undefined);
    await page.goto(origin(server) + '/articles');
    assert.equal(new URL(page.url()).pathname, '/connexion');

    await context.addCookies([session]);
    const before = exported();
    await tab.fill('#immatriculation', 'APRES-1');
    await tab.fill('#semaine', '6');
    const [refused] = await Promise.all([tab.waitForNavigation(), tab.click('button[type=submit]')]);
    assert.equal(refused.status(), 401);
    assert.match(await tab.textContent('main'), /rien n'a été enregistré/);
    assert.equal(exported(), before);
    await page.goto(origin(server) + '/articles');
    assert.equal(new URL(page.url()).pathname, '/connexion', 'the old cookie opens nothing');
    await context.close();
  });
});

describe('TLS', () => {
  const cert = path.join(folder, 'cert.pem');
  const key = path.join(folder, 'key.pem');
  const tls = ['--tls-cert', cert, '--tls-key', key];
  before(() => {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=localhost', '-days', '1',
      '-keyout', key, '-out', cert], { stdio: 'ignore' });
  });

  test('over https the browser logs in, and plain http on that port gets no page', async () => {
    const server = await serve(['-f', file, '--users', users, ...tls, '--listen', '127.0.0.1:0']);
    assert.match(server.url, /^https:\/\/127\.0\.0\.1:\d+\/connexion$/);
    const context = await browser.newContext({ ignoreHTTPSErrors: true });
    const page = await context.newPage();
    await page.goto(server.url);
    const answer = await logIn(page, 'anne');
    assert.equal(answer.status(), 200);
    assert.match(answer.headers()['strict-transport-security'], /max-age=\d+/);
    await page.goto(origin(server) + '/articles?q=AC');
    assert.deepEqual(await page.locator('td.plate a').allTextContents(), ['AC-1', 'AC-2']);
    assert.equal((await context.cookies()).find((c) => c.name === 'fleet_session').secure, true);
    await context.close();
    await assert.rejects(fetch(`http://127.0.0.1:${server.port}/connexion`));
  });

  test('beyond the loopback, fleet serve starts only with users and TLS both', async () => {
    for (const [more, missing] of [[[], 'ni utilisateurs'], [['--users', users], 'pas de TLS'],
      [tls, "pas d'utilisateurs"]]) {
      const refused = spawnSync(path.join(bin, 'fleet'), ['serve', '-f', file, '--listen', '0.0.0.0:0', ...more],
        { env, timeout: 10000 });
      assert.equal(refused.status, 2, missing);
      const said = refused.stderr.toString();
      assert.match(said, /^fleet : --listen 0\.0\.0\.0:0 refusé : hors de la boucle locale, fleet serve demande/);
      assert.ok(said.includes(missing), said);
      assert.equal(said.split('\n').length, 2, said);
    }
    const server = await serve(['-f', file, '--users', users, ...tls, '--listen', '0.0.0.0:0']);
    assert.match(server.url, /^https:\/\/0\.0\.0\.0:\d+\/connexion$/);
    const context = await browser.newContext({ ignoreHTTPSErrors: true });
    const page = await context.newPage();
    const answer = await page.goto(`https://localhost:${server.port}/connexion`);
    assert.equal(answer.status(), 200);
    assert.equal(await page.textContent('h1'), 'Connexion');
    await context.close();
  });
});

describe('two servers on one PostgreSQL table', () => {
  const uriFile = process.env.POSTGRES_URI_FILE;
  const schema = `access_test_${process.pid}`;
  let uri;
  const psql = (statement) =>
    execFileSync('psql', [uri, '-qc', statement], { env: { ...env, PGOPTIONS: '-c client_min_messages=warning' } });
  let table;  // the article file both serve: the table articles of the test's schema
  let one;
  let other;
  before(async () => {
    uri = uriFile && fs.existsSync(uriFile) ? fs.readFileSync(uriFile, 'utf8').trim() : '';
    assert.ok(uri, `no PostgreSQL test server: ${uriFile} is missing (did the test postgres_start run?)`);
    psql(`CREATE SCHEMA ${schema}`);
    table = `${uri}${uri.includes('?') ? '&' : '?'}options=-csearch_path%3D${schema}`;
    run('fleet', ['-f', table, 'import'], heading + rowOf('PG-1', 2));
    const args = ['-f', table, '--users', users, '--secret', secretFile, '--listen', '127.0.0.1:0'];
    [one, other] = [await serve(args), await serve(args)];
  });
  after(() => {
    if (uri) psql(`DROP SCHEMA IF EXISTS ${schema} CASCADE`);
  });

  test('a session opened on one is valid on the other, and an article entered on one is seen on the other', async () => {
    const cookie = await sessionOf(one, 'anne');
    const page = await fetch(origin(other) + '/articles', { headers: { Cookie: cookie }, redirect: 'manual' });
    assert.equal(page.status, 200);
    assert.match(await page.text(), />PG-1</);
    assert.equal((await fetch(origin(other) + '/articles', { redirect: 'manual' })).status, 303, 'without it');

    // In the browser the cookie goes to both, as it would behind one name.
    const context = await browser.newContext();
    const tab = await context.newPage();
    await tab.goto(one.url);
    await logIn(tab, 'anne');
    await tab.goto(origin(one) + '/saisie');
    await tab.fill('#immatriculation', 'PG-2');
    await tab.fill('#semaine', '7');
    await tab.fill('#lundi_km', '42');
    const [entered] = await Promise.all([tab.waitForNavigation(), tab.click('button[type=submit]')]);
    assert.equal(entered.status(), 200, await tab.textContent('main'));
    assert.match(tab.url(), /\/articles\/PG-2\?fait=saisie$/);
    await tab.goto(origin(other) + '/articles?q=PG');
    assert.deepEqual(await tab.locator('td.plate a').allTextContents(), ['PG-1', 'PG-2']);
    assert.match(exported(table), /PG-2,7,42,/);
    await context.close();
  });

  test('a form opened on a server that then stops is stored once by the other, sent once or twice', async () => {
    const cookie = await sessionOf(one, 'anne');
    const form = await (await fetch(origin(one) + '/saisie', { headers: { Cookie: cookie } })).text();
    const csrf = csrfIn(form);
    one.child.kill('SIGTERM');
    for (let i = 0; i < 2; ++i) {
      const sent = await postForm(origin(other) + '/saisie', cookie, { csrf, immatriculation: 'PG-3', semaine: '8' });
      assert.equal(sent.status, 303, `sent ${i + 1} time(s)`);
    }
    assert.equal(exported(table).split('PG-3,8,').length, 2);

    // A new password ends the sessions opened with the old one, on every server.
    run('fleet', ['users', 'add', '--users', users, 'anne'], 'un-nouveau-mot-de-passe\n');
    const after = await fetch(origin(other) + '/articles', { headers: { Cookie: cookie }, redirect: 'manual' });
    assert.equal(after.status, 303);
  });
});
