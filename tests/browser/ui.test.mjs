// The page in headless Chromium, at desktop and phone sizes, against the real
// program with the camera emulator and real RTMP receivers: FFmpeg's listener,
// and nginx (ui_test.py), where another publisher holds the name "taken".
import assert from 'node:assert/strict';
import net from 'node:net';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { after, before, test } from 'node:test';
import { BASE, SCREENSHOTS, launch_browser, receiver, wait_for } from './harness.mjs';

const PREFIX = '/local/corvane/corvane';
const NGINX = process.env.NGINX_RTMP; // rtmp://127.0.0.1:PORT/live, any stream name
const TAKEN = process.env.TAKEN_URL; // a name on nginx that another publisher holds
const SMALL = 'H.264 640x360 30 fps';
const SIZES = {
  desktop: { viewport: { width: 1280, height: 800 } },
  phone: { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true },
};

let browser;
before(async () => {
  browser = await launch_browser();
});
after(() => browser?.close());

const api = async (name, method = 'GET') => (await fetch(`${BASE}/api/${name}`, { method })).json();

// Each scenario opens its own pages; script errors, console errors (a
// failed load among them) and a failure end it with a screenshot of each
// page, and no stream outlives it.
function scenario(name, body) {
  test(name, async () => {
    const pages = [];
    const open = async (size = 'desktop', at = '/') => {
      const context = await browser.newContext(SIZES[size]);
      await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: BASE });
      const page = await context.newPage();
      page.errors = [];
      page.on('pageerror', (error) => page.errors.push(String(error)));
      page.on('console', (line) => line.type() === 'error' && page.errors.push(line.text()));
      page.starts = 0;
      page.on('request', (request) => request.url().endsWith('/api/start') && page.starts++);
      pages.push(page);
      await page.goto(`${BASE}${at}`);
      await wait_for('the first status', async () => (await state(page)) !== 'unknown');
      return page;
    };
    try {
      await body(open);
      for (const page of pages) assert.deepEqual(page.errors, [], 'errors on the page');
    } catch (error) {
      for (const [i, page] of pages.entries()) {
        const file = path.join(SCREENSHOTS, `failed-${name.slice(0, 40)}-${i}.png`);
        await page.screenshot({ path: file, fullPage: true }).catch(() => {});
      }
      throw error;
    } finally {
      await api('stop', 'POST');
      for (const page of pages) await page.context().close();
    }
  });
}

const text = (page, selector) => page.locator(selector).innerText();
const state = (page) => page.getAttribute('#state-badge', 'data-state');
const shot = (page, name) => page.screenshot({ path: path.join(SCREENSHOTS, `${name}.png`) });

// Typed key by key over whatever the fields hold, as a person does.
async function type_destination(page, server, key = '') {
  for (const [field, value] of [['#stream-key', key], ['#server-url', server]]) {
    await page.focus(field);
    await page.keyboard.press('Control+A');
    await page.keyboard.press('Delete');
    await page.keyboard.type(value);
  }
}

// One press on Start as a mouse (held a moment, as people do) or a finger makes it.
async function press_start(page, how) {
  await page.locator('#start').scrollIntoViewIfNeeded();
  const box = await page.locator('#start').boundingBox();
  const [x, y] = [box.x + box.width / 2, box.y + box.height / 2];
  if (how === 'tap') {
    await page.touchscreen.tap(x, y);
  } else {
    await page.mouse.move(x, y);
    await page.mouse.down();
    await sleep(250);
    await page.mouse.up();
  }
}

async function wait_live(page) {
  await wait_for('the page to show the stream live', async () => (await state(page)) === 'live');
}

// Wholly inside the window as it stands (within a pixel: scrolled to, an
// edge may fall between two).
async function in_view(page, selector) {
  const box = await page.locator(selector).boundingBox();
  const { width, height } = page.viewportSize();
  if (box === null) return false;
  const [right, bottom] = [box.x + box.width, box.y + box.height];
  return box.x >= -1 && box.y >= -1 && right <= width + 1 && bottom <= height + 1;
}

