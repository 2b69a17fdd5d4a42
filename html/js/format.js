// Destination rules and masking, human units and the diagnostics report.

export const DESTINATION_PREFIX = 'rtmp://';
export const KEY_MASK = '********';

// Field limits of a start request: a longer value is dropped by the program.
export const LIMITS = { destination: 1023, profileName: 127, profileParameters: 2047, body: 4096 };

export function byte_length(text) {
  return new TextEncoder().encode(text).length;
}

// The program's own check of a destination: null when it is accepted,
// else the message the program answers with.
export function destination_problem(destination) {
  if (!destination) return 'Missing RTMP destination.';
  if (byte_length(destination) <= 6 || !destination.startsWith(DESTINATION_PREFIX)) {
    return 'Destination must begin with rtmp://.';
  }
  if (byte_length(destination) > LIMITS.destination) {
    return `Destination is too long: at most ${LIMITS.destination} bytes.`;
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
  const from_url = keep_whole ? { server: text, key: '' } : split_destination(text);
  const moved = from_url.key !== '';
  const server = from_url.server;
  const key = moved ? from_url.key : (key_text ?? '').trim();
  const destination = join_destination(server, key);
  const preview = mask_password(join_destination(server, destination === server ? '' : KEY_MASK));
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

export function format_bitrate(bits_per_second) {
  return scaled(bits_per_second, 'bit/s');
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
