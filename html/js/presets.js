// Stream profiles the page offers itself, and the camera's own list when the
// camera that serves the page has a stream-profile API.

import { format_bitrate } from './format.js';

const SIZES = [
  { width: 1920, height: 1080, kbps: { h264: 4500, h265: 3000, av1: 2500 } },
  { width: 1280, height: 720, kbps: { h264: 2500, h265: 1600, av1: 1300 } },
  { width: 640, height: 360, kbps: { h264: 800, h265: 500, av1: 400 } },
];
const CODECS = [
  { key: 'h264', label: 'H.264' },
  { key: 'h265', label: 'H.265' },
  { key: 'av1', label: 'AV1' },
];
const FPS = 30;
const KEYFRAME_SECONDS = 2;

export const PRESETS = CODECS.flatMap((codec) =>
  SIZES.map((size) => ({
    name: `${codec.label} ${size.width}x${size.height} ${FPS} fps`,
    description:
      `${codec.label}, ${size.width}x${size.height} at ${FPS} fps, ` +
      `a keyframe every ${KEYFRAME_SECONDS} s, ${format_bitrate(size.kbps[codec.key] * 1000)}`,
    parameters:
      `videocodec=${codec.key}&resolution=${size.width}x${size.height}&fps=${FPS}` +
      `&videokeyframeinterval=${FPS * KEYFRAME_SECONDS}&videobitrate=${size.kbps[codec.key]}`,
    source: 'preset',
  })),
);

export const DEFAULT_PRESET = 'H.264 1280x720 30 fps';

// Keeps only well-formed entries of a camera's stream-profile list reply.
export function camera_profiles_from_reply(reply) {
  const list = reply?.data?.streamProfile;
  if (!Array.isArray(list)) return [];
  const seen = new Set();
  const profiles = [];
  for (const item of list) {
    if (!item || typeof item.name !== 'string' || item.name === '' || typeof item.parameters !== 'string') continue;
    if (seen.has(item.name)) continue;
    seen.add(item.name);
    profiles.push({
      name: item.name,
      description: typeof item.description === 'string' ? item.description : '',
      parameters: item.parameters,
      source: 'camera',
    });
  }
  return profiles;
}

// Asks the camera that serves this page for its stream profiles. Anything
// but a well-formed answer (no such API, no rights, a timeout) gives [].
export async function fetch_camera_profiles(timeout_ms = 4000) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeout_ms);
  try {
    const reply = await fetch('/axis-cgi/streamprofile.cgi', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ apiVersion: '1.0', method: 'list', params: { streamProfileName: [] } }),
      credentials: 'same-origin',
      cache: 'no-store',
      signal: abort.signal,
    });
    if (!reply.ok) return [];
    return camera_profiles_from_reply(await reply.json());
  } catch {
    return [];
  } finally {
    clearTimeout(timer);
  }
}
