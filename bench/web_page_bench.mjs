// Prints how soon the page shows a switch: 200 selections sent over SCPI to
// the program (headless, simulated port), each timed from the command sent
// to the moment the page in Debian's Chromium has it in its document. The
// goal is one frame (1/60 s). Skipped (77) without Chromium or puppeteer-core.
// Usage: web_page_bench.mjs NODE_DIR PROGRAM
import { setTimeout as pause } from 'node:timers/promises';
import { launch, scpi, start } from '../tests/web/harness.mjs';

const kSwitches = 200;
const kFrameMs = 1000 / 60;
const kPaceMs = 50;  // between switches: each one in a frame of its own
const [nodeDir, program] = process.argv.slice(2);
const browser = await launch(nodeDir);
const server = await start([program, '--headless', '--listen', '127.0.0.1:0', '--http', '127.0.0.1:0', '--simulate', '--port', '4096']);
const client = await scpi(server.scpiPort);
// Both clocks are the system's, to a fraction of a millisecond.
const now = () => performance.timeOrigin + performance.now();
const percentile = (values, p) => values.slice().sort((a, b) => a - b)[Math.max(0, Math.ceil((p / 100) * values.length) - 1)];
const row = (figure, measured, goal = '', met) =>
  console.log(`  ${figure.padEnd(44)} ${measured.padEnd(22)} ${goal.padEnd(12)} ${met === undefined ? '' : met ? 'met' : 'not met'}`);
try {
  const page = await browser.newPage();
  await page.goto(server.url);
  await page.waitForFunction(() => document.querySelector('.path').dataset.path === 'off');
  await page.evaluate(() => {
    window.seen = [];
    const path = document.querySelector('.path');
    new MutationObserver(() => window.seen.push([path.dataset.path, performance.timeOrigin + performance.now()])).observe(path, { attributes: true });
  });
  const delays = [];
  for (let i = 0; i < kSwitches; ++i) {
    const path = i % 2 ? 'rf2' : 'rf1';
    const sent = now();
    if (await client.query(`ROUT:CLOS (@${path.slice(2)});*OPC?`) !== '1')
      throw new Error('a selection was not completed');
    const shown = await page.waitForFunction((p, t) => window.seen.find(([q, at]) => q === p && at >= t)?.[1], {}, path, sent);
    delays.push((await shown.jsonValue()) - sent);
    await pause(kPaceMs);
  }
  console.log(`The page following the switch: ${kSwitches} selections over SCPI, each to the page's document in Chromium`);
  row('switch to page, median', `${percentile(delays, 50).toFixed(2)} ms`);
  row('switch to page, p99', `${percentile(delays, 99).toFixed(2)} ms`);
  row('switches shown within one frame', `${delays.filter((d) => d <= kFrameMs).length} of ${kSwitches}`);
  row('switch to page, slowest', `${Math.max(...delays).toFixed(2)} ms`, '<= 16.7 ms', Math.max(...delays) <= kFrameMs);
} finally {
  client.close();
  server.child.kill();
  await browser.close();
}
