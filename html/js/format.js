// Destination rules and masking, the checks before a start, human units,
// the words for the stream's state and the diagnostics report.

export const DESTINATION_PREFIX = 'rtmp://';
export const KEY_MASK = '********';

// Field limits of a start request: a longer value is dropped by the program.
export const LIMITS = { destination: 1023, profileName: 127, profileParameters: 2047, body: 4096 };

export function byte_length(text) {
  return new TextEncoder().encode(text).length;
}

// White space, control characters, the characters URLs leave out and
// anything beyond ASCII: none of them reaches the server as typed.
const NOT_IN_URLS = /[\s\u0000-\u001f\u007f"<>\\^`{|}]|[^\u0000-\u007f]/u;

function unsafe_character(text) {
  const found = NOT_IN_URLS.exec(text)?.[0];
  if (!found) return null;
  if (/\s/u.test(found)) return 'a space';
  if (found < ' ' || found === '\u007f') return 'a control character';
  return `the character "${found}"`;
}

const problem = (field, message) => ({ field, message });

// What is wrong with the two destination fields before anything is sent:
// null, or the field to fix and the message to show beside it. The
// program's own words where it makes the same check.
export function check_destination(server_text, key_text, keep_whole = false) {
  const server = (server_text ?? '').trim();
  if (!server) return problem('server', 'Missing RTMP destination.');
  const scheme = /^([a-z][a-z0-9+.-]*):\/\//i.exec(server)?.[1].toLowerCase();
  if (scheme === 'rtmps') {
    return problem('server', "RTMPS is not supported: use the service's rtmp:// address.");
  }
  if (scheme === 'https') {
    return problem('server',
      "An https:// address is a web page, not an RTMP server: use the service's rtmp:// address.");
  }
  if (!server.startsWith(DESTINATION_PREFIX) || server.length <= DESTINATION_PREFIX.length) {
    return problem('server', 'Destination must begin with rtmp://.');
  }
  if (server.includes('://', DESTINATION_PREFIX.length)) {
    return problem('server',
      'The server URL holds two addresses: clear the field, then paste the address again.');
  }
  const plan = plan_destination(server_text, key_text, keep_whole);
  const in_server = unsafe_character(plan.server);
  if (in_server) {
    return problem('server', `The server URL contains ${in_server}, which a URL cannot carry.`);
  }
  const in_key = unsafe_character(plan.key);
  if (in_key) return problem('key', `The stream key contains ${in_key}, which a URL cannot carry.`);
  if (!plan.key) {
    return problem('key', 'Enter the stream key: the service shows it with the server URL.');
  }
  if (byte_length(plan.destination) > LIMITS.destination) {
    return problem('key', `Destination is too long: at most ${LIMITS.destination} bytes.`);
  }
  return null;
}

// Where the application ends and the stream key begins. The application is
// the first path segment, up to the next slash (a query in it stays with it,
// as in "live2?backup=1"); everything after that slash, query included, is
// the key. A service whose application has two segments ("app/instance")
// thus gets "instance/key" as its key: the destination is the same, and the
// page lets the person keep such a URL whole.
export function split_destination(destination) {
  const text = destination ?? '';
  const scheme = text.indexOf('://');
  const path = scheme < 0 ? -1 : text.indexOf('/', scheme + 3);
  const app_end = path < 0 ? -1 : text.indexOf('/', path + 1);
  if (app_end <= path + 1 || app_end === text.length - 1) return { server: text, key: '' };
  return { server: text.slice(0, app_end), key: text.slice(app_end + 1) };
}

export function join_destination(server, key) {
  const base = (server ?? '').trim();
  const secret = (key ?? '').trim().replace(/^\/+/, '');
  if (!secret) return base;
  let trimmed = base;
  while (trimmed.length > DESTINATION_PREFIX.length && trimmed.endsWith('/')) trimmed = trimmed.slice(0, -1);
  return `${trimmed}/${secret}`;
}

function mask_password(url) {
  return url.replace(/^(rtmp:\/\/[^/@:]*:)[^/@]*@/, `$1${KEY_MASK}@`);
}

// What Start sends for the two destination fields. A key the server URL
// holds wins over the key field, so a hidden saved key is never added to a
// URL that already has one; `moved` says the fields should show the split.
// `keep_whole`: the person put the key back into this URL ("app/instance").
// `preview` is the destination with its key and any password masked.
export function plan_destination(server_text, key_text, keep_whole = false) {
  const text = (server_text ?? '').trim();
  // Two addresses run together ("…/livertmp://…") are neither split nor
  // shown (the second may hold a key): the check before a start flags them.
  const two = text.includes('://', text.indexOf('://') + 3);
  const from_url = keep_whole || two ? { server: text, key: '' } : split_destination(text);
  const moved = from_url.key !== '';
  const server = from_url.server;
  const key = moved ? from_url.key : (key_text ?? '').trim();
  const destination = join_destination(server, key);
  const masked = join_destination(server, destination === server ? '' : KEY_MASK);
  const preview = two ? '' : mask_password(masked);
  return { server, key, moved, destination, preview };
}

// The destination with its stream key and any password replaced.
export function mask_destination(destination) {
  return plan_destination(destination, '').preview;
}

// Replaces every appearance of the stream key (and a URL password) in a text.
export function mask_secrets(text, destination) {
  let out = text;
  const { key } = split_destination(destination ?? '');
  if (key && key.length >= 3) out = out.split(key).join(KEY_MASK);
  const password = /^rtmp:\/\/[^/@:]*:([^/@]+)@/.exec(destination ?? '');
  if (password && password[1].length >= 3) out = out.split(password[1]).join(KEY_MASK);
  return out;
}

const SI = ['', 'k', 'M', 'G', 'T', 'P'];
const MEGA = 1000000;

function scaled(value, unit) {
  let v = Number(value) || 0;
  let step = 0;
  while (Math.abs(v) >= 1000 && step < SI.length - 1) {
    v /= 1000;
    step++;
  }
  const digits = step === 0 ? 0 : v < 10 ? 2 : v < 100 ? 1 : 0;
  return `${v.toFixed(digits)} ${SI[step]}${unit}`;
}

export function format_bytes(bytes) {
  return scaled(bytes, 'B');
}

// As the program writes bitrates in its details texts: kbps rounded up
// below 1 Mbps, Mbps with two decimals from there on.
export function format_bitrate(bits_per_second) {
  const value = Math.max(0, Math.round(Number(bits_per_second) || 0));
  if (value >= MEGA) return `${(value / MEGA).toFixed(2)} Mbps`;
  return `${Math.ceil(value / 1000)} kbps`;
}

export function format_count(n) {
  return String(Math.trunc(Number(n) || 0)).replace(/\B(?=(\d{3})+(?!\d))/g, '\u2009');
}

// What the running state means for the person watching.
export function stream_state(status) {
  if (!status) return { key: 'unknown', label: 'Unknown' };
  if (status.running) {
    return status.framesSent > 0 ? { key: 'live', label: 'Live' } : { key: 'starting', label: 'Starting' };
  }
  if (status.lastError === 'Stream stopped.') return { key: 'stopped', label: 'Stopped' };
  if (status.lastError) return { key: 'failed', label: 'Ended with an error' };
  return { key: 'idle', label: 'Idle' };
}

// Seconds of waiting for the server after which the words say so.
export const SLOW_SERVER_S = 3;

// The stream's state in words, beside Start and in the status card.
// `waiting_s`: for how long the page has seen the stream wait for its
// server (the camera's video is there, no packet has gone out yet).
export function state_line(status, waiting_s = 0) {
  const state = stream_state(status);
  switch (state.key) {
    case 'unknown':
      return 'Waiting for the first status from Corvane…';
    case 'starting':
      if (!status.streamDetails) return "Starting: opening the camera's video…";
      if (waiting_s < SLOW_SERVER_S) return 'Starting: connecting to the RTMP server…';
      return `Starting: waiting for the RTMP server to answer (${waiting_s} s)…`;
    case 'live': {
      const bitrate = status.currentBitrate;
      const rate = bitrate ? format_bitrate(bitrate) : 'measuring the bitrate';
      return `Live: ${format_count(status.framesSent)} frames sent, ${rate}.`;
    }
    case 'stopped':
      return 'Stream stopped.';
    default:
      // A failure is told beside this line, in full.
      return 'Not running.';
  }
}

function indent(text) {
  return text ? text.split('\n').map((line) => `  ${line}`).join('\n') : '  (none)';
}

// Plain text for a support request; the stream key never appears in it.
export function diagnostics_report({ status, form, now = new Date(), page = '', agent = '', poll_error = '' }) {
  const s = status ?? {};
  const yes_no = (v) => (v ? 'yes' : 'no');
  const lines = [
    'Corvane diagnostics',
    `Browser time: ${now.toISOString()} (local ${now.toString()})`,
    `Page: ${page}`,
    `Browser: ${agent}`,
  ];
  if (poll_error) lines.push(`Status requests failing: ${poll_error}`);
  lines.push(
    '',
    'Stream',
    `State: ${stream_state(status).label}`,
    `Running: ${yes_no(s.running)}`,
    `Frames sent: ${s.framesSent ?? 0}`,
    `Bytes sent: ${s.bytesSent ?? 0} (${format_bytes(s.bytesSent ?? 0)})`,
    `Last packet: ${s.lastPacketBytes ?? 0} bytes`,
    `Current bitrate: ${s.currentBitrate ?? 0} bit/s (${format_bitrate(s.currentBitrate ?? 0)})`,
    `Profile: ${s.profileName ?? ''}`,
    `Saved profile: ${s.savedProfileName ?? ''}`,
    `Destination: ${mask_destination(s.destination ?? '')}`,
    `Silent audio (saved): ${yes_no(s.silentAudio)}`,
    `Last error: ${s.lastError || '(none)'}`,
    '',
    'Stream details:',
    indent(s.streamDetails ?? ''),
    'Profile details:',
    indent(s.profileDetails ?? ''),
    '',
    'Camera',
    `Model: ${s.deviceModel ?? ''}`,
    `Serial number: ${s.serialNumber ?? ''}`,
    `MAC address: ${s.macAddress ?? ''}`,
    `OS version: ${s.axisOsVersion ?? ''}`,
    `Chip: ${s.chip ?? ''}`,
    `Architecture: ${s.architecture ?? ''}`,
  );
  if (form) {
    lines.push(
      '',
      'Form on the page',
      `Profile name: ${form.profileName}`,
      `Profile parameters: ${form.profileParameters}`,
      `Destination: ${mask_destination(form.destination)}`,
      `Silent audio: ${yes_no(form.silentAudio)}`,
    );
  }
  let text = lines.join('\n') + '\n';
  text = mask_secrets(text, s.destination);
  if (form) text = mask_secrets(text, form.destination);
  return text;
}
