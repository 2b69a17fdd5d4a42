// Runs the real program with its system log captured, FFmpeg RTMP receivers
// and headless Chromium for the page tests.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

export const SOURCE_DIR = process.env.CORVANE_SOURCE_DIR || path.resolve(here, '../..');
export const BINARY_DIR = process.env.CORVANE_BINARY_DIR || '';
export const FFMPEG_BIN = process.env.FFMPEG_BIN || path.join(SOURCE_DIR, '.deps/ffmpeg-native/bin');
export const PORT = 30920;
export const BASE = `http://127.0.0.1:${PORT}`;
export const CHROMIUM = '/usr/bin/chromium';
export const CHROMIUM_ARGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--disable-quic',
];

export function screenshot_dir() {
  const dir = BINARY_DIR ? path.join(BINARY_DIR, 'tests/browser/screenshots') : path.join(os.tmpdir(), 'corvane-screenshots');
  fs.mkdirSync(dir, { recursive: true });
  return dir;
}

// Loads playwright-core from this folder's node_modules, with a message
// that says how to get it when it is missing.
export async function load_playwright() {
  const entry = path.join(here, 'node_modules/playwright-core/index.mjs');
  if (!fs.existsSync(entry)) {
    throw new Error(`playwright-core is not installed in ${here}/node_modules: run tools/install-node-deps.sh (make deps)`);
  }
  return import(entry);
}

export async function launch_browser() {
  if (!fs.existsSync(CHROMIUM)) throw new Error(`${CHROMIUM} is missing: install the Debian package chromium (make deps)`);
  const { chromium } = await load_playwright();
  return chromium.launch({
    executablePath: CHROMIUM,
    args: CHROMIUM_ARGS,
    env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'disabled:' },
  });
}

// Waits until something listens on 127.0.0.1:`port`. Reads the socket
// tables instead of connecting, so a one-shot listener is not used up.
export async function wait_port(port, timeout_ms = 10000) {
  const wanted = `:${port.toString(16).toUpperCase().padStart(4, '0')}`;
  const deadline = Date.now() + timeout_ms;
  while (Date.now() < deadline) {
    for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
      let text = '';
      try {
        text = fs.readFileSync(table, 'utf8');
      } catch {
        continue;
      }
      for (const line of text.split('\n').slice(1)) {
        const fields = line.trim().split(/\s+/);
        if (fields[3] === '0A' && fields[1]?.endsWith(wanted)) return true;
      }
    }
    await sleep(20);
  }
  return false;
}

export async function wait_for(predicate, { timeout_ms = 10000, interval_ms = 100, what = 'condition' } = {}) {
  const deadline = Date.now() + timeout_ms;
  let last;
  while (Date.now() < deadline) {
    last = await predicate();
    if (last) return last;
    await sleep(interval_ms);
  }
  throw new Error(`timed out after ${timeout_ms} ms waiting for ${what}`);
}

function child_exit(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return once(child, 'exit');
}

async function stop_child(child, signal = 'SIGTERM', timeout_ms = 10000) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  child.kill(signal);
  const timer = sleep(timeout_ms).then(() => 'timeout');
  if ((await Promise.race([child_exit(child), timer])) === 'timeout') {
    child.kill('SIGKILL');
    await child_exit(child);
  }
}

// The program in a temporary working directory with html/ linked in and
// its system log relayed into `log_lines`.
export class Program {
  constructor(env = {}) {
    this.env = env;
    this.log_lines = [];
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-browser-'));
    fs.symlinkSync(path.join(SOURCE_DIR, 'html'), path.join(this.dir, 'html'));
  }

  async start() {
    const binary = path.join(BINARY_DIR, 'corvane');
    if (!BINARY_DIR || !fs.existsSync(binary)) throw new Error(`program not found at ${binary} (CORVANE_BINARY_DIR)`);
    const socket = path.join(this.dir, 'log.sock');
    this.relay = spawn('python3', [path.join(SOURCE_DIR, 'tools/logrelay.py'), socket], { stdio: ['ignore', 'pipe', 'inherit'] });
    let pending = '';
    this.relay.stdout.setEncoding('utf8');
    this.relay.stdout.on('data', (chunk) => {
      pending += chunk;
      const lines = pending.split('\n');
      pending = lines.pop();
      this.log_lines.push(...lines);
    });
    await wait_for(() => fs.existsSync(socket), { timeout_ms: 5000, what: 'the log relay socket' });

    this.process = spawn(path.join(SOURCE_DIR, 'tools/with-log.sh'), [socket, binary], {
      cwd: this.dir,
      env: { ...process.env, ...this.env },
      stdio: ['ignore', fs.openSync(path.join(this.dir, 'stdout.txt'), 'w'), fs.openSync(path.join(this.dir, 'stderr.txt'), 'w')],
    });
    await wait_for(
      () => {
        if (this.process.exitCode !== null) throw new Error(`the program exited with ${this.process.exitCode}\n${this.log()}`);
        return this.log_lines.some((line) => line.includes('Corvane web server started'));
      },
      { timeout_ms: 10000, interval_ms: 25, what: 'the web server to start' },
    );
  }

  log() {
    return this.log_lines.join('\n');
  }

  async stop() {
    await stop_child(this.process, 'SIGTERM', 15000);
    await sleep(100); // the last log datagrams
    await stop_child(this.relay, 'SIGTERM');
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// FFmpeg's one-shot RTMP listener, recording into an FLV file.
export class RtmpReceiver {
  constructor(port, app_and_key) {
    this.port = port;
    this.url = `rtmp://127.0.0.1:${port}/${app_and_key}`;
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-rtmp-'));
    this.output = path.join(this.dir, 'received.flv');
    this.errors = '';
    this.process = spawn(
      path.join(FFMPEG_BIN, 'ffmpeg'),
      ['-nostdin', '-loglevel', 'warning', '-listen', '1', '-f', 'flv', '-i', this.url, '-c', 'copy', '-f', 'flv', this.output],
      { stdio: ['ignore', 'ignore', 'pipe'] },
    );
    this.process.stderr.setEncoding('utf8');
    this.process.stderr.on('data', (chunk) => {
      this.errors += chunk;
    });
  }

  async listening() {
    if (!(await wait_port(this.port))) throw new Error(`RTMP receiver on port ${this.port} did not listen: ${this.errors}`);
  }

  received_bytes() {
    try {
      return fs.statSync(this.output).size;
    } catch {
      return 0;
    }
  }

  async stop() {
    await stop_child(this.process, 'SIGKILL');
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// The status document, fetched by the test itself.
export async function api_status(prefix = '') {
  const reply = await fetch(`${BASE}${prefix}/api/status`, { cache: 'no-store' });
  return reply.json();
}

export async function api_post(action, fields, prefix = '') {
  const reply = await fetch(`${BASE}${prefix}/api/${action}`, {
    method: 'POST',
    body: fields ? new URLSearchParams(fields) : undefined,
  });
  return { status: reply.status, doc: await reply.json() };
}
