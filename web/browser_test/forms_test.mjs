// The forms of fleet serve in chromium: an article entered, seen in the list, by
// autolog2 and by fleet export, corrected, deleted after its confirmation, and put back
// from the list of changes; an article typed with the keyboard alone; the messages
// beside their fields; POSTs without their session's csrf refused; an import's refused
// line; the same form sent twice; and writers at once on one file (the browser's, a
// fleet import, an autolog), every article each was told stored there once.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { promisify } from 'node:util';

import {
  axeViolations, bin, csrfIn, env, heading, launch, postForm, run, signedIn, startServer, tempFolder,
} from './kit.mjs';

const folder = tempFolder('forms-test');
const file = path.join(folder, 'articles');
const fleet = (args, input) => run('fleet', ['-f', file, ...args], input);
const exported = () => fleet(['export']);
const rowOf = (plate, week, days) => `${plate},${week}` + days.map(([km, cost]) => `,${km},${cost}`).join('') + '\r\n';
const zeroDays = Array(7).fill([0, '0.00']);

let server;
let browser;
const base = () => `http://127.0.0.1:${server.port}`;

// A session of its own, for fetch: its cookie and its csrf.
async function session() {
  const res = await fetch(server.url, { redirect: 'manual' });
  const cookie = res.headers.getSetCookie()[0].split(';')[0];
  const form = await (await fetch(base() + '/saisie', { headers: { Cookie: cookie } })).text();
  return { cookie, csrf: csrfIn(form) };
}
const post = (who, target, fields) => postForm(base() + target, who.cookie, fields);

before(async () => {
  fleet(['import'], heading + rowOf('MM0001', 3, zeroDays) + rowOf('MM0002', 3, zeroDays));
  server = await startServer(['-f', file, '--listen', '127.0.0.1:0']);
  browser = await launch();
});

after(async () => {
  await browser?.close();
  server?.child.kill('SIGTERM');
  fs.rmSync(folder, { recursive: true, force: true });
});

