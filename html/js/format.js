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

// The stream key is the last path segment of the destination: everything
// after its last slash, provided that slash follows the host.
export function split_destination(destination) {
  const text = destination ?? '';
  if (!text.startsWith(DESTINATION_PREFIX)) return { server: text, key: '' };
  const host_end = text.indexOf('/', DESTINATION_PREFIX.length);
  const last = text.lastIndexOf('/');
  if (host_end < 0 || last === text.length - 1) return { server: text, key: '' };
  return { server: text.slice(0, last), key: text.slice(last + 1) };
}

export function join_destination(server, key) {
  const base = (server ?? '').trim();
  const secret = (key ?? '').trim();
  if (!secret) return base;
  let trimmed = base;
  while (trimmed.length > DESTINATION_PREFIX.length && trimmed.endsWith('/')) trimmed = trimmed.slice(0, -1);
  return `${trimmed}/${secret.replace(/^\/+/, '')}`;
}

// The destination with its stream key and any password replaced.
export function mask_destination(destination) {
  if (!destination) return '';
  const { server, key } = split_destination(destination);
  const masked_server = server.replace(/^(rtmp:\/\/[^/@:]*:)[^/@]*@/, `$1${KEY_MASK}@`);
  return key ? `${masked_server}/${KEY_MASK}` : masked_server;
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
