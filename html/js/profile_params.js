// Stream profile parameter texts read with the same rules as the stream
// worker, so the page can flag a value before a started stream ends on it.

const ULONG_MAX = (1n << 64n) - 1n;
const C_SPACE = ' \t\n\v\f\r';

export const CODEC_H264 = 0;
export const CODEC_H265 = 1;
export const CODEC_AV1 = 2;
export const CODEC_LABELS = ['H.264', 'H.265', 'AV1'];

export const RATE_CONTROL_NONE = 4294967295;
const RATE_CONTROL_LABELS = ['CBR', 'VBR', 'MBR', 'ABR'];

export function rate_control_label(mode) {
  return RATE_CONTROL_LABELS[mode] ?? 'None';
}

// Key names match without regard to ASCII letter case; other letters stay.
function ascii_lower(text) {
  return text.replace(/[A-Z]/g, (c) => c.toLowerCase());
}

// The C library's strtoul in base 10 over the whole text: leading white
// space and one sign are taken, nothing may follow the digits. A minus sign
// is good for zero only: the C library would wrap any other negative
// number, -18446744073709551615 to 1. Returns a BigInt, or null.
function read_unsigned_whole(text) {
  let i = 0;
  while (i < text.length && C_SPACE.includes(text[i])) i++;
  let negative = false;
  if (text[i] === '+' || text[i] === '-') {
    negative = text[i] === '-';
    i++;
  }
  const digits = text.slice(i);
  if (!/^[0-9]+$/.test(digits)) return null;
  const value = BigInt(digits);
  if (value > ULONG_MAX) return null; // out of range for strtoul
  return negative && value !== 0n ? null : value;
}

// A decimal in [min, max], or null when the worker would refuse it.
export function parse_uint_in_range(text, min, max) {
  if (typeof text !== 'string' || text === '') return null;
  const value = read_unsigned_whole(text);
  if (value === null || value < BigInt(min) || value > BigInt(max)) return null;
  return Number(value);
}

// Bits per second, or null. "unlimited" and "off" mean 0 (unlimited).
export function parse_bitrate(text, in_kbps) {
  if (typeof text !== 'string' || text === '') return null;
  const word = ascii_lower(text);
  if (word === 'unlimited' || word === 'off') return 0;
  const value = read_unsigned_whole(text);
  if (value === null) return null;
  if (in_kbps) return value <= 4294967n ? Number(value) * 1000 : null;
  return value <= 4294967295n ? Number(value) : null;
}

// The C library's strtod over the whole text, as GLib's locale-independent
// variant reads it: decimal or hexadecimal, an exponent, inf and nan.
function read_double_whole(text) {
  let i = 0;
  while (i < text.length && C_SPACE.includes(text[i])) i++;
  const rest = text.slice(i);
  const match =
    /^([+-]?)(?:(inf(?:inity)?)|(nan(?:\([0-9A-Za-z_]*\))?)|0x([0-9a-f]+\.?[0-9a-f]*|\.[0-9a-f]+)(?:p([+-]?[0-9]+))?|((?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:e[+-]?[0-9]+)?))$/i.exec(
      rest,
    );
  if (!match) return null;
  const sign = match[1] === '-' ? -1 : 1;
  if (match[2]) return sign * Infinity;
  if (match[3]) return NaN;
  if (match[6]) return sign * Number(match[6]);
  const [whole, fraction = ''] = match[4].split('.');
  let value = whole ? parseInt(whole, 16) : 0;
  for (let k = 0; k < fraction.length; k++) value += parseInt(fraction[k], 16) / 16 ** (k + 1);
  return sign * value * 2 ** Number(match[5] ?? 0);
}

export function parse_fps(text) {
  if (typeof text !== 'string') return null;
  const value = read_double_whole(text);
  if (value === null || Number.isNaN(value) || value < 0.1 || value > 120.0) return null;
  return value;
}

const CODEC_WORDS = {
  h264: CODEC_H264,
  'h.264': CODEC_H264,
  avc: CODEC_H264,
  h265: CODEC_H265,
  'h.265': CODEC_H265,
  hevc: CODEC_H265,
  av1: CODEC_AV1,
};

const MODE_WORDS = {
  none: RATE_CONTROL_NONE,
  cbr: 0,
  constant: 0,
  vbr: 1,
  variable: 1,
  mbr: 2,
  max: 2,
  maximum: 2,
  abr: 3,
  average: 3,
};

