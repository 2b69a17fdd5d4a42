// The web page in headless Chromium against the real program, the camera
// emulator and FFmpeg RTMP receivers.
import assert from 'node:assert/strict';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { pathToFileURL } from 'node:url';
import {
  BASE,
  Program,
  RtmpReceiver,
  SOURCE_DIR,
  api_post,
  api_status,
  launch_browser,
  screenshot_dir,
  wait_for,
} from './harness.mjs';

const { check_profile_parameters } = await import(pathToFileURL(path.join(SOURCE_DIR, 'html/js/profile_params.js')).href);

const PREFIX = '/local/corvane/corvane';
const PRESET = 'H.264 640x360 30 fps';
const UNREACHABLE = 'rtmp://127.0.0.1:1/x';
const shots = screenshot_dir();

let program;
let browser;

before(async () => {
  program = new Program({
    // A small sensor keeps every clip quick to encode; clips are cached
    // between runs like the other tests' clips.
    VDO_EMULATOR_MAX_WIDTH: '640',
    VDO_EMULATOR_MAX_HEIGHT: '360',
    VDO_EMULATOR_CACHE_DIR: '/tmp/corvane-test-clip-cache',
    AXPARAMETER_SYSTEM_SERIAL: 'ACCC8E0B1C2D',
  });
  await program.start();
  browser = await launch_browser();
});

after(async () => {
  await browser?.close();
  await program?.stop();
});

// A fresh page; on failure the page is kept as a screenshot and the
// program's log is added to the error.
async function scenario(name, options, body) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 1000 }, ...options });
  const page = await context.newPage();
  const console_errors = [];
  page.on('pageerror', (error) => console_errors.push(String(error)));
  page.on('console', (message) => {
    if (message.type() === 'error' && !/404|Failed to load resource/.test(message.text())) console_errors.push(message.text());
  });
  try {
    await body(page, context);
    assert.deepEqual(console_errors, [], 'the page reported script errors');
  } catch (error) {
    await page.screenshot({ path: path.join(shots, `failed-${name}.png`), fullPage: true }).catch(() => {});
    error.message += `\n--- program log ---\n${program.log()}`;
    throw error;
  } finally {
    await context.close();
  }
}

const text_of = (page, selector) => page.locator(selector).innerText();
const state_of = (page) => page.locator('#state-badge').getAttribute('data-state');
const number_of = async (page, selector) => Number((await text_of(page, selector)).replace(/\D/g, ''));

async function until(page, what, predicate, timeout_ms = 15000) {
  return wait_for(() => predicate(page), { timeout_ms, interval_ms: 150, what });
}

async function wait_idle() {
  await wait_for(async () => !(await api_status()).running, { timeout_ms: 20000, what: 'the stream to end' });
}

async function fill_form(page, { preset = PRESET, server, key, silent = true }) {
  await page.selectOption('#profile-choice', { label: preset });
  await page.fill('#server-url', server);
  await page.fill('#stream-key', key);
  await page.setChecked('#silent-audio', silent);
}

test('the page loads at / with presets, identity and the idle state', async () => {
  await scenario('first-visit', {}, async (page) => {
    const statics = [];
    page.on('response', (r) => statics.push([new URL(r.url()).pathname, r.status()]));
    await page.goto(`${BASE}/`);
    await until(page, 'the first status', async () => (await text_of(page, '#serial-number')) === 'ACCC8E0B1C2D');
    await until(page, 'the profile list', async () => (await page.locator('body').getAttribute('data-profiles')) === 'presets');

    // Every file of the page came from the program; only the camera's
    // stream-profile API, which the program does not have, is missing.
    const missing = statics.filter(([p, s]) => s >= 400 && p !== '/axis-cgi/streamprofile.cgi');
    assert.deepEqual(missing, []);
    assert.equal(await state_of(page), 'idle');
    assert.equal(await text_of(page, '#architecture'), 'aarch64');
    assert.match(await text_of(page, '#mac-address'), /^(—|[0-9a-f:]{17})$/);

    const presets = await page.locator('#profile-choice optgroup[label="Presets"] option').allInnerTexts();
    assert.equal(presets.length, 9);
    for (const codec of ['H.264', 'H.265', 'AV1']) assert.ok(presets.some((p) => p.startsWith(codec)), presets.join());
    // A first setup: the default preset, silent audio on, the key hidden.
    assert.equal(await page.inputValue('#profile-name'), 'H.264 1280x720 30 fps');
    assert.match(await page.inputValue('#profile-parameters'), /^videocodec=h264&resolution=1280x720&fps=30&videokeyframeinterval=60&videobitrate=\d+$/);
    assert.equal(await page.isChecked('#silent-audio'), true);
    assert.equal(await page.getAttribute('#stream-key', 'type'), 'password');

    // Every control has a label a screen reader can announce.
    const unlabelled = await page.evaluate(() =>
      [...document.querySelectorAll('input, select, textarea, button')]
        .filter((el) => !(el.labels?.length || el.getAttribute('aria-label') || el.textContent.trim()))
        .map((el) => el.id),
    );
    assert.deepEqual(unlabelled, []);
  });
});

