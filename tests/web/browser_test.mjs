// The page in Debian's Chromium, driven over the DevTools protocol as a
// person uses it, against the switch's servers on the simulated port, with a
// SCPI client beside it: the path shown, a click that reaches the port, a
// script's switching followed, the relay cycle counts and their warning,
// buttons that cannot switch while another client holds the lock (and say
// why), the title naming the machine, no contact drawn where nothing is
// known; the server stopped and started again (the page greys what it last
// knew and waits), and no sideways scrolling at a phone's width.
// Usage: browser_test.mjs NODE_DIR PROGRAM [ARGS...]: the program, headless, on loopback.
import assert from 'node:assert/strict';
import { hostname } from 'node:os';
import { launch, scpi, start } from './harness.mjs';

const [nodeDir, ...command] = process.argv.slice(2);
const browser = await launch(nodeDir);
let program = await start(command);
let client = await scpi(program.scpiPort);
let other;
try {
  const page = await browser.newPage();
  const text = (selector) => page.$eval(selector, (element) => element.textContent);
  const shows = (path, timeout) => page.waitForFunction((p) => document.querySelector('.path').dataset.path === p, { timeout }, path);
  const answered = () => page.waitForFunction(() => !document.querySelector('.answer').textContent.endsWith('…'));
  await page.goto(program.url);
  await shows('off');
  assert.deepEqual([await text('.path'), await page.title()], ['All ports terminated', `RF switch on ${hostname()}`]);

  await page.click('button[data-path="rf2"]');
  await answered();
  assert.deepEqual([await text('.answer'), await text('.path'), await client.query('ROUT:CLOS:STAT?')],
    ['Switched and read back.', 'RF COMMON connected to RF2', '(@2)']);

  // A script switches; the page follows unasked.
  assert.equal(await client.query('ROUT:CLOS (@1);*OPC?'), '1');
  await shows('rf1', 1000);

  // The relay cycle counts, and the warning once a path has reached the limit.
  const cycles = (wanted) => page.waitForFunction((w) => document.querySelector('.cycles').textContent === w, { timeout: 1000 }, wanted);
  assert.equal(await client.query('DIAG:REL:CYCL:CLE (@1,2);LIM 1;*OPC?'), '1');
  await cycles('Relay cycles: RF1 0, RF2 0, limit 1.');
  assert.equal(await client.query('ROUT:CLOS (@2);*OPC?'), '1');
  const warning = 'Relay cycles: RF2 has closed 1 time, the limit set is 1: replace the switch, then clear its counts.';
  await cycles(warning);
  assert.deepEqual([await page.$eval('.cycles', (element) => element.className), (await text('.status')).split('\n').pop()],
    ['cycles due', warning]);
  assert.equal(await client.query('DIAG:REL:CYCL:LIM 0;:ROUT:CLOS (@1);*OPC?'), '1');
  await cycles('Relay cycles: RF1 1, RF2 1, no limit set.');

  // At a phone's width, the certificate's fingerprint included, nothing scrolls sideways.
  const fits = async (where) => assert.ok(
    await page.evaluate(() => document.documentElement.scrollWidth <= document.documentElement.clientWidth), `sideways scrolling at 390 px ${where}`);
  await page.setViewport({ width: 390, height: 844 });
  assert.match(await text('#certificate'), /^Certificate SHA-256 fingerprint: [0-9A-F:]{95}$/);
  await fits('with the switch live');

  // The server stops: the page greys the path it last knew, and its buttons wait for the connection.
  client.close();
  program.child.kill();
  await new Promise((resolve) => program.child.once('exit', resolve));
  const looks = () => Promise.all([text('.path'), page.$eval('.schematic', (schematic) => getComputedStyle(schematic).filter),
    page.$$eval('.buttons button', (buttons) => buttons.map((button) => [button.disabled, button.title]))]);
  await page.waitForFunction(() => document.querySelector('.path').textContent.startsWith('Last known: '), { timeout: 5000 });
  const lost = 'Not connected to the switch: the buttons work again once the connection is back.';
  assert.deepEqual(await looks(), ['Last known: RF COMMON connected to RF1', 'grayscale(1)', Array(3).fill([true, lost])]);
  // A click already on its way when the connection went.
  await page.evaluate(() => select('rf2'));
  assert.equal(await text('.answer'), 'Not switched: the switch cannot be reached (the connection to it is lost)');
  await fits('cut off');
  // Started again on the same address: live, with the new server's state.
  program = await start(command.map((arg, i) => (command[i - 1] === '--http' ? new URL(program.url).host : arg)));
  client = await scpi(program.scpiPort);
  await page.waitForFunction(() => document.querySelector('.path').textContent === 'All ports terminated', { timeout: 10000 });
  assert.deepEqual(await looks(), ['All ports terminated', 'none', Array(3).fill([false, ''])]);
  await page.click('button[data-path="rf1"]');
  await answered();
  assert.deepEqual([await text('.answer'), await client.query('ROUT:CLOS:STAT?')], ['Switched and read back.', '(@1)']);

  // Another script takes the lock.
  other = await scpi(program.scpiPort);
  const [granted, owner] = (await other.query('SYST:LOCK:REQ?;SYST:LOCK:OWN?')).split(';');
  assert.equal(granted, '1');
  const holder = owner.slice(1, -1);
  await page.waitForFunction((h) => document.getElementById('lock').textContent.startsWith(`Locked by ${h}:`), { timeout: 1000 }, holder);
  // Its buttons cannot switch then: they look it and say why, and a click does nothing.
  const why = `Locked by ${holder}: switching from here is refused until it lets go.`;
  await page.waitForFunction(() => [...document.querySelectorAll('.buttons button')].every((button) => button.disabled), { timeout: 1000 });
  assert.deepEqual(await page.$$eval('.buttons button', (buttons) => buttons.map((button) => button.title)), [why, why, why]);
  const before = await text('.answer');
  await page.click('button[data-path="rf2"]');
  assert.deepEqual([await text('.answer'), await client.query('ROUT:CLOS:STAT?')], [before, '(@1)']);
  await shows('rf1');

  // A port nobody can read: nothing known, no contact drawn, as in the panel.
  await other.query('SYST:PORT "/dev/parport9";*OPC?');
  await shows('unknown', 1000);
  assert.deepEqual([await text('.bits'), await page.$eval('.contacts', (contacts) => getComputedStyle(contacts).visibility)],
    ['C1=?  C2=?', 'hidden']);

  console.log(`the page switched, followed a script, named the lock's holder and drew no contact where nothing is known`);
} finally {
  other?.close();
  client.close();
  program.child.kill();
  await browser.close();
}
