// The page in Debian's Chromium with three boards behind one server: two on
// simulated ports and one on a port that cannot be read. Each board has its
// own schematic, buttons, status line and relay counts, its operations in
// the one list; a click switches its
// own board alone, a script's command for two boards shows on both, the
// unreadable board is shown as failed while the others switch, and one lock
// stops every board's buttons; started again with one board, one view.
// Usage: boards_page_test.mjs NODE_DIR PROGRAM [ARGS...]: the program, headless, on loopback, with three --board.
import assert from 'node:assert/strict';
import { launch, scpi, start } from './harness.mjs';

const [nodeDir, ...command] = process.argv.slice(2);
const browser = await launch(nodeDir);
let program = await start(command);
const client = await scpi(program.scpiPort);
let other;
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  // What each board's view shows, board 1 first.
  const each = (selector, what) => page.$$eval(`.board ${selector}`, (elements, w) => elements.map((element) => element[w]), what);
  const shown = (paths) => page.waitForFunction((p) => [...document.querySelectorAll('.board .path')].map((e) => e.dataset.path).join() === p,
    { timeout: 2000 }, paths.join());
  const answered = (board) => page.waitForFunction((b) => !document.querySelector(`.board[data-board="${b}"] .answer`).textContent.endsWith('…'),
    {}, board);
  // Counts kept from an earlier run start again.
  assert.equal(await client.query('DIAG:REL:CYCL:CLE (@101,102,201,202);*OPC?'), '1');
  const unknown = 'Unknown: nothing read back from the port';
  await page.goto(program.url);
  await shown(['off', 'off', 'unknown']);
  assert.deepEqual(await each('.name', 'textContent'), ['Board 1: QTR7-415KM', 'Board 2 · bench: QTR7-415KM', 'Board 3: QTR7-415KM']);

  // Board 2's RF2 button switches board 2 alone, and says so under board 2.
  await page.click('.board[data-board="2"] button[data-path="rf2"]');
  await answered(2);
  assert.deepEqual([await each('.answer', 'textContent'), await each('.path', 'textContent'), await client.query('ROUT:CLOS? (@101,102,201,202)')],
    [['', 'Switched and read back.', ''], ['All ports terminated', 'RF COMMON connected to RF2', unknown], '0,0,0,1']);

  // Its operation among the last ones, named by its port.
  await page.waitForFunction(() => [...document.querySelectorAll('#operations li')]
    .some((item) => / port=4104 board=simulated register=data\(4104\) wrote=0x02 read=0x02 attempts=1 result=verified$/.test(item.textContent)),
  { timeout: 2000 });

  // One command of a script for two boards: both views follow, each with its own bits and contacts.
  assert.equal(await client.query('ROUT:CLOS (@101,201);*OPC?'), '1');
  await shown(['rf1', 'rf1', 'unknown']);
  assert.deepEqual(await each('.bits', 'textContent'), ['C1=1  C2=0', 'C1=1  C2=0', 'C1=?  C2=?']);
  assert.deepEqual(await page.$$eval('.board .contacts', (groups) => groups.map((g) => getComputedStyle(g).visibility)),
    ['visible', 'visible', 'hidden']);
  assert.equal(await client.query('ROUT:CLOS (@202);*OPC?'), '1');
  await shown(['rf1', 'rf2', 'unknown']);
  const ends = () => page.$$eval('.board .contacts line', (lines) => lines.map((line) => `${line.getAttribute('x2')},${line.getAttribute('y2')}`));
  const drawn = await ends();
  assert.notDeepEqual(drawn.slice(0, 3), drawn.slice(3, 6), 'board 2 drawn as board 1');

  // Each board's relay counts.
  assert.deepEqual(await each('.cycles', 'textContent'),
    ['Relay cycles: RF1 1, RF2 0, no limit set.', 'Relay cycles: RF1 1, RF2 2, no limit set.', 'Relay cycles: RF1 0, RF2 0, no limit set.']);

  // The board on a port that cannot be read: its status in red, its click refused with the board's reason, the others untouched.
  const [status, colour] = await page.$eval('.board[data-board="3"] .status', (e) => [e.textContent, getComputedStyle(e).color]);
  assert.match(status, /\/dev\/parport9/);
  assert.equal(colour, 'rgb(255, 0, 0)');
  await page.click('.board[data-board="3"] button[data-path="rf1"]');
  await answered(3);
  assert.match((await each('.answer', 'textContent'))[2], /^Not switched: .*parport9/);
  assert.deepEqual([await each('.path', 'textContent'), await client.query('ROUT:CLOS? (@101,102,201,202)')],
    [['RF COMMON connected to RF1', 'RF COMMON connected to RF2', unknown], '1,0,0,1']);

  // One lock over every board: every board's buttons stop, and say why.
  other = await scpi(program.scpiPort);
  assert.equal(await other.query('SYST:LOCK:REQ?'), '1');
  await page.waitForFunction(() => [...document.querySelectorAll('.buttons button')].every((button) => button.disabled), { timeout: 2000 });
  assert.equal(new Set(await each('.buttons button', 'title')).size, 1);
  assert.match((await each('.buttons button', 'title'))[0], /^Locked by .*: switching from here is refused until it lets go\.$/);

  // At a phone's width the boards stand one below the other, nothing scrolls sideways.
  await page.setViewport({ width: 390, height: 844 });
  const tops = await page.$$eval('.board', (boards) => boards.map((board) => board.getBoundingClientRect().top));
  assert.ok(tops[0] < tops[1] && tops[1] < tops[2], `boards not one below the other at 390 px: ${tops}`);
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= document.documentElement.clientWidth), 'sideways scrolling at 390 px');

  // Started again on the same address with board 1 alone: one view, no heading.
  other.close();
  client.close();
  program.child.kill();
  await new Promise((resolve) => program.child.once('exit', resolve));
  const first = command.indexOf('--board');
  const alone = command.filter((arg, i) => i <= first + 1 || (arg !== '--board' && command[i - 1] !== '--board'))
    .map((arg, i, kept) => (kept[i - 1] === '--http' ? new URL(program.url).host : arg));
  program = await start(alone);
  await page.waitForFunction(() => document.querySelectorAll('.board').length === 1 && document.querySelector('.board .name').hidden,
    { timeout: 10000 });

  console.log('each board shown and switched on its own, the failed board shown failed, one lock over all, one view again for one board');
} finally {
  other?.close();
  client.close();
  program.child.kill();
  await browser.close();
}
