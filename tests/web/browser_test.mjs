// The page in Debian's Chromium, driven over the DevTools protocol as a
// person uses it, against the switch's servers on the simulated port, with a
// SCPI client beside it: the path shown, a click that reaches the port, a
// script's switching followed, buttons that cannot switch while another client
// holds the lock (and say why), the title naming the machine, no contact drawn where nothing is known. Leaves screenshots at a desktop and a phone width in OUT_DIR.
// Usage: browser_test.mjs NODE_DIR OUT_DIR PROGRAM [ARGS...]: the program, headless, on loopback.
import assert from 'node:assert/strict';
import { hostname } from 'node:os';
import { launch, scpi, start } from './harness.mjs';

const [nodeDir, outDir, ...command] = process.argv.slice(2);
const browser = await launch(nodeDir);
const program = await start(command);
const client = await scpi(program.scpiPort);
try {
  const page = await browser.newPage();
  const text = (selector) => page.$eval(selector, (element) => element.textContent);
  const shows = (path, timeout) => page.waitForFunction((p) => document.getElementById('path').dataset.path === p, { timeout }, path);
  const answered = () => page.waitForFunction(() => !document.getElementById('answer').textContent.endsWith('…'));
  await page.goto(program.url);
  await shows('off');
  assert.equal(await text('#path'), 'All ports terminated');
  assert.equal(await page.title(), `RF switch on ${hostname()}`);

  await page.click('button[data-path="rf2"]');
  await answered();
  assert.equal(await text('#answer'), 'Switched and read back.');
  assert.equal(await text('#path'), 'RF COMMON connected to RF2');
  assert.equal(await client.query('ROUT:CLOS:STAT?'), '(@2)');

  // A script switches; the page follows unasked.
  assert.equal(await client.query('ROUT:CLOS (@1);*OPC?'), '1');
  await shows('rf1', 1000);

  // Another script takes the lock.
  const other = await scpi(program.scpiPort);
  const [granted, owner] = (await other.query('SYST:LOCK:REQ?;SYST:LOCK:OWN?')).split(';');
  assert.equal(granted, '1');
  const holder = owner.slice(1, -1);
  await page.waitForFunction((h) => document.getElementById('lock').textContent.startsWith(`Locked by ${h}:`), { timeout: 1000 }, holder);
  // Its buttons cannot switch then: they look it and say why, and a click does nothing.
  const why = `Locked by ${holder}: switching from here is refused until it lets go.`;
  await page.waitForFunction(() => [...document.querySelectorAll('#buttons button')].every((button) => button.disabled), { timeout: 1000 });
  assert.deepEqual(await page.$$eval('#buttons button', (buttons) => buttons.map((button) => button.title)), [why, why, why]);
  const before = await text('#answer');
  await page.click('button[data-path="rf2"]');
  assert.equal(await text('#answer'), before);
  assert.equal(await client.query('ROUT:CLOS:STAT?'), '(@1)');
  await shows('rf1');

  for (const [name, viewport] of Object.entries({
    desktop: { width: 1024, height: 900 },
    phone: { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true },
  })) {
    await page.setViewport(viewport);
    await page.screenshot({ path: `${outDir}/page-${name}.png`, fullPage: true });
  }
  // A port nobody can read: nothing known, no contact drawn, as in the panel.
  await other.query('SYST:PORT "/dev/parport9";*OPC?');
  await shows('unknown', 1000);
  assert.equal(await text('#bits'), 'C1=?  C2=?');
  assert.equal(await page.$eval('#contacts', (contacts) => getComputedStyle(contacts).visibility), 'hidden');
  await page.setViewport({ width: 1024, height: 900 });
  await page.screenshot({ path: `${outDir}/page-unknown.png`, fullPage: true });

  console.log(`the page switched, followed a script, named the lock's holder and drew no contact where nothing is known; screenshots in ${outDir}`);
  other.close();
} finally {
  client.close();
  program.child.kill();
  await browser.close();
}
