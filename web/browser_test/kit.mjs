// What the browser tests of fleet serve share: fleet and its server started on a
// file of their own, Debian's chromium, and a browser context holding a session.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';

const require = createRequire(path.join(process.env.BROWSER_TEST_MODULES, 'package.json'));
export const { chromium } = require('playwright-core');
export const axePath = require.resolve('axe-core/axe.min.js');

export const bin = process.env.FLEET_BIN_DIR;
export const env = { ...process.env, LC_ALL: 'C.UTF-8' };
delete env.fichier;
delete env.FLEET_CHARSET;

// A folder of the test's own, removed by its after().
export const tempFolder = (name) => fs.mkdtempSync(path.join(os.tmpdir(), `${name}-`));

// fleet (or another program of the build) on file, its standard output as a string.
export const run = (program, args, input, more = {}) =>
  execFileSync(path.join(bin, program), args, { env: { ...env, ...more }, input }).toString('latin1');

// The CSV heading of fleet export, and a row of it.
const dayNames = ['lundi', 'mardi', 'mercredi', 'jeudi', 'vendredi', 'samedi', 'dimanche'];
export const heading = 'immatriculation,semaine' + dayNames.map((d) => `,${d}_km,${d}_frais`).join('') + '\r\n';
export const fieldNames = ['immatriculation', 'semaine', ...dayNames.flatMap((d) => [`${d}_km`, `${d}_frais`])];

// fleet serve with args, once it said where it listens: { child, url, port, token, log() }.
// The address it prints is matched loosely (http or https, token or not).
export function startServer(args, more = {}) {
  const child = spawn(path.join(bin, 'fleet'), ['serve', ...args], { env: { ...env, ...more }, stdio: ['ignore', 'ignore', 'pipe'] });
  let err = '';
  return new Promise((resolve, reject) => {
    child.stderr.on('data', (data) => {
      err += data;
      const m = /ouvrez (https?:\/\/[^\s/]+:(\d+)\/\S*)\n/.exec(err);
      if (m) {
        const token = /token=([0-9a-f]{32})/.exec(m[1]);
        resolve({ child, url: m[1], port: Number(m[2]), token: token ? token[1] : '', log: () => err });
      }
    });
    child.on('exit', (code) => reject(new Error(`fleet serve ended (${code}): ${err}`)));
  });
}

export const launch = (options = {}) => chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
  ...options,
});

// A form sent without a browser: fields (an object, or FormData for an upload) POSTed
// to url with a session cookie ("fleet_session=..."); redirects are not followed.
export const postForm = (url, cookie, fields) => fetch(url, {
  method: 'POST', redirect: 'manual', headers: { Cookie: cookie },
  body: fields instanceof FormData ? fields : new URLSearchParams(fields),
});

// The csrf field of a page's form.
export const csrfIn = (html) => /name="csrf" value="([0-9a-f]+)"/.exec(html)[1];

// A browser context that opened the server's printed address, and so holds its session.
export async function signedIn(browser, server, options = {}) {
  const context = await browser.newContext(options);
  const page = await context.newPage();
  await page.goto(server.url);
  return { context, page };
}

// axe-core's serious and critical violations on the page, as "id: targets" lines. The
// page's context must have been made with bypassCSP: axe is a script of the test's.
export async function axeViolations(page) {
  await page.addScriptTag({ path: axePath });
  const { violations } = await page.evaluate(() => window.axe.run());
  return violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`);
}