describe('forms', () => {
  test('an article entered, corrected, deleted after its confirmation, and put back', async () => {
    const { context, page } = await signedIn(browser, server);
    await page.click('text=Saisie');
    await page.fill('#immatriculation', 'AA-100');
    await page.fill('#semaine', '12');
    await page.fill('#lundi_km', '120');
    await page.fill('#lundi_frais', '35,40');
    await page.fill('#mardi_frais', '2.5');
    await page.click('button[type=submit]');
    assert.match(page.url(), /\/articles\/AA-100\?fait=saisie$/);
    assert.match(await page.textContent('.notice'), /Article « AA-100 » enregistré/);
    const entered = rowOf('AA-100', 12, [[120, '35.40'], [0, '2.50'], ...zeroDays.slice(2)]);
    assert.ok(exported().includes(entered));
    await page.goto(base() + '/articles');
    assert.match(await page.textContent('tbody tr:first-child'), /AA-100/);
    // autolog2 shows the first plate in plate order: this one.
    assert.match(run('autolog2', [], '', { fichier: file }), /^00\nAA-100  \nfin de traitement/);

    await page.goto(base() + '/articles/AA-100');
    await page.click('text=Corriger');
    assert.equal(await page.inputValue('#lundi_frais'), '35,40');
    await page.fill('#semaine', '13');
    await page.click('button[type=submit]');
    assert.match(await page.textContent('.notice'), /Correction/);
    const corrected = entered.replace('AA-100,12,', 'AA-100,13,');
    assert.ok(exported().includes(corrected));

    await page.click('text=Supprimer');
    assert.match(await page.textContent('h1'), /Supprimer l'article « AA-100 » \?/);
    assert.ok(exported().includes(corrected), 'the question changes nothing');
    await page.click('button.danger');
    assert.match(await page.textContent('.notice'), /supprimé/);
    assert.ok(!exported().includes('AA-100'));

    await page.goto(base() + '/modifications');
    const rows = await page.locator('tbody tr').allTextContents();
    assert.match(rows[0], /AA-100 » supprimé/);
    assert.match(rows[1], /AA-100 » corrigé/);
    assert.match(rows[2], /AA-100 » enregistré/);
    await page.click('tbody tr:first-child button');
    assert.match(await page.textContent('main'), /1 article enregistré, 0 ligne refusée/);
    assert.ok(exported().includes(corrected));
    // The undo is a change too, which undoes in its turn.
    await page.goto(base() + '/modifications');
    assert.match(await page.textContent('tbody tr:first-child'), /annulation de la modification n° 3/);
    assert.match(server.log(), /modification 3, ligne qui l'annule : AA-100,13,120,35.40,0,2.50/);
    await context.close();
  });

  test('an article typed with the keyboard alone', async () => {
    const { context, page } = await signedIn(browser, server);
    await page.goto(base() + '/saisie');
    // The plate has the focus (once the browser gave it: under load, after the load
    // event); Tab goes through the week, then each day's kilometres and costs.
    await page.waitForFunction(() => document.activeElement?.id === 'immatriculation');
    await page.keyboard.type('KB-1');
    for (const value of ['7', '10', '1,10', '20', '2,20', '30', '3,30', '40', '4,40', '50', '5,50', '60', '6,60',
      '70', '7,70']) {
      await page.keyboard.press('Tab');
      await page.keyboard.type(value);
    }
    await Promise.all([page.waitForURL(/fait=saisie/), page.keyboard.press('Enter')]);
    const row = rowOf('KB-1', 7, [1, 2, 3, 4, 5, 6, 7].map((d) => [d * 10, `${d}.${d}0`]));
    assert.ok(exported().includes(row), exported());
    await context.close();
  });

  test('each message beside its field, the values typed kept, nothing stored', async () => {
    const { context, page } = await signedIn(browser, server);
    await page.goto(base() + '/saisie');
    await page.fill('#immatriculation', 'TROP-LONGUE');
    await page.fill('#semaine', '100');
    await page.fill('#lundi_km', '1,5');
    await page.fill('#jeudi_frais', '1,234');
    await page.fill('#samedi_km', 'dix');
    const [answer] = await Promise.all([page.waitForResponse((r) => r.request().method() === 'POST'),
      page.click('button[type=submit]')]);
    assert.equal(answer.status(), 422);
    for (const [name, message] of [['immatriculation', /8 caractères au plus/], ['semaine', /0 à 99/],
      ['lundi_km', /Pas de décimales/], ['jeudi_frais', /Deux décimales au plus/], ['samedi_km', /pas un nombre/]]) {
      const field = page.locator(`#${name}`);
      assert.equal(await field.getAttribute('aria-invalid'), 'true', name);
      assert.match(await page.textContent(`#${await field.getAttribute('aria-describedby')}`), message, name);
    }
    assert.equal(await page.inputValue('#immatriculation'), 'TROP-LONGUE');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'immatriculation');
    assert.equal(await page.locator('[aria-invalid]').count(), 5);
    assert.ok(!exported().includes('TROP'));
    await context.close();
  });

  test('a POST without its session\'s csrf, or with another\'s, is 403 and changes nothing', async () => {
    const [mine, other] = [await session(), await session()];
    const before = exported();
    const fields = { immatriculation: 'CSRF-1', semaine: '1' };
    for (const sent of [fields, { ...fields, csrf: other.csrf }, { ...fields, csrf: '' }]) {
      assert.equal((await post(mine, '/saisie', sent)).status, 403);
    }
    assert.equal((await post(mine, '/articles/MM0001/supprimer', { fichier: '0', csrf: other.csrf })).status, 403);
    assert.equal(exported(), before);
    assert.equal((await post(mine, '/saisie', { ...fields, csrf: mine.csrf })).status, 303);
  });

  test('the same form sent twice is stored once; another article under a plate taken is refused', async () => {
    const who = await session();
    const fields = { csrf: who.csrf, immatriculation: 'TWICE', semaine: '5', lundi_km: '9' };
    for (let i = 0; i < 2; ++i) {
      const res = await post(who, '/saisie', fields);
      assert.equal(res.status, 303);
      assert.equal(res.headers.get('location'), '/articles/TWICE?fait=saisie');
    }
    const refused = await post(who, '/saisie', { ...fields, lundi_km: '10' });
    assert.equal(refused.status, 409);
    assert.match(await refused.text(), /déjà enregistrée[\s\S]*href="\/articles\/TWICE"/);
    assert.equal(exported().split('TWICE,').length, 2);
    const changes = await (await fetch(base() + '/modifications', { headers: { Cookie: who.cookie } })).text();
    assert.equal(changes.split('« TWICE » enregistré').length, 2);
  });

  test('a form sent to a restarted server says nothing was stored, and stores nothing', async () => {
    const who = await session();
    const restarted = await startServer(['-f', file, '--listen', '127.0.0.1:0']);
    try {
      const res = await postForm(`http://127.0.0.1:${restarted.port}/saisie`, who.cookie,
        { csrf: who.csrf, immatriculation: 'LATE' });
      assert.equal(res.status, 401);
      assert.match(await res.text(), /Rien n&#39;a été enregistré/);
      assert.doesNotMatch(exported(), /LATE/);
    } finally {
      restarted.child.kill('SIGTERM');
    }
  });

  test('an import shows its refused line and its count', async () => {
    const { context, page } = await signedIn(browser, server);
    await page.goto(base() + '/import');
    await page.setInputFiles('#articles', { name: 'semaine.csv', mimeType: 'text/csv',
      buffer: Buffer.from(heading + rowOf('IMP-1', 4, zeroDays) + rowOf('<b>IMP', 400, zeroDays)) });
    const [answer] = await Promise.all([page.waitForResponse((r) => r.request().method() === 'POST'),
      page.click('button[type=submit]')]);
    assert.equal(answer.status(), 422);
    const said = await page.textContent('#compte-rendu');
    assert.match(said, /ligne 3 refusée : semaine « 400 »/);
    assert.match(said, /1 article enregistré, 1 ligne refusée/);
    assert.equal(await page.locator('#compte-rendu b').count(), 0);
    assert.ok(exported().includes('IMP-1,4,'));
    await context.close();
  });

  test('an archive from the navigation: a name refused, then every article moved, and the change listed', async () => {
    const week = path.join(folder, 'semaine-archivee');
    const archives = path.join(folder, 'archives');
    fs.mkdirSync(archives);
    run('fleet', ['-f', week, 'import'], heading + rowOf('AR-1', 6, zeroDays) + rowOf('AR-2', 6, zeroDays));
    const archiving = await startServer(['-f', week, '--archives', archives, '--listen', '127.0.0.1:0']);
    try {
      const { context, page } = await signedIn(browser, archiving, { bypassCSP: true });
      await page.click('nav a[href="/archive"]');
      assert.deepEqual(await axeViolations(page), []);
      for (const [name, status] of [['../dehors', 422], ['s06', 200]]) {
        await page.fill('#nom', name);
        const [answer] = await Promise.all([page.waitForResponse((r) => r.request().method() === 'POST'),
          page.click('button[type=submit]')]);
        assert.equal(answer.status(), status, `${name}: ${await page.textContent('main')}`);
      }
      assert.deepEqual(fs.readdirSync(archives).filter((f) => !f.includes('-')), ['s06']);
      assert.match(run('fleet', ['-f', path.join(archives, 's06'), 'export']), /AR-1,6,[\s\S]*AR-2,6,/);
      assert.doesNotMatch(run('fleet', ['-f', week, 'export']), /AR-/);
      await page.goto(new URL(archiving.url).origin + '/modifications');
      assert.match(await page.textContent('tbody'), /archive : /);
      await context.close();
    } finally {
      archiving.child.kill('SIGTERM');
    }
  });

  test('axe-core finds no serious or critical violation on the form pages', async () => {
    const { context, page } = await signedIn(browser, server, { bypassCSP: true });
    for (const target of ['/saisie', '/articles/MM0001/corriger?fichier=0', '/articles/MM0001/supprimer?fichier=0',
      '/import', '/modifications']) {
      await page.goto(base() + target);
      assert.deepEqual(await axeViolations(page), [], target);
    }
    // And the form with its messages.
    await page.goto(base() + '/saisie');
    await page.fill('#semaine', 'x');
    await page.click('button[type=submit]');
    assert.deepEqual(await axeViolations(page), [], 'messages');
    await context.close();
  });

  test('writers at once on one file: every article acknowledged is stored once', async () => {
    const who = await session();
    const n = 30;
    const browserPlates = Array.from({ length: n }, (_, i) => `WEB${String(i).padStart(3, '0')}`);
    const importPlates = Array.from({ length: 300 }, (_, i) => `IMQ${String(i).padStart(4, '0')}`);
    const autologPlates = Array.from({ length: 20 }, (_, i) => `LOG${String(i).padStart(3, '0')}`);
    const source = path.join(folder, 'lot.csv');
    fs.writeFileSync(source, heading + importPlates.map((p) => rowOf(p, 9, zeroDays)).join(''));
    const answers = autologPlates.map((p) => `o\n2\n9\n${p}\n` + '1\n0,50\n'.repeat(7)).join('') + 'n\n';
    const exec = promisify(execFile);
    const autolog = exec(path.join(bin, 'autolog'), [], { env: { ...env, fichier: file } });
    autolog.child.stdin.end(answers);
    const [posts, imported, logged] = await Promise.all([
      Promise.all(browserPlates.map((p) => post(who, '/saisie', { csrf: who.csrf, immatriculation: p, semaine: '9' }))),
      exec(path.join(bin, 'fleet'), ['-f', file, 'import', source], { env }),
      autolog,
    ]);
    assert.deepEqual(posts.map((r) => r.status), Array(n).fill(303));
    assert.match(imported.stderr, /300 articles enregistrés, 0 ligne refusée/);
    assert.doesNotMatch(logged.stdout + logged.stderr, /STATUT|statut|erreur/i);
    const rows = exported().split('\r\n');
    for (const plate of [...browserPlates, ...importPlates, ...autologPlates]) {
      assert.equal(rows.filter((row) => row.startsWith(plate + ',')).length, 1, plate);
    }
  });
});
