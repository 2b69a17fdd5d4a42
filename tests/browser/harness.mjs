// FFmpeg's one-shot RTMP listener and headless Chromium for the page's browser test; the
// program runs under the black-box harness (ui_test.py).
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const SOURCE_DIR = process.env.CORVANE_SOURCE_DIR || path.resolve(here, '../..');
const BINARY_DIR = process.env.CORVANE_BINARY_DIR || path.join(SOURCE_DIR, 'build/normal');
const FFMPEG = path.join(process.env.FFMPEG_BIN || path.join(SOURCE_DIR, '.deps/ffmpeg-native/bin'), 'ffmpeg');
export const BASE = 'http://127.0.0.1:30920';
export const SCREENSHOTS = path.join(BINARY_DIR, 'tests/browser/screenshots');
fs.mkdirSync(SCREENSHOTS, { recursive: true });

export async function wait_for(what, predicate, timeout_ms = 20000) {
  const deadline = Date.now() + timeout_ms;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeout_ms} ms waiting for ${what}`);
    await sleep(100);
  }
}

// Read from the socket table: a connection would use up a one-shot listener.
function listening(port) {
  const local = `:${port.toString(16).toUpperCase().padStart(4, '0')}`;
  const rows = fs.readFileSync('/proc/net/tcp', 'utf8').split('\n').map((row) => row.trim().split(/\s+/));
  return rows.some((fields) => fields[1]?.endsWith(local) && fields[3] === '0A');
}

// FFmpeg's listener for rtmp://127.0.0.1:port/app/key. Another application
// or key is only warned about: `errors` keeps the warnings.
export async function receiver(port, app_and_key) {
  const url = `rtmp://127.0.0.1:${port}/${app_and_key}`;
  const output = path.join(SCREENSHOTS, `received-${port}.flv`);
  fs.rmSync(output, { force: true });
  const args = ['-nostdin', '-y', '-loglevel', 'warning', '-listen', '1', '-f', 'flv', '-i', url, '-c', 'copy', '-f', 'flv', output];
  const child = spawn(FFMPEG, args, { stdio: ['ignore', 'ignore', 'pipe'] });
  const bytes = () => (fs.existsSync(output) ? fs.statSync(output).size : 0);
  const exited = once(child, 'exit');
  const self = { url, errors: '', bytes, stop: () => (child.kill('SIGKILL'), exited) };
  child.stderr.setEncoding('utf8').on('data', (chunk) => (self.errors += chunk));
  await wait_for(`a listener on port ${port}`, () => listening(port));
  return self;
}

export async function launch_browser() {
  const entry = path.join(here, 'node_modules/playwright-core/index.mjs');
  if (!fs.existsSync(entry)) throw new Error('playwright-core is missing: run tools/install-node-deps.sh');
  const { chromium } = await import(entry);
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'disabled:' },
  });
}