function parse_resolution(text) {
  let at = text.indexOf('x');
  if (at < 0) at = text.indexOf('X');
  if (at < 0) return null;
  const width_text = text.slice(0, at);
  const height_text = text.slice(at + 1);
  if (width_text.length < 1 || width_text.length > 23 || height_text.length > 23) return null;
  const width = parse_uint_in_range(width_text, 1, 4294967295);
  const height = parse_uint_in_range(height_text, 1, 4294967295);
  return width === null || height === null ? null : { width, height };
}

// Percent-decoding of one name or value, strict, "+" for a space; the
// decoded bytes must be UTF-8 without NUL. Messages are the parser's own.
function decode_component(bytes) {
  const out = [];
  for (let i = 0; i < bytes.length; i++) {
    const b = bytes[i];
    if (b === 0x25) {
      const hex = String.fromCharCode(bytes[i + 1] ?? 0, bytes[i + 2] ?? 0);
      if (i + 2 >= bytes.length || !/^[0-9a-fA-F]{2}$/.test(hex)) {
        return { error: 'Invalid %-encoding in URI' };
      }
      out.push(parseInt(hex, 16));
      i += 2;
    } else if (b === 0x2b) {
      out.push(0x20);
    } else {
      out.push(b);
    }
  }
  if (out.includes(0)) return { error: 'Non-UTF-8 characters in URI' };
  try {
    return { text: new TextDecoder('utf-8', { fatal: true, ignoreBOM: true }).decode(new Uint8Array(out)) };
  } catch {
    return { error: 'Non-UTF-8 characters in URI' };
  }
}

// Splits a parameter text into items the way the worker does: "&" only,
// each item split at its first "=", case-insensitive names, the later of
// two equal names wins. Returns { items: Map(lower name -> {name, value}) }
// or { error }.
export function split_parameters(text) {
  const items = new Map();
  const bytes = new TextEncoder().encode(text ?? '');
  let start = 0;
  while (start < bytes.length) {
    let end = bytes.indexOf(0x26, start);
    if (end < 0) end = bytes.length;
    const item = bytes.subarray(start, end);
    const equals = item.indexOf(0x3d);
    if (equals < 0) return { error: 'Missing \u2018=\u2019 and parameter value' };
    const name = decode_component(item.subarray(0, equals));
    if (name.error) return { error: name.error };
    const value = decode_component(item.subarray(equals + 1));
    if (value.error) return { error: value.error };
    const key = ascii_lower(name.text);
    const earlier = items.get(key);
    items.set(key, { name: earlier ? earlier.name : name.text, value: value.text });
    start = end + 1;
  }
  return { items };
}

// Every key the worker reads, in its order. `names` in precedence; the
// first present with a non-empty value is used and the rest are not read.
const ROWS = [
  {
    names: ['videocodec'],
    message: "Selected stream profile uses unsupported video codec '%s'. Corvane supports H.264, H.265/HEVC, and AV1 profiles.",
    read(value, config) {
      const codec = CODEC_WORDS[ascii_lower(value)];
      if (codec === undefined) return false;
      config.codec = codec;
      config.has_codec = true;
      return true;
    },
  },
  {
    names: ['camera'],
    message: "Unsupported stream profile camera value '%s'.",
    read: (value, config) => store(config, 'camera', parse_uint_in_range(value, 1, 4294967295)),
  },
  {
    names: ['channel'],
    message: "Unsupported stream profile channel value '%s'.",
    read: (value, config) => store(config, 'channel', parse_uint_in_range(value, 0, 4294967295)),
  },
  {
    names: ['resolution'],
    message: "Unsupported stream profile resolution '%s'; use WIDTHxHEIGHT.",
    read(value, config) {
      const size = parse_resolution(value);
      if (!size) return false;
      config.width = size.width;
      config.height = size.height;
      return true;
    },
  },
  {
    names: ['fps'],
    message: "Unsupported stream profile fps value '%s'.",
    read: (value, config) => store(config, 'fps', parse_fps(value)),
  },
  {
    names: ['compression'],
    message: "Unsupported stream profile compression value '%s'.",
    read: (value, config) => store(config, 'compression', parse_uint_in_range(value, 0, 100)),
  },
  {
    names: ['h264profile'],
    limit: 31,
    read: (value, config) => store(config, 'h264_profile', cut_utf8(value, 31)),
  },
  {
    names: ['videokeyframeinterval', 'keyframeinterval'],
    message: "Unsupported stream profile keyframe interval value '%s'.",
    read: (value, config) => store(config, 'keyframe_interval', parse_uint_in_range(value, 0, 4294967295)),
  },
  {
    names: ['audio'],
    read(value, config) {
      config.audio = ['0', 'no', 'off', 'false'].includes(ascii_lower(value)) ? 'disabled' : 'enabled';
      return true;
    },
  },
  {
    names: ['overlays'],
    limit: 63,
    read: (value, config) => store(config, 'overlays', cut_utf8(value, 63)),
  },
  {
    names: ['bitrate'],
    message: "Unsupported stream profile bitrate value '%s'.",
    read: (value, config) => store(config, 'bitrate', parse_bitrate(value, false)),
  },
  {
    names: ['videobitrate'],
    message: "Unsupported stream profile videobitrate value '%s'.",
    read: (value, config) => store(config, 'bitrate', parse_bitrate(value, true)),
  },
  {
    names: ['videomaxbitrate', 'maxbitrate'],
    message: "Unsupported stream profile max bitrate value '%s'.",
    read: (value, config) => store(config, 'max_bitrate', parse_bitrate(value, true)),
  },
  {
    names: ['videoabrmaxbitrate', 'abr.target_bitrate'],
    message: "Unsupported stream profile ABR bitrate value '%s'.",
    read: (value, config, name) => store(config, 'abr_target', parse_bitrate(value, name === 'videoabrmaxbitrate')),
  },
  {
    names: ['videobitratemode', 'videobitratecontrol', 'bitratemode', 'rc.mode'],
    message: "Unsupported stream profile bitrate mode '%s'.",
    read(value, config) {
      const word = MODE_WORDS[ascii_lower(value)];
      return store(config, 'rate_control', word !== undefined ? word : parse_uint_in_range(value, 0, 3));
    },
  },
];