scenario("under the camera's prefix the page shows the status, starts and stops", async (open) => {
  const rtmp = await receiver(1935, 'live/firstkey');
  try {
    // Opened without its final slash, the page asks for the folder.
    const page = await open('desktop', PREFIX);
    const api_paths = new Set();
    const api_path = (request) => new URL(request.url()).pathname;
    page.on('request', (r) => r.url().includes('/api/') && api_paths.add(api_path(r)));
    assert.equal(new URL(page.url()).pathname, `${PREFIX}/`);
    assert.ok(await in_view(page, '#start'), 'Start on the first screen');
    assert.equal(await page.isDisabled('#stop'), true);
    await page.selectOption('#profile-choice', { label: SMALL });
    await page.fill('#server-url', 'rtmp://127.0.0.1:1935/live');
    await page.fill('#stream-key', 'firstkey');
    assert.equal(await text(page, '#destination-preview'), 'rtmp://127.0.0.1:1935/live/********');
    await page.click('#start');
    await wait_live(page);
    await wait_for('bytes at the receiver', () => rtmp.bytes() > 0);
    assert.match(await text(page, '#frames-sent'), /^[1-9]/);
    assert.equal((await api('status')).destination, rtmp.url);
    assert.doesNotMatch(rtmp.errors, /App field don't match|Unexpected stream/);
    await page.click('#stop');
    const stopped = async () => (await text(page, '#state-line')) === 'Stream stopped.';
    await wait_for('"Stream stopped."', stopped);
    assert.equal(await state(page), 'stopped');
    const expected = ['start', 'status', 'stop'].map((name) => `${PREFIX}/api/${name}`);
    assert.deepEqual([...api_paths].sort(), expected);
  } finally {
    await rtmp.stop();
  }
});

scenario('a full URL pasted over the saved destination publishes to its own key', async (open) => {
  // The saved destination: a start that ends at once, nothing listens there.
  const body = 'destination=rtmp%3A%2F%2F127.0.0.1%3A1%2Flive%2Foldkey';
  assert.equal((await fetch(`${BASE}/api/start`, { method: 'POST', body })).status, 200);
  await wait_for('the start to end', async () => !(await api('status')).running);
  const url = 'rtmp://127.0.0.1:1936/live/newkey';
  const rtmp = await receiver(1936, 'live/newkey');
  try {
    const page = await open();
    assert.equal(await page.inputValue('#server-url'), 'rtmp://127.0.0.1:1/live');
    assert.equal(await page.inputValue('#stream-key'), 'oldkey');
    // Pasted as a person does, over the whole field.
    await page.evaluate((t) => navigator.clipboard.writeText(t), url);
    await page.click('#server-url');
    await page.keyboard.press('Control+A');
    await page.keyboard.press('Control+V');
    assert.equal(await page.inputValue('#server-url'), 'rtmp://127.0.0.1:1936/live');
    assert.equal(await page.inputValue('#stream-key'), 'newkey');
    assert.equal(await page.getAttribute('#stream-key', 'type'), 'password');
    assert.equal(await text(page, '#key-note-text'),
      'Stream key taken from the server URL: everything after /live.');
    assert.equal(await text(page, '#destination-preview'), 'rtmp://127.0.0.1:1936/live/********');

    // Put back, the URL is kept whole and the key field follows it, visibly.
    await page.click('#key-undo');
    assert.equal(await page.inputValue('#server-url'), url);
    assert.equal(await text(page, '#destination-preview'), `${url}/********`);
    assert.equal(await page.isVisible('#key-note'), false);
    await page.click('#server-url');
    await page.keyboard.press('Control+A');
    await page.keyboard.press('Control+V');
    assert.equal(await page.inputValue('#stream-key'), 'newkey');
    await page.click('#start');
    await wait_live(page);
    await wait_for('bytes at the receiver', () => rtmp.bytes() > 0);
    assert.equal((await api('status')).destination, url);
  } finally {
    await rtmp.stop();
  }
});

// Whatever the first press does to the fields, Start stays under the pointer.
const first_presses = [
  // name, size, how Start is pressed
  ['a slow mouse click on a desktop', 'desktop', 'mouse'],
  ['a tap on a phone', 'phone', 'tap'],
  ['Enter on Start, then on Stop, from the keyboard', 'desktop', 'keyboard'],
];
for (const [name, size, how] of first_presses) {
  scenario(`one press starts a typed destination: ${name}`, async (open) => {
    const rtmp = await receiver(1935, 'live/typed');
    try {
      const page = await open(size);
      await page.selectOption('#profile-choice', { label: SMALL });
      await type_destination(page, rtmp.url);
      if (how === 'keyboard') {
        await page.focus('#start');
        await page.keyboard.press('Enter');
      } else {
        await press_start(page, how);
      }
      await wait_live(page);
      await wait_for('bytes at the receiver', () => rtmp.bytes() > 0);
      assert.equal(page.starts, 1);
      assert.ok(await in_view(page, '#state-line'), 'the state beside Start');
      await shot(page, `first-run-${size}-${how}`);
      if (how === 'keyboard') {
        // The keyboard's place follows the buttons that are enabled.
        assert.equal(await page.evaluate(() => document.activeElement.id), 'stop');
        await page.keyboard.press('Enter');
        await wait_for('the stop', async () => (await state(page)) === 'stopped');
        assert.equal(await page.evaluate(() => document.activeElement.id), 'start');
      }
    } finally {
      await rtmp.stop();
    }
  });
}

// Caught before sending, said once and beside the field, with the focus there;
// a server URL that cannot work is not shown as where the stream would go.
const RTMPS = "RTMPS is not supported: use the service's rtmp:// address.";
const mistakes = [
  // name, size, server URL typed, then pasted at its end, stream key, field, message, preview
  ['no stream key', 'desktop', 'rtmp://127.0.0.1:1935/live', '', '', 'stream-key',
    'Enter the stream key: the service shows it with the server URL.',
    'rtmp://127.0.0.1:1935/live'],
  ['a space in the key', 'desktop', 'rtmp://127.0.0.1:1935/live', '', 'my key', 'stream-key',
    'The stream key contains a space, which a URL cannot carry.',
    'rtmp://127.0.0.1:1935/live/********'],
  ['a space in the URL', 'desktop', 'rtmp://127.0.0.1:1935/my live', '', 'key', 'server-url',
    'The server URL contains a space, which a URL cannot carry.', '—'],
  ['a URL pasted after another', 'desktop', 'rtmp://127.0.0.1:1935/live',
    'rtmp://127.0.0.1:1935/live/key', '', 'server-url',
    'The server URL holds two addresses: clear the field, then paste the address again.', '—'],
  ['RTMPS', 'desktop', 'rtmps://127.0.0.1/live/key', '', '', 'server-url', RTMPS, '—'],
  ['RTMPS on a phone', 'phone', 'rtmps://127.0.0.1/live/key', '', '', 'server-url', RTMPS, '—'],
  ['a web address', 'desktop', 'https://127.0.0.1/live/key', '', '', 'server-url',
    "An https:// address is a web page, not an RTMP server: use the service's rtmp:// address.",
    '—'],
  ['no scheme', 'desktop', '127.0.0.1/live/key', '', '', 'server-url',
    'Destination must begin with rtmp://.', '—'],
];
scenario('mistakes are caught before sending and shown beside their field', async (open) => {
  const pages = {};
  for (const [name, size, server, pasted, key, field, message, preview] of mistakes) {
    pages[size] ??= await open(size);
    const page = pages[size];
    await page.reload();
    await wait_for('the first status', async () => (await state(page)) !== 'unknown');
    page.starts = 0;
    await type_destination(page, server, key);
    if (pasted) {
      await page.evaluate((t) => navigator.clipboard.writeText(t), pasted);
      await page.focus('#server-url');
      await page.keyboard.press('End');
      await page.keyboard.press('Control+V');
    }
    await press_start(page, size === 'phone' ? 'tap' : 'mouse');
    await sleep(300);
    assert.equal(page.starts, 0, `${name}: nothing sent`);
    assert.equal(await text(page, `#${field}-error`), message, `${name}: beside the field`);
    assert.equal(await page.getByText(message).count(), 1, `${name}: said once`);
    assert.equal(await page.getAttribute(`#${field}`, 'aria-invalid'), 'true', `${name}: marked`);
    assert.equal(await page.evaluate(() => document.activeElement.id), field, `${name}: focus`);
    assert.equal(await text(page, '#destination-preview'), preview, `${name}: preview`);
    await shot(page, `mistake-${size}-${name.replaceAll(' ', '-')}`);
  }
});

const refusals = [
  // name, size, how Start is pressed
  ['on a desktop', 'desktop', 'mouse'],
  ['on a phone', 'phone', 'tap'],
];
for (const [name, size, how] of refusals) {
  scenario(`a server that refuses the stream name says why beside Start, ${name}`, async (open) => {
    const page = await open(size);
    await page.selectOption('#profile-choice', { label: SMALL });
    await type_destination(page, TAKEN);
    await press_start(page, how);
    await wait_for('the failure', () => page.isVisible('#last-error'));
    const reason =
      'Unable to connect to RTMP destination: Operation not permitted (server: Already publishing)';
    assert.equal(await text(page, '#last-error-text'), reason);
    assert.equal(await page.getAttribute('#last-error', 'role'), 'alert');
    assert.ok(await in_view(page, '#last-error'), 'the failure in view');
    await shot(page, `failure-${size}`);
    await sleep(2500); // status polls come and go
    assert.equal(await text(page, '#last-error-text'), reason);
    assert.equal(await page.getByText(reason).count(), 1);

    // Stop turns off the stream's automatic start, and says so.
    await page.locator('#stop').click();
    await wait_for('the note', () => page.isVisible('#request-message'));
    assert.equal(await text(page, '#request-message'),
      'Automatic start is off: this stream will not start again by itself.');

    // Until the next start.
    await type_destination(page, `${NGINX}/next`);
    await press_start(page, how);
    await wait_live(page);
    assert.equal(await page.isVisible('#last-error'), false);
    assert.equal(await page.isVisible('#request-message'), false);
  });
}

scenario('a server that takes the connection and never answers is named while the stream waits',
  async (open) => {
    const silent = net.createServer(() => {});
    await new Promise((resolve) => silent.listen(1938, '127.0.0.1', resolve));
    try {
      const page = await open();
      await page.selectOption('#profile-choice', { label: SMALL });
      await type_destination(page, 'rtmp://127.0.0.1:1938/live/key');
      const pressed = Date.now();
      await page.click('#start');
      const waiting = /^Starting: waiting for the RTMP server to answer \((\d+) s\)…$/;
      const named = await wait_for('the wait to be named',
        async () => waiting.exec(await text(page, '#state-line')));
      // Counted from when the page saw the wait begin, not before the press.
      assert.ok(Number(named[1]) <= (Date.now() - pressed) / 1000, named[0]);
    } finally {
      silent.close();
    }
  });

scenario('a second page follows a restart with another profile', async (open) => {
  const first = await open();
  await first.selectOption('#profile-choice', { label: SMALL });
  await type_destination(first, `${NGINX}/two`);
  await first.click('#start');
  await wait_live(first);
  const second = await open();
  assert.equal(await second.inputValue('#profile-name'), SMALL);
  await first.selectOption('#profile-choice', { label: 'H.264 1920x1080 30 fps' });
  await first.click('#restart');
  await wait_for('the second page to follow',
    async () => (await second.inputValue('#profile-name')) === 'H.264 1920x1080 30 fps');
  assert.equal(await second.inputValue('#server-url'), NGINX);
  assert.equal(await second.inputValue('#stream-key'), 'two');
});
