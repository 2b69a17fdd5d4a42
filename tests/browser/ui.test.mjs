// The page in headless Chromium against the real program, the camera
// emulator and FFmpeg's RTMP listener, in order: a first stream under the
// camera's prefix saves a destination; a new visit at / pastes a full URL
// over it; a stream that cannot connect shows why.
import assert from 'node:assert/strict';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { BASE, SCREENSHOTS, launch_browser, receiver, wait_for } from './harness.mjs';

const PREFIX = '/local/corvane/corvane';
let browser, page;
const page_errors = [];

before(async () => {
  browser = await launch_browser();
  const context = await browser.newContext({ viewport: { width: 1280, height: 1000 } });
  await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: BASE });
  page = await context.newPage();
  page.on('pageerror', (error) => page_errors.push(String(error)));
});

after(() => browser?.close());

const text = (selector) => page.locator(selector).innerText();
const state = () => page.getAttribute('#state-badge', 'data-state');
const saved_destination = async () => (await (await fetch(`${BASE}/api/status`)).json()).destination;

// On failure: a screenshot (ui_test.py shows the program's log).
function scenario(name, body) {
  test(name, async () => {
    try {
      await body();
      assert.deepEqual(page_errors, [], 'script errors on the page');
    } catch (error) {
      await page.screenshot({ path: path.join(SCREENSHOTS, `failed-${name.slice(0, 40)}.png`), fullPage: true }).catch(() => {});
      throw error;
    }
  });
}

async function start_and_stop(rtmp) {
  await page.click('#start');
  await wait_for('the page to show the stream live', async () => (await state()) === 'live');
  await wait_for('bytes at the receiver', () => rtmp.bytes() > 0);
  assert.match(await text('#frames-sent'), /^[1-9]/);
  assert.equal(await saved_destination(), rtmp.url);
  assert.doesNotMatch(rtmp.errors, /App field don't match|Unexpected stream/);
  await page.click('#stop');
  await wait_for('"Stream stopped."', async () => (await text('#stopped-note')) === 'Stream stopped.');
  assert.equal(await state(), 'stopped');
}

scenario("under the camera's prefix the page shows the status, starts and stops", async () => {
  const rtmp = await receiver(1935, 'live/firstkey');
  const api_paths = new Set();
  const on_request = (request) => request.url().includes('/api/') && api_paths.add(new URL(request.url()).pathname);
  page.on('request', on_request);
  try {
    // Opened without its final slash, the page asks for the folder.
    await page.goto(`${BASE}${PREFIX}`);
    await wait_for('the status', async () => (await text('#serial-number')) === 'ACCC8E0B1C2D');
    assert.equal(new URL(page.url()).pathname, `${PREFIX}/`);
    assert.equal(await state(), 'idle');
    await page.selectOption('#profile-choice', { label: 'H.264 640x360 30 fps' });
    await page.fill('#server-url', 'rtmp://127.0.0.1:1935/live');
    await page.fill('#stream-key', 'firstkey');
    assert.equal(await text('#destination-preview'), 'rtmp://127.0.0.1:1935/live/********');
    await start_and_stop(rtmp);
    assert.deepEqual([...api_paths].sort(), ['start', 'status', 'stop'].map((name) => `${PREFIX}/api/${name}`));
  } finally {
    page.off('request', on_request);
    await rtmp.stop();
  }
});

scenario('a full URL pasted over the saved destination publishes to its own key', async () => {
  const url = 'rtmp://127.0.0.1:1936/live/newkey';
  const rtmp = await receiver(1936, 'live/newkey');
  try {
    await page.goto(`${BASE}/`);
    await wait_for('the saved destination', async () => (await page.inputValue('#server-url')) === 'rtmp://127.0.0.1:1935/live');
    assert.equal(await page.inputValue('#stream-key'), 'firstkey');
    // Pasted as a person does, over the whole field.
    await page.evaluate((text) => navigator.clipboard.writeText(text), url);
    await page.click('#server-url');
    await page.keyboard.press('Control+A');
    await page.keyboard.press('Control+V');
    assert.equal(await page.inputValue('#server-url'), 'rtmp://127.0.0.1:1936/live');
    assert.equal(await page.inputValue('#stream-key'), 'newkey');
    assert.equal(await page.getAttribute('#stream-key', 'type'), 'password');
    assert.equal(await text('#key-note-text'), 'Stream key taken from the server URL: everything after /live.');
    assert.equal(await text('#destination-preview'), 'rtmp://127.0.0.1:1936/live/********');
    await page.screenshot({ path: path.join(SCREENSHOTS, 'pasted-url.png'), fullPage: true });

    // Put back, the URL is kept whole and the saved key follows it, visibly.
    await page.click('#key-undo');
    assert.equal(await page.inputValue('#server-url'), url);
    assert.equal(await text('#destination-preview'), `${url}/********`);
    assert.equal(await page.isVisible('#key-note'), false);
    await page.click('#server-url');
    await page.keyboard.press('Control+A');
    await page.keyboard.press('Control+V');
    assert.equal(await page.inputValue('#stream-key'), 'newkey');
    await start_and_stop(rtmp);
  } finally {
    await rtmp.stop();
  }
});

scenario('a stream that cannot connect shows why it ended', async () => {
  await page.fill('#server-url', 'rtmp://127.0.0.1:1/live');
  await page.click('#start');
  await wait_for('the error', () => page.isVisible('#last-error'));
  assert.match(await text('#last-error-text'), /^Unable to connect to RTMP destination: ./);
  assert.equal(await state(), 'failed');
  assert.equal(await saved_destination(), 'rtmp://127.0.0.1:1/live/newkey');
});
