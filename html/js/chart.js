// Bitrate history: samples of the last minutes drawn on a canvas.

import { format_bitrate } from './format.js';

export const WINDOW_MS = 5 * 60 * 1000;

export function create_history(window_ms = WINDOW_MS) {
  return { window_ms, samples: [] };
}

// Adds one sample and forgets those older than the window.
export function add_sample(history, time_ms, bits_per_second) {
  history.samples.push({ t: time_ms, v: Math.max(0, Number(bits_per_second) || 0) });
  const oldest = time_ms - history.window_ms;
  while (history.samples.length && history.samples[0].t < oldest) history.samples.shift();
}

// The smallest 1, 2 or 5 times a power of ten at or above `value`.
export function nice_ceiling(value) {
  if (!(value > 0)) return 1_000_000;
  const power = 10 ** Math.floor(Math.log10(value));
  for (const step of [1, 2, 5, 10]) if (step * power >= value) return step * power;
  return 10 * power;
}

export function summary(history) {
  const values = history.samples.map((s) => s.v);
  if (!values.length) return 'No bitrate samples yet.';
  const peak = Math.max(...values);
  const now = values[values.length - 1];
  return `Bitrate history: now ${format_bitrate(now)}, peak ${format_bitrate(peak)}.`;
}

function colour(element, name, fallback) {
  return getComputedStyle(element).getPropertyValue(name).trim() || fallback;
}

// The time span shown: the samples so far, at least a minute, at most the window.
export function visible_span(history, now_ms) {
  const oldest = history.samples.length ? history.samples[0].t : now_ms;
  return Math.min(history.window_ms, Math.max(60000, now_ms - oldest));
}

// Seconds between time ticks: the first step that keeps labels apart.
function tick_step(span_ms, plot_width) {
  const room = Math.max(1, Math.floor(plot_width / 70));
  for (const seconds of [10, 15, 30, 60, 120, 300]) if (span_ms / 1000 / seconds <= room) return seconds;
  return 600;
}

// Draws the history into `canvas` at its displayed size.
export function draw(canvas, history, now_ms) {
  const ratio = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth));
  const height = Math.max(1, Math.round(canvas.clientHeight));
  if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
  }
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);

  const ink = colour(canvas, '--chart-ink', '#444');
  const grid = colour(canvas, '--chart-grid', '#ddd');
  const line = colour(canvas, '--chart-line', '#0a5ea8');
  const fill = colour(canvas, '--chart-fill', 'rgba(10, 94, 168, 0.15)');
  g.font = '11px system-ui, sans-serif';

  const peak = Math.max(0, ...history.samples.map((s) => s.v));
  const ceiling = nice_ceiling(peak * 1.1);
  const y_labels = [0, 1, 2, 3, 4].map((k) => format_bitrate((ceiling * k) / 4));
  const left = Math.ceil(Math.max(...y_labels.map((label) => g.measureText(label).width))) + 10;
  const right = 10;
  const top = 8;
  const bottom = 20;
  const plot_w = Math.max(1, width - left - right);
  const plot_h = Math.max(1, height - top - bottom);
  const span = visible_span(history, now_ms);
  const x_of = (t) => left + plot_w * (1 - (now_ms - t) / span);
  const y_of = (v) => top + plot_h * (1 - v / ceiling);

  g.strokeStyle = grid;
  g.fillStyle = ink;
  g.lineWidth = 1;
  g.textBaseline = 'middle';
  g.textAlign = 'right';
  y_labels.forEach((label, k) => {
    const y = Math.round(y_of((ceiling * k) / 4)) + 0.5;
    g.beginPath();
    g.moveTo(left, y);
    g.lineTo(left + plot_w, y);
    g.stroke();
    g.fillText(label, left - 6, y);
  });
  g.textBaseline = 'top';
  const step = tick_step(span, plot_w);
  for (let back = 0; back * 1000 <= span; back += step) {
    const x = Math.round(x_of(now_ms - back * 1000)) + 0.5;
    g.beginPath();
    g.moveTo(x, top);
    g.lineTo(x, top + plot_h);
    g.stroke();
    const label = back === 0 ? 'now' : back < 60 || back % 60 ? `\u2212${back} s` : `\u2212${back / 60} min`;
    g.textAlign = back === 0 ? 'right' : 'center';
    if (back === 0 || x - left > g.measureText(label).width / 2) g.fillText(label, x, top + plot_h + 4);
  }

  const points = history.samples.filter((s) => now_ms - s.t <= span);
  if (!points.length) return;
  g.beginPath();
  points.forEach((s, i) => {
    const x = x_of(s.t);
    const y = y_of(s.v);
    if (i === 0) g.moveTo(x, y);
    else g.lineTo(x, y);
  });
  g.strokeStyle = line;
  g.lineWidth = 2;
  g.stroke();
  g.lineTo(x_of(points[points.length - 1].t), y_of(0));
  g.lineTo(x_of(points[0].t), y_of(0));
  g.closePath();
  g.fillStyle = fill;
  g.fill();
}