test('the page refuses a bad destination itself, without a request', async () => {
  await scenario('page-validation', {}, async (page) => {
    const posts = [];
    page.on('request', (r) => r.method() === 'POST' && r.url().includes('/api/') && posts.push(r.url()));
    await page.goto(`${BASE}/`);
    await until(page, 'the first status', async () => (await state_of(page)) === 'idle');

    await page.click('#start');
    assert.equal(await text_of(page, '#destination-error'), 'Missing RTMP destination.');

    // Keyboard only: type into the field and submit with Enter.
    await page.focus('#server-url');
    await page.keyboard.type('rtmps://live.example.com/app');
    await page.focus('#stream-key');
    await page.keyboard.type('secret');
    await page.keyboard.press('Enter');
    assert.equal(await text_of(page, '#destination-error'), 'Destination must begin with rtmp://.');
    assert.equal(await text_of(page, '#request-message'), 'Destination must begin with rtmp://.');
    assert.equal(await page.getAttribute('#server-url', 'aria-invalid'), 'true');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'server-url');

    // Show and hide the key.
    assert.equal(await text_of(page, '#destination-preview'), 'rtmps://live.example.com/app/secret');
    await page.click('#show-key');
    assert.equal(await page.getAttribute('#stream-key', 'type'), 'text');
    await page.click('#show-key');
    assert.equal(await page.getAttribute('#stream-key', 'type'), 'password');

    // A profile name without parameters is refused as the program would.
    await page.fill('#server-url', 'rtmp://127.0.0.1:1935/live');
    await page.fill('#profile-parameters', '');
    await page.click('#start');
    assert.equal(await text_of(page, '#request-message'), 'Selected stream profile is missing parameters.');
    await page.screenshot({ path: path.join(shots, 'page-validation.png'), fullPage: true });
    assert.deepEqual(posts, []);
  });
});

test("the program's refusal of a request is shown with its message", async () => {
  await scenario('server-refusal', {}, async (page) => {
    await page.goto(`${BASE}/`);
    await until(page, 'the first status', async () => (await state_of(page)) === 'idle');
    await fill_form(page, { server: 'rtmp://127.0.0.1:1935/live', key: 'k' });

    // What the page sends is replaced on its way, past the page's checks.
    const bodies = [
      ['destination=rtmps%3A%2F%2Fhost%2Fapp&profileName=&profileParameters=&silentAudio=yes', 'Destination must begin with rtmp://.'],
      ['destination=rtmp%3A%2F%2Fhost%2Fapp%2Fk&profileName=Studio&silentAudio=yes', 'Selected stream profile is missing parameters.'],
      ['profileName=Studio', 'Missing RTMP destination.'],
    ];
    for (const [body, message] of bodies) {
      await page.route('**/api/start', (route) => route.continue({ postData: body }));
      const reply = page.waitForResponse((r) => r.url().endsWith('/api/start'));
      await page.click('#start');
      assert.equal((await reply).status(), 400);
      await until(page, `the message "${message}"`, async () => (await text_of(page, '#request-message')) === message);
      await page.unroute('**/api/start');
    }
    await page.screenshot({ path: path.join(shots, 'server-refusal.png'), fullPage: true });
    assert.equal((await api_status()).running, false);
  });
});

