// What the browser test and the page benchmark share: Debian's Chromium
// under puppeteer-core (from the build tree), the program started with its
// servers on loopback, and a SCPI client that reads one answer a line.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import path from 'node:path';
import { createInterface } from 'node:readline';

const kChromium = '/usr/bin/chromium';

// Chromium driven by puppeteer-core from NODE_DIR/node_modules, with a fresh
// profile; exits 77 (skipped) where either is not installed.
export async function launch(nodeDir) {
  const modules = path.resolve(nodeDir, 'node_modules');
  if (!existsSync(kChromium) || !existsSync(path.join(modules, 'puppeteer-core'))) {
    console.log(`skipped: ${kChromium} or puppeteer-core in ${modules} is not installed`);
    process.exit(77);
  }
  return createRequire(path.join(modules, 'here.js'))('puppeteer-core').launch({
    executablePath: kChromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
}

// The next line from `stream`, one call each.
function lines(stream) {
  const queue = [];
  const waiting = [];
  createInterface({ input: stream }).on('line', (line) => (waiting.length ? waiting.shift()(line) : queue.push(line)));
  return () => (queue.length ? Promise.resolve(queue.shift()) : new Promise((resolve) => waiting.push(resolve)));
}

// Starts the program; among its first lines, where SCPI and the page are.
export async function start(command) {
  const child = spawn(command[0], command.slice(1), { stdio: ['pipe', 'pipe', 'inherit'] });
  const next = lines(child.stdout);
  let scpiPort, url;
  while (!scpiPort || !url) {
    const line = await next();
    scpiPort ??= Number(line.match(/^listening on 127\.0\.0\.1:(\d+)$/)?.[1] ?? 0) || undefined;
    url ??= line.match(/^web page on (http:\S+)$/)?.[1];
  }
  return { child, next, scpiPort, url };
}

export async function scpi(port) {
  const socket = net.connect(port, '127.0.0.1');
  socket.setNoDelay(true);
  await new Promise((resolve, reject) => socket.once('connect', resolve).once('error', reject));
  const next = lines(socket);
  return {
    query: (command) => { socket.write(`${command}\n`); return next(); },
    close: () => socket.destroy(),
  };
}