// The first `limit` bytes of `text` in UTF-8, never half a character: what
// the worker keeps of a text it does not check.
function cut_utf8(text, limit) {
  const encoder = new TextEncoder();
  let kept = '';
  let bytes = 0;
  for (const character of text) {
    bytes += encoder.encode(character).length;
    if (bytes > limit) break;
    kept += character;
  }
  return kept;
}

function store(config, field, value) {
  if (value === null) return false;
  config[field] = value;
  return true;
}

export const KNOWN_KEYS = ROWS.flatMap((row) => row.names);

// Reads a parameter text. Returns:
//   error:    the message a stream started with this text ends with, or null
//   problems: every refused value, in the worker's order ([0] is `error`)
//   notes:    keys the worker ignores or shortens
//   config:   what was read: codec (always), has_codec, width, height, fps,
//             keyframe_interval, bitrate, max_bitrate, abr_target, ... (only
//             the keys present)
export function check_profile_parameters(text) {
  const config = { codec: CODEC_H264, has_codec: false };
  const result = { error: null, problems: [], notes: [], config };
  if (!text) return result;

  const split = split_parameters(text);
  if (split.error) {
    result.error = `Failed to parse stream profile parameters: ${split.error}`;
    result.problems.push({ key: null, message: result.error });
    return result;
  }
  const items = split.items;
  for (const row of ROWS) {
    const used = row.names.find((name) => items.get(name)?.value);
    if (!used) continue;
    const { value } = items.get(used);
    for (const other of row.names.slice(row.names.indexOf(used) + 1)) {
      if (items.get(other)?.value) result.notes.push(`${other} is ignored because ${used} is set.`);
    }
    if (!row.read(value, config, used)) {
      const message = row.message.replace('%s', value);
      result.problems.push({ key: used, message });
      result.error ??= message;
      continue;
    }
    if (row.limit && new TextEncoder().encode(value).length > row.limit) {
      result.notes.push(`${used} is shortened to its first ${row.limit} characters.`);
    }
  }
  for (const [key, item] of items) {
    if (!KNOWN_KEYS.includes(key)) result.notes.push(`${item.name} is not used by Corvane and is ignored.`);
  }
  return result;
}

// Seconds between keyframes and how services take it, when both the
// keyframe interval and the frame rate are known. Services recommend 2 s
// and most refuse or degrade a stream beyond 4 s.
export function keyframe_advice(config) {
  const frames = config.keyframe_interval;
  const fps = config.fps;
  if (!frames || !fps) return null;
  const seconds = frames / fps;
  const recommended = Math.max(1, Math.floor(2 * fps));
  let level = 'ok';
  if (seconds > 4) level = 'warning';
  else if (seconds > 2) level = 'notice';
  return { seconds, level, recommended };
}