test('a preset streams: counters and chart move, restart switches, stop says so', async () => {
  const first = new RtmpReceiver(1935, 'live/corvaneKeyA1');
  const second = new RtmpReceiver(1936, 'live/corvaneKeyB2');
  try {
    await Promise.all([first.listening(), second.listening()]);
    await scenario('streaming', {}, async (page, context) => {
      await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: BASE });
      await page.goto(`${BASE}/`);
      await until(page, 'the first status', async () => (await state_of(page)) === 'idle');
      await fill_form(page, { server: 'rtmp://127.0.0.1:1935/live', key: 'corvaneKeyA1', silent: true });
      assert.equal(await text_of(page, '#destination-preview'), 'rtmp://127.0.0.1:1935/live/********');

      const started = page.waitForResponse((r) => r.url().endsWith('/api/start'));
      await page.click('#start');
      assert.equal((await started).status(), 200);
      await until(page, 'the stream to go live', async () => (await state_of(page)) === 'live', 20000);
      assert.equal(await page.isDisabled('#start'), true);
      assert.equal(await page.isEnabled('#restart'), true);

      const frames = await number_of(page, '#frames-sent');
      const chart_before = await page.evaluate(() => document.getElementById('bitrate-chart').toDataURL());
      const samples_before = Number(await page.getAttribute('#bitrate-chart', 'data-samples'));
      await until(page, 'a bitrate', async () => /[1-9]/.test(await text_of(page, '#current-bitrate')), 15000);
      assert.ok((await number_of(page, '#frames-sent')) > frames);
      assert.match(await text_of(page, '#bytes-sent'), /^[\d.]+ (kB|MB)$/);
      assert.match(await text_of(page, '#last-packet'), /^[\d.]+ k?B$/);
      assert.match(await text_of(page, '#current-bitrate'), /^[\d.]+ (k|M)bit\/s$/);
      assert.ok(Number(await page.getAttribute('#bitrate-chart', 'data-samples')) > samples_before);
      assert.notEqual(await page.evaluate(() => document.getElementById('bitrate-chart').toDataURL()), chart_before);
      assert.match(await page.getAttribute('#bitrate-chart', 'aria-label'), /now [\d.]+ (k|M)bit\/s/);
      const details = await text_of(page, '#stream-details');
      assert.match(details, /^Video: H\.264 640x360 @ 30 fps\nProfile: H\.264 640x360 30 fps\n/);
      assert.match(details, /RTMP audio: silent AAC$/);
      assert.match(await text_of(page, '#profile-details'), /^Name: H\.264 640x360 30 fps\nResolution: 640x360\n/);
      assert.equal(await text_of(page, '#profile-live'), PRESET);
      await page.screenshot({ path: path.join(shots, 'streaming.png'), fullPage: true });

      // The report for a support request hides the key.
      await page.click('#copy-diagnostics');
      await until(page, 'the copy result', async () => (await text_of(page, '#copy-result')) !== '');
      const copied = await page.evaluate(() => navigator.clipboard.readText());
      assert.match(copied, /^Corvane diagnostics\n/);
      assert.match(copied, /Destination: rtmp:\/\/127\.0\.0\.1:1935\/live\/\*{8}\n/);
      assert.match(copied, /Running: yes\n/);
      assert.match(copied, /Serial number: ACCC8E0B1C2D\n/);
      assert.ok(!copied.includes('corvaneKeyA1'), copied);

      // A start while a stream runs is answered with the status document.
      const conflict = page.waitForResponse((r) => r.url().endsWith('/api/start'));
      await page.evaluate(() => document.getElementById('stream-form').requestSubmit());
      assert.equal((await conflict).status(), 409);
      await until(page, 'the conflict message', async () => (await text_of(page, '#request-message')) === 'Stream is already running.');

      // Restart onto another receiver without silent audio.
      await page.fill('#server-url', 'rtmp://127.0.0.1:1936/live');
      await page.fill('#stream-key', 'corvaneKeyB2');
      await page.setChecked('#silent-audio', false);
      const restarted = page.waitForResponse((r) => r.url().endsWith('/api/restart'));
      await page.click('#restart');
      assert.equal((await restarted).status(), 200);
      await wait_for(async () => (await api_status()).destination === second.url, { what: 'the new destination' });
      await until(page, 'the restarted stream', async () => (await state_of(page)) === 'live', 20000);
      await until(page, 'RTMP audio: none', async () => (await text_of(page, '#stream-details')).endsWith('RTMP audio: none'));
      await wait_for(() => second.received_bytes() > 0, { timeout_ms: 10000, what: 'bytes at the second receiver' });
      assert.ok(first.received_bytes() > 0);

      // Buttons wait for the answer.
      await page.route('**/api/stop', async (route) => {
        await sleep(400);
        await route.continue();
      });
      await page.click('#stop');
      assert.equal(await page.isDisabled('#stop'), true);
      assert.equal(await page.getAttribute('#stop', 'aria-busy'), 'true');
      await until(page, '"Stream stopped."', async () => (await text_of(page, '#stopped-note')) === 'Stream stopped.');
      assert.equal(await state_of(page), 'stopped');
      assert.equal(await page.isVisible('#last-error'), false);
      assert.equal(await page.isEnabled('#stop'), true);
      assert.equal(await page.isEnabled('#start'), true);
      await page.screenshot({ path: path.join(shots, 'stopped.png'), fullPage: true });

      // The saved choice fills the form of a new visit; its silent-audio
      // choice wins over the first-setup default.
      await page.reload();
      await until(page, 'the saved destination', async () => (await page.inputValue('#server-url')) === 'rtmp://127.0.0.1:1936/live');
      assert.equal(await page.inputValue('#stream-key'), 'corvaneKeyB2');
      assert.equal(await page.getAttribute('#stream-key', 'type'), 'password');
      assert.equal(await page.isChecked('#silent-audio'), false);
      assert.equal(await page.inputValue('#profile-name'), PRESET);
      assert.equal(await page.$eval('#profile-choice', (s) => s.selectedOptions[0].textContent), PRESET);
      assert.equal(await text_of(page, '#stopped-note'), 'Stream stopped.');
    });
  } finally {
    await api_post('stop');
    await first.stop();
    await second.stop();
  }
});

test('a stream that fails shows its error prominently', async () => {
  await scenario('failed', {}, async (page) => {
    await page.goto(`${BASE}/`);
    await until(page, 'the first status', async () => ['idle', 'stopped'].includes(await state_of(page)));
    await fill_form(page, { server: 'rtmp://127.0.0.1:1', key: 'x' });
    await page.click('#start');
    await until(page, 'the error', async () => page.isVisible('#last-error'), 20000);
    assert.match(await text_of(page, '#last-error-text'), /^Unable to connect to RTMP destination: .+/);
    assert.equal(await state_of(page), 'failed');
    assert.match(await text_of(page, '#announce'), /^Stream ended: Unable to connect to RTMP destination: /);
    await page.screenshot({ path: path.join(shots, 'failed.png'), fullPage: true });
  });
});

test('the page works under the application path', async () => {
  await scenario('application-path', {}, async (page) => {
    const api_paths = new Set();
    const failures = [];
    page.on('request', (r) => {
      const p = new URL(r.url()).pathname;
      if (p.includes('/api/')) api_paths.add(p);
    });
    page.on('response', (r) => {
      const p = new URL(r.url()).pathname;
      // The document asked for without the slash may still fetch its files
      // (js/app.js too) next to the folder before it is replaced; only
      // requests under the application path count.
      const early = p.startsWith('/local/corvane/') && !p.startsWith(`${PREFIX}/`);
      if (r.status() >= 400 && !early && p !== '/axis-cgi/streamprofile.cgi') failures.push(`${r.status()} ${p}`);
    });
    // Without the final slash the page asks for the folder itself.
    await page.goto(`${BASE}${PREFIX}`);
    await until(page, 'the slash', async () => new URL(page.url()).pathname === `${PREFIX}/`);
    await until(page, 'the first status', async () => (await text_of(page, '#serial-number')) === 'ACCC8E0B1C2D');

    // A parameter value the page flags ends the stream with the same words.
    await fill_form(page, { server: 'rtmp://127.0.0.1:1', key: 'y' });
    await page.selectOption('#profile-choice', 'custom');
    await page.fill('#profile-parameters', 'videocodec=h264&fps=121');
    const predicted = "Unsupported stream profile fps value '121'.";
    assert.equal(await page.locator('#parameters-check .problem').first().innerText(), `The stream would end with: ${predicted}`);
    assert.equal(await page.$eval('#profile-choice', (s) => s.value), 'custom');
    await page.click('#start');
    await until(page, 'the error', async () => (await text_of(page, '#last-error-text')) === predicted, 20000);
    await page.screenshot({ path: path.join(shots, 'application-path.png'), fullPage: true });

    assert.deepEqual(failures, []);
    assert.deepEqual([...api_paths].sort(), [`${PREFIX}/api/start`, `${PREFIX}/api/status`]);
  });
});

test("the camera's own stream profiles are offered when it lists them", async () => {
  await scenario('camera-profiles', {}, async (page) => {
    let asked = null;
    await page.route('**/axis-cgi/streamprofile.cgi', (route) => {
      asked = route.request().postDataJSON();
      route.fulfill({
        json: {
          apiVersion: '1.0',
          method: 'list',
          data: {
            streamProfile: [
              { name: 'Studio', description: 'Main stage', parameters: 'videocodec=h265&resolution=1920x1080&fps=30&videokeyframeinterval=60' },
              { name: 'Lobby', description: 'Slow', parameters: 'videocodec=h264&fps=25&videokeyframeinterval=250' },
              { name: 'broken' },
            ],
          },
        },
      });
    });
    await page.goto(`${BASE}/`);
    await until(page, 'the camera list', async () => (await page.locator('body').getAttribute('data-profiles')) === 'camera');
    assert.deepEqual(asked, { apiVersion: '1.0', method: 'list', params: { streamProfileName: [] } });
    assert.deepEqual(await page.locator('#profile-choice optgroup[label="Camera stream profiles"] option').allInnerTexts(), ['Studio', 'Lobby']);
    // The camera's first profile is the default; a saved choice wins.
    const saved = (await api_status()).savedProfileName;
    await until(page, 'the prefilled profile', async () => (await page.inputValue('#profile-name')) === (saved || 'Studio'));
    await page.selectOption('#profile-choice', { label: 'Studio' });
    assert.equal(await page.inputValue('#profile-parameters'), 'videocodec=h265&resolution=1920x1080&fps=30&videokeyframeinterval=60');
    assert.equal(await text_of(page, '#profile-description'), 'Main stage');
    assert.match(await text_of(page, '#codec-notes'), /H\.265 is published over Enhanced RTMP: the destination must support Enhanced RTMP/);
    assert.match(await text_of(page, '#codec-notes'), /A keyframe every 2\.0 s/);

    await page.selectOption('#profile-choice', { label: 'Lobby' });
    assert.equal(await page.inputValue('#profile-parameters'), 'videocodec=h264&fps=25&videokeyframeinterval=250');
    const notes = await text_of(page, '#codec-notes');
    assert.match(notes, /Keyframes are 10 s apart\. Streaming services recommend 2 s and most accept at most 4 s: use a keyframe interval of 50 frames or less/);
    assert.doesNotMatch(notes, /Enhanced RTMP/);

    await page.selectOption('#profile-choice', { label: 'AV1 1280x720 30 fps' });
    assert.match(await text_of(page, '#codec-notes'), /AV1 is published over Enhanced RTMP/);
    await page.screenshot({ path: path.join(shots, 'camera-profiles.png'), fullPage: true });
  });
});

test('a phone-width layout has no sideways scrolling', async () => {
  await scenario('narrow', { viewport: { width: 360, height: 800 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true }, async (page) => {
    await page.goto(`${BASE}/`);
    await until(page, 'the first status', async () => (await text_of(page, '#serial-number')) === 'ACCC8E0B1C2D');
    const widths = await page.evaluate(() => ({ page: document.documentElement.scrollWidth, view: window.innerWidth }));
    assert.ok(widths.page <= widths.view, JSON.stringify(widths));
    // Form and status stack in one column.
    const setup = await page.locator('#setup').boundingBox();
    const status = await page.locator('#status-title').boundingBox();
    assert.ok(status.y > setup.y + setup.height - 1, 'status below the form');
    await page.screenshot({ path: path.join(shots, 'narrow.png'), fullPage: true });
  });
});

test("the page's parameter checks agree with the stream worker", async () => {
  // Each text is started through the API; the worker's message must be the
  // one the page predicts. Accepted texts get past the parser and end on the
  // unreachable destination instead.
  const texts = [
    'videocodec=mjpeg',
    'camera=0&compression=x',
    'resolution=1920x',
    'fps=0.05',
    'compression=101',
    'videokeyframeinterval=-5',
    'videobitrate=4294968',
    'maxbitrate=fast',
    'abr.target_bitrate=x',
    'rc.mode=4',
    'a=1&&b=2',
    'fps=%zz',
    'videomaxbitrate=800&maxbitrate=bad&vendorkey=1&fps=0x1Ep0',
  ];
  const parse_message = /^(Failed to parse stream profile parameters|Unsupported stream profile|Selected stream profile uses)/;
  for (const text of texts) {
    await wait_idle();
    const reply = await api_post('start', { destination: UNREACHABLE, profileName: 'Check', profileParameters: text, silentAudio: 'no' });
    assert.equal(reply.status, 200, `${text}: ${JSON.stringify(reply.doc)}`);
    const status = await wait_for(
      async () => {
        const s = await api_status();
        return s.running ? null : s;
      },
      { timeout_ms: 20000, what: `the end of the stream for ${text}` },
    );
    const predicted = check_profile_parameters(text).error;
    if (predicted) {
      assert.equal(status.lastError, predicted, text);
    } else {
      assert.doesNotMatch(status.lastError, parse_message, text);
      assert.match(status.lastError, /^Unable to connect to RTMP destination: /, text);
    }
  }
  await api_post('stop');
});
